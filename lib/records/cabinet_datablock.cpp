#include <kistle/cabinet_datablock.h>

#include <cstdlib>
#include <cstring>

#include <kistle/cabinet_status.h>
#include <kistle/io_helpers.h>

#include "little_endian.h"
#include "stream_checks.h"

using namespace kistle::internal;

void cabinet_datablock_fixed_header::encode(uint8_t image[image_size]) const {
    std::memset(image, 0, image_size);
    put_le64(image, csum);
    put_le16(image + 8, cbData);
    put_le16(image + 10, cbUncomp);
}

void cabinet_datablock_fixed_header::decode(const uint8_t image[image_size]) {
    csum = get_le64(image);
    cbData = get_le16(image + 8);
    cbUncomp = get_le16(image + 10);
}

int cabinet_datablock_fixed_header::read(std::istream& in) {
    uint8_t image[image_size];
    if (int status = read_exact(in, image, image_size))
        return status;
    decode(image);
    return CAB_STATUS_OK;
}

int cabinet_datablock_fixed_header::write(std::ostream& out) const {
    uint8_t image[image_size];
    encode(image);
    return write_exact(out, image, image_size);
}

uint64_t cabinet_datablock::CSUMCompute(const uint8_t* bytes, uint32_t count, uint64_t seed) {
    // XOR of the little-endian 32-bit groups, taken eight bytes at a time and
    // folded: both halves of each 64-bit word are groups. Four words at a
    // time keep the loads independent of each other.
    uint64_t lanes[4] = {};
    uint32_t i = 0;
    for (; count - i >= 32; i += 32) {
        for (int lane = 0; lane < 4; ++lane)
            lanes[lane] ^= get_le64(bytes + i + 8 * lane);
    }
    uint64_t wide = lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3];
    for (; count - i >= 8; i += 8)
        wide ^= get_le64(bytes + i);
    uint64_t acc = seed ^ ((wide ^ (wide >> 32)) & 0xFFFFFFFFu);
    if (count - i >= 4) {
        acc ^= get_le32(bytes + i);
        i += 4;
    }
    // The 0 to 3 bytes left over are taken most significant first.
    switch (count - i) {
    case 3:
        acc ^= static_cast<uint64_t>(bytes[i]) << 16 | static_cast<uint64_t>(bytes[i + 1]) << 8 |
               bytes[i + 2];
        break;
    case 2:
        acc ^= static_cast<uint64_t>(bytes[i]) << 8 | bytes[i + 1];
        break;
    case 1:
        acc ^= bytes[i];
        break;
    }
    return acc;
}

uint64_t cabinet_datablock::block_checksum(const uint8_t* payload, uint16_t cbData,
                                           uint16_t cbUncomp) {
    return CSUMCompute(payload, cbData, 0) ^ (cbData + (static_cast<uint64_t>(cbUncomp) << 16));
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
    if ((header.flags & cfhdrRESERVE_PRESENT) && header.cbCFData != 0) {
        abReserve = static_cast<uint8_t*>(std::malloc(header.cbCFData));
        if (abReserve == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        cbReserve = header.cbCFData;
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
