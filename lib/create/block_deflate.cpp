#include "block_deflate.h"

#include <cstdlib>
#include <zlib.h>

#include <kistle/cabinet_status.h>

namespace kistle::internal {

int make_block_compressor(z_stream_s*& stream, int level) {
    // Zeroed, so zlib uses its default allocators.
    stream = static_cast<z_stream_s*>(std::calloc(1, sizeof(z_stream)));
    if (stream == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    int result = deflateInit(stream, level);
    if (result != Z_OK) {
        std::free(stream);
        stream = nullptr;
        return convert_z_error_code(result);
    }
    return CAB_STATUS_OK;
}

void end_block_compressor(z_stream_s*& stream) {
    if (stream != nullptr) {
        deflateEnd(stream);
        std::free(stream);
        stream = nullptr;
    }
}

int deflate_block(z_stream_s* stream, const uint8_t* data, uint16_t size, uint8_t*& out,
                  uint16_t& out_size) {
    out = nullptr;
    out_size = 0;
    if (stream == nullptr)
        return convert_z_error_code(Z_STREAM_ERROR);
    uInt capacity = size + size / 10 + 12;
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(capacity));
    if (buffer == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    // One complete zlib stream per block, from a fresh state each time, so
    // every block inflates on its own and the output is reproducible.
    stream->next_in = const_cast<Bytef*>(data);
    stream->avail_in = size;
    stream->next_out = buffer;
    stream->avail_out = capacity;
    int result = deflate(stream, Z_FINISH);
    uInt produced = capacity - stream->avail_out;
    int reset_result = deflateReset(stream);
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

} // namespace kistle::internal
