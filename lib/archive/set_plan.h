// How a writer's files are laid out over the cabinets of a set (internal).
// Every block is in the writer's data file when the set is planned, so a
// cabinet can end exactly where the next block would take it past its
// size: blocks are independent, so a folder's blocks may be cut between
// any two of them, and the files whose bytes the cut runs through continue
// in the next cabinet. A cabinet also ends where it would hold more entries
// or folders than the format counts, and where a file larger than a
// folder goes on in the writer's next folder (a cabinet keeps a file in
// one folder).
//
// A file that continues has an entry in every cabinet it touches, with its
// whole size as cbFile: where it begins, iFolder 0xFFFE, in that cabinet's
// last folder, uoffFolderStart its start there; in a cabinet it only passes
// through, 0xFFFF, all of that cabinet's first folder; where it ends,
// 0xFFFD, in the first folder, uoffFolderStart 0.
#ifndef KISTLE_SET_PLAN_H
#define KISTLE_SET_PLAN_H

#include <cstdint>
#include <string>
#include <vector>

#include "volume_writer.h"

namespace kistle::internal {

// A stretch of a file's bytes in one folder of the writer's data file.
struct file_piece {
    uint32_t folder = 0; // the writer's folder: its number in the data file
    uint64_t offset = 0, length = 0;
};

// A file entry as the writer made it.
struct planned_file {
    std::vector<file_piece> pieces; // in order; more than one for a file no folder holds
    uint64_t size = 0;
    uint16_t date = 0, time = 0, attribs = 0;
    std::string name;
    // What the cabinet holding its first byte must also take: the bound of
    // its record entry, and of the record's entries without bytes (its
    // directories and links) that come with it.
    uint64_t record_cost = 0;
    uint64_t companions_cost = 0;
};

// A folder of the data file.
struct planned_folder {
    uint16_t typeCompress = 1;
    uint64_t data_offset = 0;
    const uint32_t* blocks = nullptr; // each block's cbData << 16 | cbUncomp, in order
    uint32_t block_count = 0;
};

struct set_limits {
    uint64_t volume_size = UINT64_MAX; // every cabinet's bytes, all told
    uint32_t entries = 0xFFFF;
    uint32_t folders = 0xFFFD - 1; // one kept for the record
    uint16_t reserve_size = 0;     // the header's reserve area
    uint64_t fixed_cost = 0;       // what every cabinet takes besides: its record's frame
    uint64_t chain_names = 0;      // the bytes its chain names may take
};

// One cabinet: its plan (setID, chain names and the record left to the
// caller), and for each of its entries the writer's file.
struct planned_volume {
    volume_plan plan;
    std::vector<uint32_t> files;       // by entry
    std::vector<uint32_t> first_files; // the files whose first byte it holds
    bool last_record_only = false;     // it takes the record's entries left at the end
};

struct set_outcome {
    std::vector<planned_volume> volumes;
    // Why a cabinet began after the first: "size", "files", "folders" or
    // "a file larger than a folder", one per cabinet from the second.
    std::vector<std::string> reasons;
    bool too_small = false; // one block and its entries take more than a cabinet
};

// Lays files out over cabinets within limits. trailing_cost: the record's
// entries without bytes that follow the last file.
set_outcome plan_set(const std::vector<planned_folder>& folders,
                     const std::vector<planned_file>& files, uint64_t trailing_cost,
                     const set_limits& limits);

} // namespace kistle::internal

#endif
