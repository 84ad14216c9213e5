// Expanding one deflate block (internal): libdeflate for the streams it is
// known to read exactly as zlib does, which are nearly all, and zlib itself
// for the rest and whenever libdeflate fails, so that the bytes and every
// status are zlib's. Where every byte is checked against a checksum of the
// contents afterwards, the screen that tells those streams is skipped:
// libdeflate then also reads the few malformed streams zlib refuses, and
// what they give cannot pass the check unless it is what was stored.
#ifndef KISTLE_BLOCK_INFLATER_H
#define KISTLE_BLOCK_INFLATER_H

#include <cstdint>

struct libdeflate_decompressor;
struct z_stream_s;

namespace kistle::internal {

// Inflates the zlib stream in payload (cbData bytes) into out (cbUncomp
// bytes) with one inflate call, and resets stream for the next block.
// CAB_STATUS_OK; a status from convert_z_error_code for what inflate or
// inflateReset returned; CAB_ERROR_DECOMPRESSION for a stream that ends
// before cbUncomp bytes. After a failure the stream must be ended.
[[nodiscard]] int zlib_expand(z_stream_s* stream, const uint8_t* payload, uint16_t cbData,
                              uint8_t* out, uint16_t cbUncomp);

// One thread's decompressors, made when first needed.
class block_inflater {
public:
    block_inflater() = default;
    ~block_inflater();
    block_inflater(const block_inflater&) = delete;
    block_inflater& operator=(const block_inflater&) = delete;

    // Expands the block's payload into out (cbUncomp bytes): what the folder
    // manager's zlib stream gives for it, CAB_ERROR_OUT_OF_MEMORY, or
    // CAB_ERROR_DECOMPRESSION when zlib cannot be initialised. Without
    // screen, what libdeflate gives when it succeeds (see above).
    [[nodiscard]] int expand(const uint8_t* payload, uint16_t cbData, uint8_t* out,
                             uint16_t cbUncomp, bool screen = true);

private:
    void end_zlib();

    libdeflate_decompressor* fast = nullptr;
    bool fast_failed = false; // could not be made: zlib alone
    z_stream_s* zstream = nullptr;
};

} // namespace kistle::internal

#endif
