#include "volume_writer.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>

#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_header.h>
#include <kistle/cabinet_status.h>

#include "cabinet_layout.h"
#include "cabinet_target.h"
#include "fd_output_buffer.h"

namespace kistle::internal {

namespace {

// The data file is copied in pieces of this size.
constexpr std::size_t piece_size = 256 * 1024;

// The header the plan describes, with a reserve area of reserve_size bytes
// (copied from reserve, when given).
int make_header(const volume_plan& plan, uint16_t reserve_size, const uint8_t* reserve,
                bool leading, cabinet_header& header) {
    header.signature = CABINET_SIGNATURE;
    header.versionMinor = 3;
    header.versionMajor = 1;
    header.cFolders = static_cast<uint16_t>(plan.folders.size() + (leading ? 1 : 0));
    header.cFiles = static_cast<uint16_t>(plan.entries.size());
    header.setID = plan.setID;
    header.iCabinet = plan.iCabinet;
    if (reserve_size != 0) {
        header.flags |= cfhdrRESERVE_PRESENT;
        header.cbCFHeader = reserve_size;
        header.abReserve = static_cast<uint8_t*>(std::calloc(reserve_size, 1));
        if (header.abReserve == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        if (reserve != nullptr)
            std::memcpy(header.abReserve, reserve, reserve_size);
    }
    if (plan.has_previous) {
        header.flags |= cfhdrPREV_CABINET;
        header.szCabinetPrev = plan.previous.c_str();
        header.szDiskPrev = plan.previous_disk.c_str();
    }
    if (plan.has_next) {
        header.flags |= cfhdrNEXT_CABINET;
        header.szCabinetNext = plan.next.c_str();
        header.szDiskNext = plan.next_disk.c_str();
    }
    return CAB_STATUS_OK;
}

cabinet_parts parts_of(const volume_plan& plan, const cabinet_header& header, bool leading,
                       uint64_t leading_size) {
    cabinet_parts parts;
    parts.header_size = header_size_of(header);
    parts.folders = header.cFolders;
    for (const volume_entry& entry : plan.entries)
        parts.entries_size += cabinet_file_fixed_header::image_size + entry.name.size() + 1;
    parts.leading_size = leading ? leading_size : 0;
    for (const volume_folder& folder : plan.folders)
        parts.data_size += folder.data_size;
    return parts;
}

int write_directory(std::ostream& out, const volume_plan& plan, cabinet_header& header,
                    const cabinet_layout& layout, const cabinet_extras& extras) {
    int status = header.write(out);
    uint64_t at = layout.folders_data;
    for (const volume_folder& folder : plan.folders) {
        if (status != CAB_STATUS_OK)
            break;
        cabinet_folder_fixed_header entry;
        entry.coffCabStart = at;
        entry.cCFData = folder.blocks;
        entry.typeCompress = folder.typeCompress;
        status = entry.write(out);
        at += folder.data_size;
    }
    if (status == CAB_STATUS_OK && extras.leading_blocks != nullptr) {
        cabinet_folder_fixed_header entry;
        entry.coffCabStart = layout.data_start;
        entry.cCFData = extras.leading_block_count;
        entry.typeCompress = extras.leading_type;
        status = entry.write(out);
    }
    for (const volume_entry& entry : plan.entries) {
        if (status != CAB_STATUS_OK)
            break;
        status = entry.fields.write(out);
        if (status == CAB_STATUS_OK) {
            out.write(entry.name.c_str(), static_cast<std::streamsize>(entry.name.size() + 1));
            if (out.fail())
                status = CAB_ERROR_WRITE;
        }
    }
    return status;
}

int copy_run(std::ostream& out, std::istream& data, uint64_t offset, uint64_t size, char* buffer) {
    data.clear();
    data.seekg(static_cast<std::streamoff>(offset));
    if (data.fail())
        return CAB_ERROR_SEEK;
    while (size > 0) {
        const std::size_t piece = size < piece_size ? static_cast<std::size_t>(size) : piece_size;
        data.read(buffer, static_cast<std::streamsize>(piece));
        if (static_cast<std::size_t>(data.gcount()) != piece)
            return CAB_ERROR_READ;
        out.write(buffer, static_cast<std::streamsize>(piece));
        if (out.fail())
            return CAB_ERROR_WRITE;
        size -= piece;
    }
    return CAB_STATUS_OK;
}

} // namespace

uint64_t directory_size(const volume_plan& plan, uint16_t reserve_size, bool leading) {
    cabinet_header header;
    if (make_header(plan, reserve_size, nullptr, leading, header) != CAB_STATUS_OK)
        return UINT64_MAX;
    return lay_out(parts_of(plan, header, leading, 0)).data_start;
}

int write_volume(std::ostream& out, const volume_plan& plan, std::istream& data,
                 const cabinet_extras& extras) {
    const bool leading = extras.leading_blocks != nullptr;
    // What the header's counts cannot say is never written as one cabinet.
    if (plan.entries.size() > 0xFFFF || plan.folders.size() + (leading ? 1 : 0) > 0xFFFD)
        return CAB_ERROR_TOO_MANY_FILES;
    cabinet_header header;
    if (int status =
            make_header(plan, extras.header_reserve_size, extras.header_reserve, leading, header))
        return status;
    const cabinet_layout layout = lay_out(parts_of(plan, header, leading, extras.leading_size));
    header.coffFiles = layout.coffFiles;
    header.cbCabinet = layout.cbCabinet;

    int status = write_front(out, extras, [&](std::ostream& to) {
        return write_directory(to, plan, header, layout, extras);
    });
    if (status != CAB_STATUS_OK)
        return status;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[piece_size]);
    if (!buffer)
        return CAB_ERROR_OUT_OF_MEMORY;
    for (const volume_folder& folder : plan.folders) {
        status = copy_run(out, data, folder.data_offset, folder.data_size, buffer.get());
        if (status != CAB_STATUS_OK)
            return status;
    }
    out.flush();
    return out.fail() ? CAB_ERROR_WRITE : CAB_STATUS_OK;
}

int write_volume(cabinet_target& target, const volume_plan& plan, std::istream& data,
                 const cabinet_extras& extras) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[piece_size]);
    if (!buffer)
        return CAB_ERROR_OUT_OF_MEMORY;
    // The target keeps its own descriptor to finish with.
    int fd = fcntl(target.descriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return CAB_ERROR_WRITE;
    fd_output_buffer stream_buffer(fd, buffer.get(), piece_size);
    std::ostream out(&stream_buffer);
    int status = write_volume(out, plan, data, extras);
    if (!stream_buffer.close() && status == CAB_STATUS_OK)
        status = CAB_ERROR_WRITE;
    return status;
}

} // namespace kistle::internal
