// Times and owners as `kistle create` takes them from its options.
#include "create_settings.h"

#include <gtest/gtest.h>

#include "environment_setting.h"
#include "time_zone.h"

namespace {

struct time_case {
    const char* text;
    bool valid;
    std::int64_t seconds;
    std::uint32_t nanoseconds;
};

class parse_time_test : public testing::TestWithParam<time_case> {
    time_zone tokyo{"Asia/Tokyo"}; // a zone without daylight saving time
};

TEST_P(parse_time_test, reads_the_forms_it_documents) {
    const time_case& c = GetParam();
    std::optional<kistle::file_time> got = parse_time(c.text);
    ASSERT_EQ(got.has_value(), c.valid) << c.text;
    if (got) {
        EXPECT_EQ(got->seconds, c.seconds) << c.text;
        EXPECT_EQ(got->nanoseconds, c.nanoseconds) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, parse_time_test,
    testing::Values(time_case{"@0", true, 0, 0},
                    time_case{"@1700000000.25", true, 1700000000, 250000000},
                    time_case{"@-1.5", true, -2, 500000000},
                    time_case{"2024-03-05T14:07:08Z", true, 1709647628, 0},
                    time_case{"2024-03-05 14:07:08.000000001Z", true, 1709647628, 1},
                    time_case{"2024-03-05T23:07:08+09:00", true, 1709647628, 0},
                    time_case{"1969-12-31T23:59:59Z", true, -1, 0},
                    time_case{"2200-01-01Z", true, 7258118400, 0},
                    // Without a zone: local time (Tokyo, +09:00).
                    time_case{"2024-03-05T23:07:08", true, 1709647628, 0},
                    time_case{"2024-3-5", false, 0, 0}, time_case{"2024-13-01Z", false, 0, 0},
                    time_case{"yesterday", false, 0, 0}, time_case{"@", false, 0, 0},
                    time_case{"2024-03-05T14:07:08Q", false, 0, 0}));

TEST(parse_owner_test, names_ids_and_both) {
    std::optional<kistle::owner_id> root = parse_owner("root", true, false);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->id, 0u);
    EXPECT_EQ(root->name, "root");
    std::optional<kistle::owner_id> by_id = parse_owner("0", false, false);
    ASSERT_TRUE(by_id);
    EXPECT_EQ(by_id->name, "root");
    std::optional<kistle::owner_id> both = parse_owner("builder:4242", true, false);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->id, 4242u);
    EXPECT_EQ(both->name, "builder");
    std::optional<kistle::owner_id> numeric = parse_owner("root", true, true);
    ASSERT_TRUE(numeric);
    EXPECT_EQ(numeric->id, 0u);
    EXPECT_EQ(numeric->name, "");
    EXPECT_FALSE(parse_owner("no-such-user-here", true, false));
    EXPECT_FALSE(parse_owner("x:y", true, false));
    EXPECT_FALSE(parse_owner("", true, false));
}

TEST(source_date_epoch_test, a_whole_number_or_nothing) {
    bool valid = false;
    {
        environment_setting unset("SOURCE_DATE_EPOCH", "");
        EXPECT_FALSE(source_date_epoch(valid));
        EXPECT_TRUE(valid);
    }
    {
        environment_setting set("SOURCE_DATE_EPOCH", "1700000000");
        std::optional<kistle::file_time> got = source_date_epoch(valid);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->seconds, 1700000000);
    }
    {
        environment_setting bad("SOURCE_DATE_EPOCH", "soon");
        EXPECT_FALSE(source_date_epoch(valid));
        EXPECT_FALSE(valid);
    }
}

} // namespace
