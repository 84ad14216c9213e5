#include "outcome.h"

#include <cerrno>
#include <utility>

#include <kistle/archive.h>

namespace kistle::internal {

namespace {

// The statuses of a failed system call; errno says why.
bool from_system_call(int status) {
    switch (status) {
    case CAB_ERROR_READ:
    case CAB_ERROR_WRITE:
    case CAB_ERROR_OPEN_STREAM:
    case CAB_ERROR_SEEK:
    case CAB_ERROR_MKDIR:
    case CAB_ERROR_ACCESS_DENIED:
    case CAB_ERROR_RESTORE_DATETIME:
    case CAB_ERROR_RESTORE_ATTRIBUTES:
    case CAB_ERROR_TEMP_FILE:
    case CAB_ERROR_OPEN_FILE:
    case CAB_ERROR_CLOSE_FILE:
    case CAB_ERROR_FSTAT:
        return true;
    default:
        return false;
    }
}

} // namespace

outcome outcome_of(int status, std::filesystem::path path) {
    outcome result;
    if (status == CAB_STATUS_OK)
        return result;
    int system = errno;
    result.status = status;
    result.path = std::move(path);
    if (system != 0 && from_system_call(status))
        result.system = std::error_code(system, std::system_category());
    return result;
}

outcome outcome_of(const std::error_code& code, std::filesystem::path path, int otherwise) {
    const bool own = code.category() == category();
    errno = own ? 0 : code.value();
    return outcome_of(own ? code.value() : otherwise, std::move(path));
}

error error_of(outcome result) {
    if (result.reason != nullptr)
        return error(std::error_code(result.status, category()), std::move(result.path),
                     result.reason);
    return error(result.status, std::move(result.path), result.system);
}

void raise(outcome result) {
    if (result.failed())
        throw error_of(std::move(result));
}

void report(const outcome& result, std::error_code& ec) noexcept {
    if (result.failed())
        ec = std::error_code(result.status, category());
    else
        ec.clear();
}

} // namespace kistle::internal
