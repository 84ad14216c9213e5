#include "size_suffix.h"

#include <gtest/gtest.h>

namespace {

struct size_case {
    const char* text;
    std::optional<std::uint64_t> value;
};

class size_suffix_test : public testing::TestWithParam<size_case> {};

TEST_P(size_suffix_test, parses) {
    EXPECT_EQ(parse_size(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    cases, size_suffix_test,
    testing::Values(size_case{"0", 0}, size_case{"4096", 4096}, size_case{"1K", 1024},
                    size_case{"64k", 65536}, size_case{"100M", 100ull << 20},
                    size_case{"2G", 2ull << 30}, size_case{"3MiB", 3ull << 20},
                    size_case{"3MB", 3ull << 20}, size_case{"18446744073709551615", ~0ull},
                    // Too large for 64 bits, before or after the suffix.
                    size_case{"18446744073709551616", std::nullopt},
                    size_case{"17179869184G", std::nullopt},
                    size_case{"17179869183G", 17179869183ull << 30},
                    // Not sizes.
                    size_case{"", std::nullopt}, size_case{"M", std::nullopt},
                    size_case{"-1", std::nullopt}, size_case{"1.5M", std::nullopt},
                    size_case{"1T", std::nullopt}, size_case{"1Mx", std::nullopt},
                    size_case{" 1", std::nullopt}, size_case{"1 M", std::nullopt}));

} // namespace
