#include <kistle/cfc_folderinfo.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <istream>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_status.h>
#include <kistle/dos_date_time.h>
#include <kistle/io_helpers.h>

#include "block_deflate.h"
#include "fd_input_buffer.h"
#include "parallel_deflate.h"
#include "progress_callback.h"

using namespace kistle::internal;

namespace {

// Frees a buffer on a failure path without disturbing errno, so that the
// caller can still report the system call that failed.
void release_keeping_errno(void* buffer) {
    int saved = errno;
    std::free(buffer);
    errno = saved;
}

// A read that stopped short of the end of the file.
bool read_failed(const std::istream& in) {
    return in.bad() || (in.fail() && !in.eof());
}

} // namespace

cfc_folderinfo::~cfc_folderinfo() {
    release();
}

void cfc_folderinfo::release() {
    std::free(reserve);
    reserve = nullptr;
    std::free(pending_block);
    pending_block = nullptr;
    end_compressor();
}

void cfc_folderinfo::end_compressor() {
    end_block_compressor(zstream);
}

void cfc_folderinfo::reset() {
    release();
    data_offset = 0;
    cCFData = 0;
    typeCompress = 0;
    iFolder = 0;
    files.Clear();
    output = nullptr;
    pending_size = 0;
    uncompressed_size = 0;
    bytes_written = 0;
    deflate_level = Z_DEFAULT_COMPRESSION;
}

int cfc_folderinfo::open(std::ostream& out, uint64_t offset, uint16_t type, uint16_t index,
                         uint8_t reserve_size, const uint8_t* reserve_bytes) {
    return open(out, offset, type, index, reserve_size, reserve_bytes, Z_DEFAULT_COMPRESSION);
}

