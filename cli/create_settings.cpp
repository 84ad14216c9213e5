#include "create_settings.h"

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <vector>

namespace {

// Digits at the front of text, as a number; false when there are none or
// they do not fit.
bool take_number(std::string_view& text, std::size_t digits, std::int64_t& value) {
    std::size_t used = 0;
    value = 0;
    while (used < text.size() && (digits == 0 || used < digits) &&
           std::isdigit(static_cast<unsigned char>(text[used]))) {
        if (value > (INT64_MAX - 9) / 10)
            return false;
        value = value * 10 + (text[used] - '0');
        ++used;
    }
    if (used == 0 || (digits != 0 && used != digits))
        return false;
    text.remove_prefix(used);
    return true;
}

bool take(std::string_view& text, char c) {
    if (text.empty() || text.front() != c)
        return false;
    text.remove_prefix(1);
    return true;
}

// ".123" -> 123000000 nanoseconds; nothing taken is 0.
bool take_fraction(std::string_view& text, std::uint32_t& nanoseconds) {
    nanoseconds = 0;
    if (!take(text, '.'))
        return true;
    std::size_t used = 0;
    std::uint32_t scale = 100000000;
    while (used < text.size() && std::isdigit(static_cast<unsigned char>(text[used]))) {
        nanoseconds += static_cast<std::uint32_t>(text[used] - '0') * scale;
        scale /= 10;
        ++used;
    }
    text.remove_prefix(used);
    return used > 0;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

} // namespace

std::optional<kistle::file_time> parse_time(std::string_view text) {
    kistle::file_time result;
    if (take(text, '@')) {
        bool negative = take(text, '-');
        std::int64_t seconds = 0;
        if (!take_number(text, 0, seconds) || !take_fraction(text, result.nanoseconds) ||
            !text.empty())
            return std::nullopt;
        result.seconds = negative ? -seconds : seconds;
        if (negative && result.nanoseconds != 0) {
            result.seconds -= 1;
            result.nanoseconds = 1000000000 - result.nanoseconds;
        }
        return result;
    }
    std::int64_t year, month, day, hour = 0, minute = 0, second = 0;
    if (!take_number(text, 4, year) || !take(text, '-') || !take_number(text, 2, month) ||
        !take(text, '-') || !take_number(text, 2, day) || month < 1 || month > 12 || day < 1 ||
        day > 31)
        return std::nullopt;
    if (take(text, 'T') || take(text, ' ')) {
        if (!take_number(text, 2, hour) || !take(text, ':') || !take_number(text, 2, minute))
            return std::nullopt;
        if (take(text, ':') &&
            (!take_number(text, 2, second) || !take_fraction(text, result.nanoseconds)))
            return std::nullopt;
        if (hour > 23 || minute > 59 || second > 60)
            return std::nullopt;
    }
    const std::int64_t clock = hour * 3600 + minute * 60 + second;
    if (text.empty()) {
        std::tm local = {};
        local.tm_year = static_cast<int>(year - 1900);
        local.tm_mon = static_cast<int>(month - 1);
        local.tm_mday = static_cast<int>(day);
        local.tm_hour = static_cast<int>(hour);
        local.tm_min = static_cast<int>(minute);
        local.tm_sec = static_cast<int>(second);
        local.tm_isdst = -1;
        std::time_t when = std::mktime(&local);
        if (when == static_cast<std::time_t>(-1))
            return std::nullopt;
        result.seconds = when;
        return result;
    }
    std::int64_t offset = 0;
    if (!take(text, 'Z')) {
        const bool east = take(text, '+');
        if (!east && !take(text, '-'))
            return std::nullopt;
        std::int64_t hours, minutes;
        if (!take_number(text, 2, hours) || !take(text, ':') || !take_number(text, 2, minutes))
            return std::nullopt;
        offset = (hours * 3600 + minutes * 60) * (east ? 1 : -1);
    }
    if (!text.empty())
        return std::nullopt;
    result.seconds =
        days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        clock - offset;
    return result;
}

std::optional<kistle::owner_id> parse_owner(std::string_view text, bool user, bool numeric) {
    std::string name(text);
    std::string id_text;
    if (std::size_t colon = name.find(':'); colon != std::string::npos) {
        id_text = name.substr(colon + 1);
        name.resize(colon);
    } else if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
        id_text = name;
        name.clear();
    }
    kistle::owner_id result;
    std::vector<char> buffer(16384);
    if (!id_text.empty()) {
        std::string_view digits = id_text;
        std::int64_t id = 0;
        if (!take_number(digits, 0, id) || !digits.empty() || id > UINT32_MAX)
            return std::nullopt;
        result.id = static_cast<std::uint32_t>(id);
        if (name.empty() && !numeric) {
            if (user) {
                struct passwd entry, *found = nullptr;
                if (getpwuid_r(result.id, &entry, buffer.data(), buffer.size(), &found) == 0 &&
                    found)
                    name = found->pw_name;
            } else {
                struct group entry, *found = nullptr;
                if (getgrgid_r(result.id, &entry, buffer.data(), buffer.size(), &found) == 0 &&
                    found)
                    name = found->gr_name;
            }
        }
    } else if (name.empty()) {
        return std::nullopt;
    } else if (user) {
        struct passwd entry, *found = nullptr;
        if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
            return std::nullopt;
        result.id = found->pw_uid;
    } else {
        struct group entry, *found = nullptr;
        if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
            return std::nullopt;
        result.id = found->gr_gid;
    }
    if (!numeric)
        result.name = name;
    return result;
}

std::optional<kistle::file_time> source_date_epoch(bool& valid) {
    valid = true;
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    std::string_view digits = text;
    std::int64_t seconds = 0;
    if (!take_number(digits, 0, seconds) || !digits.empty()) {
        valid = false;
        return std::nullopt;
    }
    return kistle::file_time{seconds, 0};
}
