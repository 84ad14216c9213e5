#include "utf8.h"

std::size_t utf8_sequence(std::string_view text, std::size_t at, std::uint32_t& code_point) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    }
    std::size_t length;
    std::uint32_t value;
    // The second byte's range depends on the lead: it excludes the overlong
    // forms, the surrogates and everything past U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char next = byte(i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
        value = (value << 6) | (next & 0x3F);
    }
    code_point = value;
    return length;
}

bool is_valid_utf8(std::string_view text) {
    std::uint32_t code_point;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = utf8_sequence(text, at, code_point);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}
