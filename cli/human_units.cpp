#include "human_units.h"

#include <cmath>
#include <cstdio>
#include <limits>

std::uint64_t saturated(double value) {
    if (!(value > 0))
        return 0;
    // 2^64 exactly; every double below it converts.
    constexpr double limit = 18446744073709551616.0;
    double rounded = std::round(value);
    return rounded >= limit ? std::numeric_limits<std::uint64_t>::max()
                            : static_cast<std::uint64_t>(rounded);
}

std::string human_size(std::uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string human_duration(double seconds) {
    constexpr std::uint64_t longest = 99999ull * 3600 + 59 * 60 + 59;
    std::uint64_t whole = saturated(seconds);
    if (whole > longest)
        whole = longest;
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                      static_cast<unsigned long long>(whole / 3600),
                      static_cast<unsigned long long>(whole / 60 % 60),
                      static_cast<unsigned long long>(whole % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(whole / 60),
                      static_cast<unsigned long long>(whole % 60));
    return text;
}
