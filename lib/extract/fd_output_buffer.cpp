#include "fd_output_buffer.h"

#include <cerrno>
#include <unistd.h>

fd_output_buffer::fd_output_buffer(int fd) : fd(fd) {
    setp(buffer, buffer + buffer_size);
}

fd_output_buffer::~fd_output_buffer() {
    if (fd >= 0)
        ::close(fd);
}

bool fd_output_buffer::write_all(const char* bytes, std::size_t count) {
    const char* end = bytes + count;
    while (!failed && bytes < end) {
        ssize_t written = ::write(fd, bytes, static_cast<size_t>(end - bytes));
        if (written > 0)
            bytes += written;
        else if (written < 0 && errno == EINTR)
            continue;
        else
            failed = true; // a write error, or a write that makes no progress
    }
    return !failed;
}

bool fd_output_buffer::drain() {
    bool ok = write_all(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(buffer, buffer + buffer_size);
    return ok;
}

fd_output_buffer::int_type fd_output_buffer::overflow(int_type c) {
    // Once a write has failed every further write fails too, so the stream shows it.
    if (!drain())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize fd_output_buffer::xsputn(const char* bytes, std::streamsize count) {
    // A large piece, such as an expanded block, goes out as it is instead of
    // being copied through the buffer.
    if (count < static_cast<std::streamsize>(direct_size))
        return std::streambuf::xsputn(bytes, count);
    if (!drain() || !write_all(bytes, static_cast<std::size_t>(count)))
        return 0;
    return count;
}

int fd_output_buffer::sync() {
    return drain() ? 0 : -1;
}

bool fd_output_buffer::close() {
    bool ok = drain();
    // The descriptor is gone after close even when it reports an error.
    if (::close(fd) != 0)
        ok = false;
    fd = -1;
    return ok;
}
