#include <kistle/archive.h>

namespace kistle {

const char* version() noexcept {
    return KISTLE_VERSION_STRING;
}

} // namespace kistle
