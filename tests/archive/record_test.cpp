// The record's bytes: what is encoded reads back, and what a reader relies
// on is refused when it does not hold.
#include "record.h"

#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <xxhash.h>

using namespace kistle::internal;

namespace {

record_table sample_table() {
    record_table table;
    record_entry dir;
    dir.type = record_type::directory;
    dir.name = "top";
    dir.mode = 01777;
    dir.has_owner = true;
    dir.uid = 1000;
    dir.gid = 100;
    dir.seconds = -86400 * 365; // 1969
    table.entries.push_back(dir);
    record_entry file;
    file.type = record_type::file;
    file.file = 0;
    file.mode = 04755;
    file.seconds = 7258118400; // 2200
    file.nanoseconds = 123456789;
    file.content = 0xFEDCBA9876543210;
    file.entry_checksum = 42;
    table.entries.push_back(file);
    record_entry link;
    link.type = record_type::symlink;
    link.name = "top/caf\xE9";
    link.target = "../../outside\xFF";
    table.entries.push_back(link);
    record_entry hard;
    hard.type = record_type::hardlink;
    hard.file = 1;
    hard.link = 1;
    hard.entry_checksum = 43;
    table.entries.push_back(hard);
    table.owners[1000] = "ana";
    table.groups[100] = "users";
    return table;
}

TEST(record_test, what_is_encoded_reads_back) {
    const record_table table = sample_table();
    const std::string bytes = encode_record(table);
    record_table read;
    uint64_t trailer = 0;
    uint8_t major = 0;
    ASSERT_EQ(decode_record(bytes, 2, read, trailer, major), record_verdict::sound);
    EXPECT_EQ(major, record_major);
    EXPECT_EQ(trailer, record_hash(bytes.data(), bytes.size() - 8));
    ASSERT_EQ(read.entries.size(), table.entries.size());
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const record_entry &a = table.entries[i], &b = read.entries[i];
        EXPECT_EQ(a.type, b.type) << i;
        EXPECT_EQ(a.name, b.name) << i;
        EXPECT_EQ(a.mode, b.mode) << i;
        EXPECT_EQ(a.has_owner, b.has_owner) << i;
        EXPECT_EQ(a.uid, b.uid) << i;
        EXPECT_EQ(a.seconds, b.seconds) << i;
        EXPECT_EQ(a.nanoseconds, b.nanoseconds) << i;
        EXPECT_EQ(a.target, b.target) << i;
        EXPECT_EQ(a.link, b.link) << i;
        EXPECT_EQ(a.content, b.content) << i;
        EXPECT_EQ(a.entry_checksum, b.entry_checksum) << i;
    }
    EXPECT_EQ(read.owners, table.owners);
    EXPECT_EQ(read.groups, table.groups);
}

// Each change a reader must not take: the record is damaged, never a
// different table.
struct damage_case {
    const char* label;
    std::function<void(std::string&)> damage;
    uint32_t file_count;
    record_verdict expected;
};

void PrintTo(const damage_case& c, std::ostream* out) {
    *out << c.label;
}

class record_damage_test : public testing::TestWithParam<damage_case> {};

// Rewrites the trailer so that only the change itself is judged.
void reseal(std::string& bytes) {
    uint64_t sum = record_hash(bytes.data(), bytes.size() - 8);
    for (int i = 0; i < 8; ++i)
        bytes[bytes.size() - 8 + i] = static_cast<char>(sum >> (8 * i));
}

// A record holding table's entries, sealed with a sound trailer but
// otherwise as given.
std::string with_table(const record_table& table) {
    return encode_record(table);
}

