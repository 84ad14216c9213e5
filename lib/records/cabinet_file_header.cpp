#include <kistle/cabinet_file_header.h>

#include <kistle/cabinet_header.h>
#include <kistle/cabinet_status.h>

#include "little_endian.h"
#include "record_image.h"

using namespace kistle::internal;

namespace {

void encode(const cabinet_file_fixed_header& entry, uint8_t* image) {
    put_le64(image, entry.cbFile);
    put_le64(image + 8, entry.uoffFolderStart);
    put_le16(image + 16, entry.iFolder);
    put_le16(image + 18, entry.date);
    put_le16(image + 20, entry.time);
    put_le16(image + 22, entry.attribs);
}

void decode(cabinet_file_fixed_header& entry, const uint8_t* image) {
    entry.cbFile = get_le64(image);
    entry.uoffFolderStart = get_le64(image + 8);
    entry.iFolder = get_le16(image + 16);
    entry.date = get_le16(image + 18);
    entry.time = get_le16(image + 20);
    entry.attribs = get_le16(image + 22);
}

} // namespace

int cabinet_file_fixed_header::read(std::istream& in) {
    return read_image<image_size>(in, [this](const uint8_t* image) { decode(*this, image); });
}

int cabinet_file_fixed_header::write(std::ostream& out) const {
    return write_image<image_size>(out, [this](uint8_t* image) { encode(*this, image); });
}

int cabinet_file_header::read(std::istream& in) {
    szName.Del();
    static_cast<cabinet_file_fixed_header&>(*this) = cabinet_file_fixed_header();
    if (int status = cabinet_file_fixed_header::read(in))
        return status;
    return cabinet_header::read_string(szName, in);
}

int cabinet_file_header::write(std::ostream& out) const {
    if (int status = cabinet_file_fixed_header::write(out))
        return status;
    return cabinet_header::write_string(out, szName);
}
