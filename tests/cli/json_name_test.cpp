#include "json_name.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>

#include "utf8.h"

namespace {

// The decoding kistle(1) documents: in an escaped name, "\\" is a backslash
// and "\xHH" the byte HH; everything else stands for itself.
std::string decoded(const std::string& text, bool escaped) {
    if (!escaped)
        return text;
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
        } else if (text[i] == '\\' && text[i + 1] == 'x') {
            bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

const std::string names[] = {
    "plain.txt",
    "docs/caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80.txt", // valid: kept as it is
    "back\\slash\\x41",                                   // valid, looks like an escape
    "caf\xE9.txt",                                        // Latin-1
    "caf\xE9\\x41\\",                                     // Latin-1 and backslashes
    std::string("nul\0byte\x80", 10),
    "\xC0\x80 overlong",
    "\xED\xA0\x80 surrogate",
    "\xF4\x90\x80\x80 beyond U+10FFFF",
    "\xE2\x82 cut short",
    "\xFF\xFE",
    "ok \xC3\xA9 then \xC3",
};

TEST(json_name_test, every_name_survives_a_strict_json_round_trip) {
    std::set<std::pair<std::string, bool>> seen;
    for (const std::string& name : names) {
        bool escaped = false;
        std::string text = json_name(name, escaped);
        EXPECT_EQ(escaped, !is_valid_utf8(name));
        if (!escaped) {
            EXPECT_EQ(text, name) << "a valid name is never altered";
        }
        // nlohmann's dump() throws on invalid UTF-8; its parser is strict.
        nlohmann::json object = {{"name", text}};
        nlohmann::json back = nlohmann::json::parse(object.dump());
        EXPECT_EQ(decoded(back["name"].get<std::string>(), escaped), name);
        EXPECT_TRUE(seen.insert({text, escaped}).second) << "two names gave one form";
    }
}

TEST(json_name_test, escapes_only_stray_bytes_and_backslashes) {
    bool escaped = false;
    EXPECT_EQ(json_name("a\\b\xE9\xC3\xA9", escaped), "a\\\\b\\xE9\xC3\xA9");
    EXPECT_TRUE(escaped);
}

} // namespace
