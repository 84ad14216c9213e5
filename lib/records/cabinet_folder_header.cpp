#include <kistle/cabinet_folder_header.h>

#include <cstdlib>
#include <cstring>

#include <kistle/cabinet_status.h>

#include "little_endian.h"
#include "stream_checks.h"

using namespace kistle::internal;

int cabinet_folder_fixed_header::read(std::istream& in) {
    uint8_t image[image_size];
    if (int status = read_exact(in, image, image_size))
        return status;
    coffCabStart = get_le64(image);
    cCFData = get_le16(image + 8);
    typeCompress = get_le16(image + 10);
    return CAB_STATUS_OK;
}

int cabinet_folder_fixed_header::write(std::ostream& out) const {
    uint8_t image[image_size] = {};
    put_le64(image, coffCabStart);
    put_le16(image + 8, cCFData);
    put_le16(image + 10, typeCompress);
    return write_exact(out, image, image_size);
}

void cabinet_folder_header::release_reserve() {
    std::free(abReserve);
    abReserve = nullptr;
    cbReserve = 0;
}

namespace {

// The folder reserve length that header calls for.
uint8_t folder_reserve_size(const cabinet_header& header) {
    return (header.flags & cfhdrRESERVE_PRESENT) ? header.cbCFFolder : 0;
}

} // namespace

void cabinet_folder_header::init(const cabinet_header& header) {
    release_reserve();
    coffCabStart = 0;
    cCFData = 0;
    typeCompress = 0;
    uint8_t size = folder_reserve_size(header);
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
    uint8_t size = folder_reserve_size(header);
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
