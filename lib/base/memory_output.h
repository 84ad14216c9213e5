// An output stream buffer that collects what is written in memory
// (internal). Memory that cannot be had makes the writing fail as a failed
// write would, and says so in out_of_memory().
#ifndef KISTLE_MEMORY_OUTPUT_H
#define KISTLE_MEMORY_OUTPUT_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <streambuf>

#include "unbuffered_output.h"

namespace kistle::internal {

class memory_output : public unbuffered_output {
public:
    memory_output() = default;
    ~memory_output() override { std::free(bytes); }
    memory_output(const memory_output&) = delete;
    memory_output& operator=(const memory_output&) = delete;

    uint8_t* data() { return bytes; }
    std::size_t size() const { return used; }
    bool out_of_memory() const { return failed; }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const std::size_t count = static_cast<std::size_t>(n);
        if (count == 0 || !reserve(count))
            return 0;
        std::memcpy(bytes + used, s, count);
        used += count;
        return n;
    }

private:
    bool reserve(std::size_t more) {
        if (failed)
            return false;
        if (used + more <= capacity)
            return true;
        std::size_t wanted = capacity < 4096 ? 4096 : capacity;
        while (wanted < used + more)
            wanted *= 2;
        void* grown = std::realloc(bytes, wanted);
        if (grown == nullptr) {
            failed = true;
            return false;
        }
        bytes = static_cast<uint8_t*>(grown);
        capacity = wanted;
        return true;
    }

    uint8_t* bytes = nullptr;
    std::size_t used = 0;
    std::size_t capacity = 0;
    bool failed = false;
};

} // namespace kistle::internal

#endif
