#include "block_sink.h"

#include <cerrno>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_status.h>
#include <kistle/io_helpers.h>

#include "little_endian.h"

namespace kistle::internal {

int block_sink::write(const uint8_t* payload, uint16_t payload_size, uint16_t size, uint64_t csum) {
    cabinet_datablock_fixed_header header;
    header.cbData = payload_size;
    header.cbUncomp = size;
    header.csum = csum;
    int status = header.write(*out);
    if (status == CAB_STATUS_OK) {
        status = io_write(*out, payload, payload_size);
        byte_count += payload_size + cabinet_datablock_fixed_header::image_size;
        ++block_count;
        if (log != nullptr)
            log->add(uint32_t{payload_size} << 16 | size);
    }
    return status;
}

int block_sink::write_encoded(const uint8_t* image, std::size_t image_size) {
    constexpr std::size_t header_size = cabinet_datablock_fixed_header::image_size;
    if (image_size < header_size || image_size - header_size != get_le16(image + 8))
        return CAB_ERROR_BAD_DATA;
    out->write(reinterpret_cast<const char*>(image), static_cast<std::streamsize>(image_size));
    if (out->fail())
        return CAB_ERROR_WRITE;
    byte_count += image_size;
    ++block_count;
    if (log != nullptr)
        log->add(uint32_t{get_le16(image + 8)} << 16 | get_le16(image + 10));
    return CAB_STATUS_OK;
}

void block_sink::fail() {
    const int saved = errno;
    out->setstate(std::ios::badbit);
    errno = saved;
}

} // namespace kistle::internal
