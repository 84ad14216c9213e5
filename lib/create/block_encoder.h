// What turns one block of a folder's stream into the payload a cabinet
// stores (internal): nothing for a stored folder, one complete zlib stream
// of its own for a deflate folder, made by zlib or by libdeflate at a
// level. Every block starts from a fresh state, so a block comes out the
// same on whichever encoder, and whichever thread, made it.
#ifndef KISTLE_BLOCK_ENCODER_H
#define KISTLE_BLOCK_ENCODER_H

#include <cstdint>

struct z_stream_s;
struct libdeflate_compressor;

namespace kistle::internal {

// The library that deflates. zlib is what cabinet_tool writes; libdeflate
// makes the same format faster.
enum class deflater : uint8_t { zlib, libdeflate };

// How a folder's blocks are encoded.
struct block_encoding {
    uint16_t type = 1; // 0 stored, 1 deflate; other types have no payload
    deflater library = deflater::zlib;
    // zlib: 0 to 9, or -1 for its default (6); libdeflate: 0 to 12, or -1
    // for the level kistle's cabinets use (default_libdeflate_level).
    int level = -1;

    bool operator==(const block_encoding& other) const {
        return type == other.type && library == other.library && level == other.level;
    }
    bool operator!=(const block_encoding& other) const { return !(*this == other); }
};

// libdeflate's level 6 deflates 1.7 to 2.2 times as fast as zlib's level 6,
// with output no more than 0.11 % larger on any data measured (smaller on
// most), where level 5 was 1.1 % larger on source code.
constexpr int default_libdeflate_level = 6;

class block_encoder {
public:
    block_encoder() = default;
    ~block_encoder() { end(); }
    block_encoder(const block_encoder&) = delete;
    block_encoder& operator=(const block_encoder&) = delete;

    // Makes the compressor for encoding (none for a stored folder), ending
    // any other. CAB_STATUS_OK; CAB_ERROR_OUT_OF_MEMORY; for a level the
    // library refuses, the status convert_z_error_code gives for zlib's
    // Z_STREAM_ERROR (zlib's own result for zlib). The encoder has no
    // compressor after a failure.
    [[nodiscard]] int start(const block_encoding& encoding);
    // Whether start succeeded for encoding and end has not come since.
    bool ready_for(const block_encoding& encoding) const { return started && how == encoding; }
    // Encodes size bytes of data: out is data itself for a stored folder, a
    // new buffer the caller frees (malloc) for a deflate folder, none (no
    // payload) for any other type. CAB_STATUS_OK; CAB_ERROR_OUT_OF_MEMORY;
    // a status of convert_z_error_code when the compressor fails or was
    // never made. out is none after a failure.
    [[nodiscard]] int encode(const uint8_t* data, uint16_t size, uint8_t*& out, uint16_t& out_size);
    // Ends the compressor; encode fails until the next start.
    void end();
    // zlib's state, while a zlib deflate encoder is started.
    z_stream_s* zlib_state() const { return zstream; }

private:
    block_encoding how;
    bool started = false;
    z_stream_s* zstream = nullptr;
    libdeflate_compressor* compressor = nullptr;
};

} // namespace kistle::internal

#endif
