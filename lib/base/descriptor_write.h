// Writing a whole buffer to a descriptor (internal).
#ifndef KISTLE_DESCRIPTOR_WRITE_H
#define KISTLE_DESCRIPTOR_WRITE_H

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace kistle::internal {

// Writes all size bytes, retrying an interrupted or short write; false
// (errno set, or 0 when the file took nothing) after a write that fails.
inline bool write_whole(int fd, const void* bytes, std::size_t size) {
    const char* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t written = ::write(fd, at, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        at += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace kistle::internal

#endif
