#include "folder_cursor.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>
#include <zlib.h>

#include <kistle/cabinet_folder_manager.h>
#include <kistle/cabinet_status.h>

#include "cabinet_image.h"
#include "parallel_inflate.h"

using namespace kistle::internal;

namespace {

// A cabinet's header and its first folder read back with the records, the
// cabinet's bytes to read from, and a cursor over the folder that expands
// blocks on that many threads, or with decompressors shared by cursors one
// after another; it expects the folder's data to end at expected_end.
class cursor_over {
public:
    explicit cursor_over(const std::string& image, unsigned threads = 1,
                         uint64_t expected_end = folder_cursor::unknown_end)
        : in(image), own(threads), cursor(folder, in, header, &own, expected_end) {
        read_records();
    }
    cursor_over(const std::string& image, parallel_inflate& shared,
                uint64_t expected_end = folder_cursor::unknown_end)
        : in(image), own(1), cursor(folder, in, header, &shared, expected_end) {
        read_records();
    }

    // The range's status; what it wrote is in out. No range leaves the
    // folder a decompressor.
    int write(uint64_t offset, uint64_t length) {
        out.str("");
        int status = cursor.write_range(out, offset, length);
        EXPECT_EQ(folder.zstream, nullptr);
        return status;
    }
    int verify(uint64_t& expanded) { return cursor.verify(expanded); }
    uint64_t reads() const { return cursor.blocks_read(); }

    // What the folder manager's walk from the first block gives for the
    // range, on a stream of its own: its status, and its bytes in out.
    int walk(uint64_t offset, uint64_t length) {
        std::istringstream walked(in.str());
        out.str("");
        return folder.extract_data(out, walked, offset, length, header);
    }

    std::istringstream in;
    std::ostringstream out;
    cabinet_header header;
    cabinet_folder_manager folder;

private:
    void read_records() {
        EXPECT_EQ(header.read(in), 0);
        EXPECT_EQ(folder.read(in, header), 0);
    }

