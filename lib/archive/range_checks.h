// Where a cabinet's entries and folders say their bytes lie, checked against
// each other (internal): folders whose blocks run into one another, entries
// whose ranges overlap, names that land on one path. Each check reads what
// it needs once, so its time grows with the cabinet, whatever the cabinet
// claims.
#ifndef KISTLE_RANGE_CHECKS_H
#define KISTLE_RANGE_CHECKS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <kistle/archive.h>
#include <kistle/cabinet_reader.h>

#include "record_reader.h"
#include "stored_name.h"

namespace kistle::internal {

// One folder's blocks, as their headers say.
struct folder_span {
    uint64_t compressed = 0, uncompressed = 0;
    int status = 0;        // of walking its headers
    int32_t overlaps = -1; // a folder whose blocks it shares, or -1
};

// Walks the block headers of every folder once, in the order of their
// first blocks, each only as far as the next folder's first block: two
// folders that begin at one place, or one whose blocks run into the next
// one's, overlap.
std::vector<folder_span> folder_spans(cabinet_reader& core);

// For each entry, another entry whose bytes overlap its own, or -1: two
// non-empty ranges of one folder that intersect, or entries of folders
// that overlap. Entries of one link group (hard links of one file, as a
// verified record says) share their range without overlapping.
std::vector<int64_t> overlapping_entries(const record_reading& reading, const cabinet_reader& core,
                                         const std::vector<folder_span>& spans);

// For each entry, the earlier entry whose name lands on the same path, or
// -1: the first entry of a path is the one extracted.
std::vector<int64_t> shadowing_entries(const std::vector<entry>& entries);

} // namespace kistle::internal

#endif
