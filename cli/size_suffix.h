// Sizes given on the command line: a number of bytes with an optional
// binary suffix.
#ifndef KISTLE_CLI_SIZE_SUFFIX_H
#define KISTLE_CLI_SIZE_SUFFIX_H

#include <cstdint>
#include <optional>
#include <string_view>

// "4096", "64K", "100M", "2G": decimal digits, then optionally K, M or G
// (either case) for 2^10, 2^20 or 2^30, optionally followed by "B" or "iB".
// Nothing when the text is anything else or the value does not fit in 64 bits.
std::optional<std::uint64_t> parse_size(std::string_view text);

#endif
