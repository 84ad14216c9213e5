// The date and time of a file entry: DOS encoding, local time, two-second
// resolution.
//
//     date: bits 0-4 day (1 to 31), 5-8 month (1 to 12), 9-15 year - 1980
//     time: bits 0-4 seconds / 2, 5-10 minutes, 11-15 hours
//
// The creator stores, the reader restores and the report prints dates and
// times through these functions alone.
#ifndef KISTLE_DOS_DATE_TIME_H
#define KISTLE_DOS_DATE_TIME_H

#include <cstdint>
#include <ctime>

#include <kistle/export.h>

namespace kistle {

// The fields of a stored date and time, as stored: nothing is judged, so a
// damaged entry may give a month of 0 or 15, or 62 seconds.
struct dos_date_time {
    unsigned year;   // 1980 to 2107
    unsigned month;  // 1 to 12
    unsigned day;    // 1 to 31
    unsigned hour;   // 0 to 23
    unsigned minute; // 0 to 59
    unsigned second; // 0 to 58, always even
};

KISTLE_EXPORT dos_date_time decode_dos_date_time(std::uint16_t date, std::uint16_t time) noexcept;

// The date and time of when, taken as local time. The fields are not
// checked: a year before 1980 or after 2107 wraps around the 16 bits, as the
// format has no way to say it. False, with date and time unchanged, when the
// system has no local time for when.
[[nodiscard]] KISTLE_EXPORT bool encode_dos_date_time(std::time_t when, std::uint16_t& date,
                                                      std::uint16_t& time) noexcept;

// The time a stored date and time name, read as local time (whether daylight
// saving time applies is the system's decision). Out-of-range fields carry
// over as mktime carries them (month 13 is January of the next year). False,
// with when unchanged, when the system cannot represent the result.
[[nodiscard]] KISTLE_EXPORT bool dos_date_time_to_time(std::uint16_t date, std::uint16_t time,
                                                       std::time_t& when) noexcept;

} // namespace kistle

#endif
