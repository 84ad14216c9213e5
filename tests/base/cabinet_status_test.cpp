#include <kistle/cabinet_status.h>

#include <climits>
#include <string>

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

struct code_text {
    int code;
    const char* text;
};

// Every code that has a message, with its exact text (misspellings included:
// callers and users match on them).
const code_text messages[] = {
    {0, "Operation completed successfully"},
    {-1, "Operation on a closed cabinet object"},
    {-2, "Failed because we are out of memory"},
    {-3, "Error encountered during a read"},
    {-4, "Error encountered during a write"},
    {-5, "Data either invalid or in bad format"},
    {-6, "Unable to open a file stream"},
    {-7, "If this cabinet's header is currupt"},
    {-8, "Invalid folder number"},
    {-9, "A seek operation has failed"},
    {-11, "Expected file not found in blocks"},
    {-12, "A checksum error has been encountered"},
    {-13, "An unsupported compression method choosen"},
    {-14, "An error has occured during decompression"},
    {-15, "An unexpected EOF was encountered"},
    {-16, "Cabinet is lacking any folder entries"},
    {-17, "Requested file was not found"},
    {-18, "No filename specified"},
    {-19, "The getcwd function call failed"},
    {-20, "An allocation operation has run out of memory"},
    {-21, "A chdir operation failed"},
    {-22, "A mkdir operation failed"},
    {-23, "Access was denied"},
    {-24, "Operation failed to restore the date or time"},
    {-25, "Operation failed to restore the attributes"},
    {-26, "Unable to open temporary file stream"},
    {-27, "An attempt was made to add a file to a frozen folder creator"},
    {-28, "No more folders can be added to this cabinet"},
    {-29, "No more files can be added to this folder"},
    {-30, "No folder exists"},
    {-31, "Unable to open a file"},
    {-32, "Unable to close a file"},
    {-33, "The compressor ran out of memory"},
    {-34, "To small of a buffer was passed to the compressor"},
    {-35, "An unknown compressor error has occured"},
    {-36, "A call to fstat failed"},
    {-37, "The call to retrieve the file's attributes failed"},
    {-38, "The call to retrieve the file's date/time failed"},
    {-255, "An unknown error has occured"},
};

TEST(cabinet_error_string_test, every_code_with_a_message_gives_its_text) {
    for (const code_text& entry : messages) {
        SCOPED_TRACE(entry.code);
        EXPECT_STREQ(get_cabinet_error_string(entry.code), entry.text);
    }
}

TEST(cabinet_error_string_test, codes_without_a_message_are_unknown) {
    // The gap at -10, the codes produced without a message, and values
    // outside the table on both sides.
    const int codes[] = {-10,  -39,  -40, -41, -43, -44, -50,   -55,     -59,
                         -254, -256, 1,   2,   38,  255, -1000, INT_MIN, INT_MAX};
    for (int code : codes) {
        SCOPED_TRACE(code);
        EXPECT_STREQ(get_cabinet_error_string(code), "Unknown error code");
    }
}

TEST(convert_z_error_code_test, maps_every_zlib_result_and_out_of_range_values) {
    const struct {
        int zlib_result;
        int status;
    } cases[] = {
        {Z_VERSION_ERROR, -58}, {Z_BUF_ERROR, -57}, {Z_MEM_ERROR, -56}, {Z_DATA_ERROR, -55},
        {Z_STREAM_ERROR, -54},  {Z_ERRNO, -53},     {Z_OK, -50},        {Z_STREAM_END, -51},
        {Z_NEED_DICT, -52},     {3, -59},           {-7, -59},          {100, -59},
        {INT_MIN, -59},         {INT_MAX, -59},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zlib_result);
        EXPECT_EQ(convert_z_error_code(c.zlib_result), c.status);
    }
}

} // namespace
