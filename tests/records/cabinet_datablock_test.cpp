#include <kistle/cabinet_datablock.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "record_streams.h"
#include "recording_streambuf.h"
#include "test_bytes.h"

namespace {

using ::testing::ElementsAre;

const uint8_t* as_bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

std::string payload_of(const cabinet_datablock& block) {
    return std::string(block.abData, block.abData + block.cbData);
}

// The checksum taken strictly four bytes at a time, as the format defines it.
uint64_t reference_csum(const uint8_t* p, uint32_t count, uint64_t seed) {
    uint64_t acc = seed;
    uint32_t i = 0;
    for (; count - i >= 4; i += 4)
        acc ^= p[i] | p[i + 1] << 8 | p[i + 2] << 16 | static_cast<uint32_t>(p[i + 3]) << 24;
    switch (count - i) {
    case 3:
        acc ^= p[i] << 16 | p[i + 1] << 8 | p[i + 2];
        break;
    case 2:
        acc ^= p[i] << 8 | p[i + 1];
        break;
    case 1:
        acc ^= p[i];
        break;
    }
    return acc;
}

TEST(checksum_test, worked_examples) {
    const struct {
        std::string payload;
        uint16_t cbUncomp;
        uint64_t sum; // CSUMCompute(payload, cbData, 0)
        uint64_t csum;
    } cases[] = {
        {"", 0, 0, 0},
        {"", 0x1234, 0, 0x12340000},
        {"abc", 3, 0x00616263, 0x00626260},
        {"abcdefg", 7, 0x64060406, 0x64010401},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        auto size = static_cast<uint16_t>(c.payload.size());
        EXPECT_EQ(cabinet_datablock::CSUMCompute(as_bytes(c.payload), size, 0), c.sum);

        cabinet_datablock block;
        block.set_compressed_data(as_bytes(c.payload), size, c.cbUncomp);
        block.compute_checksum();
        EXPECT_EQ(block.csum, c.csum);
        EXPECT_TRUE(block.checksum_ok());
        EXPECT_FALSE(block.checksum_not_ok());
    }
}

TEST(checksum_test, agrees_with_a_four_bytes_at_a_time_reference) {
    std::mt19937 random(20240611);
    std::vector<uint8_t> buffer(41);
    for (uint8_t& b : buffer)
        b = static_cast<uint8_t>(random());
    // From an odd address, so no length lines up with a word boundary.
    const uint8_t* data = buffer.data() + 1;
    for (uint64_t seed : {uint64_t{0}, uint64_t{1}, uint64_t{0xFFFFFFFF},
                          uint64_t{0x0123456789ABCDEF}, UINT64_MAX}) {
        for (uint32_t count = 0; count <= 40; ++count) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " count " << count);
            EXPECT_EQ(cabinet_datablock::CSUMCompute(data, count, seed),
                      reference_csum(data, count, seed));
        }
    }
}

// The block of payload "abc", cbUncomp 3, as write puts it.
const std::string abc_block =
    bytes({0x60, 0x62, 0x62, 0, 0, 0, 0, 0, 3, 0, 3, 0, 0, 0, 0, 0}) + "abc";

TEST(cabinet_datablock_test, writes_and_reads_the_abc_block) {
    cabinet_datablock block;
    block.set_compressed_data(as_bytes("abc"), 3, 3);
    EXPECT_EQ(written_by(block), abc_block);
    EXPECT_EQ(block.csum, 0x626260u);

    cabinet_header header;
    header.cbCFData = 4; // ignored without the flag
    std::istringstream in(abc_block + "NEXT");
    cabinet_datablock read_back;
    read_back.set_reserved_area(as_bytes("old"), 3);
    ASSERT_EQ(read_back.read(in, header), 0);
    EXPECT_EQ(rest_of(in), "NEXT");
    EXPECT_EQ(read_back.csum, 0x626260u);
    EXPECT_EQ(read_back.cbData, 3);
    EXPECT_EQ(read_back.cbUncomp, 3);
    EXPECT_EQ(payload_of(read_back), "abc");
    EXPECT_EQ(read_back.cbReserve, 0);
    EXPECT_EQ(read_back.abReserve, nullptr);
}

