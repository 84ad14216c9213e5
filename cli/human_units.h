// Sizes and durations for people, as the progress line shows them.
#ifndef KISTLE_CLI_HUMAN_UNITS_H
#define KISTLE_CLI_HUMAN_UNITS_H

#include <cstdint>
#include <string>

// value rounded to a whole number, 0 for a negative value or NaN, and the
// largest count for a value past it. Sizes in a damaged cabinet can make
// rates and times that no integer holds.
std::uint64_t saturated(double value);

// "1.5 MiB": a byte count in binary units.
std::string human_size(std::uint64_t bytes);

// "1:05" or "2:03:07", rounded to a second; at most "99999:59:59".
std::string human_duration(double seconds);

#endif
