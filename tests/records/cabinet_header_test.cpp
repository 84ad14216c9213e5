#include <kistle/cabinet_header.h>

#include <cstdint>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "record_streams.h"
#include "test_bytes.h"

namespace {

// A fixed header image whose every field holds a distinct value, so a field
// taken from or put at the wrong offset shows. flags and bytes 60-63 (the
// reserve sizes) vary by case.
std::string fixed_image(uint16_t flags, const std::string& sizes) {
    const int lo = flags & 0xFF, hi = flags >> 8;
    return bytes({'M',  'S',  'C',  'F',  0,    0,    0,    0,    // signature, padding
                  0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, // reserved1
                  0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, // cbCabinet
                  0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, // reserved2
                  0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, // coffFiles
                  0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, // reserved3
                  0x03, 0x01, 0x61, 0x62, 0x63, 0x64, lo,   hi, // version, cFolders, cFiles, flags
                  0x65, 0x66, 0x67, 0x68}) +                    // setID, iCabinet
           sizes;
}

const std::string no_sizes = bytes({0, 0, 0, 0});

void expect_sample_fields(const cabinet_fixed_header& h) {
    EXPECT_EQ(h.signature, 0x4643534Du);
    EXPECT_EQ(h.reserved1, 0x1817161514131211u);
    EXPECT_EQ(h.cbCabinet, 0x2827262524232221u);
    EXPECT_EQ(h.reserved2, 0x3837363534333231u);
    EXPECT_EQ(h.coffFiles, 0x4847464544434241u);
    EXPECT_EQ(h.reserved3, 0x5857565554535251u);
    EXPECT_EQ(h.versionMinor, 3);
    EXPECT_EQ(h.versionMajor, 1);
    EXPECT_EQ(h.cFolders, 0x6261);
    EXPECT_EQ(h.cFiles, 0x6463);
    EXPECT_EQ(h.setID, 0x6665);
    EXPECT_EQ(h.iCabinet, 0x6867);
}

std::string names_of(const cabinet_header& h) {
    return std::string(h.szCabinetPrev.str()) + "|" + h.szDiskPrev.str() + "|" +
           h.szCabinetNext.str() + "|" + h.szDiskNext.str();
}

std::string reserve_of(const cabinet_header& h) {
    if (h.abReserve == nullptr)
        return "(none)";
    return std::string(h.abReserve, h.abReserve + h.cbCFHeader);
}

// Every field, name and the reserve area of a header are filled, so a read
// into it shows what it released and cleared first.
void fill_with_stale_values(cabinet_header& h) {
    std::istringstream in(fixed_image(7, no_sizes) + bytes({4, 0, 9, 9}) + "OLD!" +
                          std::string("oldcp\0olddp\0oldcn\0olddn\0", 24));
    ASSERT_EQ(h.read(in), 0);
    ASSERT_EQ(names_of(h), "oldcp|olddp|oldcn|olddn");
}

struct header_case {
    const char* what;
    uint16_t flags;
    std::string fixed_sizes; // bytes 60-63 of the input
    std::string tail;        // what follows the fixed image
    uint16_t cbCFHeader;
    uint8_t cbCFFolder;
    uint8_t cbCFData;
    std::string sizes; // bytes 60-63 when written back
    std::string reserve;
    std::string names;
};

const std::string area258 = pattern(258);

const header_case header_cases[] = {
    {"no flags: sizes come from the fixed image", 0, bytes({1, 2, 3, 4}), "", 0x0201, 3, 4,
     bytes({1, 2, 3, 4}), "(none)", "|||"},
    {"prev", cfhdrPREV_CABINET, no_sizes, std::string("cab0\0disk0\0", 11), 0, 0, 0, no_sizes,
     "(none)", "cab0|disk0||"},
    {"next", cfhdrNEXT_CABINET, no_sizes, std::string("cab2\0disk2\0", 11), 0, 0, 0, no_sizes,
     "(none)", "||cab2|disk2"},
    {"prev and next, in order", cfhdrPREV_CABINET | cfhdrNEXT_CABINET, no_sizes,
     std::string("cab0\0disk0\0cab2\0disk2\0", 22), 0, 0, 0, no_sizes, "(none)",
     "cab0|disk0|cab2|disk2"},
    {"reserve without area", cfhdrRESERVE_PRESENT, bytes({0, 0, 5, 7}), bytes({0, 0, 5, 7}), 0, 5,
     7, bytes({0, 0, 5, 7}), "(none)", "|||"},
    {"reserve block replaces the fixed image's sizes", cfhdrRESERVE_PRESENT, bytes({9, 9, 9, 9}),
     bytes({0, 0, 5, 7}), 0, 5, 7, bytes({0, 0, 5, 7}), "(none)", "|||"},
    {"reserve with area", cfhdrRESERVE_PRESENT, bytes({3, 0, 2, 1}), bytes({3, 0, 2, 1}) + "xyz", 3,
     2, 1, bytes({3, 0, 2, 1}), "xyz", "|||"},
    {"reserve and prev", cfhdrRESERVE_PRESENT | cfhdrPREV_CABINET, bytes({2, 0, 0, 0}),
     bytes({2, 0, 0, 0}) + std::string("rscab0\0disk0\0", 13), 2, 0, 0, bytes({2, 0, 0, 0}), "rs",
     "cab0|disk0||"},
    {"reserve and next", cfhdrRESERVE_PRESENT | cfhdrNEXT_CABINET, bytes({2, 0, 0, 0}),
     bytes({2, 0, 0, 0}) + std::string("rscab2\0disk2\0", 13), 2, 0, 0, bytes({2, 0, 0, 0}), "rs",
     "||cab2|disk2"},
    {"all three, 258-byte area, empty names", 7, bytes({2, 1, 0xAA, 0xBB}),
     bytes({2, 1, 0xAA, 0xBB}) + area258 + std::string("\0pd\0nc\0\0", 8), 0x0102, 0xAA, 0xBB,
     bytes({2, 1, 0xAA, 0xBB}), area258, "|pd|nc|"},
    {"unnamed flag bits are ignored", 0xFFF8, no_sizes, "", 0, 0, 0, no_sizes, "(none)", "|||"},
    {"every flag bit", 0xFFFF, no_sizes, bytes({0, 0, 0, 0}) + std::string("a\0b\0c\0d\0", 8), 0, 0,
     0, no_sizes, "(none)", "a|b|c|d"},
};

TEST(cabinet_header_test, reads_every_flag_combination_and_writes_it_back) {
    for (const header_case& c : header_cases) {
        SCOPED_TRACE(c.what);
        std::string input = fixed_image(c.flags, c.fixed_sizes) + c.tail;
        std::istringstream in(input + "NEXT");
        cabinet_header header;
        fill_with_stale_values(header);

        ASSERT_EQ(header.read(in), 0);
        EXPECT_EQ(rest_of(in), "NEXT");
        expect_sample_fields(header);
        EXPECT_EQ(header.flags, c.flags);
        EXPECT_EQ(header.cbCFHeader, c.cbCFHeader);
        EXPECT_EQ(header.cbCFFolder, c.cbCFFolder);
        EXPECT_EQ(header.cbCFData, c.cbCFData);
        EXPECT_EQ(reserve_of(header), c.reserve);
        EXPECT_EQ(names_of(header), c.names);

        EXPECT_EQ(written_by(header), fixed_image(c.flags, c.sizes) + c.tail);
    }
}

TEST(cabinet_header_test, long_name_is_read_whole) {
    std::string name(5000, 'n');
    std::istringstream in(fixed_image(cfhdrPREV_CABINET, no_sizes) + name + '\0' + '\0');
    cabinet_header header;
    ASSERT_EQ(header.read(in), 0);
    EXPECT_EQ(header.szCabinetPrev.str(), name);
    EXPECT_STREQ(header.szDiskPrev.str(), "");
}

// Every part present: fixed image (0-63), reserve-size block (64-67), area
// (68-69), then the names "pc" (70-72), "pd" (73-75), "nc" (76-78), "nd" (79-81).
// Bytes 60-63 of the fixed image differ from the block unless given.
std::string full_header(const std::string& sizes = bytes({9, 0, 8, 7})) {
    return fixed_image(7, sizes) + bytes({2, 0, 5, 6}) + "RS" + std::string("pc\0pd\0nc\0nd\0", 12);
}

TEST(cabinet_header_test, input_ending_inside_a_part_stops_with_the_state_so_far) {
    const struct {
        std::size_t length;
        const char* what;
        uint16_t cbCFHeader;
        uint8_t cbCFFolder;
        bool area;
        const char* names;
    } cuts[] = {
        {0, "no input", 0, 0, false, "|||"},
        {40, "inside the fixed image", 0, 0, false, "|||"},
        {66, "inside the reserve-size block", 9, 8, false, "|||"},
        {69, "inside the reserve area", 2, 5, true, "|||"},
        {71, "inside szCabinetPrev", 2, 5, true, "|||"},
        {75, "szDiskPrev without its NUL", 2, 5, true, "pc|||"},
        {77, "inside szCabinetNext", 2, 5, true, "pc|pd||"},
        {81, "szDiskNext without its NUL", 2, 5, true, "pc|pd|nc|"},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.what);
        expect_read_fails_after(full_header(), cut.length, [&](std::istream& in) {
            cabinet_header header;
            fill_with_stale_values(header);
            int status = header.read(in);
            EXPECT_EQ(header.cbCFHeader, cut.cbCFHeader);
            EXPECT_EQ(header.cbCFFolder, cut.cbCFFolder);
            EXPECT_EQ(header.abReserve != nullptr, cut.area);
            EXPECT_EQ(names_of(header), cut.names);
            return status;
        });
    }
}

