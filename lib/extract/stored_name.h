// Which stored names extraction takes (internal): the one rule that
// extraction and the writer's refusal of a name share, so that a cabinet made
// through the writer holds no file that cannot be extracted.
//
// '/' and '\' both separate directories. Empty components and "." are
// skipped, so leading separators drop and an absolute name lands inside the
// target directory. Refused: a ".." component anywhere, and a name without a
// file name after its last separator (empty, ".", "..").
#ifndef KISTLE_STORED_NAME_H
#define KISTLE_STORED_NAME_H

#include <string>
#include <string_view>

namespace kistle::internal {

inline bool is_name_separator(char c) {
    return c == '/' || c == '\\';
}

// What is wrong with a name extraction refuses, so that the writer and the
// reader can each say it in their own words.
enum class name_fault {
    none,
    climbs,  // a ".." component
    no_name, // empty, or nothing but "." after the last separator
};
name_fault fault_of(std::string_view name);

// CAB_STATUS_OK when extraction takes name, CAB_ERROR_ACCESS_DENIED when it
// refuses it.
[[nodiscard]] int check_stored_name(const char* name);

// The path extraction writes a name to: its components, '/' and '\' both
// separating, empty and "." ones dropped, joined by '/' ("./docs//a.txt"
// and "docs\a.txt" land on "docs/a.txt").
std::string path_of(std::string_view name);

// path_of(name) less its first count components, as tar's
// --strip-components takes them; empty when nothing is left.
std::string stripped_path(std::string_view name, unsigned count);

} // namespace kistle::internal

#endif
