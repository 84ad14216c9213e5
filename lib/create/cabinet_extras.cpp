#include "cabinet_extras.h"

#include <kistle/cabinet_status.h>

#include "cabinet_layout.h"
#include "memory_output.h"

namespace kistle::internal {

int write_front(std::ostream& out, const cabinet_extras& extras,
                const std::function<int(std::ostream&)>& write_directory) {
    int status;
    if (extras.seal == nullptr) {
        status = write_directory(out);
    } else {
        // Sealed in memory: what seals it covers the directory as written.
        memory_output directory;
        std::ostream image(&directory);
        status = write_directory(image);
        if (status == CAB_STATUS_OK && directory.out_of_memory())
            status = CAB_ERROR_OUT_OF_MEMORY;
        if (status == CAB_STATUS_OK) {
            extras.seal(extras.seal_context, directory.data(), directory.size(),
                        header_reserve_offset);
            out.write(reinterpret_cast<const char*>(directory.data()),
                      static_cast<std::streamsize>(directory.size()));
            if (out.fail())
                status = CAB_ERROR_WRITE;
        }
    }
    if (status == CAB_STATUS_OK && extras.leading_blocks != nullptr) {
        out.write(reinterpret_cast<const char*>(extras.leading_blocks),
                  static_cast<std::streamsize>(extras.leading_size));
        if (out.fail())
            status = CAB_ERROR_WRITE;
    }
    return status;
}

} // namespace kistle::internal
