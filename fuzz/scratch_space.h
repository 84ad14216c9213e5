// The private directories fuzz targets extract into (internal to the
// fuzzers): root holds input.cab and outer/, which holds work/, so that a
// name that climbed one or two levels out of work/ would land where it can
// be seen.
#ifndef KISTLE_FUZZ_SCRATCH_SPACE_H
#define KISTLE_FUZZ_SCRATCH_SPACE_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

struct scratch_space {
    std::string root;
    std::string work;
    std::string input; // root/input.cab
};

// Makes the directories under /dev/shm (else $TMPDIR or /tmp), removed when
// the process ends normally; aborts when it cannot.
const scratch_space& make_scratch_space();

// Writes the input to space.input; aborts when it cannot.
void write_input(const scratch_space& space, const uint8_t* data, std::size_t size);

// Removes everything inside the directory open as top, read-only
// directories and any depth included.
void empty_directory(int top);

// True when directory holds nothing but the expected entries.
bool holds_only(const std::string& directory, std::initializer_list<const char*> expected);

// Aborts unless nothing left work/, then empties work/.
void check_and_empty(const scratch_space& space);

#endif
