#include "console.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "progress.h"
#include "standard_error.h"

namespace {

// A standard descriptor that is closed would go to the next file opened, and
// results would be written into it; /dev/null holds its place. True when fd
// was closed.
bool hold_place_of(int fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
        return false;
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
        dup2(null, fd);
        ::close(null);
    }
    return true;
}

} // namespace

console::fd_buffer::fd_buffer(int descriptor) : fd(descriptor), closed(hold_place_of(descriptor)) {
    setp(data, data + sizeof data);
}

bool console::fd_buffer::drain() {
    const char* next = pbase();
    std::size_t left = static_cast<std::size_t>(pptr() - pbase());
    if (closed && left > 0)
        error = EBADF;
    while (left > 0 && error == 0) {
        ssize_t written = ::write(fd, next, left);
        if (written < 0) {
            if (errno != EINTR)
                error = errno;
            continue;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    // After a failure the rest is dropped; the error is reported once, at the end.
    setp(data, data + sizeof data);
    return error == 0;
}

console::fd_buffer::int_type console::fd_buffer::overflow(int_type c) {
    if (!drain())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int console::fd_buffer::sync() {
    return drain() ? 0 : -1;
}

std::streamsize console::fd_buffer::xsputn(const char* s, std::streamsize n) {
    std::streamsize done = 0;
    while (done < n) {
        if (pptr() == epptr() && !drain())
            return done;
        std::streamsize room = epptr() - pptr();
        std::streamsize now = std::min(room, n - done);
        std::memcpy(pptr(), s + done, static_cast<std::size_t>(now));
        pbump(static_cast<int>(now));
        done += now;
    }
    return done;
}

console::console()
    : out_buffer((hold_place_of(STDIN_FILENO), STDOUT_FILENO)), out_stream(&out_buffer),
      out_terminal(isatty(STDOUT_FILENO) == 1), err_terminal(isatty(STDERR_FILENO) == 1) {
    hold_place_of(STDERR_FILENO);
}

console::~console() {
    out_buffer.pubsync();
}

std::string console::shown(std::string_view name, bool on_error) const {
    std::string result(name);
    if (on_error ? err_terminal : out_terminal)
        for (char& c : result)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                c = '?';
    return result;
}

void console::write_error(std::initializer_list<std::string_view> parts) {
    // Results already written come before the message, as they were produced.
    out_buffer.pubsync();
    if (progress != nullptr)
        progress->clear();
    // One write for a line of usual length; a longer one (a stored name can
    // be of any length) goes out in pieces rather than as copies.
    std::size_t length = 0;
    for (std::string_view part : parts)
        length += part.size();
    if (length <= piece_size) {
        std::string line = "kistle: ";
        for (std::string_view part : parts)
            line += shown(part, true);
        line += '\n';
        write_standard_error(line);
        return;
    }
    write_standard_error("kistle: ");
    for (std::string_view part : parts) {
        while (!part.empty()) {
            std::string_view piece = part.substr(0, piece_size);
            part.remove_prefix(piece.size());
            write_standard_error(shown(piece, true));
        }
    }
    write_standard_error("\n");
}

void console::note(std::string_view text) {
    write_error({text});
}

void console::note(std::string_view path, std::string_view reason) {
    write_error({path, ": ", reason});
}

void console::out_line(std::string_view text) {
    if (lines_on_error) {
        if (progress != nullptr)
            progress->clear();
        write_standard_error(shown(text, true) + '\n');
        return;
    }
    if (progress != nullptr && out_terminal)
        progress->clear();
    out_stream << shown(text) << '\n';
    if (out_terminal)
        out_stream.flush();
}

bool console::finish() {
    out_stream.flush();
    if (out_buffer.error == 0)
        return true;
    note("standard output", std::strerror(out_buffer.error));
    return false;
}
