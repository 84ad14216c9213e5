// kistle's commands and options, parsed by CLI11.
#ifndef KISTLE_CLI_COMMAND_LINE_H
#define KISTLE_CLI_COMMAND_LINE_H

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

enum class command { create, list, extract, test, cat, info, add, update, remove };

struct options {
    command what = command::info;
    std::string cabinet;
    std::vector<std::string> operands; // PATHs, PATTERNs, DIRs or NAMEs
    std::string directory;             // -C
    std::vector<std::string> excludes; // --exclude, as given
    bool store = false;
    int level = -1; // -1: the library's default
    std::uint64_t folder_size = 0;
    bool folder_size_given = false; // --folder-size; otherwise a size chosen for the tree
    std::uint64_t volume_size = 0;
    unsigned threads = 0; // 0: one per core
    bool verbose = false;
    bool quiet = false;                  // -q: no progress line, warnings summed up
    bool no_progress = false;            // --no-progress: no progress line
    std::uint64_t progress_delay = 1000; // milliseconds before the progress line shows
    bool long_format = false;
    bool json = false;
    bool keep = false;
    bool allow_overlap = false;    // extract
    unsigned strip_components = 0; // extract
    // create: what the entries record
    bool plain = false;
    std::string mtime, owner, group; // as given; empty when not
    bool numeric_owner = false;
    bool in_place = false;       // create: write over the cabinet where a new file cannot be made
    bool force = false;          // create: replace a file that is not a cabinet
    bool delete_missing = false; // update: remove entries whose files are gone
};

// Exit statuses.
constexpr int exit_success = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

// Parses the command line into result. Returns -1 when the command is to
// run; otherwise the run ends here with the status returned: 0 after --help
// or --version (written to out), exit_usage after a usage error (its
// message and a hint to --help written to err).
int parse_command_line(int argc, char** argv, options& result, std::ostream& out,
                       std::ostream& err);

#endif
