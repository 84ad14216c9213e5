#include <kistle/cabinet_reader.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_status.h>
#include <kistle/dos_date_time.h>
#include <kistle/io_helpers.h>

#include "byte_counter.h"
#include "extraction_target.h"
#include "fd_output_buffer.h"
#include "folder_cursor.h"
#include "parallel_inflate.h"
#include "worker_pool.h"

using namespace kistle::internal;

namespace {

// Sets the modification time from a DOS date and time, taken as local time.
int restore_date_time(int file, uint16_t date, uint16_t time) {
    std::time_t when;
    if (!kistle::dos_date_time_to_time(date, time, when))
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
    drop_cursor(); // it refers to a folder manager
    drop_threads();
    contents_checked = false;
    cabinet_stream.close();
    cabinet_stream.clear();
    file_headers.free_buffers();
    folder_managers.free_buffers();
    header.release_reserve();
    std::free(name_order);
    name_order = nullptr;
    std::free(folder_ends);
    folder_ends = nullptr;
}

void cabinet_reader::drop_cursor() {
    delete cursor;
    cursor = nullptr;
}

void cabinet_reader::drop_threads() {
    delete decompressors;
    decompressors = nullptr;
}

void cabinet_reader::set_threads(unsigned count) {
    thread_count = count;
    drop_cursor(); // it uses the threads
    drop_threads();
}

void cabinet_reader::set_progress(const progress_callback* callback) {
    progress = callback;
}

void cabinet_reader::set_contents_checked(bool checked) {
    contents_checked = checked;
    if (decompressors != nullptr)
        decompressors->set_contents_checked(checked);
}

void cabinet_reader::set_caller_expands_below(uint64_t bytes) {
    caller_below = bytes;
    if (decompressors != nullptr)
        decompressors->set_caller_expands_below(bytes);
}

parallel_inflate* cabinet_reader::threads_to_lend() {
    if (decompressors == nullptr) {
        decompressors = new (std::nothrow)
            parallel_inflate(thread_count != 0 ? thread_count : worker_pool::cores());
        if (decompressors != nullptr) {
            decompressors->set_contents_checked(contents_checked);
            decompressors->set_caller_expands_below(caller_below);
        }
    }
    return decompressors;
}

int cabinet_reader::open(const char* path) {
    if (path == nullptr || *path == '\0')
        return CAB_ERROR_NO_FILENAME;
    release();
    if (stream_buffer == nullptr)
        stream_buffer = static_cast<char*>(std::malloc(stream_buffer_size));
    if (stream_buffer != nullptr) // otherwise the stream's own will do
        cabinet_stream.rdbuf()->pubsetbuf(stream_buffer, stream_buffer_size);
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
    // Without file entries there is nothing to read at coffFiles.
    if (header.cFiles == 0)
        return CAB_STATUS_OK;
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
    uint32_t number = 0;
    if (int status = find_file(name, number))
        return status;
    return extract_file(number, ".", EXISTING_REPLACE);
}

int cabinet_reader::file_to_write(uint32_t number, const cabinet_file_header*& file) const {
    if (!cabinet_stream.is_open())
        return CAB_ERROR_CLOSED_OBJECT;
    if (number >= file_headers.count)
        return CAB_ERROR_FILE_NOT_FOUND;
    file = file_headers[number];
    if (file->iFolder >= folder_managers.count)
        return CAB_ERROR_INVALID_FOLDER;
    return CAB_STATUS_OK;
}

int cabinet_reader::write_file(uint32_t number, std::ostream& out) {
    const cabinet_file_header* file = nullptr;
    if (int status = file_to_write(number, file))
        return status;
    // An empty file needs no data: a folder refuses any range at its end.
    if (file->cbFile == 0)
        return CAB_STATUS_OK;
    return extract_range(file->iFolder, file->uoffFolderStart, file->cbFile, out);
}

int cabinet_reader::extract_file(uint32_t number, const char* directory, EXISTING_TARGET existing,
                                 bool* written) {
    if (written != nullptr)
        *written = false;
    const cabinet_file_header* file = nullptr;
    if (int status = file_to_write(number, file))
        return status;
    if (directory == nullptr || *directory == '\0')
        return CAB_ERROR_NO_FILENAME;
    if (output_buffer == nullptr) {
        output_buffer = static_cast<char*>(std::malloc(output_buffer_size));
        if (output_buffer == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
    }

    extraction_target target;
    int descriptor = -1;
    const auto policy = existing == EXISTING_KEEP ? extraction_target::existing::keep
                                                  : extraction_target::existing::replace;
    if (int status = target.create(directory, file->szName.str(), policy, descriptor))
        return status;
    if (target.kept())
        return CAB_STATUS_OK;
    fd_output_buffer buffer(descriptor, output_buffer, output_buffer_size);
    std::ostream out(&buffer);
    int status = write_file(number, out);
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
    if (status == CAB_STATUS_OK && written != nullptr)
        *written = !target.kept();
    return status;
}

int cabinet_reader::write_folder_range(uint16_t number, uint64_t offset, uint64_t length,
                                       std::ostream& out) {
    if (!cabinet_stream.is_open())
        return CAB_ERROR_CLOSED_OBJECT;
    if (number >= folder_managers.count)
        return CAB_ERROR_INVALID_FOLDER;
    return extract_range(number, offset, length, out);
}

int cabinet_reader::read_bytes(uint64_t offset, void* bytes, std::size_t size) {
    if (!cabinet_stream.is_open())
        return CAB_ERROR_CLOSED_OBJECT;
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return CAB_ERROR_SEEK;
    if (cursor != nullptr)
        cursor->stream_moved();
    cabinet_stream.clear();
    cabinet_stream.seekg(static_cast<std::streamoff>(offset));
    if (cabinet_stream.fail())
        return CAB_ERROR_SEEK;
    cabinet_stream.read(static_cast<char*>(bytes), static_cast<std::streamsize>(size));
    if (cabinet_stream.fail())
        return cabinet_stream.eof() ? CAB_ERROR_UNEXPECTED_EOF : CAB_ERROR_READ;
    return CAB_STATUS_OK;
}

int cabinet_reader::verify_folder(uint16_t number, uint64_t& uncompressed_size) {
    uncompressed_size = 0;
    if (!cabinet_stream.is_open())
        return CAB_ERROR_CLOSED_OBJECT;
    if (number >= folder_managers.count)
        return CAB_ERROR_INVALID_FOLDER;
    folder_cursor* walker = cursor_for(number);
    if (walker == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    return walker->verify(uncompressed_size);
}

int cabinet_reader::measure_folder(uint16_t number, uint64_t& compressed_size,
                                   uint64_t& uncompressed_size) {
    bool overran = false;
    return measure_folder(number, UINT64_MAX, compressed_size, uncompressed_size, overran);
}

int cabinet_reader::measure_folder(uint16_t number, uint64_t stop_at, uint64_t& compressed_size,
                                   uint64_t& uncompressed_size, bool& overran) {
    compressed_size = 0;
    uncompressed_size = 0;
    overran = false;
    if (!cabinet_stream.is_open())
        return CAB_ERROR_CLOSED_OBJECT;
    if (number >= folder_managers.count)
        return CAB_ERROR_INVALID_FOLDER;
    const cabinet_folder_manager& folder = *folder_managers[number];
    if (folder.coffCabStart > static_cast<uint64_t>(INT64_MAX))
        return CAB_ERROR_SEEK;
    if (cursor != nullptr)
        cursor->stream_moved();
    cabinet_stream.clear();
    cabinet_stream.seekg(static_cast<std::streamoff>(folder.coffCabStart));
    const uint64_t reserve = header.block_reserve_size();
    for (uint32_t i = 0; i < folder.cCFData && !cabinet_stream.fail(); ++i) {
        if (folder.coffCabStart + compressed_size >= stop_at) {
            overran = true;
            return CAB_STATUS_OK;
        }
        cabinet_datablock_fixed_header block;
        if (int status = block.read(cabinet_stream))
            return status;
        const uint64_t rest = reserve + block.cbData;
        // Read past, not sought past: a seek would throw the stream's buffer
        // away at every block.
        cabinet_stream.ignore(static_cast<std::streamsize>(rest));
        if (cabinet_stream.bad())
            return CAB_ERROR_READ;
        if (static_cast<uint64_t>(cabinet_stream.gcount()) != rest)
            return CAB_ERROR_UNEXPECTED_EOF;
        compressed_size += cabinet_datablock_fixed_header::image_size + rest;
        uncompressed_size += block.cbUncomp;
    }
    return cabinet_stream.fail() ? CAB_ERROR_SEEK : CAB_STATUS_OK;
}

int cabinet_reader::find_file(const char* name, uint32_t& number) {
    // At most 65535 records: the numbers fit in 32 bits.
    const uint32_t count = static_cast<uint32_t>(file_headers.count);
    auto name_of = [this](uint32_t number) { return file_headers[number]->szName.str(); };
    if (name_order == nullptr && count != 0) {
        name_order = static_cast<uint32_t*>(std::malloc(count * sizeof(uint32_t)));
        if (name_order == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        for (uint32_t i = 0; i < count; ++i)
            name_order[i] = i;
        // The first record of a name comes first among its equals, so it wins.
        std::sort(name_order, name_order + count, [&](uint32_t a, uint32_t b) {
            int order = std::strcmp(name_of(a), name_of(b));
            return order != 0 ? order < 0 : a < b;
        });
    }
    uint32_t* end = name_order + count;
    const uint32_t* found =
        std::lower_bound(name_order, end, name, [&](uint32_t number, const char* wanted) {
            return std::strcmp(name_of(number), wanted) < 0;
        });
    if (found == end || std::strcmp(name_of(*found), name) != 0)
        return CAB_ERROR_FILE_NOT_FOUND;
    number = *found;
    return CAB_STATUS_OK;
}

uint64_t cabinet_reader::folder_end(uint16_t number) {
    if (folder_ends == nullptr) {
        const uint64_t folders = folder_managers.count;
        folder_ends = static_cast<uint64_t*>(std::malloc(folders * sizeof(uint64_t)));
        // Without them no damaged block is recovered from.
        if (folder_ends == nullptr)
            return folder_cursor::unknown_end;
        // 0 until an entry that holds bytes ends somewhere.
        std::fill(folder_ends, folder_ends + folders, 0);
        for (uint64_t i = 0; i < file_headers.count; ++i) {
            const cabinet_file_header& file = *file_headers[i];
            if (file.iFolder >= folders || file.cbFile == 0)
                continue;
            // An end beyond the widest offset is one that no folder reaches.
            const uint64_t end = file.cbFile <= UINT64_MAX - file.uoffFolderStart
                                     ? file.uoffFolderStart + file.cbFile
                                     : UINT64_MAX;
            folder_ends[file.iFolder] = std::max(folder_ends[file.iFolder], end);
        }
    }
    return folder_ends[number] != 0 ? folder_ends[number] : folder_cursor::unknown_end;
}

folder_cursor* cabinet_reader::cursor_for(uint16_t number) {
    const cabinet_folder_manager& folder = *folder_managers[number];
    // What a cursor learnt and kept is about its own folder only.
    if (cursor == nullptr || !cursor->serves(folder)) {
        drop_cursor();
        cursor = new (std::nothrow)
            folder_cursor(folder, cabinet_stream, header, threads_to_lend(), folder_end(number));
    }
    return cursor;
}

int cabinet_reader::extract_range(uint16_t folder_number, uint64_t offset, uint64_t length,
                                  std::ostream& out) {
    folder_cursor* walker = cursor_for(folder_number);
    if (walker == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    return walker->write_range(out, offset, length, progress);
}
