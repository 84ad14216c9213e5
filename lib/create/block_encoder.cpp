#include "block_encoder.h"

#include <cstdlib>
#include <libdeflate.h>
#include <zlib.h>

#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_status.h>

namespace kistle::internal {

namespace {

// What zlib's deflate may need for a block in one call.
uInt zlib_capacity(uint16_t size) {
    return size + size / 10 + 12;
}

int zlib_deflate(z_stream_s* stream, const uint8_t* data, uint16_t size, uint8_t*& out,
                 uint16_t& out_size) {
    if (stream == nullptr)
        return convert_z_error_code(Z_STREAM_ERROR);
    const uInt capacity = zlib_capacity(size);
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(capacity));
    if (buffer == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    stream->next_in = const_cast<Bytef*>(data);
    stream->avail_in = size;
    stream->next_out = buffer;
    stream->avail_out = capacity;
    int result = deflate(stream, Z_FINISH);
    const uInt produced = capacity - stream->avail_out;
    const int reset_result = deflateReset(stream);
    if (result == Z_STREAM_END && reset_result != Z_OK)
        result = reset_result;
    if (result != Z_STREAM_END) {
        std::free(buffer);
        return convert_z_error_code(result);
    }
    out = buffer;
    out_size = static_cast<uint16_t>(produced);
    return CAB_STATUS_OK;
}

int libdeflate_deflate(libdeflate_compressor* compressor, const uint8_t* data, uint16_t size,
                       uint8_t*& out, uint16_t& out_size) {
    if (compressor == nullptr)
        return convert_z_error_code(Z_STREAM_ERROR);
    // A block's bound is far below the 65535 bytes cbData can hold.
    const std::size_t capacity = libdeflate_zlib_compress_bound(compressor, size);
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(capacity));
    if (buffer == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    const std::size_t produced = libdeflate_zlib_compress(compressor, data, size, buffer, capacity);
    if (produced == 0 || produced > UINT16_MAX) {
        std::free(buffer);
        return convert_z_error_code(Z_BUF_ERROR);
    }
    out = buffer;
    out_size = static_cast<uint16_t>(produced);
    return CAB_STATUS_OK;
}

} // namespace

int block_encoder::start(const block_encoding& encoding) {
    end();
    how = encoding;
    if (encoding.type != COMPRESSION_TYPE_DEFLATE) {
        started = true;
        return CAB_STATUS_OK;
    }
    if (encoding.library == deflater::libdeflate) {
        const int level = encoding.level == -1 ? default_libdeflate_level : encoding.level;
        // libdeflate answers a level it refuses and a lack of memory alike.
        if (level < 0 || level > 12)
            return convert_z_error_code(Z_STREAM_ERROR);
        compressor = libdeflate_alloc_compressor(level);
        if (compressor == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        started = true;
        return CAB_STATUS_OK;
    }
    // Zeroed, so zlib uses its default allocators.
    zstream = static_cast<z_stream_s*>(std::calloc(1, sizeof(z_stream)));
    if (zstream == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    const int result = deflateInit(zstream, encoding.level);
    if (result != Z_OK) {
        std::free(zstream);
        zstream = nullptr;
        return convert_z_error_code(result);
    }
    started = true;
    return CAB_STATUS_OK;
}

void block_encoder::end() {
    started = false;
    if (zstream != nullptr) {
        deflateEnd(zstream);
        std::free(zstream);
        zstream = nullptr;
    }
    if (compressor != nullptr) {
        libdeflate_free_compressor(compressor);
        compressor = nullptr;
    }
}

int block_encoder::encode(const uint8_t* data, uint16_t size, uint8_t*& out, uint16_t& out_size) {
    out = nullptr;
    out_size = 0;
    if (how.type == COMPRESSION_TYPE_STORED) {
        out = const_cast<uint8_t*>(data);
        out_size = size;
        return CAB_STATUS_OK;
    }
    if (how.type != COMPRESSION_TYPE_DEFLATE)
        return CAB_STATUS_OK; // no payload is defined for other types
    if (how.library == deflater::libdeflate)
        return libdeflate_deflate(compressor, data, size, out, out_size);
    return zlib_deflate(zstream, data, size, out, out_size);
}

} // namespace kistle::internal
