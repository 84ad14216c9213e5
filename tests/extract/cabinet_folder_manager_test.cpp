#include <kistle/cabinet_folder_manager.h>

#include <gtest/gtest.h>
#include <sstream>
#include <string>

#include <kistle/cabinet_status.h>

#include "cabinet_image.h"

namespace {

// A cabinet's header and one of its folders, read back with the records, and
// the cabinet's bytes to extract from.
class loaded_folder {
public:
    loaded_folder(const std::string& image, uint16_t number = 0) : in(image) {
        EXPECT_EQ(header.read(in), 0);
        for (uint16_t i = 0; i <= number; ++i)
            EXPECT_EQ(folder.read(in, header), 0);
    }

    int extract(uint64_t offset, uint64_t length) {
        out.str("");
        return folder.extract_data(out, in, offset, length, header);
    }

    std::istringstream in;
    std::ostringstream out;
    cabinet_header header;
    cabinet_folder_manager folder;
};

const std::string block0 = "0123456789", block1 = "abcdefghij", block2 = "ABCDE";

test_cabinet three_blocks(uint16_t type, int bad_block = -1) {
    test_cabinet cabinet;
    cabinet.folders.push_back(folder_of(type, block0 + block1 + block2, 10));
    if (bad_block >= 0)
        cabinet.folders[0].blocks[bad_block].bad_checksum = true;
    return cabinet;
}

struct range_case {
    const char* name;
    uint64_t offset;
    uint64_t length;
    int bad_block; // -1 for none
    int status;
    std::string written;
};

// Test names, not byte dumps, in the test list.
void PrintTo(const range_case& c, std::ostream* out) {
    *out << c.name;
}

const range_case range_cases[] = {
    {"whole_folder", 0, 25, -1, 0, block0 + block1 + block2},
    {"starts_on_block_boundary", 10, 3, -1, 0, "abc"},
    {"spans_blocks", 8, 14, -1, 0, "89abcdefghijAB"},
    {"ends_at_block_end_without_reading_on", 5, 5, 1, 0, "56789"},
    {"length_zero_inside", 12, 0, -1, 0, ""},
    {"offset_at_end", 25, 0, -1, CAB_ERROR_RANGE_PAST_END, ""},
    {"offset_past_end", 40, 3, -1, CAB_ERROR_RANGE_PAST_END, ""},
    {"offset_at_end_reads_every_block", 25, 0, 2, CAB_ERROR_CHECKSUM, ""},
    {"range_past_end", 20, 10, -1, CAB_ERROR_FOLDER_DATA_ENDED, "ABCDE"},
    {"checksum_before_range", 15, 2, 0, CAB_ERROR_CHECKSUM, ""},
    {"checksum_inside_range", 5, 10, 1, CAB_ERROR_CHECKSUM, "56789"},
};

class extract_range_test : public ::testing::TestWithParam<std::tuple<uint16_t, range_case>> {};

TEST_P(extract_range_test, writes_exactly_the_range) {
    auto [type, c] = GetParam();
    loaded_folder loaded(build_cabinet(three_blocks(type, c.bad_block)));
    EXPECT_EQ(loaded.extract(c.offset, c.length), c.status);
    EXPECT_EQ(loaded.out.str(), c.written);
    // Released on every path, so that many folders do not keep one each.
    EXPECT_EQ(loaded.folder.zstream, nullptr);
}

INSTANTIATE_TEST_SUITE_P(stored_and_deflate, extract_range_test,
                         ::testing::Combine(::testing::Values(uint16_t{0}, uint16_t{1}),
                                            ::testing::ValuesIn(range_cases)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == 0 ? "stored_"
                                                                             : "deflate_") +
                                    std::get<1>(info.param).name;
                         });

TEST(extract_data_test, folder_without_blocks_refuses_every_range) {
    test_cabinet cabinet;
    cabinet.folders.push_back(test_folder{});
    loaded_folder loaded(build_cabinet(cabinet));
    EXPECT_EQ(loaded.extract(0, 0), CAB_ERROR_RANGE_PAST_END);
    EXPECT_EQ(loaded.extract(0, 5), CAB_ERROR_RANGE_PAST_END);
}

TEST(extract_data_test, unsupported_type_fails_after_its_first_block_is_read) {
    loaded_folder good(build_cabinet(three_blocks(5)));
    EXPECT_EQ(good.extract(0, 3), CAB_ERROR_UNSUPPORTED_COMPRESSION);
    EXPECT_EQ(good.out.str(), "");
    loaded_folder damaged(build_cabinet(three_blocks(5, 0)));
    EXPECT_EQ(damaged.extract(0, 3), CAB_ERROR_CHECKSUM);
}

TEST(extract_data_test, reads_blocks_behind_their_reserve_areas) {
    test_cabinet cabinet = three_blocks(1);
    cabinet.flags = cfhdrRESERVE_PRESENT;
    cabinet.header_reserve = "header";
    cabinet.cbCFFolder = 4;
    cabinet.cbCFData = 3;
    for (test_block& block : cabinet.folders[0].blocks)
        block.reserve = "xyz";
    loaded_folder loaded(build_cabinet(cabinet));
    EXPECT_EQ(loaded.extract(8, 10), 0);
    EXPECT_EQ(loaded.out.str(), "89abcdefgh");
}

