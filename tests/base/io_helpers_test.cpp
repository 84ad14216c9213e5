#include <kistle/io_helpers.h>

#include <cstdint>
#include <istream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "recording_streambuf.h"
#include "test_bytes.h"

namespace {

using ::testing::ElementsAreArray;
using pieces = std::vector<std::streamsize>;

const struct {
    uint16_t length;
    pieces expected;
} chunking[] = {
    {0, {0}},
    {1, {1}},
    {32767, {32767}},
    {32768, {32767, 1}},
    {65534, {32767, 32767}},
    {65535, {32767, 32767, 1}},
};

TEST(io_read_test, moves_pieces_of_at_most32767_bytes) {
    for (const auto& c : chunking) {
        SCOPED_TRACE(c.length);
        std::string source = pattern(c.length) + "tail";
        recording_streambuf buf(source);
        std::istream in(&buf);
        std::vector<uint8_t> buffer(c.length + 1, 0xEE);

        EXPECT_EQ(io_read(in, buffer.data(), c.length), 0);
        EXPECT_THAT(buf.calls, ElementsAreArray(c.expected));
        EXPECT_EQ(std::string(buffer.begin(), buffer.end() - 1), source.substr(0, c.length));
        EXPECT_EQ(buffer.back(), 0xEE);
        EXPECT_TRUE(in.good());
    }
}

TEST(io_write_test, moves_pieces_of_at_most32767_bytes) {
    for (const auto& c : chunking) {
        SCOPED_TRACE(c.length);
        std::string source = pattern(c.length);
        recording_streambuf buf;
        std::ostream out(&buf);

        EXPECT_EQ(io_write(out, reinterpret_cast<const uint8_t*>(source.data()), c.length), 0);
        EXPECT_THAT(buf.calls, ElementsAreArray(c.expected));
        EXPECT_EQ(buf.written, source);
    }
}

TEST(io_read_test, exactly_the_remaining_bytes_succeeds) {
    std::istringstream in("abcd");
    uint8_t buffer[4];
    EXPECT_EQ(io_read(in, buffer, 4), 0);
    EXPECT_EQ(std::string(buffer, buffer + 4), "abcd");
}

TEST(io_read_test, short_input_is_unexpected_eof_and_keeps_what_arrived) {
    recording_streambuf buf("abcd");
    std::istream in(&buf);
    uint8_t buffer[10];
    std::fill(buffer, buffer + 10, 'x');

    EXPECT_EQ(io_read(in, buffer, 10), CAB_ERROR_UNEXPECTED_EOF);
    EXPECT_EQ(std::string(buffer, buffer + 10), "abcdxxxxxx");
    EXPECT_TRUE(in.eof());
}

TEST(io_read_test, stops_at_the_first_failed_piece) {
    // The input ends inside the first piece: no second piece is asked for.
    recording_streambuf ends(pattern(100));
    std::istream in(&ends);
    std::vector<uint8_t> buffer(65535);
    EXPECT_EQ(io_read(in, buffer.data(), 65535), CAB_ERROR_UNEXPECTED_EOF);
    EXPECT_THAT(ends.calls, ElementsAreArray(pieces{32767}));
}

TEST(io_read_test, device_error_is_a_read_error_not_eof) {
    // The device breaks inside the second piece.
    std::string source = pattern(40000);
    recording_streambuf broken(source, true);
    std::istream in(&broken);
    std::vector<uint8_t> buffer(65535);

    EXPECT_EQ(io_read(in, buffer.data(), 65535), CAB_ERROR_READ);
    EXPECT_THAT(broken.calls, ElementsAreArray(pieces{32767, 32767}));
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 40000), source);
    EXPECT_TRUE(in.bad());
}

TEST(io_read_test, stream_state_decides_the_code_even_for_length_zero) {
    const struct {
        std::ios::iostate state;
        int status;
    } cases[] = {
        {std::ios::goodbit, 0},
        {std::ios::eofbit, CAB_ERROR_UNEXPECTED_EOF}, // at the end: the read fails as an early end
        {std::ios::eofbit | std::ios::failbit, CAB_ERROR_UNEXPECTED_EOF},
        {std::ios::failbit, CAB_ERROR_READ},
        {std::ios::badbit, CAB_ERROR_READ},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        for (uint16_t length : {0, 3}) {
            SCOPED_TRACE(length);
            recording_streambuf buf("abc");
            std::istream in(&buf);
            in.setstate(c.state);
            uint8_t buffer[3] = {};
            EXPECT_EQ(io_read(in, buffer, length), c.status);
            EXPECT_EQ(buf.consumed(), c.status == 0 ? length : 0u);
        }
    }
}

TEST(io_write_test, failed_stream_is_a_write_error_even_for_length_zero) {
    for (auto state : {std::ios::failbit, std::ios::badbit}) {
        SCOPED_TRACE(state);
        for (uint16_t length : {0, 3}) {
            recording_streambuf buf;
            std::ostream out(&buf);
            out.setstate(state);
            EXPECT_EQ(io_write(out, reinterpret_cast<const uint8_t*>("abc"), length),
                      CAB_ERROR_WRITE);
            EXPECT_TRUE(buf.calls.empty());
        }
    }
}

TEST(io_write_test, device_full_stops_at_the_failed_piece_keeping_earlier_bytes) {
    std::string source = pattern(65535);
    recording_streambuf full({}, false, 40000);
    std::ostream out(&full);

    EXPECT_EQ(io_write(out, reinterpret_cast<const uint8_t*>(source.data()), 65535),
              CAB_ERROR_WRITE);
    EXPECT_THAT(full.calls, ElementsAreArray(pieces{32767, 32767}));
    EXPECT_EQ(full.written, source.substr(0, 40000));
}

} // namespace
