#include "cabinet_layout.h"

#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_header.h>
#include <kistle/cfc_fileinfo.h>
#include <kistle/cfc_folderinfo.h>

namespace kistle::internal {

namespace {

uint64_t name_size(const b_string& name) {
    return name.length() + 1;
}

} // namespace

cabinet_layout lay_out(const cabinet_parts& parts) {
    const uint64_t folder_entry = cabinet_folder_fixed_header::image_size + parts.folder_reserve;
    cabinet_layout result;
    result.coffFiles = parts.header_size + folder_entry * parts.folders;
    result.data_start = result.coffFiles + parts.entries_size;
    result.folders_data = result.data_start + parts.leading_size;
    result.cbCabinet = result.folders_data + parts.data_size;
    return result;
}

uint64_t header_size_of(const cabinet_header& header) {
    uint64_t size = cabinet_fixed_header::image_size;
    if (header.flags & cfhdrRESERVE_PRESENT)
        size = header_reserve_offset + header.cbCFHeader;
    if (header.flags & cfhdrPREV_CABINET)
        size += name_size(header.szCabinetPrev) + name_size(header.szDiskPrev);
    if (header.flags & cfhdrNEXT_CABINET)
        size += name_size(header.szCabinetNext) + name_size(header.szDiskNext);
    return size;
}

uint64_t entry_size(const cfc_fileinfo& entry) {
    return cabinet_file_fixed_header::image_size + name_size(entry.szName);
}

cabinet_parts folder_parts(const cfc_folderinfo& folder) {
    cabinet_parts parts;
    parts.header_size = 0;
    parts.folders = 1;
    folder.files.ForEach(
        [&](const cfc_fileinfo& entry) { parts.entries_size += entry_size(entry); });
    parts.data_size = folder.bytes_written;
    return parts;
}

} // namespace kistle::internal
