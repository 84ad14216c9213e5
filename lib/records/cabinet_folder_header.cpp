#include <kistle/cabinet_folder_header.h>

#include <cstdlib>

#include <kistle/cabinet_status.h>

#include "little_endian.h"
#include "record_image.h"
#include "stream_checks.h"

using namespace kistle::internal;

namespace {

void encode(const cabinet_folder_fixed_header& entry, uint8_t* image) {
    put_le64(image, entry.coffCabStart);
    put_le16(image + 8, entry.cCFData);
    put_le16(image + 10, entry.typeCompress);
}

void decode(cabinet_folder_fixed_header& entry, const uint8_t* image) {
    entry.coffCabStart = get_le64(image);
    entry.cCFData = get_le16(image + 8);
    entry.typeCompress = get_le16(image + 10);
}

} // namespace

int cabinet_folder_fixed_header::read(std::istream& in) {
    return read_image<image_size>(in, [this](const uint8_t* image) { decode(*this, image); });
}

int cabinet_folder_fixed_header::write(std::ostream& out) const {
    return write_image<image_size>(out, [this](uint8_t* image) { encode(*this, image); });
}

void cabinet_folder_header::release_reserve() {
    std::free(abReserve);
    abReserve = nullptr;
    cbReserve = 0;
}

void cabinet_folder_header::init(const cabinet_header& header) {
    release_reserve();
    coffCabStart = 0;
    cCFData = 0;
    typeCompress = 0;
    uint8_t size = header.folder_reserve_size();
    if (size != 0) {
        abReserve = static_cast<uint8_t*>(std::calloc(size, 1));
        if (abReserve != nullptr)
            cbReserve = size;
    }
}

int cabinet_folder_header::read(std::istream& in, const cabinet_header& header) {
    release_reserve();
    coffCabStart = 0;
    cCFData = 0;
    typeCompress = 0;
    if (int status = cabinet_folder_fixed_header::read(in))
        return status;
    uint8_t size = header.folder_reserve_size();
    if (size != 0) {
        abReserve = static_cast<uint8_t*>(std::malloc(size));
        if (abReserve == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        cbReserve = size;
        if (int status = read_exact(in, abReserve, size))
            return status;
    }
    return CAB_STATUS_OK;
}

int cabinet_folder_header::write(std::ostream& out) const {
    if (int status = cabinet_folder_fixed_header::write(out))
        return status;
    if (cbReserve != 0)
        return write_exact(out, abReserve, cbReserve);
    return CAB_STATUS_OK;
}