    parallel_inflate own;
    folder_cursor cursor;
};

// Every sequence of ranges gives the same bytes and statuses on one thread
// and on several, which read blocks ahead.
const unsigned thread_counts[] = {1, 3};

// Stored and deflate folders, each on one thread and on several.
const std::pair<uint16_t, unsigned> types_and_threads[] = {{0, 1}, {1, 1}, {0, 3}, {1, 3}};

std::string threads_name(unsigned threads) {
    return "_" + std::to_string(threads) + "_threads";
}

const std::string block0 = "0123456789", block1 = "abcdefghij", block2 = "ABCDE";
const std::string whole = block0 + block1 + block2;

test_cabinet three_blocks(uint16_t type, int bad_block = -1) {
    test_cabinet cabinet;
    cabinet.folders.push_back(folder_of(type, whole, 10));
    if (bad_block >= 0)
        cabinet.folders[0].blocks[bad_block].bad_checksum = true;
    return cabinet;
}

std::string type_name(uint16_t type) {
    return type == 0 ? "stored_" : "deflate_";
}

// Names a test of a compression type, a case and a thread count.
const auto type_case_threads = [](const auto& info) {
    return type_name(std::get<0>(info.param)) + std::get<1>(info.param).name +
           threads_name(std::get<2>(info.param));
};

struct range {
    uint64_t offset, length;
    int status;
    std::string written;
};

// Ranges asked for one after another of one cursor, over three blocks of
// 10, 10 and 5 bytes; bad_block fails its checksum.
struct sequence_case {
    const char* name;
    int bad_block; // -1 for none
    std::vector<range> ranges;
};

void PrintTo(const sequence_case& c, std::ostream* out) {
    *out << c.name;
}

const sequence_case sequence_cases[] = {
    {"whole_folder", -1, {{0, 25, 0, whole}}},
    {"from_a_block_boundary", -1, {{10, 3, 0, "abc"}}},
    {"to_a_block_boundary_without_reading_on", 1, {{5, 5, 0, "56789"}}},
    {"across_blocks", -1, {{8, 14, 0, "89abcdefghijAB"}}},
    {"last_byte", -1, {{24, 1, 0, "E"}}},
    {"empty_inside", -1, {{12, 0, 0, ""}}},
    {"empty_at_the_end", -1, {{25, 0, CAB_ERROR_RANGE_PAST_END, ""}}},
    {"past_the_end", -1, {{40, 3, CAB_ERROR_RANGE_PAST_END, ""}}},
    {"past_the_end_behind_damage", 2, {{30, 1, CAB_ERROR_CHECKSUM, ""}}},
    {"running_past_the_end", -1, {{20, 10, CAB_ERROR_FOLDER_DATA_ENDED, "ABCDE"}}},
    {"damage_before", 0, {{15, 2, CAB_ERROR_CHECKSUM, ""}}},
    {"damage_where_it_starts", 1, {{10, 2, CAB_ERROR_CHECKSUM, ""}}},
    {"damage_inside", 1, {{5, 10, CAB_ERROR_CHECKSUM, "56789"}}},
    {"consecutive_files",
     -1,
     {{0, 3, 0, "012"}, {3, 9, 0, "3456789ab"}, {12, 1, 0, "c"}, {13, 12, 0, "defghijABCDE"}}},
    {"backwards", -1, {{20, 5, 0, "ABCDE"}, {13, 4, 0, "defg"}, {5, 3, 0, "567"}, {0, 2, 0, "01"}}},
    {"again_and_again", -1, {{3, 4, 0, "3456"}, {3, 4, 0, "3456"}, {0, 25, 0, whole}}},
    // The kept rest of the last block runs into the folder's end.
    {"tail_then_past_the_end",
     -1,
     {{20, 2, 0, "AB"},
      {22, 10, CAB_ERROR_FOLDER_DATA_ENDED, "CDE"},
      {25, 0, CAB_ERROR_RANGE_PAST_END, ""}}},
    {"tail_into_damage", 1, {{0, 3, 0, "012"}, {3, 10, CAB_ERROR_CHECKSUM, "3456789"}}},
    // Known once, the failed block fails every range placed by it.
    {"damage_is_remembered",
     1,
     {{12, 2, CAB_ERROR_CHECKSUM, ""},
      {0, 10, 0, block0},
      {3, 4, 0, "3456"},
      {22, 1, CAB_ERROR_CHECKSUM, ""},
      {5, 10, CAB_ERROR_CHECKSUM, "56789"},
      {40, 1, CAB_ERROR_CHECKSUM, ""}}},
    {"damage_after_what_was_read",
     2,
     {{0, 12, 0, "0123456789ab"}, {12, 8, 0, "cdefghij"}, {20, 1, CAB_ERROR_CHECKSUM, ""}}},
};

class ranges_in_turn_test
    : public ::testing::TestWithParam<std::tuple<uint16_t, sequence_case, unsigned>> {};

TEST_P(ranges_in_turn_test, write_exactly_what_they_should) {
    auto [type, c, threads] = GetParam();
    cursor_over folder(build_cabinet(three_blocks(type, c.bad_block)), threads);
    for (const range& r : c.ranges) {
        EXPECT_EQ(folder.write(r.offset, r.length), r.status) << r.offset << "+" << r.length;
        EXPECT_EQ(folder.out.str(), r.written) << r.offset << "+" << r.length;
    }
}

INSTANTIATE_TEST_SUITE_P(stored_and_deflate, ranges_in_turn_test,
                         ::testing::Combine(::testing::Values(uint16_t{0}, uint16_t{1}),
                                            ::testing::ValuesIn(sequence_cases),
                                            ::testing::ValuesIn(thread_counts)),
                         type_case_threads);

// What is kept of a block serves the ranges that lie in it without reading
// the cabinet again.
TEST(folder_cursor_test, kept_rest_of_a_block_needs_no_reading) {
    for (uint16_t type : {0, 1}) {
        const std::string image = build_cabinet(three_blocks(type));
        cursor_over folder(image);
        ASSERT_EQ(folder.write(1, 2), 0);
        folder.in.str(std::string(image.size(), '\xFF'));
        EXPECT_EQ(folder.write(3, 7), 0) << type;
        EXPECT_EQ(folder.out.str(), "3456789") << type;
        EXPECT_EQ(folder.write(5, 2), 0) << type;
        EXPECT_EQ(folder.out.str(), "56") << type;
        EXPECT_NE(folder.write(8, 3), 0) << type;
    }
}

// Blocks before a range are verified, not expanded: a block whose checksum
// holds but whose contents cannot be expanded fails only the ranges in it.
TEST(folder_cursor_test, blocks_before_a_range_are_not_expanded) {
    for (uint16_t type : {0, 1}) {
        test_cabinet cabinet = three_blocks(type);
        test_block& broken = cabinet.folders[0].blocks[0];
        broken = type == 0 ? stored_block("0123") : deflate_block("0123");
        broken.cbUncomp = 10; // holds fewer bytes than it claims
        cursor_over folder(build_cabinet(cabinet));
        EXPECT_EQ(folder.write(12, 3), 0) << type;
        EXPECT_EQ(folder.out.str(), "cde") << type;
        EXPECT_EQ(folder.write(8, 3), type == 0 ? CAB_ERROR_BAD_DATA : CAB_ERROR_DECOMPRESSION);
    }
}

// Folders laid out against the rules, their blocks' checksums intact unless
// a case says otherwise.
struct hostile_case {
    const char* name;
    test_folder folder;
    std::size_t cut; // bytes taken off the cabinet's end
    std::vector<range> ranges;
};

void PrintTo(const hostile_case& c, std::ostream* out) {
    *out << c.name;
}

test_folder blocks_of(uint16_t type, std::vector<test_block> blocks) {
    test_folder result;
    result.typeCompress = type;
    result.blocks = std::move(blocks);
    return result;
}

test_folder claiming(test_folder folder, uint16_t cCFData) {
    folder.cCFData = cCFData;
    return folder;
}

test_folder starting_at(test_folder folder, uint64_t coffCabStart) {
    folder.coffCabStart = coffCabStart;
    return folder;
}

test_block overstated(test_block block, uint16_t cbUncomp) {
    block.cbUncomp = cbUncomp;
    return block;
}

test_block failing(test_block block) {
    block.bad_checksum = true;
    return block;
}

const hostile_case hostile_cases[] = {
    {"empty_block_failing_its_checksum",
     blocks_of(0, {stored_block("abc"), failing(stored_block("")), stored_block("def")}),
     0,
     {{3, 3, CAB_ERROR_CHECKSUM, ""}, {0, 3, 0, "abc"}, {1, 4, CAB_ERROR_CHECKSUM, "bc"}}},
    {"empty_block_between",
     blocks_of(1, {deflate_block("abc"), deflate_block(""), deflate_block("def")}),
     0,
     {{3, 3, 0, "def"},
      {2, 2, 0, "cd"},
      {0, 6, 0, "abcdef"},
      {6, 0, CAB_ERROR_RANGE_PAST_END, ""}}},
    {"stored_block_holding_less_than_it_claims",
     blocks_of(0,
               {stored_block("abcde"), overstated(stored_block("xy"), 5), stored_block("fghij")}),
     0,
     {{10, 3, 0, "fgh"}, {3, 4, CAB_ERROR_BAD_DATA, "de"}, {5, 1, CAB_ERROR_BAD_DATA, ""}}},
    {"deflate_block_holding_less_than_it_claims",
     blocks_of(
         1, {deflate_block("abcde"), overstated(deflate_block("xy"), 5), deflate_block("fghij")}),
     0,
     {{10, 3, 0, "fgh"}, {3, 4, CAB_ERROR_DECOMPRESSION, "de"}}},
    {"largest_blocks",
     blocks_of(1, {deflate_block(std::string(65535, 'a')), deflate_block(std::string(65535, 'b'))}),
     0,
     {{65534, 2, 0, "ab"}, {131069, 1, 0, "b"}, {131070, 1, CAB_ERROR_RANGE_PAST_END, ""}}},
    {"cut_inside_the_last_block",
     blocks_of(0, {stored_block("abcde"), stored_block("fghij")}),
     2,
     {{5, 1, CAB_ERROR_UNEXPECTED_EOF, ""},
      {0, 5, 0, "abcde"},
      {3, 4, CAB_ERROR_UNEXPECTED_EOF, "de"},
      {9, 1, CAB_ERROR_UNEXPECTED_EOF, ""}}},
    {"more_blocks_claimed_than_there_are",
     claiming(blocks_of(0, {stored_block("abcde"), stored_block("fghij")}), 4),
     0,
     {{0, 10, 0, "abcdefghij"},
      {8, 4, CAB_ERROR_UNEXPECTED_EOF, "ij"},
      {10, 0, CAB_ERROR_UNEXPECTED_EOF, ""}}},
    {"fewer_blocks_claimed_than_there_are",
     claiming(blocks_of(1, {deflate_block("abcde"), deflate_block("fghij")}), 1),
     0,
     {{3, 4, CAB_ERROR_FOLDER_DATA_ENDED, "de"}, {5, 1, CAB_ERROR_RANGE_PAST_END, ""}}},
    {"no_blocks",
     blocks_of(1, {}),
     0,
     {{0, 0, CAB_ERROR_RANGE_PAST_END, ""}, {0, 5, CAB_ERROR_RANGE_PAST_END, ""}}},
    {"unreachable_blocks",
     starting_at(blocks_of(1, {deflate_block("abcde")}), uint64_t{1} << 63),
     0,
     {{0, 1, CAB_ERROR_SEEK, ""}, {3, 1, CAB_ERROR_SEEK, ""}}},
    {"unsupported_compression",
     blocks_of(5, {deflate_block("abcde"), deflate_block("fghij")}),
     0,
     {{7, 2, CAB_ERROR_UNSUPPORTED_COMPRESSION, ""},
      {0, 1, CAB_ERROR_UNSUPPORTED_COMPRESSION, ""},
      {10, 1, CAB_ERROR_UNSUPPORTED_COMPRESSION, ""}}},
    // Past the end, every block is expanded in turn, also those that ranges
    // pass over unexpanded.
    {"past_the_end_behind_a_block_that_does_not_expand",
     blocks_of(1, {overstated(deflate_block("xy"), 5), deflate_block("abcde")}),
     0,
     {{5, 5, 0, "abcde"},
      {10, 0, CAB_ERROR_DECOMPRESSION, ""},
      {0, 1, CAB_ERROR_DECOMPRESSION, ""},
      {12, 1, CAB_ERROR_DECOMPRESSION, ""}}},
    {"empty_block_that_does_not_expand",
     blocks_of(1, {test_block{"junk", 0, {}, false}, deflate_block("abc")}),
     0,
     {{0, 3, 0, "abc"}, {3, 1, convert_z_error_code(Z_DATA_ERROR), ""}}},
};

class hostile_folder_test : public ::testing::TestWithParam<std::tuple<hostile_case, unsigned>> {};

TEST_P(hostile_folder_test, ends_in_the_right_status) {
    auto [c, threads] = GetParam();
    test_cabinet cabinet;
    cabinet.folders.push_back(c.folder);
    std::string image = build_cabinet(cabinet);
    cursor_over folder(image.substr(0, image.size() - c.cut), threads);
    for (const range& r : c.ranges) {
        EXPECT_EQ(folder.write(r.offset, r.length), r.status) << r.offset << "+" << r.length;
        EXPECT_EQ(folder.out.str(), r.written) << r.offset << "+" << r.length;
    }
}

// A check of the whole folder, before any range and after all of them, ends
// as the folder manager's walk of every block from the first does, and counts
// the bytes that walk writes.
TEST_P(hostile_folder_test, is_verified_as_the_whole_walk_finds_it) {
    auto [c, threads] = GetParam();
    test_cabinet cabinet;
    cabinet.folders.push_back(c.folder);
    std::string image = build_cabinet(cabinet);
    cursor_over folder(image.substr(0, image.size() - c.cut), threads);
    int expected = folder.walk(0, UINT64_MAX);
    if (expected == CAB_ERROR_FOLDER_DATA_ENDED || expected == CAB_ERROR_RANGE_PAST_END)
        expected = 0; // every block passed
    const uint64_t walked = folder.out.str().size();
    uint64_t expanded = 1;
    EXPECT_EQ(folder.verify(expanded), expected);
    EXPECT_EQ(expanded, walked);
    for (const range& r : c.ranges)
        static_cast<void>(folder.write(r.offset, r.length));
    expanded = 1;
    EXPECT_EQ(folder.verify(expanded), expected);
    EXPECT_EQ(expanded, walked);
}

INSTANTIATE_TEST_SUITE_P(cases, hostile_folder_test,
                         ::testing::Combine(::testing::ValuesIn(hostile_cases),
                                            ::testing::ValuesIn(thread_counts)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    threads_name(std::get<1>(info.param));
                         });

// Every range of a sound folder, asked for of one cursor in a scrambled
// order, comes out as the folder manager's walk from the first block gives it.
TEST(folder_cursor_test, every_range_as_the_whole_walk_gives_it) {
    for (auto [type, threads] : types_and_threads) {
        test_cabinet cabinet;
        test_folder laid = folder_of(type, whole + "0123456789ab", 9);
        laid.blocks.insert(laid.blocks.begin() + 2,
                           type == 0 ? stored_block("") : deflate_block(""));
        cabinet.folders.push_back(laid);
        const std::string image = build_cabinet(cabinet);
        cursor_over folder(image, threads);
        cursor_over walked(image);
        const uint64_t size = whole.size() + 12;
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        for (uint64_t offset = 0; offset <= size + 1; ++offset) {
            for (uint64_t length : {uint64_t{0}, uint64_t{1}, uint64_t{2}, uint64_t{8}, uint64_t{9},
                                    uint64_t{10}, size - offset, size + 1 - offset})
                ranges.push_back({offset, length});
        }
        int wrong = 0;
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            auto [offset, length] = ranges[i * 7919 % ranges.size()];
            int status = folder.write(offset, length);
            walked.out.str("");
            int expected =
                walked.folder.extract_data(walked.out, walked.in, offset, length, walked.header);
            if ((status != expected || folder.out.str() != walked.out.str()) && ++wrong <= 5)
                ADD_FAILURE() << type_name(type) << threads << " threads, " << offset << "+"
                              << length << ": " << status << " instead of " << expected;
        }
        EXPECT_EQ(wrong, 0);
    }
}

