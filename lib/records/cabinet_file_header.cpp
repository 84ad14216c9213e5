#include <kistle/cabinet_file_header.h>

#include <kistle/cabinet_header.h>
#include <kistle/cabinet_status.h>

#include "little_endian.h"
#include "stream_checks.h"

using namespace kistle::internal;

int cabinet_file_fixed_header::read(std::istream& in) {
    uint8_t image[image_size];
    if (int status = read_exact(in, image, image_size))
        return status;
    cbFile = get_le64(image);
    uoffFolderStart = get_le64(image + 8);
    iFolder = get_le16(image + 16);
    date = get_le16(image + 18);
    time = get_le16(image + 20);
    attribs = get_le16(image + 22);
    return CAB_STATUS_OK;
}

int cabinet_file_fixed_header::write(std::ostream& out) const {
    uint8_t image[image_size];
    put_le64(image, cbFile);
    put_le64(image + 8, uoffFolderStart);
    put_le16(image + 16, iFolder);
    put_le16(image + 18, date);
    put_le16(image + 20, time);
    put_le16(image + 22, attribs);
    return write_exact(out, image, image_size);
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
