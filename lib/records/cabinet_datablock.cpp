#include <kistle/cabinet_datablock.h>

#include <cstdlib>
#include <cstring>

#include <kistle/cabinet_status.h>
#include <kistle/io_helpers.h>

#include "little_endian.h"
#include "record_image.h"
#include "stream_checks.h"

using namespace kistle::internal;

namespace {

void encode(const cabinet_datablock_fixed_header& block, uint8_t* image) {
    put_le64(image, block.csum);
    put_le16(image + 8, block.cbData);
    put_le16(image + 10, block.cbUncomp);
}

void decode(cabinet_datablock_fixed_header& block, const uint8_t* image) {
    block.csum = get_le64(image);
    block.cbData = get_le16(image + 8);
    block.cbUncomp = get_le16(image + 10);
}

} // namespace

int cabinet_datablock_fixed_header::read(std::istream& in) {
    return read_image<image_size>(in, [this](const uint8_t* image) { decode(*this, image); });
}

int cabinet_datablock_fixed_header::write(std::ostream& out) const {
    return write_image<image_size>(out, [this](uint8_t* image) { encode(*this, image); });
}

void cabinet_datablock::compute_checksum() {
    csum = block_checksum(abData, cbData, cbUncomp);
}

bool cabinet_datablock::checksum_ok() const {
    return csum == block_checksum(abData, cbData, cbUncomp);
}

void cabinet_datablock::release_buffers() {
    std::free(abReserve);
    std::free(abData);
    abReserve = nullptr;
    abData = nullptr;
    cbReserve = 0;
}

int cabinet_datablock::read(std::istream& in, const cabinet_header& header) {
    release_buffers();
    csum = 0;
    cbData = 0;
    cbUncomp = 0;
    if (int status = cabinet_datablock_fixed_header::read(in))
        return status;
    if (uint8_t size = header.block_reserve_size()) {
        abReserve = static_cast<uint8_t*>(std::malloc(size));
        if (abReserve == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        cbReserve = size;
        if (int status = read_exact(in, abReserve, cbReserve))
            return status;
    }
    // One byte more than needed, so an empty payload is a real buffer too.
    abData = static_cast<uint8_t*>(std::malloc(static_cast<std::size_t>(cbData) + 1));
    if (abData == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    if (int status = io_read(in, abData, cbData))
        return status;
    return checksum_ok() ? CAB_STATUS_OK : CAB_ERROR_CHECKSUM;
}

int cabinet_datablock::write(std::ostream& out) {
    compute_checksum();
    if (int status = cabinet_datablock_fixed_header::write(out))
        return status;
    if (cbReserve != 0) {
        if (int status = write_exact(out, abReserve, cbReserve))
            return status;
    }
    return io_write(out, abData, cbData);
}

void cabinet_datablock::set_reserved_area(const uint8_t* bytes, uint8_t length) {
    std::free(abReserve);
    abReserve = nullptr;
    cbReserve = 0;
    if (length != 0) {
        abReserve = static_cast<uint8_t*>(std::malloc(length));
        if (abReserve != nullptr) {
            std::memcpy(abReserve, bytes, length);
            cbReserve = length;
        }
    }
}

void cabinet_datablock::set_compressed_data(const uint8_t* bytes, uint16_t data_size,
                                            uint16_t uncompressed_size) {
    std::free(abData);
    abData = static_cast<uint8_t*>(std::malloc(static_cast<std::size_t>(data_size) + 1));
    cbData = abData != nullptr ? data_size : 0;
    cbUncomp = uncompressed_size;
    if (cbData != 0)
        std::memcpy(abData, bytes, cbData);
}
