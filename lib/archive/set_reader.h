// Reading a set of cabinets as one (internal). The first cabinet is opened
// by the reader; the others are found beside it, by the name each cabinet
// gives the next (a file name alone) or else by the name kistle gives it
// (backup.cab, backup.2.cab, ...), and each must carry the first's setID
// and its own position. Their entries follow the first's; a file that
// continues over cabinets is one entry whose bytes are read in parts.
#ifndef KISTLE_SET_READER_H
#define KISTLE_SET_READER_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

#include <kistle/archive.h>
#include <kistle/cabinet_reader.h>

#include "range_checks.h"
#include "record_reader.h"

namespace kistle::internal {

// A cabinet of the set after the first.
struct set_volume {
    std::filesystem::path path;
    cabinet_reader core;
    record_reading reading;
    uint64_t actual_size = 0;
    struct stat file = {};
    std::vector<uint32_t> merged; // each of its entries' number in the set
    // Found when first needed, as for the first cabinet.
    std::vector<folder_span> spans;
    std::vector<int64_t> overlapping; // by its own entry number
};

// Bytes [start, start + length) of a folder of the set's cabinet volume
// (0: the first).
struct set_part {
    uint32_t volume = 0;
    uint16_t folder = 0;
    uint64_t start = 0, length = 0;
};

// A file whose bytes are in more than one cabinet, or whose entry says
// they continue where no cabinet is.
struct continued_file {
    std::vector<set_part> parts;
    int status = 0;       // why it cannot be read whole: CAB_ERROR_VOLUME_MISSING, ...
    std::string why;      // naming the cabinet it needs, where one is missing
    bool verified = true; // every part's entry agrees with its record
};

struct set_reading {
    std::vector<std::unique_ptr<set_volume>> later; // by position - 1; none where one is missing
    std::unordered_map<uint32_t, continued_file> continued; // by entry number
    std::vector<volume_info> volumes;                       // the first included
};

// Opens a cabinet of the set into volume (path set): its core, its entries
// read as read_entries reads them, its size and identity. A status.
using volume_opener = int (*)(void* context, set_volume& volume);

// Reads the cabinets after the first (path, core open, its entries in
// reading), adding their entries to reading's, and sets set.continued for
// every entry of a file that continues. An empty path: a cabinet read from
// a stream, whose set is not looked for. A cabinet that is missing or of
// another set ends the chain: the files that need it fail with its status.
// Throws std::bad_alloc.
void read_set(const std::filesystem::path& first_path, cabinet_reader& first,
              record_reading& reading, volume_opener open, void* context, set_reading& set);

} // namespace kistle::internal

#endif
