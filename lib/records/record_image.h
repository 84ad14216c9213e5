// How every fixed record moves (internal): its .cpp file encodes the fields
// into an image of the record's fixed size and decodes them from one, with
// the little-endian helpers; these two move the image.
#ifndef KISTLE_RECORD_IMAGE_H
#define KISTLE_RECORD_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>

#include <kistle/cabinet_status.h>

#include "stream_checks.h"

namespace kistle::internal {

// Reads size bytes and hands them to decode, which sets the record's fields;
// nothing is decoded after a failed read. The status is read_exact's.
template <std::size_t size, class Decode>
[[nodiscard]] int read_image(std::istream& in, Decode decode) {
    uint8_t image[size];
    if (int status = read_exact(in, image, size))
        return status;
    decode(static_cast<const uint8_t*>(image));
    return CAB_STATUS_OK;
}

// Has encode fill size bytes (zeroed first, so padding is zero) and writes
// them. The status is write_exact's.
template <std::size_t size, class Encode>
[[nodiscard]] int write_image(std::ostream& out, Encode encode) {
    uint8_t image[size] = {};
    encode(static_cast<uint8_t*>(image));
    return write_exact(out, image, size);
}

} // namespace kistle::internal

#endif