// Files that follow one another take each block from the cabinet once, on
// one thread and on several; a range past the end walks the folder again
// once to find its status, and so does a check of the whole folder.
TEST(folder_cursor_test, reads_each_block_once) {
    for (auto [type, threads] : types_and_threads) {
        test_cabinet cabinet;
        cabinet.folders.push_back(folder_of(type, whole + whole, 10));
        cursor_over folder(build_cabinet(cabinet), threads);
        const uint64_t ends[] = {4, 17, 20, 21, 33, 49, 50};
        uint64_t offset = 0;
        for (uint64_t end : ends) {
            ASSERT_EQ(folder.write(offset, end - offset), 0) << offset;
            offset = end;
        }
        EXPECT_EQ(folder.reads(), 5u) << type_name(type) << threads;
        for (int twice = 0; twice < 2; ++twice)
            EXPECT_EQ(folder.write(50, 1), CAB_ERROR_RANGE_PAST_END);
        uint64_t expanded = 0;
        for (int twice = 0; twice < 2; ++twice)
            EXPECT_EQ(folder.verify(expanded), 0);
        EXPECT_EQ(expanded, 50u);
        EXPECT_EQ(folder.reads(), 10u) << type_name(type) << threads;
    }
}

// Every other value of every byte of every block, files of the folder
// extracted in turn. A byte that the checksum covers (csum, cbUncomp,
// payload) fails every range that begins in or after its block with
// CAB_ERROR_CHECKSUM; a changed cbData fails them one way or another; the
// ranges before the block come out whole, and padding and reserve areas
// change nothing. Where the cursor expects the folder's true end, the
// ranges wholly behind a block whose csum or payload changed come out whole
// too. No range ever succeeds with other bytes than the folder's own, and
// three threads give exactly what one gives.
TEST(folder_cursor_test, every_single_byte_change_in_a_block) {
    const std::pair<uint64_t, uint64_t> files[] = {{0, 4}, {4, 8}, {12, 3}, {15, 10}, {25, 1}};
    const uint64_t block_starts[] = {0, 10, 20}, block_ends[] = {10, 20, 25};
    parallel_inflate three(3);
    for (auto [type, expected_end] : {std::pair<uint16_t, uint64_t>{0, folder_cursor::unknown_end},
                                      {1, folder_cursor::unknown_end},
                                      {0, whole.size()},
                                      {1, whole.size()}}) {
        test_cabinet cabinet = three_blocks(type);
        reserve_in_every_block(cabinet, "xyz");
        int failures = 0;
        for_each_block_byte_change(cabinet, [&](const std::string& damaged,
                                                const block_byte_change& byte) {
            const bool cbData = byte.at == 8 || byte.at == 9;
            const bool cbUncomp = byte.at == 10 || byte.at == 11;
            const bool unread = byte.at >= 12 && byte.at < 16 + 3;
            const bool recovered =
                expected_end != folder_cursor::unknown_end && !cbData && !cbUncomp;
            cursor_over folder(damaged, 1, expected_end), threaded(damaged, three, expected_end);
            for (int turn = 0; turn < 5; ++turn) {
                auto [offset, length] = files[(turn * 3 + byte.block) % 5];
                int status = folder.write(offset, length);
                if ((threaded.write(offset, length) != status ||
                     threaded.out.str() != folder.out.str()) &&
                    ++failures <= 5)
                    ADD_FAILURE() << type_name(type) << "block " << byte.block << " byte "
                                  << byte.at << " ^ " << byte.change << ", range " << offset << "+"
                                  << length << ": three threads differ";
                bool placed_by_it = offset + length > block_starts[byte.block];
                bool behind_it = offset >= block_ends[byte.block];
                bool whole_file = offset + length <= whole.size();
                bool ok;
                if (status == 0 && folder.out.str() != whole.substr(offset, length))
                    ok = false;
                else if (unread || !placed_by_it || (recovered && behind_it))
                    ok = whole_file
                             ? status == 0 && folder.out.str() == whole.substr(offset, length)
                             : status == CAB_ERROR_RANGE_PAST_END;
                else
                    ok = cbData ? status != 0 : status == CAB_ERROR_CHECKSUM;
                if (!ok && ++failures <= 5)
                    ADD_FAILURE() << type_name(type) << "block " << byte.block << " byte "
                                  << byte.at << " ^ " << byte.change << ", range " << offset << "+"
                                  << length << ": status " << status;
            }
        });
        EXPECT_EQ(failures, 0) << type_name(type) << expected_end;
    }
}