TEST(cabinet_datablock_test, changed_block_fails_verification_and_keeps_its_payload) {
    const struct {
        const char* what;
        std::size_t offset;
        int flip;
    } changes[] = {
        {"payload byte", 17, 0x01},       {"last payload byte", 18, 0x80}, {"cbUncomp", 10, 0x01},
        {"cbUncomp high byte", 11, 0x80}, {"low csum byte", 0, 0x01},      {"csum bit 32", 4, 0x01},
        {"csum bit 63", 7, 0x80},
    };
    cabinet_header header;
    for (const auto& change : changes) {
        SCOPED_TRACE(change.what);
        std::string image = abc_block;
        image[change.offset] = static_cast<char>(image[change.offset] ^ change.flip);
        std::istringstream in(image);
        cabinet_datablock block;

        EXPECT_EQ(block.read(in, header), CAB_ERROR_CHECKSUM);
        EXPECT_EQ(payload_of(block), image.substr(16));
        EXPECT_TRUE(block.checksum_not_ok());
    }
}

TEST(cabinet_datablock_test, empty_payload_verifies_against_its_sizes_alone) {
    const struct {
        std::string image;
        int status;
    } cases[] = {
        {bytes({0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0}), 0},
        {std::string(16, '\0'), 0}, // a stored csum of 0 is checked like any other
        {bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0}), CAB_ERROR_CHECKSUM},
    };
    cabinet_header header;
    for (const auto& c : cases) {
        std::istringstream in(c.image + "NEXT");
        cabinet_datablock block;
        EXPECT_EQ(block.read(in, header), c.status);
        EXPECT_EQ(rest_of(in), "NEXT");
        EXPECT_EQ(block.cbData, 0);
    }
}

TEST(cabinet_datablock_test, reserve_area_follows_only_under_the_flag_and_is_not_checksummed) {
    const struct {
        const char* what;
        uint16_t flags;
        uint8_t cbCFData;
        std::string reserve;
    } cases[] = {
        {"flag and size 4", cfhdrRESERVE_PRESENT, 4, "RSV!"},
        {"size 4 without the flag", cfhdrPREV_CABINET | cfhdrNEXT_CABINET, 4, ""},
        {"flag with size 0", cfhdrRESERVE_PRESENT, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cabinet_header header;
        header.flags = c.flags;
        header.cbCFData = c.cbCFData;
        std::string image = abc_block.substr(0, 16) + c.reserve + "abc";
        std::istringstream in(image + "NEXT");
        cabinet_datablock block;

        ASSERT_EQ(block.read(in, header), 0);
        EXPECT_EQ(rest_of(in), "NEXT");
        EXPECT_EQ(block.cbReserve, c.reserve.size());
        EXPECT_EQ(payload_of(block), "abc");

        EXPECT_EQ(written_by(block), image);
    }
}

TEST(cabinet_datablock_test, set_reserved_area_adds_and_removes_the_area) {
    cabinet_datablock block;
    block.set_compressed_data(as_bytes("abc"), 3, 3);
    block.set_reserved_area(as_bytes("RS"), 2);
    EXPECT_EQ(written_by(block), abc_block.substr(0, 16) + "RSabc");

    block.set_reserved_area(as_bytes("RS"), 0);
    EXPECT_EQ(block.cbReserve, 0);
    EXPECT_EQ(block.abReserve, nullptr);
    EXPECT_EQ(written_by(block), abc_block);
}

TEST(cabinet_datablock_test, checksum_state_follows_the_stored_csum_until_recomputed) {
    cabinet_datablock block;
    block.set_compressed_data(as_bytes("abc"), 3, 3);
    block.compute_checksum();
    block.set_compressed_data(as_bytes("abd"), 3, 3);
    EXPECT_FALSE(block.checksum_ok());
    EXPECT_TRUE(block.checksum_not_ok());
    EXPECT_EQ(block.csum, 0x626260u);

    block.set_compressed_data(as_bytes("abc"), 3, 3);
    EXPECT_TRUE(block.checksum_ok());
}

TEST(cabinet_datablock_test, input_ending_inside_a_part_stops_with_the_state_so_far) {
    cabinet_header header;
    header.flags = cfhdrRESERVE_PRESENT;
    header.cbCFData = 4;
    const std::string input = abc_block.substr(0, 16) + "RSV!" + "abc";
    const struct {
        std::size_t length;
        uint16_t cbData;
        uint8_t cbReserve;
        bool payload_started; // its first byte "a" arrived
    } cuts[] = {
        {0, 0, 0, false}, {8, 0, 0, false}, {16, 3, 4, false}, {18, 3, 4, false}, {21, 3, 4, true},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.length);
        expect_read_fails_after(input, cut.length, [&](std::istream& in) {
            cabinet_datablock block;
            block.set_compressed_data(as_bytes("old"), 3, 3);
            int status = block.read(in, header);
            EXPECT_EQ(block.cbData, cut.cbData);
            EXPECT_EQ(block.cbReserve, cut.cbReserve);
            EXPECT_EQ(block.abReserve != nullptr, cut.cbReserve != 0);
            if (cut.payload_started)
                EXPECT_EQ(block.abData[0], 'a');
            else
                EXPECT_EQ(block.abData, nullptr);
            return status;
        });
    }
}