int cfc_folderinfo::open(std::ostream& out, uint64_t offset, uint16_t type, uint16_t index,
                         uint8_t reserve_size, const uint8_t* reserve_bytes, int level) {
    reset();
    deflate_level = level;
    output = &out;
    iFolder = index;
    data_offset = offset;
    typeCompress = type;
    if (typeCompress == COMPRESSION_TYPE_DEFLATE) {
        if (int status = make_block_compressor(zstream, deflate_level))
            return status;
    }
    if (reserve_size != 0) {
        reserve = static_cast<uint8_t*>(std::malloc(reserve_size));
        if (reserve == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        std::memcpy(reserve, reserve_bytes, reserve_size);
    }
    return CAB_STATUS_OK;
}

uint32_t cfc_folderinfo::blocks_taken() const {
    return cCFData + (compressors != nullptr ? compressors->in_flight() : 0u);
}

uint64_t cfc_folderinfo::stream_size() const {
    // Every block taken while the folder is open is full.
    return static_cast<uint64_t>(blocks_taken()) * block_size + pending_size;
}

int cfc_folderinfo::add_file(const char* path) {
    return add_file(path, path);
}

int cfc_folderinfo::add_file(const char* path, const char* stored_name) {
    if (output == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return CAB_ERROR_OPEN_FILE;
    int status = add_open_file(fd, stored_name != nullptr ? stored_name : path);
    int saved_errno = errno;
    ::close(fd);
    errno = saved_errno;
    return status;
}

int cfc_folderinfo::add_stream(std::istream& in, const char* stored_name, std::time_t modified,
                               bool read_only) {
    if (output == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    if (stored_name == nullptr)
        return CAB_ERROR_NO_FILENAME;
    cfc_fileinfo* entry = nullptr;
    if (int status = new_entry(stored_name, modified, read_only, entry))
        return status;
    return end_entry(entry, read_file(in));
}

int cfc_folderinfo::add_stream(std::istream& in, const char* stored_name, uint16_t date,
                               uint16_t time, uint16_t attribs) {
    if (output == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    if (stored_name == nullptr)
        return CAB_ERROR_NO_FILENAME;
    cfc_fileinfo* entry = nullptr;
    if (int status = new_entry(stored_name, date, time, attribs, entry))
        return status;
    return end_entry(entry, read_file(in));
}

int cfc_folderinfo::add_entry(const char* stored_name, uint16_t folder, uint64_t offset,
                              uint64_t size, uint16_t date, uint16_t time, uint16_t attribs) {
    if (output == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    if (stored_name == nullptr)
        return CAB_ERROR_NO_FILENAME;
    cfc_fileinfo* entry = nullptr;
    if (int status = new_entry(stored_name, date, time, attribs, entry))
        return status;
    entry->iFolder = folder;
    entry->uoffFolderStart = offset;
    entry->cbFile = size;
    files.Append(entry);
    return CAB_STATUS_OK;
}

int cfc_folderinfo::add_open_file(int fd, const char* name) {
    struct stat info;
    if (fstat(fd, &info) != 0)
        return CAB_ERROR_FSTAT;
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return CAB_ERROR_READ;
    }
    cfc_fileinfo* entry = nullptr;
    if (int status = new_entry(name, info.st_mtime, !(info.st_mode & S_IWUSR), entry))
        return status;
    fd_input_buffer buffer(fd);
    std::istream in(&buffer);
    int status = read_file(in);
    if (status == CAB_STATUS_OK && buffer.error() != 0)
        status = CAB_ERROR_READ;
    if (buffer.error() != 0)
        errno = buffer.error();
    return end_entry(entry, status);
}

int cfc_folderinfo::new_entry(const char* name, std::time_t modified, bool read_only,
                              cfc_fileinfo*& entry) {
    // Everything that can be checked is checked before the first byte enters
    // the stream, so these failures leave the folder as it was.
    entry = nullptr;
    uint16_t date = 0, time = 0;
    if (!kistle::encode_dos_date_time(modified, date, time))
        return CAB_ERROR_DATETIME;
    return new_entry(name, date, time, read_only ? ATTRIBUTE_READONLY : 0, entry);
}

int cfc_folderinfo::new_entry(const char* name, uint16_t date, uint16_t time, uint16_t attribs,
                              cfc_fileinfo*& entry) {
    entry = new (std::nothrow) cfc_fileinfo;
    if (entry == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    entry->szName = name;
    if (entry->szName.text == nullptr) {
        delete entry;
        entry = nullptr;
        return CAB_ERROR_OUT_OF_MEMORY;
    }
    entry->iFolder = iFolder;
    entry->date = date;
    entry->time = time;
    entry->attribs = attribs;
    // The entry gets the bytes that really went into the stream: a file can
    // change while it is read, and some report a size of 0 yet yield data.
    entry->uoffFolderStart = stream_size();
    return CAB_STATUS_OK;
}

int cfc_folderinfo::end_entry(cfc_fileinfo* entry, int status) {
    // Bytes taken from a file that then failed stay in the stream without an
    // entry; the next file starts behind them.
    uncompressed_size = stream_size();
    if (status != CAB_STATUS_OK) {
        int saved_errno = errno;
        delete entry;
        errno = saved_errno;
        return status;
    }
    entry->cbFile = uncompressed_size - entry->uoffFolderStart;
    files.Append(entry);
    return CAB_STATUS_OK;
}

int cfc_folderinfo::read_file(std::istream& in) {
    if (compressors != nullptr && typeCompress == COMPRESSION_TYPE_DEFLATE && compressors->ready())
        return read_file_threaded(in);
    return read_file_alone(in);
}

int cfc_folderinfo::read_file_alone(std::istream& in) {
    while (!in.eof()) {
        const uint64_t before = stream_size();
        uint8_t* block = nullptr;
        int32_t size = 0;
        if (int status = read_block(in, block, size))
            return status;
        if (block != nullptr) {
            int status = process_block(block, static_cast<uint16_t>(size));
            release_keeping_errno(block);
            if (status != CAB_STATUS_OK)
                return status;
        }
        // Reported once the bytes are in the stream, where a stop leaves them.
        if (!report_progress(progress, stream_size() - before))
            return CAB_ERROR_STOPPED;
    }
    return CAB_STATUS_OK;
}

int cfc_folderinfo::read_file_threaded(std::istream& in) {
    int status = CAB_STATUS_OK;  // of reading
    int written = CAB_STATUS_OK; // of deflating and writing, block by block in order
    while (!in.eof()) {
        if (compressors->full() && (written = write_oldest()) != CAB_STATUS_OK)
            break;
        const uint64_t before = stream_size();
        uint8_t* block = nullptr;
        int32_t size = 0;
        if ((status = read_block(in, block, size)) != CAB_STATUS_OK)
            break;
        if (block != nullptr)
            compressors->submit(block, static_cast<uint16_t>(size), deflate_level);
        if (!report_progress(progress, stream_size() - before)) {
            status = CAB_ERROR_STOPPED;
            break;
        }
    }
    // The blocks handed over come before anything that failed later.
    while (written == CAB_STATUS_OK && compressors->in_flight() != 0)
        written = write_oldest();
    if (written == CAB_STATUS_OK)
        return status;
    // One thread would have stopped at this block and read no further.
    int saved_errno = errno;
    compressors->discard();
    std::free(pending_block);
    pending_block = nullptr;
    pending_size = 0;
    errno = saved_errno;
    return written;
}

int cfc_folderinfo::read_block(std::istream& in, uint8_t*& block, int32_t& size) {
    block = nullptr;
    size = 0;
    if (in.eof())
        return CAB_STATUS_OK;
    if (blocks_taken() == max_blocks) {
        // No block is left for another byte, not even a short last one.
        if (in.peek() != std::char_traits<char>::eof())
            return CAB_ERROR_TOO_MANY_FILES;
        return in.bad() ? CAB_ERROR_READ : CAB_STATUS_OK;
    }
    uint8_t* buffer = pending_block;
    uint16_t filled = pending_size;
    pending_block = nullptr;
    pending_size = 0;
    if (buffer == nullptr) {
        buffer = static_cast<uint8_t*>(std::malloc(block_size));
        if (buffer == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
    }
    in.read(reinterpret_cast<char*>(buffer) + filled, block_size - filled);
    filled = static_cast<uint16_t>(filled + in.gcount());
    if (read_failed(in)) {
        // The bytes already in the block, earlier files' included, stay.
        if (filled == 0)
            release_keeping_errno(buffer);
        else
            pending_block = buffer;
        pending_size = filled;
        return CAB_ERROR_READ;
    }
    if (filled == 0) {
        std::free(buffer);
    } else if (filled == block_size) {
        block = buffer;
        size = filled;
    } else {
        // A short block waits for the next file of this folder.
        pending_block = buffer;
        pending_size = filled;
    }
    return CAB_STATUS_OK;
}

int cfc_folderinfo::process_block(const uint8_t* data, uint16_t size) {
    if (output == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    uint8_t* out = nullptr;
    uint16_t out_size = 0;
    if (int status = compress_block(out, out_size, data, size)) {
        lose_block();
        return status;
    }
    int status =
        write_block(out, out_size, size, cabinet_datablock::block_checksum(out, out_size, size));
    if (out != data)
        release_keeping_errno(out);
    return status;
}

int cfc_folderinfo::write_block(const uint8_t* payload, uint16_t payload_size, uint16_t size,
                                uint64_t csum) {
    cabinet_datablock_fixed_header header;
    header.cbData = payload_size;
    header.cbUncomp = size;
    header.csum = csum;
    int status = header.write(*output);
    if (status == CAB_STATUS_OK) {
        status = io_write(*output, payload, payload_size);
        bytes_written += payload_size + cabinet_datablock_fixed_header::image_size;
        ++cCFData;
    }
    return status;
}

void cfc_folderinfo::lose_block() {
    // The block may hold the end of an earlier file, whose entry is made:
    // only a failed data stream stops a cabinet from pointing into the gap.
    int saved_errno = errno;
    output->setstate(std::ios::badbit);
    errno = saved_errno;
}

int cfc_folderinfo::write_oldest() {
    parallel_deflate::block_job& job = compressors->oldest();
    int status = job.status;
    if (status == CAB_STATUS_OK)
        status = write_block(job.out, job.out_size, job.size, job.csum);
    else
        lose_block();
    compressors->release_oldest();
    return status;
}

int cfc_folderinfo::compress_block(uint8_t*& out, uint16_t& out_size, const uint8_t* data,
                                   uint16_t size) {
    out = nullptr;
    out_size = 0;
    if (typeCompress == COMPRESSION_TYPE_STORED) {
        out = const_cast<uint8_t*>(data);
        out_size = size;
        return CAB_STATUS_OK;
    }
    if (typeCompress != COMPRESSION_TYPE_DEFLATE)
        return CAB_STATUS_OK; // no payload is defined for other types
    return deflate_block(zstream, data, size, out, out_size);
}

uint64_t cfc_folderinfo::CSUMCompute(const uint8_t* data, uint32_t size, uint64_t seed) {
    return cabinet_datablock::CSUMCompute(data, size, seed);
}

int cfc_folderinfo::freeze() {
    if (pending_size != 0) {
        if (int status = process_block(pending_block, pending_size))
            return status;
        std::free(pending_block);
        pending_block = nullptr;
        pending_size = 0;
    }
    output = nullptr;
    // A frozen folder compresses nothing more.
    end_compressor();
    return CAB_STATUS_OK;
}

void cfc_folderinfo::close(QueueOf<cfc_fileinfo>& cabinet_files, uint64_t& cabinet_size,
                           uint64_t& data_start) {
    // A failure keeps the pending block and the output, for the caller to see.
    if (output != nullptr)
        static_cast<void>(freeze());
    data_start += cabinet_folder_fixed_header::image_size;
    cabinet_size += bytes_written + cabinet_folder_fixed_header::image_size;
    while (files.head != nullptr) {
        cfc_fileinfo* entry = files.TakeHead();
        uint64_t entry_size = cabinet_file_fixed_header::image_size + entry->szName.length() + 1;
        data_start += entry_size;
        cabinet_size += entry_size;
        cabinet_files.Append(entry);
    }
}

int cfc_folderinfo::write_entry(std::ostream& out, uint64_t data_start) const {
    cabinet_folder_fixed_header entry;
    entry.coffCabStart = data_start + data_offset;
    entry.cCFData = cCFData;
    entry.typeCompress = typeCompress;
    return entry.write(out);
}
