// Where everything in a cabinet goes, from the sizes of its parts
// (internal): the one computation behind every cabinet the creator writes,
// and behind each folder's share of the running totals.
#ifndef KISTLE_CABINET_LAYOUT_H
#define KISTLE_CABINET_LAYOUT_H

#include <cstdint>

class cabinet_header;
class cfc_fileinfo;
class cfc_folderinfo;

namespace kistle::internal {

// Where a header's reserve area begins: behind the fixed part and the
// reserve sizes.
constexpr uint64_t header_reserve_offset = 64 + 4;

struct cabinet_parts {
    // The header: its fixed part, reserve sizes and area, and the chain
    // names its flags call for (header_size_of).
    uint64_t header_size = 64;
    uint32_t folders = 0;       // folder entries, the leading folder's included
    uint8_t folder_reserve = 0; // reserve bytes behind each folder entry
    // File entries with their names, entries continued from or to another
    // cabinet included (entry_size).
    uint64_t entries_size = 0;
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

// The bytes header takes as written: with the reserve sizes and area when
// its flags say so, and the chain names of a cabinet set (previous cabinet
// and disk, next cabinet and disk) that its flags call for.
uint64_t header_size_of(const cabinet_header& header);
// A file entry's bytes: the fixed part, the name and its NUL.
uint64_t entry_size(const cfc_fileinfo& entry);
// A folder's own part of a cabinet, without a header: its entry, its file
// entries and its blocks. Laid out, its data_start and cbCabinet are what
// the folder adds to the running totals of cfc_folderinfo::close.
cabinet_parts folder_parts(const cfc_folderinfo& folder);

} // namespace kistle::internal

#endif
