// Where everything in a cabinet goes, from the sizes of its parts
// (internal): the one computation behind every cabinet the creator writes.
#ifndef KISTLE_CABINET_LAYOUT_H
#define KISTLE_CABINET_LAYOUT_H

#include <cstdint>

namespace kistle::internal {

struct cabinet_parts {
    uint64_t header_size = 64; // fixed header, reserve sizes and area, chain names
    uint32_t folders = 0;      // folder entries, the leading folder's included
    uint64_t entries_size = 0; // file entries with their names
    uint64_t leading_size = 0; // the leading folder's blocks
    uint64_t data_size = 0;    // every other folder's blocks
};

struct cabinet_layout {
    uint64_t coffFiles = 0;    // the first file entry
    uint64_t data_start = 0;   // the first block: the leading folder's, if any
    uint64_t folders_data = 0; // the first block of the other folders
    uint64_t cbCabinet = 0;
};

cabinet_layout lay_out(const cabinet_parts& parts);

} // namespace kistle::internal

#endif
