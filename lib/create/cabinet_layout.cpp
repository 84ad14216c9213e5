#include "cabinet_layout.h"

#include <kistle/cabinet_folder_header.h>

namespace kistle::internal {

cabinet_layout lay_out(const cabinet_parts& parts) {
    cabinet_layout result;
    result.coffFiles =
        parts.header_size + uint64_t{cabinet_folder_fixed_header::image_size} * parts.folders;
    result.data_start = result.coffFiles + parts.entries_size;
    result.folders_data = result.data_start + parts.leading_size;
    result.cbCabinet = result.folders_data + parts.data_size;
    return result;
}

} // namespace kistle::internal