TEST(cabinet_datablock_test, largest_payload_moves_in_pieces_of_at_most32767_bytes) {
    std::string payload = pattern(65535);
    cabinet_datablock block;
    block.set_compressed_data(as_bytes(payload), 65535, 65535);
    recording_streambuf written;
    std::ostream out(&written);
    ASSERT_EQ(block.write(out), 0);
    EXPECT_THAT(written.calls, ElementsAre(16, 32767, 32767, 1));

    cabinet_header header;
    recording_streambuf source(written.written);
    std::istream in(&source);
    cabinet_datablock read_back;
    ASSERT_EQ(read_back.read(in, header), 0);
    EXPECT_THAT(source.calls, ElementsAre(16, 32767, 32767, 1));
    EXPECT_EQ(payload_of(read_back), payload);
}

TEST(cabinet_datablock_test, failing_output_is_a_write_error) {
    cabinet_datablock block;
    block.set_compressed_data(as_bytes("abc"), 3, 3);
    block.set_reserved_area(as_bytes("RS"), 2);
    expect_write_fails_after(block, abc_block.substr(0, 16) + "RSabc", {0, 8, 16, 17, 19});
}

TEST(cabinet_datablock_fixed_header_test, transfers_the_sixteen_byte_image) {
    std::string image = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xEE, 0xEE, 0xEE, 0xEE});
    std::istringstream in(image + "abc");
    cabinet_datablock_fixed_header fixed;
    ASSERT_EQ(fixed.read(in), 0);
    EXPECT_EQ(rest_of(in), "abc");
    EXPECT_EQ(fixed.csum, 0x0807060504030201u);
    EXPECT_EQ(fixed.cbData, 0x0A09);
    EXPECT_EQ(fixed.cbUncomp, 0x0C0B);

    EXPECT_EQ(written_by(fixed), image.substr(0, 12) + std::string(4, '\0'));

    std::istringstream short_input(image.substr(0, 15));
    EXPECT_EQ(fixed.read(short_input), CAB_ERROR_UNEXPECTED_EOF);
    std::ostringstream failed;
    failed.setstate(std::ios::badbit);
    EXPECT_EQ(fixed.write(failed), CAB_ERROR_WRITE);
}

} // namespace