// Six blocks of ten bytes and six files across them: file 0 lies in block 0,
// file 1 in blocks 0 and 1, file 2 in block 2, file 3 in blocks 2 and 3,
// file 4 in block 3 and file 5 in blocks 4 and 5.
const std::string six_blocks_of_data =
    "0123456789abcdefghijABCDEFGHIJklmnopqrstKLMNOPQRSTuvwxyz!?#$";
const std::pair<uint64_t, uint64_t> six_files[] = {{0, 7},   {7, 13}, {20, 5},
                                                   {25, 13}, {38, 2}, {40, 20}};

// Bytes of a block XORed with a value: at counts from the block's first
// byte (csum at 0, cbData at 8, cbUncomp at 10, the payload from 16).
struct byte_damage {
    int block;
    std::size_t at;
    uint8_t change;
};

// A block whose checksum holds but which holds one byte less than it
// claims: it does not expand.
constexpr int no_block = -1;
// The status of a range in such a block: CAB_ERROR_BAD_DATA when stored,
// CAB_ERROR_DECOMPRESSION when deflated.
constexpr int ok = 0, bad = CAB_ERROR_CHECKSUM, unexpanded = 1;

struct damage_case {
    const char* name;
    std::vector<byte_damage> damage;
    int short_block; // or no_block
    uint64_t expected_end;
    int statuses[6]; // of the six files
};

