#include <kistle/dos_date_time.h>

#include <cstdint>
#include <ctime>

#include <gtest/gtest.h>

#include "time_zone.h"

namespace {

struct decode_case {
    uint16_t date, time;
    kistle::dos_date_time fields;
};

class decode_dos_date_time_test : public ::testing::TestWithParam<decode_case> {};

TEST_P(decode_dos_date_time_test, splits_the_fields_as_stored) {
    const decode_case& c = GetParam();
    kistle::dos_date_time got = kistle::decode_dos_date_time(c.date, c.time);
    EXPECT_EQ(got.year, c.fields.year);
    EXPECT_EQ(got.month, c.fields.month);
    EXPECT_EQ(got.day, c.fields.day);
    EXPECT_EQ(got.hour, c.fields.hour);
    EXPECT_EQ(got.minute, c.fields.minute);
    EXPECT_EQ(got.second, c.fields.second);
}

INSTANTIATE_TEST_SUITE_P(records, decode_dos_date_time_test,
                         ::testing::Values(decode_case{0x5865, 0x70E4, {2024, 3, 5, 14, 7, 8}},
                                           decode_case{0, 0, {1980, 0, 0, 0, 0, 0}},
                                           // Damaged fields come out as they are, unjudged.
                                           decode_case{
                                               0xFFFF, 0xFFFF, {2107, 15, 31, 31, 63, 62}}));

struct encode_case {
    std::time_t when;
    uint16_t date, time;
    std::time_t read_back; // the stored time read as local time again
};

class encode_dos_date_time_test : public ::testing::TestWithParam<encode_case> {};

TEST_P(encode_dos_date_time_test, stores_local_time_and_reads_it_back) {
    time_zone utc("UTC");
    const encode_case& c = GetParam();
    uint16_t date = 0, time = 0;
    ASSERT_TRUE(kistle::encode_dos_date_time(c.when, date, time));
    EXPECT_EQ(date, c.date);
    EXPECT_EQ(time, c.time);
    std::time_t when = 0;
    ASSERT_TRUE(kistle::dos_date_time_to_time(date, time, when));
    EXPECT_EQ(when, c.read_back);
}

INSTANTIATE_TEST_SUITE_P(records, encode_dos_date_time_test,
                         ::testing::Values(
                             // 2024-03-05 14:07:09: odd seconds are not representable.
                             encode_case{1709647629, 0x5865, 0x70E4, 1709647628},
                             // 2107-12-31 23:59:58, the last time the format holds.
                             encode_case{4354819198, 0xFF9F, 0xBF7D, 4354819198},
                             // 1970-01-01: a year before 1980 wraps around the 16 bits, as stored
                             // since the first release; it reads back as 2098-01-01.
                             encode_case{0, 0xEC21, 0, 4039372800}));

TEST(dos_date_time_test, local_time_zone_applies_both_ways) {
    time_zone zone("UTC-2");
    uint16_t date = 0, time = 0;
    // 2024-03-05 12:07:08 UTC is 14:07:08 two hours east.
    ASSERT_TRUE(kistle::encode_dos_date_time(1709640428, date, time));
    EXPECT_EQ(date, 0x5865);
    EXPECT_EQ(time, 0x70E4);
    std::time_t when = 0;
    ASSERT_TRUE(kistle::dos_date_time_to_time(date, time, when));
    EXPECT_EQ(when, 1709640428);
}

} // namespace
