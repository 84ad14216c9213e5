// Reading bytes held in memory through a stream (internal).
#ifndef KISTLE_MEMORY_INPUT_H
#define KISTLE_MEMORY_INPUT_H

#include <streambuf>
#include <string_view>

namespace kistle::internal {

// Reads bytes that stay the caller's, without a copy.
class memory_input : public std::streambuf {
public:
    explicit memory_input(std::string_view bytes) {
        // The get area is only read: nothing is ever put back into it.
        char* begin = const_cast<char*>(bytes.data());
        setg(begin, begin, begin + bytes.size());
    }
};

} // namespace kistle::internal

#endif
