// What a reader learns from a cabinet's record (internal): whether there is
// one and it holds, and the entries it describes, each checked against the
// file entry it names.
#ifndef KISTLE_RECORD_READER_H
#define KISTLE_RECORD_READER_H

#include <cstdint>
#include <vector>

#include <kistle/archive.h>
#include <kistle/cabinet_reader.h>

#include "record.h"

namespace kistle::internal {

// One entry as the reader presents it, and where its bytes come from.
struct entry_source {
    int64_t file = -1;        // its file entry; -1 for a directory or link
    bool has_content = false; // content holds the XXH3 of its bytes
    uint64_t content = 0;
    uint32_t link_group = 0; // the entry whose bytes a verified record says these are
    uint32_t volume = 0;     // the cabinet of a set whose file entry it is
};

struct record_reading {
    record_status status = record_status::none;
    uint8_t major = 0, minor = 0;
    bool directory_verified = false;
    std::optional<uint16_t> record_folder;
    std::vector<problem> damage;
    // Filled from the record when it holds; from the file entries otherwise.
    std::vector<entry> entries;
    std::vector<entry_source> sources;
};

// Reads what core (open) holds: its record if any, else its file entries.
// Throws std::bad_alloc.
void read_entries(cabinet_reader& core, record_reading& result);

// The mode a plain cabinet's entry stands for, from its attribute bits.
uint32_t mode_of_attributes(uint16_t attributes);

} // namespace kistle::internal

#endif
