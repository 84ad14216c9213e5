#include "size_suffix.h"

#include <limits>

std::optional<std::uint64_t> parse_size(std::string_view text) {
    std::uint64_t value = 0;
    std::size_t i = 0;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    if (i == 0)
        return std::nullopt;
    std::string_view suffix = text.substr(i);
    if (suffix.empty())
        return value;
    unsigned shift = 0;
    switch (suffix[0]) {
    case 'k':
    case 'K':
        shift = 10;
        break;
    case 'm':
    case 'M':
        shift = 20;
        break;
    case 'g':
    case 'G':
        shift = 30;
        break;
    default:
        return std::nullopt;
    }
    suffix.remove_prefix(1);
    if (!suffix.empty() && suffix != "B" && suffix != "iB")
        return std::nullopt;
    if (value > (max >> shift))
        return std::nullopt;
    return value << shift;
}
