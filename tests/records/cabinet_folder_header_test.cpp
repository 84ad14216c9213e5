#include <kistle/cabinet_folder_header.h>

#include <cstdint>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "record_streams.h"
#include "test_bytes.h"

namespace {

// coffCabStart 0x0807060504030201, cCFData 0x0A09, typeCompress 0x0C0B, and
// padding that a read ignores and a write puts as zeros.
const std::string folder_image =
    bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xEE, 0xEE, 0xEE, 0xEE});
const std::string folder_image_written = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 0});

std::string reserve_of(const cabinet_folder_header& f) {
    if (f.abReserve == nullptr)
        return "(none)";
    return std::string(f.abReserve, f.abReserve + f.cbReserve);
}

// A folder record holding fields and a reserve area, so a read or init into it
// shows what it released and cleared first.
void fill_with_stale_values(cabinet_folder_header& folder) {
    cabinet_header header;
    header.flags = cfhdrRESERVE_PRESENT;
    header.cbCFFolder = 3;
    folder.init(header);
    folder.coffCabStart = 99;
    folder.cCFData = 99;
    folder.typeCompress = 99;
}

void expect_sample_fields(const cabinet_folder_fixed_header& f) {
    EXPECT_EQ(f.coffCabStart, 0x0807060504030201u);
    EXPECT_EQ(f.cCFData, 0x0A09);
    EXPECT_EQ(f.typeCompress, 0x0C0B);
}

TEST(cabinet_folder_header_test, reserve_area_follows_only_under_the_flag) {
    const struct {
        const char* what;
        uint16_t flags;
        uint8_t cbCFFolder;
        std::string reserve;
    } cases[] = {
        {"flag and size 5: 21 bytes", cfhdrRESERVE_PRESENT, 5, "ABCDE"},
        {"size 5 without the flag", 0, 5, ""},
        {"size 5 under the other flags", cfhdrPREV_CABINET | cfhdrNEXT_CABINET, 5, ""},
        {"flag with size 0", cfhdrRESERVE_PRESENT, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cabinet_header header;
        header.flags = c.flags;
        header.cbCFFolder = c.cbCFFolder;
        std::istringstream in(folder_image + c.reserve + "NEXT");
        cabinet_folder_header folder;
        fill_with_stale_values(folder);

        ASSERT_EQ(folder.read(in, header), 0);
        EXPECT_EQ(rest_of(in), "NEXT");
        expect_sample_fields(folder);
        EXPECT_EQ(folder.cbReserve, c.reserve.size());
        EXPECT_EQ(reserve_of(folder), c.reserve.empty() ? "(none)" : c.reserve);

        EXPECT_EQ(written_by(folder), folder_image_written + c.reserve);
    }
}

TEST(cabinet_folder_header_test, init_gives_a_zero_filled_area_only_under_the_flag) {
    cabinet_header header;
    header.cbCFFolder = 4;
    cabinet_folder_header folder;

    fill_with_stale_values(folder);
    folder.init(header);
    EXPECT_EQ(folder.coffCabStart, 0u);
    EXPECT_EQ(folder.cCFData, 0);
    EXPECT_EQ(folder.typeCompress, 0);
    EXPECT_EQ(folder.cbReserve, 0);
    EXPECT_EQ(folder.abReserve, nullptr);

    header.flags = cfhdrRESERVE_PRESENT;
    fill_with_stale_values(folder);
    folder.init(header);
    EXPECT_EQ(folder.coffCabStart, 0u);
    EXPECT_EQ(reserve_of(folder), std::string(4, '\0'));

    // The record writes its own area, whatever a header says.
    EXPECT_EQ(written_by(folder), std::string(20, '\0'));
}

TEST(cabinet_folder_header_test, input_ending_inside_a_part_stops_with_the_state_so_far) {
    cabinet_header header;
    header.flags = cfhdrRESERVE_PRESENT;
    header.cbCFFolder = 5;
    const std::string input = folder_image + "ABCDE";
    const struct {
        std::size_t length;
        bool fields_read;
    } cuts[] = {{0, false}, {10, false}, {16, true}, {18, true}};
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.length);
        expect_read_fails_after(input, cut.length, [&](std::istream& in) {
            cabinet_folder_header folder;
            fill_with_stale_values(folder);
            int status = folder.read(in, header);
            EXPECT_EQ(folder.coffCabStart, cut.fields_read ? 0x0807060504030201u : 0u);
            // The area allocated before the failure stays with the record.
            EXPECT_EQ(folder.cbReserve, cut.fields_read ? 5 : 0);
            EXPECT_EQ(folder.abReserve != nullptr, cut.fields_read);
            return status;
        });
    }
}

TEST(cabinet_folder_header_test, failing_output_is_a_write_error) {
    cabinet_header header;
    header.flags = cfhdrRESERVE_PRESENT;
    header.cbCFFolder = 5;
    std::istringstream in(folder_image + "ABCDE");
    cabinet_folder_header folder;
    ASSERT_EQ(folder.read(in, header), 0);
    expect_write_fails_after(folder, folder_image_written + "ABCDE", {0, 10, 16, 19});
}

TEST(cabinet_folder_fixed_header_test, transfers_the_sixteen_byte_image) {
    std::istringstream in(folder_image + "ABCDE");
    cabinet_folder_fixed_header folder;
    ASSERT_EQ(folder.read(in), 0);
    EXPECT_EQ(rest_of(in), "ABCDE");
    expect_sample_fields(folder);

    EXPECT_EQ(written_by(folder), folder_image_written);

    std::istringstream short_input(folder_image.substr(0, 15));
    EXPECT_EQ(folder.read(short_input), CAB_ERROR_UNEXPECTED_EOF);
    std::ostringstream failed;
    failed.setstate(std::ios::badbit);
    EXPECT_EQ(folder.write(failed), CAB_ERROR_WRITE);
}

} // namespace
