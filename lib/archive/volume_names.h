// The names of the cabinets of a set (internal): the first is the name the
// user gave; each later one has its number before the extension.
#ifndef KISTLE_VOLUME_NAMES_H
#define KISTLE_VOLUME_NAMES_H

#include <filesystem>
#include <string>
#include <string_view>

namespace kistle::internal {

// Volume number (1 is the first) of the set whose first cabinet is first:
// backup.cab, backup.2.cab, backup.3.cab; backup, backup.2. The extension
// is what follows the last '.' of the file name, but a name's leading '.'
// starts none (.backup, .backup.2).
std::filesystem::path volume_path(const std::filesystem::path& first, unsigned number);

// Whether a chain name stored in a cabinet names a cabinet beside it: a
// file name alone, never a path that could lead elsewhere.
bool is_plain_file_name(std::string_view name);

} // namespace kistle::internal

#endif
