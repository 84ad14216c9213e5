#include "cabinet_reader.h"

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>

#include "cabinet_datablock.h"
#include "cabinet_status.h"
#include "extraction_target.h"
#include "fd_output_buffer.h"

namespace {

// Sets the modification time from a DOS date and time, taken as local time.
int restore_date_time(int file, uint16_t date, uint16_t time) {
    std::tm local = {};
    local.tm_year = 80 + (date >> 9);
    local.tm_mon = ((date >> 5) & 0x0F) - 1;
    local.tm_mday = date & 0x1F;
    local.tm_hour = time >> 11;
    local.tm_min = (time >> 5) & 0x3F;
    local.tm_sec = (time & 0x1F) * 2;
    local.tm_isdst = -1;
    std::time_t when = std::mktime(&local);
    if (when == static_cast<std::time_t>(-1))
        return CAB_ERROR_RESTORE_DATETIME;
    const timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    return futimens(file, times) == 0 ? CAB_STATUS_OK : CAB_ERROR_RESTORE_DATETIME;
}

// A read-only file loses every write permission.
int restore_attributes(int file, uint16_t attribs) {
    if (!(attribs & ATTRIBUTE_READONLY))
        return CAB_STATUS_OK;
    struct stat status;
    if (fstat(file, &status) != 0 || fchmod(file, status.st_mode & 07555) != 0)
        return CAB_ERROR_RESTORE_ATTRIBUTES;
    return CAB_STATUS_OK;
}

// Appends a new record to records and reads it; it stays there even when the
// read fails, so the array releases it.
template <class Record, class... Extra>
int read_record(dynamic_array<Record>& records, std::istream& in, const Extra&... extra) {
    Record* record = new (std::nothrow) Record;
    if (record == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    if (!records.append(record)) {
        delete record;
        return CAB_ERROR_OUT_OF_MEMORY;
    }
    return record->read(in, extra...);
}

} // namespace

void cabinet_reader::release() {
    cabinet_stream.close();
    cabinet_stream.clear();
    file_headers.free_buffers();
    folder_managers.free_buffers();
    header.release_reserve();
    std::free(block_index);
    block_index = nullptr;
    indexed_folder = no_folder;
    index_complete = false;
}

int cabinet_reader::open(const char* path) {
    if (path == nullptr || *path == '\0')
        return CAB_ERROR_NO_FILENAME;
    release();
    cabinet_stream.open(path, std::ios::in | std::ios::binary);
    if (!cabinet_stream.is_open())
        return CAB_ERROR_OPEN_STREAM;
    int status = read_directory();
    // What was read stays for inspection; only the stream goes, so extract refuses.
    if (status != CAB_STATUS_OK)
        cabinet_stream.close();
    return status;
}

int cabinet_reader::read_directory() {
    if (int status = header.read(cabinet_stream))
        return status;
    for (uint32_t i = 0; i < header.cFolders; ++i) {
        if (int status = read_record(folder_managers, cabinet_stream, header))
            return status;
    }
    if (header.coffFiles > static_cast<uint64_t>(INT64_MAX))
        return CAB_ERROR_SEEK;
    cabinet_stream.seekg(static_cast<std::streamoff>(header.coffFiles), std::ios::beg);
    if (cabinet_stream.fail())
        return CAB_ERROR_SEEK;
    for (uint32_t i = 0; i < header.cFiles; ++i) {
        if (int status = read_record(file_headers, cabinet_stream))
            return status;
    }
    return CAB_STATUS_OK;
}

int cabinet_reader::close() {
    release();
    header.szCabinetPrev.Del();
    header.szDiskPrev.Del();
    header.szCabinetNext.Del();
    header.szDiskNext.Del();
    return CAB_STATUS_OK;
}

int cabinet_reader::extract(const char* name) {
    if (!cabinet_stream.is_open())
        return CAB_ERROR_CLOSED_OBJECT;
    if (name == nullptr || *name == '\0')
        return CAB_ERROR_NO_FILENAME;
    const cabinet_file_header* file = nullptr;
    for (uint64_t i = 0; i < file_headers.count && file == nullptr; ++i) {
        if (std::strcmp(file_headers[i]->szName.str(), name) == 0)
            file = file_headers[i];
    }
    if (file == nullptr)
        return CAB_ERROR_FILE_NOT_FOUND;
    if (file->iFolder >= folder_managers.count)
        return CAB_ERROR_INVALID_FOLDER;

    extraction_target target;
    int descriptor = -1;
    if (int status = target.create(name, descriptor))
        return status;
    fd_output_buffer buffer(descriptor);
    std::ostream out(&buffer);
    int status = CAB_STATUS_OK;
    // An empty file needs no data: a folder refuses any range at its end.
    if (file->cbFile != 0)
        status = extract_range(file->iFolder, file->uoffFolderStart, file->cbFile, out);
    if (status == CAB_STATUS_OK && buffer.pubsync() != 0)
        status = CAB_ERROR_WRITE;
    if (status == CAB_STATUS_OK)
        status = restore_date_time(descriptor, file->date, file->time);
    if (status == CAB_STATUS_OK)
        status = restore_attributes(descriptor, file->attribs);
    if (!buffer.close() && status == CAB_STATUS_OK)
        status = CAB_ERROR_WRITE;
    if (status == CAB_STATUS_OK)
        status = target.commit();
    return status;
}

void cabinet_reader::index_folder(uint16_t folder_number) {
    std::free(block_index);
    indexed_folder = folder_number;
    index_complete = false;
    const cabinet_folder_manager& folder = *folder_managers[folder_number];
    // At most 65536 entries, whatever the cabinet claims elsewhere.
    block_index = static_cast<block_entry*>(
        std::malloc((static_cast<size_t>(folder.cCFData) + 1) * sizeof(block_entry)));
    if (block_index == nullptr)
        return;
    const uint64_t reserve = (header.flags & cfhdrRESERVE_PRESENT) ? header.cbCFData : 0;
    uint64_t position = folder.coffCabStart;
    uint64_t start = 0;
    cabinet_datablock_fixed_header block;
    // Only the block headers are read; payloads are passed over by seeking.
    for (uint32_t i = 0; i < folder.cCFData; ++i) {
        if (position > static_cast<uint64_t>(INT64_MAX))
            return;
        cabinet_stream.seekg(static_cast<std::streamoff>(position), std::ios::beg);
        if (cabinet_stream.fail() || block.read(cabinet_stream) != CAB_STATUS_OK)
            return;
        block_index[i] = {position, start};
        position += cabinet_datablock_fixed_header::image_size + reserve + block.cbData;
        start += block.cbUncomp;
    }
    block_index[folder.cCFData] = {position, start};
    index_complete = true;
}

int cabinet_reader::extract_range(uint16_t folder_number, uint64_t offset, uint64_t length,
                                  std::ostream& out) {
    cabinet_folder_manager& folder = *folder_managers[folder_number];
    // An earlier extraction may have left the stream at its end or failed.
    cabinet_stream.clear();
    if (indexed_folder != folder_number)
        index_folder(folder_number);
    cabinet_stream.clear();
    // Beyond the folder's data, or with damage before it, the whole folder is
    // walked so that the statuses are the folder's own.
    if (!index_complete || offset >= block_index[folder.cCFData].start)
        return folder.extract_data(out, cabinet_stream, offset, length, header);

    // The block that holds offset: the first whose successor starts beyond it.
    uint32_t low = 0, high = folder.cCFData - 1u;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (block_index[middle + 1].start > offset)
            high = middle;
        else
            low = middle + 1;
    }
    cabinet_folder_manager view;
    view.coffCabStart = block_index[low].position;
    view.cCFData = static_cast<uint16_t>(folder.cCFData - low);
    view.typeCompress = folder.typeCompress;
    return view.extract_data(out, cabinet_stream, offset - block_index[low].start, length, header);
}
