// Writing blocks in order: from an encoder, or as another cabinet holds
// them.
#include "block_sink.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "little_endian.h"

using namespace kistle::internal;

namespace {

TEST(block_sink, writes_header_and_payload_and_counts_them) {
    std::ostringstream out;
    block_sink sink(out);
    const std::string payload = "xyz";
    ASSERT_EQ(sink.write(reinterpret_cast<const uint8_t*>(payload.data()), 3, 5, 0x1234567890),
              CAB_STATUS_OK);
    const std::string image = out.str();
    ASSERT_EQ(image.size(), 19u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(image.data());
    EXPECT_EQ(get_le64(bytes), 0x1234567890u);
    EXPECT_EQ(get_le16(bytes + 8), 3);
    EXPECT_EQ(get_le16(bytes + 10), 5);
    EXPECT_EQ(get_le32(bytes + 12), 0u);
    EXPECT_EQ(image.substr(16), payload);
    EXPECT_EQ(sink.blocks(), 1u);
    EXPECT_EQ(sink.bytes(), 19u);

    // The same block, already encoded, goes through unchanged.
    std::ostringstream copy;
    block_sink carried(copy);
    ASSERT_EQ(carried.write_encoded(bytes, image.size()), CAB_STATUS_OK);
    EXPECT_EQ(copy.str(), image);
    EXPECT_EQ(carried.blocks(), 1u);
    EXPECT_EQ(carried.bytes(), 19u);
    // An image whose length is not its header's is refused whole.
    EXPECT_EQ(carried.write_encoded(bytes, image.size() - 1), CAB_ERROR_BAD_DATA);
    EXPECT_EQ(carried.write_encoded(bytes, 10), CAB_ERROR_BAD_DATA);
    EXPECT_EQ(copy.str(), image);
    EXPECT_EQ(carried.blocks(), 1u);
}

TEST(block_sink, a_failed_stream_fails_every_block) {
    std::ostringstream out;
    block_sink sink(out);
    sink.fail();
    EXPECT_TRUE(out.bad());
    const uint8_t payload[1] = {7};
    EXPECT_EQ(sink.write(payload, 1, 1, 0), CAB_ERROR_WRITE);
    EXPECT_EQ(sink.blocks(), 0u);
    EXPECT_EQ(out.str(), "");
}

} // namespace
