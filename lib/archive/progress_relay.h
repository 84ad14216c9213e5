// Carries the core's reports of bytes done to the interface's progress
// function (internal). The core must never see an exception: one that the
// function throws is caught here, stops the core's operation, and is thrown
// again once the core has returned.
#ifndef KISTLE_PROGRESS_RELAY_H
#define KISTLE_PROGRESS_RELAY_H

#include <cerrno>
#include <cstdint>
#include <exception>

#include <kistle/archive.h>

#include "progress_callback.h"

namespace kistle::internal {

// Lends itself to core (a cabinet_creator or cabinet_reader) for one
// operation, while it lives; adds the bytes reported to done and hands the
// sum to function.
template <class Core> class progress_relay {
public:
    progress_relay(Core& core, const progress_function& function, uint64_t& done)
        : core(core), function(function), done(done) {
        if (function)
            callback.report = &report;
        callback.context = this;
        core.set_progress(&callback);
    }
    ~progress_relay() { core.set_progress(nullptr); }
    progress_relay(const progress_relay&) = delete;
    progress_relay& operator=(const progress_relay&) = delete;

    // Throws what the function threw, if it threw.
    void rethrow() const {
        if (thrown)
            std::rethrow_exception(thrown);
    }

private:
    static bool report(void* context, uint64_t bytes) noexcept {
        progress_relay& self = *static_cast<progress_relay*>(context);
        self.done += bytes;
        // The core may yet report a failed system call by errno.
        const int saved_errno = errno;
        try {
            self.function(self.done);
        } catch (...) {
            self.thrown = std::current_exception();
        }
        errno = saved_errno;
        return !self.thrown;
    }

    Core& core;
    const progress_function& function;
    uint64_t& done;
    progress_callback callback;
    std::exception_ptr thrown;
};

} // namespace kistle::internal

#endif
