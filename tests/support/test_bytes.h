// Byte strings for tests: written out by hand, patterned, or left in a stream.
#ifndef KISTLE_TESTS_TEST_BYTES_H
#define KISTLE_TESTS_TEST_BYTES_H

#include <cstddef>
#include <initializer_list>
#include <istream>
#include <iterator>
#include <string>

// The bytes with the given values, in order.
inline std::string bytes(std::initializer_list<int> values) {
    std::string result;
    for (int value : values)
        result.push_back(static_cast<char>(value));
    return result;
}

// size bytes that differ from their neighbours, so a misplaced piece shows.
inline std::string pattern(std::size_t size) {
    std::string result(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        result[i] = static_cast<char>(i * 7 + i / 251);
    return result;
}

// Everything a read left unconsumed in the stream.
inline std::string rest_of(std::istream& in) {
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#endif
