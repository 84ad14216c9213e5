#include <kistle/archive.h>
#include <kistle/temporary_cleanup.h>

namespace kistle {

void remove_temporary_files() noexcept {
    ::remove_temporary_files();
}

} // namespace kistle
