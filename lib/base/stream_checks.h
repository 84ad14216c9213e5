// Failure rules shared by every read and write of cabinet bytes (internal).
#ifndef KISTLE_STREAM_CHECKS_H
#define KISTLE_STREAM_CHECKS_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>

namespace kistle::internal {

// Status after a read: 0 while the stream is good, CAB_ERROR_UNEXPECTED_EOF when it failed at the
// end of its input, CAB_ERROR_READ for any other failure.
[[nodiscard]] int read_status(const std::istream& in);

// Status after a write: 0, or CAB_ERROR_WRITE when the stream failed.
[[nodiscard]] int write_status(const std::ostream& out);

// One read of exactly count bytes, judged by read_status.
[[nodiscard]] int read_exact(std::istream& in, void* buffer, std::size_t count);

// One write of count bytes, judged by write_status.
[[nodiscard]] int write_exact(std::ostream& out, const void* buffer, std::size_t count);

} // namespace kistle::internal

#endif
