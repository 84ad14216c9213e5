// Deflating one block the way every cabinet block is deflated (internal): a
// complete zlib stream of its own at the folder's level, from a fresh state,
// so that a block comes out the same on whichever thread made it.
#ifndef KISTLE_BLOCK_DEFLATE_H
#define KISTLE_BLOCK_DEFLATE_H

#include <cstdint>

struct z_stream_s;

namespace kistle::internal {

// Makes a compressor at level (0 to 9, or -1 for zlib's default) into
// stream. CAB_STATUS_OK, CAB_ERROR_OUT_OF_MEMORY, or the status
// convert_z_error_code gives for deflateInit's result (stream stays none).
[[nodiscard]] int make_block_compressor(z_stream_s*& stream, int level);
// Ends and frees the compressor, if there is one.
void end_block_compressor(z_stream_s*& stream);
// Deflates size bytes of data into a new buffer out (the caller frees it)
// of out_size bytes, and readies stream for the next block.
// CAB_ERROR_OUT_OF_MEMORY, or a status from convert_z_error_code when zlib
// fails (out is none then).
[[nodiscard]] int deflate_block(z_stream_s* stream, const uint8_t* data, uint16_t size,
                                uint8_t*& out, uint16_t& out_size);

} // namespace kistle::internal

#endif