void PrintTo(const damage_case& c, std::ostream* out) {
    *out << c.name;
}

const uint64_t true_end = 60;

const damage_case damage_cases[] = {
    {"payload_of_block_0", {{0, 17, 0x01}}, no_block, true_end, {bad, bad, ok, ok, ok, ok}},
    {"payload_of_block_2", {{2, 18, 0x40}}, no_block, true_end, {ok, ok, bad, bad, ok, ok}},
    {"csum_of_block_2", {{2, 1, 0x10}}, no_block, true_end, {ok, ok, bad, bad, ok, ok}},
    {"payload_of_the_last_block", {{5, 16, 0x01}}, no_block, true_end, {ok, ok, ok, ok, ok, bad}},
    // 10 becomes 8: the blocks behind it would be placed two bytes early.
    {"cbUncomp_of_block_2", {{2, 10, 0x02}}, no_block, true_end, {ok, ok, bad, bad, bad, bad}},
    // The next block is looked for where it is not.
    {"cbData_of_block_2", {{2, 8, 0x01}}, no_block, true_end, {ok, ok, bad, bad, bad, bad}},
    {"two_damaged_payloads",
     {{1, 16, 0x01}, {4, 16, 0x01}},
     no_block,
     true_end,
     {ok, bad, bad, bad, bad, bad}},
    // 10 becomes 8, then 12: the sizes still add up, but block 2 would be
    // placed two bytes early.
    {"two_damaged_sizes_that_add_up",
     {{1, 10, 0x02}, {3, 10, 0x06}},
     no_block,
     true_end,
     {ok, bad, bad, bad, bad, bad}},
    {"block_that_does_not_expand", {}, 3, true_end, {ok, ok, ok, unexpanded, unexpanded, ok}},
    {"damage_before_a_block_that_does_not_expand",
     {{1, 16, 0x01}},
     3,
     true_end,
     {ok, bad, bad, bad, bad, bad}},
    {"no_expected_end",
     {{2, 18, 0x40}},
     no_block,
     folder_cursor::unknown_end,
     {ok, ok, bad, bad, bad, bad}},
    {"expected_end_short_of_the_data",
     {{2, 18, 0x40}},
     no_block,
     true_end - 1,
     {ok, ok, bad, bad, bad, bad}},
    {"expected_end_beyond_the_data",
     {{2, 18, 0x40}},
     no_block,
     true_end + 1,
     {ok, ok, bad, bad, bad, bad}},
};

