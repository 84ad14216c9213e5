// Writing records into strings, and streams that end or break part-way
// through a record image, shared by the record tests.
#ifndef KISTLE_TESTS_RECORD_STREAMS_H
#define KISTLE_TESTS_RECORD_STREAMS_H

#include <cstddef>
#include <initializer_list>
#include <istream>
#include <ostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "recording_streambuf.h"

// What record writes to a good stream; the write must succeed.
template <class Record> std::string written_by(Record& record) {
    std::ostringstream out;
    EXPECT_EQ(record.write(out), 0);
    return out.str();
}

// Gives read_and_check an input holding the first length bytes of image, once
// ending there and once breaking there with a device error; read_and_check
// reads a fresh record, checks what it holds and returns the read's status,
// which must be CAB_ERROR_UNEXPECTED_EOF and CAB_ERROR_READ respectively.
template <class ReadAndCheck>
void expect_read_fails_after(const std::string& image, std::size_t length,
                             ReadAndCheck read_and_check) {
    for (bool device_error : {false, true}) {
        SCOPED_TRACE(device_error ? "device error" : "end of input");
        recording_streambuf buf(image.substr(0, length), device_error);
        std::istream in(&buf);
        EXPECT_EQ(read_and_check(in), device_error ? CAB_ERROR_READ : CAB_ERROR_UNEXPECTED_EOF);
        EXPECT_EQ(buf.consumed(), length);
    }
}

// Writes record into outputs that take only the first few bytes, one output
// for each limit: each write must fail with CAB_ERROR_WRITE and leave exactly the bytes of
// image that fitted.
template <class Record>
void expect_write_fails_after(Record& record, const std::string& image,
                              std::initializer_list<std::size_t> limits) {
    for (std::size_t limit : limits) {
        SCOPED_TRACE(limit);
        recording_streambuf buf({}, false, limit);
        std::ostream out(&buf);
        EXPECT_EQ(record.write(out), CAB_ERROR_WRITE);
        EXPECT_EQ(buf.written, image.substr(0, limit));
    }
}

#endif
