// What a caller of the reader's extraction may add to it (internal): a look
// at every byte written, and the last word on the finished file before it
// is published.
#ifndef KISTLE_EXTRACTION_HOOKS_H
#define KISTLE_EXTRACTION_HOOKS_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace kistle::internal {

struct extraction_hooks {
    void* context = nullptr;
    // Gets every byte of the file as it is written, in order.
    void (*seen)(void* context, const uint8_t* bytes, std::size_t size) = nullptr;
    // Once every byte is written, before the file is published: restores
    // what the entry keeps to the file open as fd (in place of the stored
    // DOS date and read-only bit) and sets the mode it is published with.
    // A failure status publishes nothing and is the extraction's.
    int (*complete)(void* context, int fd, mode_t& mode) = nullptr;
};

} // namespace kistle::internal

#endif
