// The forms `kistle list` writes an entry in.
#ifndef KISTLE_CLI_LISTING_H
#define KISTLE_CLI_LISTING_H

#include <ctime>
#include <ostream>
#include <string>
#include <vector>

namespace kistle {
struct entry;
}
class console;

// "2025-03-14 09:26:54" in local time; "?" when the time cannot be shown.
std::string local_time_text(std::time_t when);
// "2025-03-14T09:26:54+01:00": local time with its offset from UTC.
std::string iso_time_text(std::time_t when);

// One line per entry: its name (list), or type and mode, owner and group,
// size, date and time, and name, as tar -tv shows them (list -l). A
// directory's name ends in '/'.
void write_names(const std::vector<const kistle::entry*>& entries, console& out);
void write_long(const std::vector<const kistle::entry*>& entries, console& out);
// A JSON array, one object per line.
void write_json(const std::vector<const kistle::entry*>& entries, std::ostream& out);

#endif
