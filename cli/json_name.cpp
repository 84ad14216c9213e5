#include "json_name.h"

#include "utf8.h"

std::string json_name(std::string_view name, bool& escaped) {
    escaped = !is_valid_utf8(name);
    if (!escaped)
        return std::string(name);
    static const char hex[] = "0123456789ABCDEF";
    std::string result;
    std::uint32_t code_point;
    for (std::size_t at = 0; at < name.size();) {
        std::size_t length = utf8_sequence(name, at, code_point);
        if (length == 0) {
            auto byte = static_cast<unsigned char>(name[at]);
            result += "\\x";
            result += hex[byte >> 4];
            result += hex[byte & 0xF];
            length = 1;
        } else if (name[at] == '\\') {
            result += "\\\\";
        } else {
            result.append(name, at, length);
        }
        at += length;
    }
    return result;
}
