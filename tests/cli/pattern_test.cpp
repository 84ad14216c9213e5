#include "pattern.h"

#include <gtest/gtest.h>

namespace {

struct match_case {
    const char* pattern;
    const char* name;
    bool matches;
};

class wildcard_test : public testing::TestWithParam<match_case> {};

TEST_P(wildcard_test, matches_the_whole_name) {
    const match_case& c = GetParam();
    EXPECT_EQ(wildcard(c.pattern).matches(c.name), c.matches)
        << "pattern '" << c.pattern << "' name '" << c.name << "'";
}

INSTANTIATE_TEST_SUITE_P(
    cases, wildcard_test,
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

TEST(pattern_set_test, selects_all_without_patterns_and_reports_unused_ones) {
    pattern_set none({});
    EXPECT_TRUE(none.selects("anything"));
    EXPECT_TRUE(none.unused().empty());

    pattern_set some({"*.txt", "missing", "docs/*"});
    EXPECT_TRUE(some.selects("docs/a.txt"));
    EXPECT_FALSE(some.selects("b.bin"));
    EXPECT_EQ(some.unused(), std::vector<std::string>{"missing"});
}

// An operand selects a name it matches and everything below a directory it
// matches; a part of a name that does not end at a '/' is no directory.
TEST(pattern_set_test, selects_what_is_below_a_directory) {
    const struct {
        const char* operand;
        const char* name;
        bool selected;
    } cases[] = {{"etc/ssh", "etc/ssh", true},         {"etc/ssh", "etc/ssh/sshd_config", true},
                 {"etc/ssh/", "etc/ssh/keys/a", true}, {"etc/ssh", "etc/sshd", false},
                 {"etc/ss", "etc/ssh/a", false},       {"etc/s*", "etc/ssh/a", true},
                 {"e?c", "etc/ssh/a", true},           {"ssh", "etc/ssh/a", false},
                 {"etc/ssh/a", "etc/ssh", false},      {"/", "/", true}};
    for (const auto& c : cases) {
        pattern_set operands({c.operand});
        EXPECT_EQ(operands.selects(c.name), c.selected) << c.operand << " " << c.name;
        EXPECT_EQ(operands.unused().empty(), c.selected) << c.operand << " " << c.name;
    }
}

// --exclude as tar takes it: without '/', any component; with '/', the
// whole name or a directory above it.
TEST(exclusion_set_test, components_or_whole_names) {
    exclusion_set excluded({"*.o", ".git/", "src/b/skip", "build"});
    const struct {
        const char* name;
        bool excluded;
    } cases[] = {{"main.o", true},
                 {"src/lib/x.o", true},
                 {"src/x.c", false},
                 {"a/.git", true},
                 {"a/.git/HEAD", true},
                 {".gitignore", false},
                 {"src/b/skip", true},
                 {"src/b/skip/x", true},
                 {"x/src/b/skip", false},
                 {"src/b/skipped", false},
                 {"out/build/a", true},
                 {"building", false},
                 {"", false}};
    for (const auto& c : cases)
        EXPECT_EQ(excluded.excludes(c.name), c.excluded) << c.name;
    EXPECT_FALSE(exclusion_set({}).excludes("anything"));
}

} // namespace
