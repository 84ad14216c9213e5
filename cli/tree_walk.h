// The files that `kistle create` stores: each PATH given, and every file
// below each directory, in sorted order so that the same tree always gives
// the same cabinet.
#ifndef KISTLE_CLI_TREE_WALK_H
#define KISTLE_CLI_TREE_WALK_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class console;

struct input_file {
    std::filesystem::path source; // where to read it
    std::string stored_name;
    std::uint64_t size = 0;
};

struct walk_settings {
    std::filesystem::path base;    // -C DIR; empty for the current directory
    std::filesystem::path cabinet; // never stored in itself
};

// Appends the files to store to files. Skipped files (symbolic links,
// special files, the cabinet itself, a name given twice) and empty
// directories are noted on out; so is each failure (a path that cannot be
// read, a name with a ".." component). False when anything failed.
bool collect_inputs(const std::vector<std::string>& paths, const walk_settings& settings,
                    console& out, std::vector<input_file>& files);

#endif
