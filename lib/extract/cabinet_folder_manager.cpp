#include <kistle/cabinet_folder_manager.h>

#include <cstdint>
#include <cstdlib>

#define ZLIB_CONST
#include <zlib.h>

#include <kistle/cabinet_status.h>
#include <kistle/io_helpers.h>

#include "block_inflater.h"

cabinet_folder_manager::~cabinet_folder_manager() {
    release_zstream();
}

void cabinet_folder_manager::release_zstream() {
    if (zstream == nullptr)
        return;
    inflateEnd(zstream);
    std::free(zstream);
    zstream = nullptr;
}

int cabinet_folder_manager::extract_data(std::ostream& out, std::istream& in, uint64_t offset,
                                         uint64_t length, const cabinet_header& header) {
    int status = walk_blocks(out, in, offset, length, header);
    // The next extraction makes its own: a reader of many folders must not
    // keep a decompressor for each.
    release_zstream();
    return status;
}

int cabinet_folder_manager::walk_blocks(std::ostream& out, std::istream& in, uint64_t offset,
                                        uint64_t length, const cabinet_header& header) {
    // A position beyond the widest stream offset cannot be reached.
    if (coffCabStart > static_cast<uint64_t>(INT64_MAX))
        return CAB_ERROR_SEEK;
    in.seekg(static_cast<std::streamoff>(coffCabStart), std::ios::beg);
    if (in.fail())
        return CAB_ERROR_SEEK;

    cabinet_datablock block;
    if (int status = write_data(out, block, 0, 0, COMPRESSION_STATE_INIT))
        return status;
    if (cCFData == 0)
        return CAB_ERROR_RANGE_PAST_END;

    // Every block before the range is read, verified and expanded too.
    uint32_t blocks_read = 0;
    for (;;) {
        if (int status = block.read(in, header))
            return status;
        ++blocks_read;
        if (offset < block.cbUncomp)
            break;
        if (int status = write_data(out, block, 0, 0, COMPRESSION_STATE_SKIP))
            return status;
        offset -= block.cbUncomp;
        if (blocks_read == cCFData)
            return CAB_ERROR_RANGE_PAST_END;
    }

    uint16_t start = static_cast<uint16_t>(offset);
    uint16_t available = static_cast<uint16_t>(block.cbUncomp - start);
    if (length <= available)
        return write_data(out, block, start, static_cast<uint16_t>(length),
                          COMPRESSION_STATE_WRITE);
    if (int status = write_data(out, block, start, available, COMPRESSION_STATE_WRITE))
        return status;
    uint64_t remaining = length - available;

    while (blocks_read < cCFData) {
        if (int status = block.read(in, header))
            return status;
        ++blocks_read;
        if (remaining <= block.cbUncomp)
            return write_data(out, block, 0, static_cast<uint16_t>(remaining),
                              COMPRESSION_STATE_WRITE);
        if (int status = write_data(out, block, 0, block.cbUncomp, COMPRESSION_STATE_WRITE))
            return status;
        remaining -= block.cbUncomp;
    }

    if (int status = write_data(out, block, 0, 0, COMPRESSION_STATE_END))
        return status;
    return CAB_ERROR_FOLDER_DATA_ENDED;
}

int cabinet_folder_manager::write_data(std::ostream& out, const cabinet_datablock& block,
                                       uint16_t start, uint16_t length,
                                       COMPRESSION_STATE_FLAG flag) {
    if (flag == COMPRESSION_STATE_INIT) {
        if (typeCompress != COMPRESSION_TYPE_DEFLATE)
            return CAB_STATUS_OK;
        release_zstream();
        // calloc leaves zalloc and zfree null: zlib's own memory functions.
        z_stream* stream = static_cast<z_stream*>(std::calloc(1, sizeof(z_stream)));
        if (stream == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        if (inflateInit(stream) != Z_OK) {
            std::free(stream);
            return CAB_ERROR_DECOMPRESSION;
        }
        zstream = stream;
        return CAB_STATUS_OK;
    }
    if (flag == COMPRESSION_STATE_END) {
        if (typeCompress != COMPRESSION_TYPE_DEFLATE || zstream == nullptr)
            return CAB_STATUS_OK;
        int result = inflateEnd(zstream);
        std::free(zstream);
        zstream = nullptr;
        return result == Z_OK ? CAB_STATUS_OK : CAB_ERROR_DECOMPRESSION;
    }

    if (typeCompress == COMPRESSION_TYPE_DEFLATE && zstream == nullptr)
        return CAB_ERROR_NO_DECOMPRESSOR;
    if (typeCompress == COMPRESSION_TYPE_STORED) {
        // A stored block must hold every byte it claims; never read past the payload.
        if (block.cbData < block.cbUncomp || start + length > block.cbUncomp)
            return CAB_ERROR_BAD_DATA;
        return io_write(out, block.abData + start, length);
    }
    if (typeCompress != COMPRESSION_TYPE_DEFLATE)
        return CAB_ERROR_UNSUPPORTED_COMPRESSION;
    return expand_block(out, block, start, length, flag);
}

int cabinet_folder_manager::expand_block(std::ostream& out, const cabinet_datablock& block,
                                         uint16_t start, uint16_t length,
                                         COMPRESSION_STATE_FLAG flag) {
    int status = CAB_STATUS_OK;
    // One byte more than needed, so an empty block still has a real buffer.
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(block.cbUncomp) + 1));
    if (buffer == nullptr) {
        status = CAB_ERROR_OUT_OF_MEMORY;
    } else if (start + length > block.cbUncomp) {
        status = CAB_ERROR_BAD_DATA;
    } else {
        status = kistle::internal::zlib_expand(zstream, block.abData, block.cbData, buffer,
                                               block.cbUncomp);
        if (status == CAB_STATUS_OK && flag == COMPRESSION_STATE_WRITE)
            status = io_write(out, buffer + start, length);
    }
    std::free(buffer);
    if (status != CAB_STATUS_OK)
        release_zstream();
    return status;
}
