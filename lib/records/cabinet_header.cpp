#include <kistle/cabinet_header.h>

#include <cstdlib>
#include <cstring>

#include <kistle/cabinet_status.h>

#include "little_endian.h"
#include "stream_checks.h"

using namespace kistle::internal;

void cabinet_fixed_header::init() {
    *this = cabinet_fixed_header();
    signature = CABINET_SIGNATURE;
    cbCabinet = image_size;
    coffFiles = image_size;
    versionMinor = 1;
}

void cabinet_fixed_header::encode(uint8_t image[image_size]) const {
    std::memset(image, 0, image_size);
    put_le32(image + 0, signature);
    put_le64(image + 8, reserved1);
    put_le64(image + 16, cbCabinet);
    put_le64(image + 24, reserved2);
    put_le64(image + 32, coffFiles);
    put_le64(image + 40, reserved3);
    image[48] = versionMinor;
    image[49] = versionMajor;
    put_le16(image + 50, cFolders);
    put_le16(image + 52, cFiles);
    put_le16(image + 54, flags);
    put_le16(image + 56, setID);
    put_le16(image + 58, iCabinet);
}

void cabinet_fixed_header::decode(const uint8_t image[image_size]) {
    signature = get_le32(image + 0);
    reserved1 = get_le64(image + 8);
    cbCabinet = get_le64(image + 16);
    reserved2 = get_le64(image + 24);
    coffFiles = get_le64(image + 32);
    reserved3 = get_le64(image + 40);
    versionMinor = image[48];
    versionMajor = image[49];
    cFolders = get_le16(image + 50);
    cFiles = get_le16(image + 52);
    flags = get_le16(image + 54);
    setID = get_le16(image + 56);
    iCabinet = get_le16(image + 58);
}

int cabinet_fixed_header::read(std::istream& in) {
    uint8_t image[image_size];
    if (int status = read_exact(in, image, image_size))
        return status;
    decode(image);
    return CAB_STATUS_OK;
}

int cabinet_fixed_header::write(std::ostream& out) const {
    uint8_t image[image_size];
    encode(image);
    return write_exact(out, image, image_size);
}

void cabinet_header::release_reserve() {
    std::free(abReserve);
    abReserve = nullptr;
}

int cabinet_header::read(std::istream& in) {
    release_reserve();
    szCabinetPrev.Del();
    szDiskPrev.Del();
    szCabinetNext.Del();
    szDiskNext.Del();
    cbCFHeader = 0;
    cbCFFolder = 0;
    cbCFData = 0;

    uint8_t image[image_size];
    if (int status = read_exact(in, image, image_size))
        return status;
    decode(image);
    cbCFHeader = get_le16(image + 60);
    cbCFFolder = image[62];
    cbCFData = image[63];

    if (flags & cfhdrRESERVE_PRESENT) {
        uint8_t sizes[4];
        if (int status = read_exact(in, sizes, sizeof sizes))
            return status;
        cbCFHeader = get_le16(sizes);
        cbCFFolder = sizes[2];
        cbCFData = sizes[3];
        if (cbCFHeader != 0) {
            abReserve = static_cast<uint8_t*>(std::malloc(cbCFHeader));
            if (abReserve == nullptr)
                return CAB_ERROR_OUT_OF_MEMORY;
            if (int status = read_exact(in, abReserve, cbCFHeader))
                return status;
        }
    }
    if (flags & cfhdrPREV_CABINET) {
        if (int status = read_string(szCabinetPrev, in))
            return status;
        if (int status = read_string(szDiskPrev, in))
            return status;
    }
    if (flags & cfhdrNEXT_CABINET) {
        if (int status = read_string(szCabinetNext, in))
            return status;
        if (int status = read_string(szDiskNext, in))
            return status;
    }
    return CAB_STATUS_OK;
}

int cabinet_header::write(std::ostream& out) const {
    uint8_t image[image_size];
    encode(image);
    put_le16(image + 60, cbCFHeader);
    image[62] = cbCFFolder;
    image[63] = cbCFData;
    if (int status = write_exact(out, image, image_size))
        return status;

    if (flags & cfhdrRESERVE_PRESENT) {
        uint8_t sizes[4];
        put_le16(sizes, cbCFHeader);
        sizes[2] = cbCFFolder;
        sizes[3] = cbCFData;
        if (int status = write_exact(out, sizes, sizeof sizes))
            return status;
        if (abReserve != nullptr) {
            if (int status = write_exact(out, abReserve, cbCFHeader))
                return status;
        } else {
            // A missing area is written as zeros so the file stays readable.
            for (uint32_t i = 0; i < cbCFHeader; ++i)
                out.put('\0');
            if (int status = write_status(out))
                return status;
        }
    }
    if (flags & cfhdrPREV_CABINET) {
        if (int status = write_string(out, szCabinetPrev))
            return status;
        if (int status = write_string(out, szDiskPrev))
            return status;
    }
    if (flags & cfhdrNEXT_CABINET) {
        if (int status = write_string(out, szCabinetNext))
            return status;
        if (int status = write_string(out, szDiskNext))
            return status;
    }
    return CAB_STATUS_OK;
}

int cabinet_header::read_string(b_string& target, std::istream& in) {
    std::size_t size = 0;
    std::size_t capacity = 64;
    char* buffer = static_cast<char*>(std::malloc(capacity));
    if (buffer == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    for (;;) {
        int c = in.get();
        if (int status = read_status(in)) {
            std::free(buffer);
            return status;
        }
        if (size + 1 == capacity) {
            char* grown = static_cast<char*>(std::realloc(buffer, capacity * 2));
            if (grown == nullptr) {
                std::free(buffer);
                return CAB_ERROR_OUT_OF_MEMORY;
            }
            buffer = grown;
            capacity *= 2;
        }
        if (c == 0)
            break;
        buffer[size++] = static_cast<char>(c);
    }
    buffer[size] = '\0';
    target.adopt(buffer);
    return CAB_STATUS_OK;
}

int cabinet_header::write_string(std::ostream& out, const b_string& text) {
    return write_exact(out, text.str(), text.length() + 1);
}