TEST_P(record_damage_test, is_refused) {
    std::string bytes = encode_record(sample_table());
    GetParam().damage(bytes);
    record_table read;
    uint64_t trailer = 0;
    uint8_t major = 0;
    EXPECT_EQ(decode_record(bytes, GetParam().file_count, read, trailer, major),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    cases, record_damage_test,
    testing::Values(damage_case{"a_flipped_byte", [](std::string& b) { b[40] ^= 1; }, 2,
                                record_verdict::damaged},
                    damage_case{"cut", [](std::string& b) { b.resize(b.size() - 1); }, 2,
                                record_verdict::damaged},
                    damage_case{"another_marker",
                                [](std::string& b) {
                                    b[7] = 'X';
                                    reseal(b);
                                },
                                2, record_verdict::damaged},
                    damage_case{"a_newer_major_version",
                                [](std::string& b) {
                                    b[8] = 2;
                                    reseal(b);
                                },
                                2, record_verdict::newer},
                    damage_case{"a_table_length_that_lies",
                                [](std::string& b) {
                                    b[16] ^= 1;
                                    reseal(b);
                                },
                                2, record_verdict::damaged},
                    damage_case{"not_cbor",
                                [](std::string& b) {
                                    b[24] = '\xFF';
                                    reseal(b);
                                },
                                2, record_verdict::damaged},
                    damage_case{"a_file_entry_the_cabinet_lacks", [](std::string&) {}, 1,
                                record_verdict::damaged},
                    damage_case{"a_file_entry_described_by_nothing", [](std::string&) {}, 3,
                                record_verdict::damaged},
                    damage_case{"a_hard_link_to_a_later_entry",
                                [](std::string& b) {
                                    record_table table = sample_table();
                                    table.entries[3].link = 3;
                                    b = with_table(table);
                                },
                                2, record_verdict::damaged},
                    damage_case{"a_hard_link_to_a_directory",
                                [](std::string& b) {
                                    record_table table = sample_table();
                                    table.entries[3].link = 0;
                                    b = with_table(table);
                                },
                                2, record_verdict::damaged},
                    damage_case{"two_entries_of_one_file",
                                [](std::string& b) {
                                    record_table table = sample_table();
                                    table.entries[3].file = 0;
                                    b = with_table(table);
                                },
                                2, record_verdict::damaged},
                    damage_case{"a_name_with_a_nul",
                                [](std::string& b) {
                                    record_table table = sample_table();
                                    table.entries[0].name = std::string("a\0b", 3);
                                    b = with_table(table);
                                },
                                2, record_verdict::damaged}));

// A record around a table given as a CBOR document.
std::string framed(const nlohmann::json& table) {
    std::vector<uint8_t> body = nlohmann::json::to_cbor(table);
    std::string record("kistle\0R", 8);
    record += std::string(1, static_cast<char>(record_major)) + std::string(7, '\0');
    for (int i = 0; i < 8; ++i)
        record += static_cast<char>(static_cast<uint64_t>(body.size()) >> (8 * i));
    record.append(body.begin(), body.end());
    const uint64_t sum = record_hash(record.data(), record.size());
    for (int i = 0; i < 8; ++i)
        record += static_cast<char>(sum >> (8 * i));
    return record;
}

// The table is written entry by entry, yet its bytes are those of the
// whole document; and keys a reader does not know, which a later minor
// version adds, are passed over, whatever they hold.
TEST(record_test, the_table_is_a_document_that_may_grow) {
    using json = nlohmann::json;
    json document = json::object();
    document["entries"] = json::array();
    document["entries"].push_back({{"t", 1}, {"n", json::binary({'d'})}, {"m", 0755}, {"s", 5}});
    document["entries"].push_back(
        {{"t", 0}, {"f", 0}, {"m", 0644}, {"s", -5}, {"c", 7}, {"e", 8}, {"u", 1}, {"g", 2}});
    document["owners"] = json::array({json::array({1, json::binary({'a', 'n', 'a'})})});
    document["groups"] = json::array({json::array({2, json::binary({'s'})})});
    record_table table;
    uint64_t trailer = 0;
    uint8_t major = 0;
    const std::string plain = framed(document);
    ASSERT_EQ(decode_record(plain, 1, table, trailer, major), record_verdict::sound);
    EXPECT_EQ(encode_record(table), plain);

    document["later"] = {{"nested", json::array({1, "two", json::binary({3})})}};
    document["entries"][1]["x"] = json::array({json::object({{"deep", 1.5}})});
    document["entries"][0]["y"] = "text";
    ASSERT_EQ(decode_record(framed(document), 1, table, trailer, major), record_verdict::sound);
    EXPECT_EQ(table.entries[1].seconds, -5);
    EXPECT_EQ(table.owners.at(1), "ana");

    // A known key must hold what it says, and only once.
    json wrong = document;
    wrong["entries"][0]["m"] = "0755";
    EXPECT_EQ(decode_record(framed(wrong), 1, table, trailer, major), record_verdict::damaged);
    wrong = document;
    wrong["entries"][1].erase("c");
    EXPECT_EQ(decode_record(framed(wrong), 1, table, trailer, major), record_verdict::damaged);
}

// The checksums are XXH3-64 with seed 0, whichever code path computes them.
TEST(record_test, checksums_are_xxh3) {
    const std::string bytes(100000, 'x');
    EXPECT_EQ(record_hash(bytes.data(), bytes.size()), XXH3_64bits(bytes.data(), bytes.size()));
    running_hash sum;
    sum.add(bytes.data(), 1);
    sum.add(bytes.data() + 1, bytes.size() - 1);
    EXPECT_EQ(sum.value(), XXH3_64bits(bytes.data(), bytes.size()));
    EXPECT_EQ(record_hash("", 0), 0x2D06800538D394C2u);
}

TEST(record_pointer_test, encodes_where_the_format_note_says) {
    record_pointer pointer;
    pointer.folder = 0x0102;
    pointer.length = 0x030405;
    pointer.record_checksum = 0x0607;
    pointer.directory_digest = 0x0809;
    uint8_t bytes[record_pointer::size];
    pointer.encode(bytes);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 8), std::string("kistle\0H", 8));
    EXPECT_EQ(bytes[8], record_major);
    EXPECT_EQ(bytes[10], 0x02);
    EXPECT_EQ(bytes[11], 0x01);
    EXPECT_EQ(bytes[16], 0x05);
    EXPECT_EQ(bytes[24], 0x07);
    EXPECT_EQ(bytes[record_pointer::digest_offset], 0x09);
    record_pointer read;
    ASSERT_TRUE(read.decode(bytes, sizeof bytes));
    EXPECT_EQ(read.folder, pointer.folder);
    EXPECT_EQ(read.length, pointer.length);
    EXPECT_EQ(read.directory_digest, pointer.directory_digest);
    EXPECT_FALSE(read.decode(bytes, sizeof bytes - 1)) << "too short";
    bytes[0] = 'K';
    EXPECT_FALSE(read.decode(bytes, sizeof bytes)) << "another marker";
}

} // namespace