// A block that claims more bytes than it holds writes none of them.
TEST(extract_data_test, short_blocks_are_refused_before_anything_of_them_is_written) {
    for (uint16_t type : {0, 1}) {
        test_cabinet cabinet;
        test_folder folder = folder_of(type, "abcde");
        test_block short_block = type == 0 ? stored_block("xy") : deflate_block("xy");
        short_block.cbUncomp = 5;
        folder.blocks.push_back(short_block);
        cabinet.folders.push_back(folder);
        loaded_folder loaded(build_cabinet(cabinet));
        EXPECT_EQ(loaded.extract(0, 10), type == 0 ? CAB_ERROR_BAD_DATA : CAB_ERROR_DECOMPRESSION);
        EXPECT_EQ(loaded.out.str(), "abcde");
        EXPECT_EQ(loaded.folder.zstream, nullptr);
    }
}

TEST(extract_data_test, damaged_deflate_data_releases_the_decompressor) {
    test_cabinet cabinet;
    cabinet.folders.push_back(folder_of(1, "abcde"));
    cabinet.folders[0].blocks[0].payload = "not a zlib stream";
    loaded_folder loaded(build_cabinet(cabinet));
    int status = loaded.extract(0, 5);
    EXPECT_GE(status, CAB_ERROR_ZLIB_FIRST);
    EXPECT_LE(status, CAB_ERROR_ZLIB_LAST);
    EXPECT_EQ(loaded.folder.zstream, nullptr);
}

TEST(extract_data_test, unreachable_start_is_a_seek_failure) {
    test_cabinet cabinet = three_blocks(1);
    cabinet.folders[0].coffCabStart = uint64_t{1} << 63;
    loaded_folder loaded(build_cabinet(cabinet));
    EXPECT_EQ(loaded.extract(0, 1), CAB_ERROR_SEEK);
}

TEST(extract_data_test, truncated_cabinet_ends_with_eof) {
    std::string image = build_cabinet(three_blocks(1));
    loaded_folder loaded(image.substr(0, image.size() - 4));
    EXPECT_EQ(loaded.extract(0, 25), CAB_ERROR_UNEXPECTED_EOF);
    EXPECT_EQ(loaded.out.str(), block0 + block1);
}

TEST(extract_data_test, failed_output_is_a_write_error) {
    for (uint16_t type : {0, 1}) {
        loaded_folder loaded(build_cabinet(three_blocks(type)));
        loaded.out.setstate(std::ios::badbit);
        EXPECT_EQ(loaded.folder.extract_data(loaded.out, loaded.in, 0, 3, loaded.header),
                  CAB_ERROR_WRITE);
        EXPECT_EQ(loaded.folder.zstream, nullptr);
    }
}

TEST(write_data_test, decompressor_lifecycle) {
    loaded_folder loaded(build_cabinet(three_blocks(1)));
    cabinet_folder_manager& folder = loaded.folder;
    cabinet_datablock block;
    ASSERT_EQ(block.read(loaded.in, loaded.header), 0);
    using flag = cabinet_folder_manager::COMPRESSION_STATE_FLAG;
    EXPECT_EQ(folder.write_data(loaded.out, block, 0, 0, flag::COMPRESSION_STATE_SKIP),
              CAB_ERROR_NO_DECOMPRESSOR);
    EXPECT_EQ(folder.write_data(loaded.out, block, 0, 0, flag::COMPRESSION_STATE_END), 0);
    EXPECT_EQ(folder.write_data(loaded.out, block, 0, 0, flag::COMPRESSION_STATE_INIT), 0);
    EXPECT_EQ(folder.write_data(loaded.out, block, 0, 0, flag::COMPRESSION_STATE_INIT), 0);
    // The decompressor is reset after each block, so the same block expands again.
    EXPECT_EQ(folder.write_data(loaded.out, block, 2, 3, flag::COMPRESSION_STATE_WRITE), 0);
    EXPECT_EQ(folder.write_data(loaded.out, block, 0, 2, flag::COMPRESSION_STATE_WRITE), 0);
    EXPECT_EQ(loaded.out.str(), "23401");
    EXPECT_EQ(folder.write_data(loaded.out, block, 0, 0, flag::COMPRESSION_STATE_END), 0);
    EXPECT_EQ(folder.zstream, nullptr);

    // An extraction makes its own and releases it, on success too.
    EXPECT_EQ(loaded.extract(3, 2), 0);
    EXPECT_EQ(loaded.out.str(), "34");
    EXPECT_EQ(folder.zstream, nullptr);
}

// Every other value of every byte of every block of a folder, extracted
// whole. What the checksum covers (csum, cbUncomp, payload) fails with CAB_ERROR_CHECKSUM; a
// changed cbData moves the payload's end and fails one way or another; the
// padding and the reserve area are read by nothing and change nothing. A
// failure never writes a byte that is not the folder's.
TEST(extract_data_test, every_single_byte_change_in_a_block) {
    const std::string whole = block0 + block1 + block2;
    for (uint16_t type : {0, 1}) {
        test_cabinet cabinet = three_blocks(type);
        reserve_in_every_block(cabinet, "xyz");
        int failures = 0;
        for_each_block_byte_change(cabinet, [&](const std::string& damaged,
                                                const block_byte_change& byte) {
            loaded_folder loaded(damaged);
            int status = loaded.extract(0, whole.size());
            std::string out = loaded.out.str();
            bool cbData = byte.at == 8 || byte.at == 9;
            bool unread = (byte.at >= 12 && byte.at < 16 + 3);
            bool ok =
                whole.compare(0, out.size(), out) == 0 && (unread   ? status == 0 && out == whole
                                                           : cbData ? status != 0
                                                                    : status == CAB_ERROR_CHECKSUM);
            if (!ok && ++failures <= 5)
                ADD_FAILURE() << "type " << type << ", block " << byte.block << " byte " << byte.at
                              << " ^ " << byte.change << ": status " << status << ", wrote "
                              << out.size() << " bytes";
        });
        EXPECT_EQ(failures, 0) << "type " << type;
    }
}

} // namespace
