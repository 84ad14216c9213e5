// What a writer stores about one entry besides its bytes, and how the
// file entry's fixed fields follow from it (internal).
#ifndef KISTLE_ENTRY_FACTS_H
#define KISTLE_ENTRY_FACTS_H

#include <cstdint>
#include <string>
#include <string_view>

#include <kistle/archive.h>

namespace kistle::internal {

struct entry_facts {
    std::uint32_t mode = 0644; // 07777
    bool has_owner = false;
    owner_id owner, group;
    file_time modified;
};

// The DOS date and time of when, in UTC or local time, clamped into what
// the fields can hold (1980-01-01 00:00:00 to 2107-12-31 23:59:58, never
// wrapped). True when when had to be clamped.
bool clamped_dos_date_time(const file_time& when, bool utc, std::uint16_t& date,
                           std::uint16_t& time);

// The attribute bits a record-keeping cabinet gives a file: R without the
// owner's write bit, E with any execute bit, U for a UTF-8 name that is not
// plain ASCII.
std::uint16_t attributes_of(std::uint32_t mode, std::string_view name);

// Whether text is valid UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool is_utf8(std::string_view text);

} // namespace kistle::internal

#endif
