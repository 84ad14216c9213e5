// One cabinet of a set, written from a plan (internal): which blocks of a
// creator's data file its folders hold, its file entries (continued ones
// included), its place in the set and what kistle adds to it. The writer
// of a set plans its cabinets once every block is in the data file, since
// where a cabinet must end depends on the sizes the blocks were
// compressed to.
#ifndef KISTLE_VOLUME_WRITER_H
#define KISTLE_VOLUME_WRITER_H

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include <kistle/cabinet_file_header.h>

#include "cabinet_extras.h"

namespace kistle::internal {

// A folder of the cabinet: a run of consecutive blocks of the data file.
struct volume_folder {
    uint16_t typeCompress = 1;
    uint64_t data_offset = 0; // the first block's header, in the data file
    uint64_t data_size = 0;   // the blocks' headers and payloads
    uint16_t blocks = 0;
};

// A file entry as the cabinet holds it: iFolder may be one of the
// continuation values, cbFile then the whole file's size.
struct volume_entry {
    cabinet_file_fixed_header fields;
    std::string name;
};

struct volume_plan {
    uint16_t setID = 0;
    uint16_t iCabinet = 0;
    // The chain: the names of the cabinets before and after this one, and
    // of the disks that hold them; none without a cabinet there.
    bool has_previous = false, has_next = false;
    std::string previous, previous_disk, next, next_disk;
    std::vector<volume_folder> folders;
    std::vector<volume_entry> entries;
};

// The bytes the cabinet's header, folder entries and file entries take,
// with a header reserve area of reserve_size bytes and, when leading, one
// folder entry more.
uint64_t directory_size(const volume_plan& plan, uint16_t reserve_size, bool leading);

// Writes the cabinet to out: its directory (sealed as extras say), the
// leading folder's blocks, then each folder's blocks copied from data (the
// creator's data file). CAB_STATUS_OK; CAB_ERROR_WRITE, CAB_ERROR_SEEK or
// CAB_ERROR_READ (the data file cannot be read where the plan says),
// CAB_ERROR_OUT_OF_MEMORY.
[[nodiscard]] int write_volume(std::ostream& out, const volume_plan& plan, std::istream& data,
                               const cabinet_extras& extras);
// As above, to where target (open) writes; target.finish puts it in place.
[[nodiscard]] int write_volume(cabinet_target& target, const volume_plan& plan, std::istream& data,
                               const cabinet_extras& extras);

} // namespace kistle::internal

#endif