// The six blocks, stored or deflated, with the case's damage.
std::string damaged_six_blocks(uint16_t type, const damage_case& c) {
    test_cabinet cabinet;
    cabinet.folders.push_back(folder_of(type, six_blocks_of_data, 10));
    std::vector<test_block>& blocks = cabinet.folders[0].blocks;
    if (c.short_block != no_block) {
        const std::string held = six_blocks_of_data.substr(c.short_block * 10, 9);
        blocks[c.short_block] = type == 0 ? stored_block(held) : deflate_block(held);
        blocks[c.short_block].cbUncomp = 10;
    }
    std::string image = build_cabinet(cabinet);
    // The blocks end the cabinet.
    std::vector<std::size_t> starts(blocks.size());
    std::size_t at = image.size();
    for (std::size_t i = blocks.size(); i-- > 0;)
        starts[i] = at -= 16 + blocks[i].payload.size();
    for (const byte_damage& d : c.damage)
        image[starts[d.block] + d.at] = static_cast<char>(image[starts[d.block] + d.at] ^ d.change);
    return image;
}

class damaged_folder_test
    : public ::testing::TestWithParam<std::tuple<uint16_t, damage_case, unsigned>> {};

// The files come out whole or fail with the case's status, in any order;
// a file that fails writes nothing but its own bytes before the damage.
TEST_P(damaged_folder_test, costs_only_the_files_it_touches) {
    auto [type, c, threads] = GetParam();
    const std::string image = damaged_six_blocks(type, c);
    const int unexpandable = type == 0 ? CAB_ERROR_BAD_DATA : CAB_ERROR_DECOMPRESSION;
    const std::vector<int> orders[] = {{0, 1, 2, 3, 4, 5}, {5, 4, 3, 2, 1, 0}, {3, 5, 0, 4, 2, 1}};
    for (const std::vector<int>& order : orders) {
        cursor_over folder(image, threads, c.expected_end);
        for (int file : order) {
            auto [offset, length] = six_files[file];
            const std::string expected = six_blocks_of_data.substr(offset, length);
            const int status = c.statuses[file] == unexpanded ? unexpandable : c.statuses[file];
            EXPECT_EQ(folder.write(offset, length), status) << "file " << file;
            const std::string written = folder.out.str();
            if (status == ok)
                EXPECT_EQ(written, expected) << "file " << file;
            else
                EXPECT_EQ(written, expected.substr(0, written.size())) << "file " << file;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(stored_and_deflate, damaged_folder_test,
                         ::testing::Combine(::testing::Values(uint16_t{0}, uint16_t{1}),
                                            ::testing::ValuesIn(damage_cases),
                                            ::testing::ValuesIn(thread_counts)),
                         type_case_threads);

// Behind a damaged block whose sizes were confirmed, the folder ends as a
// sound one does; a check of the whole folder still finds the damage.
TEST(folder_cursor_test, recovered_folder_ends_as_a_sound_one) {
    for (auto [type, threads] : types_and_threads) {
        cursor_over folder(damaged_six_blocks(type, damage_cases[1]), threads, true_end);
        EXPECT_EQ(folder.write(55, 10), CAB_ERROR_FOLDER_DATA_ENDED);
        EXPECT_EQ(folder.out.str(), "z!?#$");
        EXPECT_EQ(folder.write(60, 1), CAB_ERROR_RANGE_PAST_END);
        EXPECT_EQ(folder.write(60, 0), CAB_ERROR_RANGE_PAST_END);
        EXPECT_EQ(folder.write(29, 2), CAB_ERROR_CHECKSUM);
        uint64_t expanded = 0;
        EXPECT_EQ(folder.verify(expanded), CAB_ERROR_CHECKSUM);
        EXPECT_EQ(expanded, 20u);
    }
}

// The blocks behind a damaged one are checked once, the first time a range
// behind it is asked for, and read again only to be written: extracting every
// file in turn reads the blocks before the damage and the damaged one once,
// and those behind it twice at most. Files asked for again read only their
// own blocks.
TEST(folder_cursor_test, damage_is_checked_once) {
    for (auto [type, threads] : types_and_threads) {
        cursor_over folder(damaged_six_blocks(type, damage_cases[1]), threads, true_end);
        for (auto [offset, length] : six_files)
            static_cast<void>(folder.write(offset, length));
        EXPECT_EQ(folder.reads(), 3u + 2 * 3u) << type_name(type) << threads;
        const uint64_t before = folder.reads();
        for (int file : {4, 5})
            ASSERT_EQ(folder.write(six_files[file].first, six_files[file].second), 0);
        EXPECT_EQ(folder.reads() - before, 3u) << type_name(type) << threads;
    }
}

} // namespace
