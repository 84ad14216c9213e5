#include <kistle/cfc_fileinfo.h>

#include <kistle/cabinet_header.h>

cfc_fileinfo::~cfc_fileinfo() = default;

int cfc_fileinfo::write_entry(std::ostream& out) const {
    if (int status = cabinet_file_fixed_header::write(out))
        return status;
    return cabinet_header::write_string(out, szName);
}
