// The block inflater gives the bytes and the status that the folder
// manager's zlib stream gives, for sound blocks and for payloads that are not
// one complete zlib stream of exactly cbUncomp bytes, including streams that
// libdeflate reads but zlib refuses.
#include "block_inflater.h"

#include <cstring>
#include <sstream>
#include <string>
#include <vector>
#include <zlib.h>

#include <gtest/gtest.h>
#include <libdeflate.h>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_folder_manager.h>
#include <kistle/cabinet_status.h>

#include "cabinet_parse.h"
#include "deflate_streams.h"
#include "zlib_screen.h"

using namespace kistle::internal;

namespace {

// A block with its own codes: every code length is sent with the code-length
// code that gives symbols 0 to 15 four bits each; then the given symbols
// (indices into the length/literal code) and raw code words.
struct coded_symbol {
    unsigned symbol;   // a length/literal symbol, or
    unsigned raw_bits; // with raw_length != 0: these bits as they are
    unsigned raw_length;
};

void put_dynamic(bit_writer& out, bool last, const std::vector<unsigned>& literal_lengths,
                 const std::vector<unsigned>& distance_lengths,
                 const std::vector<coded_symbol>& symbols) {
    out.bits(last ? 1 : 0, 1);
    out.bits(2, 2);
    out.bits(static_cast<unsigned>(literal_lengths.size() - 257), 5);
    out.bits(static_cast<unsigned>(distance_lengths.size() - 1), 5);
    out.bits(15, 4); // all 19 code-length code lengths
    static const unsigned order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    for (unsigned symbol : order)
        out.bits(symbol < 16 ? 4 : 0, 3);
    for (unsigned length : literal_lengths)
        out.code(length, 4);
    for (unsigned length : distance_lengths)
        out.code(length, 4);
    // Canonical code words of the length/literal code.
    std::vector<unsigned> words(literal_lengths.size());
    unsigned next = 0;
    for (unsigned length = 1; length <= 15; ++length) {
        for (std::size_t s = 0; s < literal_lengths.size(); ++s) {
            if (literal_lengths[s] == length)
                words[s] = next++;
        }
        next <<= 1;
    }
    for (const coded_symbol& s : symbols) {
        if (s.raw_length != 0)
            out.code(s.raw_bits, s.raw_length);
        else
            out.code(words[s.symbol], literal_lengths[s.symbol]);
    }
}

std::string dynamic_block(const std::vector<unsigned>& literal_lengths,
                          const std::vector<unsigned>& distance_lengths,
                          const std::vector<coded_symbol>& symbols, const std::string& expected) {
    bit_writer out;
    put_dynamic(out, true, literal_lengths, distance_lengths, symbols);
    return zlib_wrap(out.finish(), expected);
}

std::vector<unsigned> lengths_with(std::size_t count,
                                   std::vector<std::pair<unsigned, unsigned>> set) {
    std::vector<unsigned> lengths(count);
    for (auto [symbol, length] : set)
        lengths[symbol] = length;
    return lengths;
}

// A block with its own codes ("ab", not the last), then what kind says: the
// same again as the last, a fixed-code block with length symbol 286, or a
// block with more than 286 length codes.
std::string own_codes_then(const std::string& kind) {
    const std::vector<unsigned> literals = lengths_with(257, {{'a', 2}, {'b', 2}, {256, 1}});
    const std::vector<coded_symbol> ab = {{'a', 0, 0}, {'b', 0, 0}, {256, 0, 0}};
    bit_writer out;
    put_dynamic(out, false, literals, {1, 1}, ab);
    std::string expected = "ab";
    if (kind == "again") {
        put_dynamic(out, true, literals, {1, 1}, ab);
        expected += "ab";
    } else if (kind == "fixed_286") {
        put_fixed_copy(out, true, expected, 286, 0, 0, 258, 1);
    } else {
        put_dynamic(out, true, lengths_with(287, {{'a', 1}, {256, 1}}), {1, 1},
                    {{'a', 0, 0}, {256, 0, 0}});
        expected += "a";
    }
    return zlib_wrap(out.finish(), expected);
}

std::string compressed(const std::string& data, int level, int strategy = Z_DEFAULT_STRATEGY) {
    z_stream stream = {};
    deflateInit2(&stream, level, Z_DEFLATED, 15, 8, strategy);
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// What the writer's default compressor makes of data: often several blocks
// with their own codes.
std::string libdeflate_compressed(const std::string& data, int level) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    std::string out(libdeflate_zlib_compress_bound(compressor, data.size()), '\0');
    out.resize(libdeflate_zlib_compress(compressor, data.data(), data.size(), &out[0], out.size()));
    libdeflate_free_compressor(compressor);
    return out;
}

// Two blocks with their own codes: the first is not the last.
std::string two_blocks(const std::string& data) {
    z_stream stream = {};
    deflateInit(&stream, Z_DEFAULT_COMPRESSION);
    std::string out(2 * deflateBound(&stream, data.size()), '\0');
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    std::size_t half = data.size() / 2;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(half);
    deflate(&stream, Z_BLOCK);
    stream.avail_in = static_cast<uInt>(data.size() - half);
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

struct stream_case {
    const char* name;
    std::string payload;
    std::size_t cbUncomp;
    bool fast; // libdeflate may read it
};

void PrintTo(const stream_case& c, std::ostream* out) {
    *out << c.name;
}

const std::string sample = sample_bytes(32767, 1);

const stream_case stream_cases[] = {
    {"default_level", compressed(sample, 6), 32767, true},
    {"best", compressed(sample, 9), 32767, true},
    {"stored", compressed(sample, 0), 32767, true},
    {"empty", compressed("", 6), 0, false}, // zlib writes its fixed codes
    {"fixed_codes", compressed(sample, 6, Z_FIXED), 32767, false},
    {"huffman_only", compressed(sample, 6, Z_HUFFMAN_ONLY), 32767, false}, // several blocks
    {"two_blocks", two_blocks(sample), 32767, true},
    {"libdeflate_default", libdeflate_compressed(sample, 6), 32767, true},
    {"own_codes_twice", own_codes_then("again"), 4, true},
    {"garbage_behind_the_stream", compressed(sample, 6) + "garbage", 32767, true},
    {"fewer_bytes_than_claimed", compressed(sample, 6), 32768, true},
    {"more_bytes_than_claimed", compressed(sample, 6), 32766, true},
    {"cut_short", compressed(sample, 6).substr(0, 2000), 32767, true},
    {"without_its_checksum", compressed(sample, 6).substr(0, compressed(sample, 6).size() - 4),
     32767, true},
    {"wrong_checksum", compressed(sample, 6).substr(0, compressed(sample, 6).size() - 1) + "\x01",
     32767, true},
    {"preset_dictionary", "\x78\xBB" + compressed(sample, 6).substr(2), 32767, false},
    {"window_too_large", "\x88\x1C" + compressed(sample, 6).substr(2), 32767, false},
    {"not_deflate", "\x79\x18" + compressed(sample, 6).substr(2), 32767, false},
    {"no_payload", "", 32767, false},
    // zlib refuses these; libdeflate alone would read them.
    {"length_symbol_286", fixed_copy(286, 0, 0, 258, 1), 30258, false},
    {"length_symbol_287", fixed_copy(287, 0, 0, 258, 1), 30258, false},
    {"distance_symbol_30", fixed_copy(285, 30, 13, 258, 24577), 30258, false},
    {"distance_symbol_31", fixed_copy(285, 31, 13, 258, 24577), 30258, false},
    {"unused_word_of_an_incomplete_code",
     dynamic_block(lengths_with(257, {{256, 1}}), {1}, {{0, 1, 1}, {0, 1, 1}, {256, 0, 0}},
                   std::string(2, '\0')),
     2, false},
    {"unused_word_of_a_distance_code",
     dynamic_block(lengths_with(258, {{'a', 1}, {257, 2}, {256, 2}}), {1},
                   {{'a', 0, 0}, {257, 0, 0}, {0, 1, 1}, {256, 0, 0}}, "aaaa"),
     4, false},
    {"own_codes_then_length_symbol_286", own_codes_then("fixed_286"), 30260, false},
    {"own_codes_then_more_than_286_length_codes", own_codes_then("287_codes"), 3, false},
    {"more_than_286_length_codes",
     dynamic_block(lengths_with(287, {{'a', 1}, {256, 1}}), {1, 1}, {{'a', 0, 0}, {256, 0, 0}},
                   "a"),
     1, false},
    {"own_codes_read_alike",
     dynamic_block(lengths_with(257, {{'a', 1}, {256, 1}}), {1, 1},
                   {{'a', 0, 0}, {'a', 0, 0}, {256, 0, 0}}, "aa"),
     2, true},
};

// What the folder manager's zlib stream gives for the block.
int reference(const std::string& payload, std::size_t cbUncomp, std::string& bytes) {
    cabinet_folder_manager folder;
    folder.typeCompress = 1;
    cabinet_datablock block;
    block.set_compressed_data(reinterpret_cast<const uint8_t*>(payload.data()),
                              static_cast<uint16_t>(payload.size()),
                              static_cast<uint16_t>(cbUncomp));
    std::ostringstream out;
    int status =
        folder.write_data(out, block, 0, 0, cabinet_folder_manager::COMPRESSION_STATE_INIT);
    if (status == CAB_STATUS_OK)
        status = folder.write_data(out, block, 0, static_cast<uint16_t>(cbUncomp),
                                   cabinet_folder_manager::COMPRESSION_STATE_WRITE);
    bytes = out.str();
    return status;
}

class block_streams_test : public ::testing::TestWithParam<stream_case> {};

TEST_P(block_streams_test, expand_as_zlib_does) {
    const stream_case& c = GetParam();
    std::string expected;
    int expected_status = reference(c.payload, c.cbUncomp, expected);
    block_inflater inflater;
    // Twice: a failure must leave nothing behind for the next block.
    for (int round = 0; round < 2; ++round) {
        std::vector<uint8_t> out(c.cbUncomp + 1);
        int status = inflater.expand(reinterpret_cast<const uint8_t*>(c.payload.data()),
                                     static_cast<uint16_t>(c.payload.size()), out.data(),
                                     static_cast<uint16_t>(c.cbUncomp));
        EXPECT_EQ(status, expected_status);
        if (status == CAB_STATUS_OK) {
            EXPECT_TRUE(std::memcmp(out.data(), expected.data(), c.cbUncomp) == 0);
        }
    }
}

// Which streams are left to libdeflate: zlib's own output, and nothing that
// zlib refuses.
TEST_P(block_streams_test, screen) {
    const stream_case& c = GetParam();
    EXPECT_EQ(libdeflate_reads_like_zlib(reinterpret_cast<const uint8_t*>(c.payload.data()),
                                         c.payload.size()),
              c.fast);
}

INSTANTIATE_TEST_SUITE_P(cases, block_streams_test, ::testing::ValuesIn(stream_cases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
