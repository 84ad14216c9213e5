// Moving up to 65535 bytes between memory and a binary stream in pieces of at
// most 32767 bytes.
#ifndef KISTLE_IO_HELPERS_H
#define KISTLE_IO_HELPERS_H

#include <cstdint>
#include <istream>
#include <ostream>

#include <kistle/export.h>

// Reads exactly length bytes. 0, or CAB_ERROR_UNEXPECTED_EOF when the input ended early and
// CAB_ERROR_READ for any other read failure. A short read leaves what arrived in buffer.
[[nodiscard]] KISTLE_EXPORT int io_read(std::istream& in, uint8_t* buffer, uint16_t length);

// Writes length bytes. 0, or CAB_ERROR_WRITE when the stream failed.
[[nodiscard]] KISTLE_EXPORT int io_write(std::ostream& out, const uint8_t* buffer, uint16_t length);

#endif
