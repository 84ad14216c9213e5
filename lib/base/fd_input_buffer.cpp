#include "fd_input_buffer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace kistle::internal {

std::streamsize fd_input_buffer::fill(char* destination, std::streamsize count) {
    std::streamsize done = 0;
    while (done < count && read_errno == 0) {
        ssize_t got = ::read(fd, destination + done, static_cast<size_t>(count - done));
        if (got > 0)
            done += got;
        else if (got < 0 && errno == EINTR)
            continue;
        else if (got < 0)
            read_errno = errno;
        else
            break;
    }
    return done;
}

fd_input_buffer::int_type fd_input_buffer::underflow() {
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    ssize_t got = 0;
    while (read_errno == 0 && (got = ::read(fd, small, sizeof small)) < 0) {
        if (errno != EINTR)
            read_errno = errno;
    }
    if (got <= 0)
        return traits_type::eof();
    setg(small, small, small + got);
    return traits_type::to_int_type(*gptr());
}

std::streamsize fd_input_buffer::xsgetn(char* destination, std::streamsize count) {
    std::streamsize buffered = std::min<std::streamsize>(count, egptr() - gptr());
    if (buffered > 0) {
        std::memcpy(destination, gptr(), static_cast<size_t>(buffered));
        gbump(static_cast<int>(buffered));
    }
    return buffered + fill(destination + buffered, count - buffered);
}

} // namespace kistle::internal
