#include "block_inflater.h"

#include <cstdlib>
#include <libdeflate.h>

#define ZLIB_CONST
#include <zlib.h>

#include <kistle/cabinet_status.h>

#include "zlib_screen.h"

namespace kistle::internal {

int zlib_expand(z_stream_s* stream, const uint8_t* payload, uint16_t cbData, uint8_t* out,
                uint16_t cbUncomp) {
    stream->next_in = payload;
    stream->avail_in = cbData;
    stream->next_out = out;
    stream->avail_out = cbUncomp;
    int result = inflate(stream, Z_FINISH);
    if (result != Z_OK && result != Z_STREAM_END)
        return convert_z_error_code(result);
    if (stream->avail_out != 0)
        return CAB_ERROR_DECOMPRESSION; // fewer bytes than cbUncomp: none of them is used
    result = inflateReset(stream);
    return result == Z_OK ? CAB_STATUS_OK : convert_z_error_code(result);
}

block_inflater::~block_inflater() {
    libdeflate_free_decompressor(fast);
    end_zlib();
}

void block_inflater::end_zlib() {
    if (zstream != nullptr) {
        inflateEnd(zstream);
        std::free(zstream);
        zstream = nullptr;
    }
}

int block_inflater::expand(const uint8_t* payload, uint16_t cbData, uint8_t* out, uint16_t cbUncomp,
                           bool screen) {
    if (fast == nullptr && !fast_failed) {
        fast = libdeflate_alloc_decompressor();
        fast_failed = fast == nullptr;
    }
    // Without actual_out_nbytes_ret, libdeflate insists on exactly cbUncomp bytes.
    if (fast != nullptr && (!screen || libdeflate_reads_like_zlib(payload, cbData)) &&
        libdeflate_zlib_decompress(fast, payload, cbData, out, cbUncomp, nullptr) ==
            LIBDEFLATE_SUCCESS)
        return CAB_STATUS_OK;

    if (zstream == nullptr) {
        // calloc leaves zalloc and zfree null: zlib's own memory functions.
        zstream = static_cast<z_stream_s*>(std::calloc(1, sizeof(z_stream)));
        if (zstream == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        if (inflateInit(zstream) != Z_OK) {
            std::free(zstream);
            zstream = nullptr;
            return CAB_ERROR_DECOMPRESSION;
        }
    }
    int status = zlib_expand(zstream, payload, cbData, out, cbUncomp);
    if (status != CAB_STATUS_OK)
        end_zlib();
    return status;
}

} // namespace kistle::internal
