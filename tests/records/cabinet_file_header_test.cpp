#include <kistle/cabinet_file_header.h>

#include <cstdint>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "record_streams.h"
#include "test_bytes.h"

namespace {

// cbFile 0x1817161514131211, uoffFolderStart 0x2827262524232221, iFolder
// 0x3231, date 0x3433, time 0x3635, attribs 0x3837.
const std::string file_image =
    bytes({0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x21, 0x22, 0x23, 0x24,
           0x25, 0x26, 0x27, 0x28, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38});

void expect_sample_fields(const cabinet_file_fixed_header& f) {
    EXPECT_EQ(f.cbFile, 0x1817161514131211u);
    EXPECT_EQ(f.uoffFolderStart, 0x2827262524232221u);
    EXPECT_EQ(f.iFolder, 0x3231);
    EXPECT_EQ(f.date, 0x3433);
    EXPECT_EQ(f.time, 0x3635);
    EXPECT_EQ(f.attribs, 0x3837);
}

// A file record holding a name and fields, so a read into it shows what it
// cleared first.
void fill_with_stale_values(cabinet_file_header& file) {
    file.szName = "stale";
    file.cbFile = 99;
    file.iFolder = 99;
}

TEST(cabinet_file_header_test, reads_and_writes_entry_and_name) {
    for (const char* name : {"dir/name.txt", ""}) {
        SCOPED_TRACE(name);
        std::string entry = file_image + name + '\0';
        std::istringstream in(entry + "NEXT");
        cabinet_file_header file;
        fill_with_stale_values(file);

        ASSERT_EQ(file.read(in), 0);
        EXPECT_EQ(rest_of(in), "NEXT");
        expect_sample_fields(file);
        EXPECT_STREQ(file.szName.str(), name);

        EXPECT_EQ(written_by(file), entry);
    }
}

TEST(cabinet_file_header_test, unset_name_is_written_as_an_empty_string) {
    cabinet_file_header file;
    EXPECT_EQ(written_by(file), std::string(25, '\0'));
}

TEST(cabinet_file_header_test, input_ending_inside_a_part_stops_with_the_state_so_far) {
    const std::string input = file_image + "name";
    for (std::size_t length : {0, 12, 24, 26, 28}) {
        SCOPED_TRACE(length);
        bool fields_read = length >= 24;
        expect_read_fails_after(input, length, [&](std::istream& in) {
            cabinet_file_header file;
            fill_with_stale_values(file);
            int status = file.read(in);
            EXPECT_EQ(file.cbFile, fields_read ? 0x1817161514131211u : 0u);
            EXPECT_EQ(file.iFolder, fields_read ? 0x3231 : 0);
            EXPECT_EQ(file.szName.text, nullptr);
            return status;
        });
    }
}

TEST(cabinet_file_header_test, failing_output_is_a_write_error) {
    cabinet_file_header file;
    std::istringstream in(file_image + "name" + '\0');
    ASSERT_EQ(file.read(in), 0);
    expect_write_fails_after(file, file_image + "name" + '\0', {0, 12, 24, 28});
}

TEST(cabinet_file_fixed_header_test, transfers_the_twenty_four_byte_image) {
    std::istringstream in(file_image + "name");
    cabinet_file_fixed_header file;
    ASSERT_EQ(file.read(in), 0);
    EXPECT_EQ(rest_of(in), "name");
    expect_sample_fields(file);

    EXPECT_EQ(written_by(file), file_image);

    std::istringstream short_input(file_image.substr(0, 23));
    EXPECT_EQ(file.read(short_input), CAB_ERROR_UNEXPECTED_EOF);
}

} // namespace
