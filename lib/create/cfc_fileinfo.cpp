#include "cfc_fileinfo.h"

#include "cabinet_file_header.h"
#include "cabinet_header.h"

cfc_fileinfo::~cfc_fileinfo() = default;

int cfc_fileinfo::write_entry(std::ostream& out) const {
    cabinet_file_fixed_header entry;
    entry.cbFile = cbFile;
    entry.uoffFolderStart = uoffFolderStart;
    entry.iFolder = iFolder;
    entry.date = date;
    entry.time = time;
    entry.attribs = attribs;
    if (int status = entry.write(out))
        return status;
    return cabinet_header::write_string(out, szName);
}
