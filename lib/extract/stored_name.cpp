#include "stored_name.h"

#include <cstddef>

#include <kistle/cabinet_status.h>

namespace kistle::internal {

int check_stored_name(const char* name) {
    const char* component = name;
    for (const char* p = name;; ++p) {
        if (*p != '\0' && !is_name_separator(*p))
            continue;
        const std::size_t length = static_cast<std::size_t>(p - component);
        const bool dot = length == 1 && component[0] == '.';
        const bool dot_dot = length == 2 && component[0] == '.' && component[1] == '.';
        if (*p == '\0')
            return length == 0 || dot || dot_dot ? CAB_ERROR_ACCESS_DENIED : CAB_STATUS_OK;
        if (dot_dot)
            return CAB_ERROR_ACCESS_DENIED;
        component = p + 1;
    }
}

} // namespace kistle::internal
