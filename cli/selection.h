// The entries a command works on: every entry, or those matching a PATTERN.
#ifndef KISTLE_CLI_SELECTION_H
#define KISTLE_CLI_SELECTION_H

#include <string>
#include <vector>

namespace kistle {
class reader;
struct entry;
} // namespace kistle
class console;

// The entries whose names match any of patterns (all of them when there are
// none), in the cabinet's order. With first_of_each_name, a name stored
// twice counts once, as the entry extraction uses. Each pattern that matches
// nothing is noted on out, and sets failed.
std::vector<const kistle::entry*> select_entries(const kistle::reader& cabinet,
                                                 const std::vector<std::string>& patterns,
                                                 bool first_of_each_name, console& out,
                                                 bool& failed);

// Notes what opening found wrong with the cabinet at path (its record or
// directory; see kistle::reader::damage). True when there was anything.
bool note_damage(const kistle::reader& cabinet, const std::string& path, console& out);

#endif
