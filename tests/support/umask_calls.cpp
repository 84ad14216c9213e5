#include "umask_calls.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

std::atomic<int> umask_calls{0};

extern "C" mode_t umask(mode_t mask) {
    ++umask_calls;
    return static_cast<mode_t>(syscall(SYS_umask, mask));
}
