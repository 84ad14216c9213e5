// Which zlib streams libdeflate is known to read exactly as zlib does
// (internal). libdeflate reads some streams that zlib refuses: the fixed
// codes' length symbols 286 and 287 and distance symbols 30 and 31, more than
// 286 length or 30 distance code lengths, and codes that do not fill their
// code space, whose unused code words it takes for symbol 0. A stream holds
// none of these when its header is sound and every deflate block is stored or
// uses its own codes (no more than 286 and 30 of them, the code-length code
// and both codes complete, an end-of-block code present); where such a block
// is not the last, its symbols are walked to find the next. What follows the
// last block is read by neither.
#ifndef KISTLE_ZLIB_SCREEN_H
#define KISTLE_ZLIB_SCREEN_H

#include <cstddef>
#include <cstdint>

namespace kistle::internal {

// True when the stream of size bytes is of that kind. False says nothing
// about the stream, only that zlib must read it.
[[nodiscard]] bool libdeflate_reads_like_zlib(const uint8_t* stream, std::size_t size);

} // namespace kistle::internal

#endif