TEST(cabinet_header_test, failed_input_stream_fails_at_once) {
    for (auto state : {std::ios::failbit, std::ios::badbit, std::ios::eofbit}) {
        SCOPED_TRACE(state);
        std::istringstream in(full_header());
        in.setstate(state);
        cabinet_header header;
        EXPECT_EQ(header.read(in),
                  state == std::ios::eofbit ? CAB_ERROR_UNEXPECTED_EOF : CAB_ERROR_READ);
    }
}

TEST(cabinet_header_test, failing_output_is_a_write_error_in_every_part) {
    std::istringstream in(full_header());
    cabinet_header header;
    ASSERT_EQ(header.read(in), 0);
    // Written back, bytes 60-63 hold the sizes in effect.
    expect_write_fails_after(header, full_header(bytes({2, 0, 5, 6})),
                             {0, 63, 66, 69, 71, 74, 78, 81});

    std::ostringstream failed;
    failed.setstate(std::ios::badbit);
    EXPECT_EQ(header.write(failed), CAB_ERROR_WRITE);
}

TEST(cabinet_header_test, unset_names_and_missing_area_are_written_as_empty_and_zeros) {
    cabinet_header header;
    header.flags = cfhdrPREV_CABINET | cfhdrNEXT_CABINET | cfhdrRESERVE_PRESENT;
    header.cbCFHeader = 3;
    EXPECT_EQ(written_by(header).substr(64), bytes({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(cabinet_header_test, read_string_leaves_target_untouched_on_failure) {
    b_string target;
    target = "keep";
    std::istringstream in("no terminator");
    EXPECT_EQ(cabinet_header::read_string(target, in), CAB_ERROR_UNEXPECTED_EOF);
    EXPECT_STREQ(target.text, "keep");
}

TEST(cabinet_fixed_header_test, init_describes_an_empty_cabinet) {
    cabinet_fixed_header header;
    header.cFiles = 5;
    header.reserved2 = 9;
    header.init();
    // clang-format off
    EXPECT_EQ(written_by(header), bytes({'M', 'S', 'C', 'F', 0, 0, 0, 0,  // signature, padding
                                         0,   0,   0,   0,   0, 0, 0, 0,  // reserved1
                                         64,  0,   0,   0,   0, 0, 0, 0,  // cbCabinet
                                         0,   0,   0,   0,   0, 0, 0, 0,  // reserved2
                                         64,  0,   0,   0,   0, 0, 0, 0,  // coffFiles
                                         0,   0,   0,   0,   0, 0, 0, 0,  // reserved3
                                         1,   0,   0,   0,   0, 0, 0, 0,  // version 0.1, counts, flags
                                         0,   0,   0,   0,   0, 0, 0, 0}));
    // clang-format on
}

TEST(cabinet_fixed_header_test, transfers_the_image_alone_with_zero_size_bytes) {
    std::istringstream in(fixed_image(7, bytes({1, 2, 3, 4})) + "NEXT");
    cabinet_fixed_header header;
    ASSERT_EQ(header.read(in), 0);
    EXPECT_EQ(rest_of(in), "NEXT");
    expect_sample_fields(header);
    EXPECT_EQ(header.flags, 7);

    EXPECT_EQ(written_by(header), fixed_image(7, no_sizes));

    std::istringstream short_input(fixed_image(0, no_sizes).substr(0, 63));
    EXPECT_EQ(header.read(short_input), CAB_ERROR_UNEXPECTED_EOF);
}

} // namespace
