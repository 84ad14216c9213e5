#include "fd_output_buffer.h"

#include <cerrno>
#include <unistd.h>

namespace kistle::internal {

fd_output_buffer::fd_output_buffer(int fd, char* buffer, std::size_t size)
    : fd(fd), buffer(buffer), size(size) {
    setp(buffer, buffer + size);
}

fd_output_buffer::~fd_output_buffer() {
    if (fd >= 0)
        ::close(fd);
}

bool fd_output_buffer::drain() {
    const char* next = pbase();
    while (!failed && next < pptr()) {
        ssize_t written = ::write(fd, next, static_cast<size_t>(pptr() - next));
        if (written > 0)
            next += written;
        else if (written < 0 && errno == EINTR)
            continue;
        else
            failed = true; // a write error, or a write that makes no progress
    }
    setp(buffer, buffer + size);
    return !failed;
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

} // namespace kistle::internal
