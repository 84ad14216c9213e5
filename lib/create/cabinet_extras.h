// What a cabinet may carry beyond what cabinet_creator writes by itself
// (internal): a header reserve area, and one folder whose blocks come
// before every other folder's data while its number comes after theirs.
// The application interface uses them for its record, and gives close its
// own target, whose settings differ from cabinet_tool's.
#ifndef KISTLE_CABINET_EXTRAS_H
#define KISTLE_CABINET_EXTRAS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>

namespace kistle::internal {

class cabinet_target;

struct cabinet_extras {
    // The header's reserve area, written with cfhdrRESERVE_PRESENT and no
    // reserve bytes in folder entries or data blocks; none when size is 0.
    const uint8_t* header_reserve = nullptr;
    uint16_t header_reserve_size = 0;

    // The leading folder: its blocks (headers and payloads, as a folder
    // writes them), their count and the folder's compression type. None
    // when blocks is null.
    const uint8_t* leading_blocks = nullptr;
    std::size_t leading_size = 0;
    uint16_t leading_block_count = 0;
    uint16_t leading_type = 0;

    // Called with the directory (the header through the last file entry),
    // before it is written; it may change the reserve area, which lies at
    // reserve_offset in it. The directory is in memory only when this is
    // set.
    void (*seal)(void* context, uint8_t* directory, std::size_t size,
                 std::size_t reserve_offset) = nullptr;
    void* seal_context = nullptr;

    // The data of the last folders, written by another than the creator
    // behind the data file's blocks: trailing_size bytes that trailing
    // writes to out, returning a status (folders whose blocks the creator
    // never wrote; see cfc_folderinfo::adopt_blocks). None when null.
    int (*trailing)(void* context, std::ostream& out) = nullptr;
    void* trailing_context = nullptr;
    uint64_t trailing_size = 0;

    // Where close(path) writes: a target the caller opened for that path
    // and keeps. Null: close opens one with the default settings.
    cabinet_target* target = nullptr;
};

// Writes what comes before the folders' data: the directory, as
// write_directory writes it to the stream it is given (sealed first in
// memory when extras has a seal), then the leading folder's blocks.
// Returns a status.
int write_front(std::ostream& out, const cabinet_extras& extras,
                const std::function<int(std::ostream&)>& write_directory);

} // namespace kistle::internal

#endif
