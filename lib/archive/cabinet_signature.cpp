#include "cabinet_signature.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

#include <kistle/cabinet_header.h>

#include "little_endian.h"

namespace kistle::internal {

signature signature_of(const std::filesystem::path& file) {
    // Non-blocking, so that a FIFO without a writer reads as empty.
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return signature::unknown;
    uint8_t start[4];
    std::size_t got = 0;
    int failure = 0;
    while (got < sizeof start) {
        ssize_t n = ::read(fd, start + got, sizeof start - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failure = errno;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (failure != 0) {
        errno = failure;
        return signature::unknown;
    }
    return got == sizeof start && get_le32(start) == CABINET_SIGNATURE ? signature::cabinet
                                                                       : signature::other;
}

} // namespace kistle::internal
