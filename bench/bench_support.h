// Small pieces that the measuring programs share: clocks, failing loudly,
// and reading input files whole.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace bench {

inline double seconds_of(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

inline double wall_seconds() {
    return seconds_of(CLOCK_MONOTONIC);
}

// The calling thread's CPU time: what one core spent, whatever else the
// machine's other users ask of it meanwhile.
inline double cpu_seconds() {
    return seconds_of(CLOCK_THREAD_CPUTIME_ID);
}

// Set by each program's main, for its messages.
inline const char* program_name = "bench";

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "%s: %s\n", program_name, what);
    std::exit(1);
}

// The -r ROUNDS option (3 by default), leaving optind at the first operand;
// 0 for a bad option or count.
inline int rounds_option(int argc, char** argv) {
    int rounds = 3;
    int option;
    while ((option = getopt(argc, argv, "r:")) != -1) {
        if (option != 'r')
            return 0;
        rounds = std::atoi(optarg);
    }
    return rounds < 1 ? 0 : rounds;
}

// Appends the whole file to bytes; false if it cannot be opened or read.
inline bool append_file(const char* path, std::vector<unsigned char>& bytes) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    unsigned char piece[1 << 16];
    std::size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0)
        bytes.insert(bytes.end(), piece, piece + got);
    bool read_all = std::ferror(file) == 0;
    std::fclose(file);
    return read_all;
}

} // namespace bench
