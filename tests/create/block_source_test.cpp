// Cutting a folder's stream into blocks across the inputs that make it.
#include "block_source.h"

#include <cstdlib>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "cabinet_parse.h"

using namespace kistle::internal;

namespace {

constexpr uint32_t plenty = 0xFFFF;

// Reads in to its end; the full blocks handed back, joined.
std::string read_all(block_source& source, std::istream& in, int& status, uint32_t room = plenty) {
    std::string blocks;
    status = CAB_STATUS_OK;
    while (!in.eof() && status == CAB_STATUS_OK) {
        uint8_t* block = nullptr;
        int32_t size = 0;
        status = source.read_block(in, room, block, size);
        if (block != nullptr) {
            EXPECT_EQ(size, block_source::block_size);
            blocks.append(reinterpret_cast<char*>(block), static_cast<std::size_t>(size));
            std::free(block);
            --room;
        }
    }
    return blocks;
}

// Two inputs of 20000 bytes: the first hands back nothing, the second
// completes a block and leaves 7233 bytes waiting, which take_partial hands
// over as the stream's last block.
TEST(block_source, blocks_cross_inputs) {
    const std::string first = sample_bytes(20000, 1), second = sample_bytes(20000, 2);
    block_source source;
    std::istringstream a(first), b(second);
    int status = 0;
    EXPECT_EQ(read_all(source, a, status), "");
    EXPECT_EQ(status, CAB_STATUS_OK);
    EXPECT_EQ(source.partial_size(), 20000);
    const std::string block = read_all(source, b, status);
    EXPECT_EQ(status, CAB_STATUS_OK);
    EXPECT_TRUE(block == (first + second).substr(0, 32767));
    ASSERT_EQ(source.partial_size(), 7233);
    uint8_t* last = nullptr;
    uint16_t size = 0;
    source.take_partial(last, size);
    ASSERT_EQ(size, 7233);
    EXPECT_TRUE(std::string(reinterpret_cast<char*>(last), size) == second.substr(12767));
    std::free(last);
    EXPECT_EQ(source.partial_size(), 0);
    EXPECT_EQ(source.partial(), nullptr);
}

TEST(block_source, an_exact_block_leaves_nothing_waiting) {
    block_source source;
    std::istringstream in(sample_bytes(2 * 32767, 3));
    int status = 0;
    EXPECT_EQ(read_all(source, in, status).size(), 2u * 32767);
    EXPECT_EQ(source.partial_size(), 0);
    EXPECT_EQ(source.partial(), nullptr);
}

// A stream that fails part way: the bytes read before, the earlier input's
// included, wait in the partial block.
TEST(block_source, a_failed_read_keeps_what_was_read) {
    block_source source;
    std::istringstream first(sample_bytes(100, 4));
    int status = 0;
    read_all(source, first, status);
    std::stringbuf failing;
    std::istream broken(&failing);
    broken.clear(std::ios::badbit);
    uint8_t* block = nullptr;
    int32_t size = 0;
    EXPECT_EQ(source.read_block(broken, plenty, block, size), CAB_ERROR_READ);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(source.partial_size(), 100);
}

// With no room left, a byte more is refused before anything is read, and
// the end of the input is no failure.
TEST(block_source, no_room_refuses_more_bytes) {
    block_source source;
    std::istringstream more("x"), none("");
    uint8_t* block = nullptr;
    int32_t size = 0;
    EXPECT_EQ(source.read_block(more, 0, block, size), CAB_ERROR_TOO_MANY_FILES);
    EXPECT_EQ(more.tellg(), 0);
    EXPECT_EQ(source.read_block(none, 0, block, size), CAB_STATUS_OK);
    EXPECT_EQ(block, nullptr);
}

} // namespace
