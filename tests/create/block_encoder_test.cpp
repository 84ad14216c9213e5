// Encoding one block: every encoding gives a complete zlib stream of its own
// (or the block itself, stored), the same from any encoder.
#include "block_encoder.h"

#include <cstdlib>
#include <string>
#include <zlib.h>

#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "cabinet_parse.h"

using namespace kistle::internal;

namespace {

std::string encode(block_encoder& encoder, const std::string& block, int& status) {
    uint8_t* out = nullptr;
    uint16_t out_size = 0;
    const auto* data = reinterpret_cast<const uint8_t*>(block.data());
    status = encoder.encode(data, static_cast<uint16_t>(block.size()), out, out_size);
    std::string payload(reinterpret_cast<char*>(out), out_size);
    if (out != data)
        std::free(out);
    return payload;
}

// zlib's inflate, as a reader of the format inflates a block.
std::string inflated(const std::string& payload, std::size_t size) {
    std::string result(size, '\0');
    uLongf length = size;
    const int status = uncompress(reinterpret_cast<Bytef*>(result.data()), &length,
                                  reinterpret_cast<const Bytef*>(payload.data()), payload.size());
    return status == Z_OK && length == size ? result : "(not one zlib stream of the block)";
}

struct encoding_case {
    const char* name;
    block_encoding encoding;
};

void PrintTo(const encoding_case& c, std::ostream* out) {
    *out << c.name;
}

class deflate_encodings : public ::testing::TestWithParam<encoding_case> {};

// Each block is a complete zlib stream, and a second encoder (or the same
// one again) makes the same bytes.
TEST_P(deflate_encodings, one_zlib_stream_per_block_the_same_every_time) {
    const std::string block = sample_bytes(32767, 1), short_block = sample_bytes(1000, 2);
    block_encoder first, second;
    ASSERT_EQ(first.start(GetParam().encoding), CAB_STATUS_OK);
    ASSERT_EQ(second.start(GetParam().encoding), CAB_STATUS_OK);
    EXPECT_TRUE(first.ready_for(GetParam().encoding));
    int status = 0;
    for (const std::string* data : {&block, &short_block}) {
        const std::string payload = encode(first, *data, status);
        ASSERT_EQ(status, CAB_STATUS_OK);
        EXPECT_TRUE(inflated(payload, data->size()) == *data);
        EXPECT_TRUE(encode(second, *data, status) == payload);
        EXPECT_TRUE(encode(first, *data, status) == payload) << "no history between blocks";
    }
}

INSTANTIATE_TEST_SUITE_P(
    encoder, deflate_encodings,
    ::testing::Values(encoding_case{"zlib_default", {1, deflater::zlib, -1}},
                      encoding_case{"zlib_1", {1, deflater::zlib, 1}},
                      encoding_case{"zlib_0", {1, deflater::zlib, 0}},
                      encoding_case{"libdeflate_default", {1, deflater::libdeflate, -1}},
                      encoding_case{"libdeflate_1", {1, deflater::libdeflate, 1}},
                      encoding_case{"libdeflate_0", {1, deflater::libdeflate, 0}},
                      encoding_case{"libdeflate_12", {1, deflater::libdeflate, 12}}),
    [](const ::testing::TestParamInfo<encoding_case>& info) { return info.param.name; });

// zlib's default is what cabinet_tool writes: zlib's compress at level 6
// with the default window and memory; libdeflate's default is its level 6.
TEST(block_encoder, defaults) {
    const std::string block = sample_bytes(32767, 3);
    block_encoder zlib_default, libdeflate_default, libdeflate_6;
    ASSERT_EQ(zlib_default.start({1, deflater::zlib, -1}), CAB_STATUS_OK);
    ASSERT_EQ(libdeflate_default.start({1, deflater::libdeflate, -1}), CAB_STATUS_OK);
    ASSERT_EQ(libdeflate_6.start({1, deflater::libdeflate, 6}), CAB_STATUS_OK);
    EXPECT_NE(zlib_default.zlib_state(), nullptr);
    EXPECT_EQ(libdeflate_default.zlib_state(), nullptr);
    std::string expected(compressBound(block.size()), '\0');
    uLongf length = expected.size();
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(expected.data()), &length,
                        reinterpret_cast<const Bytef*>(block.data()), block.size(), 6),
              Z_OK);
    expected.resize(length);
    int status = 0;
    EXPECT_TRUE(encode(zlib_default, block, status) == expected);
    EXPECT_TRUE(encode(libdeflate_default, block, status) == encode(libdeflate_6, block, status));
}

TEST(block_encoder, stored_and_other_types) {
    const std::string block = "abc";
    block_encoder stored, other;
    ASSERT_EQ(stored.start({0, deflater::libdeflate, 3}), CAB_STATUS_OK);
    ASSERT_EQ(other.start({3, deflater::zlib, -1}), CAB_STATUS_OK);
    uint8_t* out = nullptr;
    uint16_t out_size = 0;
    const auto* data = reinterpret_cast<const uint8_t*>(block.data());
    ASSERT_EQ(stored.encode(data, 3, out, out_size), CAB_STATUS_OK);
    EXPECT_EQ(out, data) << "stored blocks are not copied";
    EXPECT_EQ(out_size, 3);
    ASSERT_EQ(other.encode(data, 3, out, out_size), CAB_STATUS_OK);
    EXPECT_EQ(out, nullptr) << "no payload is defined for other types";
    EXPECT_EQ(out_size, 0);
}

// A level the library refuses starts nothing; an encoder never started, or
// ended, fails every deflate block with zlib's stream error.
TEST(block_encoder, refusals) {
    const int stream_error = convert_z_error_code(Z_STREAM_ERROR);
    for (block_encoding refused :
         {block_encoding{1, deflater::zlib, 10}, block_encoding{1, deflater::libdeflate, 13},
          block_encoding{1, deflater::libdeflate, -2}}) {
        block_encoder encoder;
        EXPECT_EQ(encoder.start(refused), stream_error) << refused.level;
        EXPECT_FALSE(encoder.ready_for(refused));
        int status = 0;
        encode(encoder, "abc", status);
        EXPECT_EQ(status, stream_error);
    }
    block_encoder ended;
    ASSERT_EQ(ended.start({1, deflater::libdeflate, -1}), CAB_STATUS_OK);
    ended.end();
    int status = 0;
    EXPECT_EQ(encode(ended, "abc", status), "");
    EXPECT_EQ(status, stream_error);
}

} // namespace
