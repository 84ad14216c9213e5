#include <kistle/io_helpers.h>

#include <kistle/cabinet_status.h>

#include "stream_checks.h"

namespace {

// The widest piece moved in one call; 0x7FFF, not 0x8000.
constexpr uint16_t max_piece = 0x7FFF;

} // namespace

namespace kistle::internal {

int read_status(const std::istream& in) {
    if (!in.fail())
        return CAB_STATUS_OK;
    return in.eof() ? CAB_ERROR_UNEXPECTED_EOF : CAB_ERROR_READ;
}

int write_status(const std::ostream& out) {
    return out.fail() ? CAB_ERROR_WRITE : CAB_STATUS_OK;
}

int read_exact(std::istream& in, void* buffer, std::size_t count) {
    in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(count));
    return read_status(in);
}

int write_exact(std::ostream& out, const void* buffer, std::size_t count) {
    out.write(static_cast<const char*>(buffer), static_cast<std::streamsize>(count));
    return write_status(out);
}

} // namespace kistle::internal

using kistle::internal::read_exact;
using kistle::internal::write_exact;

int io_read(std::istream& in, uint8_t* buffer, uint16_t length) {
    while (length & 0x8000) {
        if (int status = read_exact(in, buffer, max_piece))
            return status;
        buffer += max_piece;
        length -= max_piece;
    }
    // Made even for a length of 0, so a failed stream is reported.
    return read_exact(in, buffer, length);
}

int io_write(std::ostream& out, const uint8_t* buffer, uint16_t length) {
    while (length & 0x8000) {
        if (int status = write_exact(out, buffer, max_piece))
            return status;
        buffer += max_piece;
        length -= max_piece;
    }
    return write_exact(out, buffer, length);
}
