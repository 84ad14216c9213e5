#include <kistle/cabinet_header.h>

#include <cstdlib>

#include <kistle/cabinet_status.h>

#include "little_endian.h"
#include "record_image.h"
#include "stream_checks.h"

using namespace kistle::internal;

void cabinet_fixed_header::init() {
    *this = cabinet_fixed_header();
    signature = CABINET_SIGNATURE;
    cbCabinet = image_size;
    coffFiles = image_size;
    versionMinor = 1;
}

namespace {

void encode(const cabinet_fixed_header& header, uint8_t* image) {
    put_le32(image + 0, header.signature);
    put_le64(image + 8, header.reserved1);
    put_le64(image + 16, header.cbCabinet);
    put_le64(image + 24, header.reserved2);
    put_le64(image + 32, header.coffFiles);
    put_le64(image + 40, header.reserved3);
    image[48] = header.versionMinor;
    image[49] = header.versionMajor;
    put_le16(image + 50, header.cFolders);
    put_le16(image + 52, header.cFiles);
    put_le16(image + 54, header.flags);
    put_le16(image + 56, header.setID);
    put_le16(image + 58, header.iCabinet);
}

void decode(cabinet_fixed_header& header, const uint8_t* image) {
    header.signature = get_le32(image + 0);
    header.reserved1 = get_le64(image + 8);
    header.cbCabinet = get_le64(image + 16);
    header.reserved2 = get_le64(image + 24);
    header.coffFiles = get_le64(image + 32);
    header.reserved3 = get_le64(image + 40);
    header.versionMinor = image[48];
    header.versionMajor = image[49];
    header.cFolders = get_le16(image + 50);
    header.cFiles = get_le16(image + 52);
    header.flags = get_le16(image + 54);
    header.setID = get_le16(image + 56);
    header.iCabinet = get_le16(image + 58);
}

// The three reserve sizes, as the reserve-size block holds them and as bytes
// 60 to 63 of a cabinet_header's fixed image repeat them.
constexpr std::size_t sizes_size = 4;
constexpr std::size_t sizes_in_image = 60;

void encode_sizes(const cabinet_header& header, uint8_t* sizes) {
    put_le16(sizes, header.cbCFHeader);
    sizes[2] = header.cbCFFolder;
    sizes[3] = header.cbCFData;
}

void decode_sizes(cabinet_header& header, const uint8_t* sizes) {
    header.cbCFHeader = get_le16(sizes);
    header.cbCFFolder = sizes[2];
    header.cbCFData = sizes[3];
}

} // namespace

int cabinet_fixed_header::read(std::istream& in) {
    return read_image<image_size>(in, [this](const uint8_t* image) { decode(*this, image); });
}

int cabinet_fixed_header::write(std::ostream& out) const {
    return write_image<image_size>(out, [this](uint8_t* image) { encode(*this, image); });
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

    int status = read_image<image_size>(in, [this](const uint8_t* image) {
        decode(*this, image);
        decode_sizes(*this, image + sizes_in_image);
    });
    if (status != CAB_STATUS_OK)
        return status;

    if (flags & cfhdrRESERVE_PRESENT) {
        status = read_image<sizes_size>(
            in, [this](const uint8_t* sizes) { decode_sizes(*this, sizes); });
        if (status != CAB_STATUS_OK)
            return status;
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
    int status = write_image<image_size>(out, [this](uint8_t* image) {
        encode(*this, image);
        encode_sizes(*this, image + sizes_in_image);
    });
    if (status != CAB_STATUS_OK)
        return status;

    if (flags & cfhdrRESERVE_PRESENT) {
        status =
            write_image<sizes_size>(out, [this](uint8_t* sizes) { encode_sizes(*this, sizes); });
        if (status != CAB_STATUS_OK)
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
