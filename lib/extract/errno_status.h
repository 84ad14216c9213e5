// The status for a failed system call (internal).
#ifndef KISTLE_ERRNO_STATUS_H
#define KISTLE_ERRNO_STATUS_H

#include <cerrno>

#include <kistle/cabinet_status.h>

namespace kistle::internal {

// Permission problems are reported as such; anything else as fallback.
inline int errno_status(int fallback) {
    return errno == EACCES || errno == EPERM ? CAB_ERROR_ACCESS_DENIED : fallback;
}

} // namespace kistle::internal

#endif
