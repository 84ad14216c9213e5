#include "entry_facts.h"

#include <ctime>

#include <kistle/cabinet_file_header.h>

namespace kistle::internal {

namespace {

constexpr int first_year = 1980, last_year = 2107;

bool broken_down(std::time_t when, bool utc, std::tm& parts) {
    return (utc ? gmtime_r(&when, &parts) : localtime_r(&when, &parts)) != nullptr;
}

} // namespace

bool clamped_dos_date_time(const file_time& when, bool utc, std::uint16_t& date,
                           std::uint16_t& time) {
    const std::uint16_t earliest_date = (1 << 5) | 1; // 1980-01-01
    const std::uint16_t latest_date = ((last_year - first_year) << 9) | (12 << 5) | 31;
    const std::uint16_t latest_time = (23 << 11) | (59 << 5) | 29;
    std::tm parts;
    // A time that a broken-down year cannot hold lies far outside the range.
    const bool known = broken_down(static_cast<std::time_t>(when.seconds), utc, parts);
    const int year = known ? parts.tm_year + 1900 : (when.seconds < 0 ? 0 : 9999);
    if (year < first_year) {
        date = earliest_date;
        time = 0;
        return true;
    }
    if (year > last_year) {
        date = latest_date;
        time = latest_time;
        return true;
    }
    date = static_cast<std::uint16_t>((year - first_year) << 9 | (parts.tm_mon + 1) << 5 |
                                      parts.tm_mday);
    time = static_cast<std::uint16_t>(parts.tm_hour << 11 | parts.tm_min << 5 | parts.tm_sec / 2);
    return false;
}

std::uint16_t attributes_of(std::uint32_t mode, std::string_view name) {
    std::uint16_t bits = 0;
    if ((mode & 0200) == 0)
        bits |= ATTRIBUTE_READONLY;
    if ((mode & 0111) != 0)
        bits |= attribute::execute;
    bool ascii = true;
    for (char c : name)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (!ascii && is_utf8(name))
        bits |= attribute::name_is_utf8;
    return bits;
}

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        std::size_t length;
        std::uint32_t value;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            value = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            value = value << 6 | (next & 0x3F);
        }
        static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

} // namespace kistle::internal
