// The entries a command works on: every entry, or those its operands select.
#ifndef KISTLE_CLI_SELECTION_H
#define KISTLE_CLI_SELECTION_H

#include <string>
#include <vector>

namespace kistle {
class reader;
struct entry;
} // namespace kistle
class console;
class exclusion_set;

// The entries that any of operands selects (all of them when there are
// none; see pattern_set) and excluded does not leave out, in the cabinet's
// order. Each operand that selects nothing is noted on out, and sets failed.
std::vector<const kistle::entry*> select_entries(const kistle::reader& cabinet,
                                                 const std::vector<std::string>& operands,
                                                 const exclusion_set& excluded, console& out,
                                                 bool& failed);

// What cat writes: operand by operand in the order given, the entries each
// selects in the cabinet's order, each as the entry extraction would write
// at its path (so once for names that land on one path). Operands that
// select nothing are noted as select_entries does.
std::vector<const kistle::entry*> select_in_operand_order(const kistle::reader& cabinet,
                                                          const std::vector<std::string>& operands,
                                                          console& out, bool& failed);

// Notes what opening found wrong with the cabinet at path (its record or
// directory; see kistle::reader::damage) and the cabinets of its set that
// could not be read. True when there was anything.
bool note_damage(const kistle::reader& cabinet, const std::string& path, console& out);
// Says so where cabinet is a later cabinet of a set, whose files that need
// the cabinets before it or after it fail.
void note_later_volume(const kistle::reader& cabinet, const std::string& path, console& out);
// Says so where cabinet is a later cabinet of a set, whose files that need
// the cabinets before it or after it fail.
void note_later_volume(const kistle::reader& cabinet, const std::string& path, console& out);

#endif
