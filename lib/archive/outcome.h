// How the interface turns a status of the core into what its callers see
// (internal): a kistle::error thrown, or a std::error_code set.
#ifndef KISTLE_OUTCOME_H
#define KISTLE_OUTCOME_H

#include <filesystem>
#include <system_error>

#include <kistle/archive.h>
#include <kistle/cabinet_status.h>

namespace kistle::internal {

struct outcome {
    int status = CAB_STATUS_OK;
    std::filesystem::path path;   // what what() names
    std::error_code system;       // the failed system call's reason, if one failed
    const char* reason = nullptr; // what was wrong where no system call failed

    bool failed() const { return status != CAB_STATUS_OK; }
};

// The outcome of a core call that returned status, concerning path. errno,
// which the caller cleared before the call, becomes the system's reason when
// it is set and status is one that a failed system call gives.
// The path is taken by value: a long stored name is moved, not copied.
outcome outcome_of(int status, std::filesystem::path path = {});
// The outcome of what the interface reported as code (a reader's or
// writer's error_code), concerning path: its own status, or otherwise for a
// system error, whose reason it keeps.
outcome outcome_of(const std::error_code& code, std::filesystem::path path, int otherwise);

// The kistle::error of a failed outcome, its path moved into it.
error error_of(outcome result);
// Throws error_of(result) for a failed outcome; nothing otherwise.
void raise(outcome result);
// Sets ec to a failed outcome's status, or clears it.
void report(const outcome& result, std::error_code& ec) noexcept;

} // namespace kistle::internal

#endif
