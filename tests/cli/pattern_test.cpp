#include "pattern.h"

#include <gtest/gtest.h>

namespace {

struct match_case {
    const char* pattern;
    const char* name;
    bool matches;
};

class wildcard_test : public testing::TestWithParam<match_case> {};

TEST_P(wildcard_test, MatchesTheWholeName) {
    const match_case& c = GetParam();
    EXPECT_EQ(wildcard(c.pattern).matches(c.name), c.matches)
        << "pattern '" << c.pattern << "' name '" << c.name << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, wildcard_test,
    testing::Values(
        // Whole names only, no partial match.
        match_case{"a.txt", "a.txt", true}, match_case{"a.txt", "xa.txt", false},
        match_case{"a", "a/b", false}, match_case{"", "", true}, match_case{"", "a", false},
        // '*' crosses '/', as tar's does; it may match nothing.
        match_case{"*", "docs/a/b.txt", true}, match_case{"docs/*", "docs/a/b.txt", true},
        match_case{"*.txt", "docs/a/b.txt", true}, match_case{"*.txt", "b.txt.gz", false},
        match_case{"a*b*c", "abc", true}, match_case{"a*b*c", "aXbYbZc", true},
        match_case{"a*b*c", "aXbYcZ", false}, match_case{"**", "", true},
        // '?' is one character: a whole UTF-8 sequence, or one stray byte.
        match_case{"?.txt", "a.txt", true}, match_case{"?.txt", "ab.txt", false},
        match_case{"?.txt", "\xC3\xA9.txt", true}, match_case{"??.txt", "\xC3\xA9.txt", false},
        match_case{"?.txt", "\xE9.txt", true}, match_case{"?", "/", true},
        // Sets, ranges, negation; ']' first is a member; an open '[' is literal.
        match_case{"[ab].c", "b.c", true}, match_case{"[ab].c", "c.c", false},
        match_case{"[a-c]x", "bx", true}, match_case{"[a-c]x", "dx", false},
        match_case{"[!a-c]x", "dx", true}, match_case{"[^a-c]x", "ax", false},
        match_case{"[]]", "]", true}, match_case{"[!]]", "a", true}, match_case{"[a-]", "-", true},
        match_case{"a[", "a[", true}, match_case{"[\xC3\xA0-\xC3\xBF]", "\xC3\xA9", true},
        match_case{"[\xC3\xA0-\xC3\xBF]", "e", false},
        // A backslash takes the next character as it is.
        match_case{"\\*", "*", true}, match_case{"\\*", "a", false}, match_case{"a\\?", "a?", true},
        match_case{"a\\?", "ab", false}, match_case{"a\\", "a\\", true},
        // Stray bytes match only themselves.
        match_case{"\xE9", "\xE9", true}, match_case{"\xE9", "\xC3\xA9", false}));

TEST(pattern_set_test, SelectsAllWithoutPatternsAndReportsUnusedOnes) {
    pattern_set none({});
    EXPECT_TRUE(none.selects("anything"));
    EXPECT_TRUE(none.unused().empty());

    pattern_set some({"*.txt", "missing", "docs/*"});
    EXPECT_TRUE(some.selects("docs/a.txt"));
    EXPECT_FALSE(some.selects("b.bin"));
    EXPECT_EQ(some.unused(), std::vector<std::string>{"missing"});
}

} // namespace
