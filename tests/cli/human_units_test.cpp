#include "human_units.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

// A damaged cabinet's sizes make rates and times past any integer: they must
// still print as something, never as whatever an overflowing conversion
// leaves.
TEST(human_units_test, durations_and_rates_stay_in_range) {
    const std::pair<double, const char*> durations[] = {
        {0, "0:00"},           {59.4, "0:59"},
        {59.6, "1:00"},        {3599, "59:59"},
        {3600, "1:00:00"},     {7387, "2:03:07"},
        {-5, "0:00"},          {std::nan(""), "0:00"},
        {1e30, "99999:59:59"}, {std::numeric_limits<double>::infinity(), "99999:59:59"},
    };
    for (const auto& [seconds, text] : durations)
        EXPECT_EQ(human_duration(seconds), text) << seconds;

    EXPECT_EQ(saturated(1e30), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(saturated(18446744073709549568.0),
              18446744073709549568ull); // the last double below 2^64
    EXPECT_EQ(saturated(-1), 0u);
    EXPECT_EQ(saturated(2.5), 3u);
}

TEST(human_units_test, sizes_in_binary_units) {
    const std::pair<std::uint64_t, const char*> sizes[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KiB"},
        {1536, "1.5 KiB"},
        {300ull << 20, "300.0 MiB"},
        {std::numeric_limits<std::uint64_t>::max(), "16.0 EiB"},
    };
    for (const auto& [bytes, text] : sizes)
        EXPECT_EQ(human_size(bytes), text) << bytes;
}

} // namespace
