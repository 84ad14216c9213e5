// Reading UTF-8 one character at a time, strictly: no overlong forms, no
// surrogates, nothing above U+10FFFF.
#ifndef KISTLE_CLI_UTF8_H
#define KISTLE_CLI_UTF8_H

#include <cstddef>
#include <cstdint>
#include <string_view>

// The length of the valid UTF-8 sequence at text[at] (1 to 4), its code point
// in code_point; 0 when the bytes there are not a valid sequence.
std::size_t utf8_sequence(std::string_view text, std::size_t at, std::uint32_t& code_point);

bool is_valid_utf8(std::string_view text);

#endif
