// How a long operation of the core tells its caller how far it has come
// (internal): a plain function and its context, so that no exception can
// reach the core through it.
#ifndef KISTLE_PROGRESS_CALLBACK_H
#define KISTLE_PROGRESS_CALLBACK_H

#include <cstdint>

namespace kistle::internal {

struct progress_callback {
    // Gets the bytes done since the last call, on the thread that called the
    // operation, never on a worker. Must not throw. Returns false to stop the
    // operation, which then fails with CAB_ERROR_STOPPED.
    bool (*report)(void* context, uint64_t bytes) = nullptr;
    void* context = nullptr;
};

// Reports bytes to progress (none: nothing to report to); false: stop.
inline bool report_progress(const progress_callback* progress, uint64_t bytes) {
    return progress == nullptr || progress->report == nullptr || bytes == 0 ||
           progress->report(progress->context, bytes);
}

} // namespace kistle::internal

#endif
