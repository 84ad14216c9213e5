#include "stored_name.h"

#include <gtest/gtest.h>

namespace {

struct name_case {
    const char* path;
    const char* name;
    bool leading_slash;
    bool climbs;
};

class stored_name_test : public testing::TestWithParam<name_case> {};

TEST_P(stored_name_test, Normalises) {
    const name_case& c = GetParam();
    stored_name result = stored_name_of(c.path);
    EXPECT_EQ(result.name, c.name) << c.path;
    EXPECT_EQ(result.leading_slash, c.leading_slash) << c.path;
    EXPECT_EQ(result.climbs, c.climbs) << c.path;
}

INSTANTIATE_TEST_SUITE_P(Cases, stored_name_test,
                         testing::Values(name_case{"a.txt", "a.txt", false, false},
                                         name_case{"docs/a.txt", "docs/a.txt", false, false},
                                         name_case{"./docs//./a.txt", "docs/a.txt", false, false},
                                         name_case{"docs/", "docs", false, false},
                                         name_case{".", "", false, false},
                                         name_case{"/etc/hosts", "etc/hosts", true, false},
                                         name_case{"//etc", "etc", true, false},
                                         name_case{"/", "", true, false},
                                         name_case{"../a", "../a", false, true},
                                         name_case{"a/../b", "a/../b", false, true},
                                         name_case{"a/..", "a/..", false, true},
                                         // Only a whole component is "..".
                                         name_case{"..a/b..", "..a/b..", false, false},
                                         name_case{"a b/c\\d", "a b/c\\d", false, false},
                                         // '\' separates directories in a cabinet.
                                         name_case{"a\\..\\b", "a\\..\\b", false, true}));

} // namespace
