// The memory stream buffer: what is written, nothing for nothing, and a
// failed allocation that fails the stream.
#include "memory_output.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

using kistle::internal::memory_output;

namespace {

TEST(memory_output_test, keeps_what_is_written_in_order) {
    memory_output buffer;
    std::ostream out(&buffer);
    // Nothing at all first: no memory yet, and none touched.
    out.write("", 0);
    EXPECT_EQ(buffer.size(), 0u);
    const std::string large(10000, 'x');
    out << 'a';
    out.write(large.data(), static_cast<std::streamsize>(large.size()));
    out << "end";
    ASSERT_TRUE(out.good());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size()),
              "a" + large + "end");
    EXPECT_FALSE(buffer.out_of_memory());
}

} // namespace
