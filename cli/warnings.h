// Warnings about single files that do not fail the run (a special file not
// stored, an existing file kept): each said as it happens, or with -q
// counted by kind and summed up in one line per kind at the end.
#ifndef KISTLE_CLI_WARNINGS_H
#define KISTLE_CLI_WARNINGS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class console;

class warnings {
public:
    warnings(console& out, bool quiet) : out(out), quiet(quiet) {}
    warnings(const warnings&) = delete;
    warnings& operator=(const warnings&) = delete;

    // "kistle: path: reason", or with quiet a count towards the kind whose
    // summary says one (for a count of one) or many: "special file skipped",
    // "special files skipped".
    void warn(std::string_view path, std::string_view reason, const char* one, const char* many);
    // With quiet, "kistle: 3 special files skipped" for each kind met, in the
    // order first met; the counts start again.
    void summarise();

private:
    struct kind {
        const char* one;
        const char* many;
        std::uint64_t count;
    };
    console& out;
    bool quiet;
    std::vector<kind> kinds;
};

#endif
