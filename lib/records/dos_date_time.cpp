#include <kistle/dos_date_time.h>

namespace kistle {

dos_date_time decode_dos_date_time(std::uint16_t date, std::uint16_t time) noexcept {
    return {1980u + (date >> 9u),  (date >> 5) & 0x0Fu, date & 0x1Fu,
            unsigned{time} >> 11u, (time >> 5) & 0x3Fu, (time & 0x1Fu) * 2u};
}

bool encode_dos_date_time(std::time_t when, std::uint16_t& date, std::uint16_t& time) noexcept {
    std::tm local;
    if (localtime_r(&when, &local) == nullptr)
        return false;
    // Unmasked sums, wrapping at 16 bits.
    date = static_cast<std::uint16_t>((local.tm_year - 80) * 512 + (local.tm_mon + 1) * 32 +
                                      local.tm_mday);
    time = static_cast<std::uint16_t>(local.tm_hour * 2048 + local.tm_min * 32 + local.tm_sec / 2);
    return true;
}

bool dos_date_time_to_time(std::uint16_t date, std::uint16_t time, std::time_t& when) noexcept {
    const dos_date_time fields = decode_dos_date_time(date, time);
    std::tm local = {};
    local.tm_year = static_cast<int>(fields.year) - 1900;
    local.tm_mon = static_cast<int>(fields.month) - 1;
    local.tm_mday = static_cast<int>(fields.day);
    local.tm_hour = static_cast<int>(fields.hour);
    local.tm_min = static_cast<int>(fields.minute);
    local.tm_sec = static_cast<int>(fields.second);
    local.tm_isdst = -1;
    std::time_t result = std::mktime(&local);
    if (result == static_cast<std::time_t>(-1))
        return false;
    when = result;
    return true;
}

} // namespace kistle
