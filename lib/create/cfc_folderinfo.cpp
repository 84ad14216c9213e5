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

#include "block_pipeline.h"
#include "cabinet_layout.h"
#include "fd_input_buffer.h"

using namespace kistle::internal;

static_assert(cfc_folderinfo::block_size == block_source::block_size, "one block size");
static_assert(cfc_folderinfo::max_blocks == block_pipeline::max_blocks, "one block limit");

namespace {

// Where a folder that was never opened would write: nowhere, a stream that
// has failed.
std::ostream& nowhere() {
    static std::ostream stream(nullptr);
    return stream;
}

} // namespace

cfc_folderinfo::~cfc_folderinfo() {
    release();
}

void cfc_folderinfo::release() {
    std::free(reserve);
    reserve = nullptr;
    delete pipeline;
    pipeline = nullptr;
    pending_block = nullptr;
    zstream = nullptr;
}

void cfc_folderinfo::load_pipeline() {
    if (output != nullptr)
        pipeline->blocks.resume(*output, cCFData, bytes_written);
    pipeline->source.adopt(pending_block, pending_size);
}

void cfc_folderinfo::show_pipeline() {
    // pending_block is the source's, which frees it.
    pending_block = const_cast<uint8_t*>(pipeline->source.partial());
    pending_size = pipeline->source.partial_size();
    cCFData = static_cast<uint16_t>(pipeline->blocks.blocks());
    bytes_written = pipeline->blocks.bytes();
    zstream = pipeline->alone.zlib_state();
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
}

int cfc_folderinfo::open(std::ostream& out, uint64_t offset, uint16_t type, uint16_t index,
                         uint8_t reserve_size, const uint8_t* reserve_bytes) {
    return open(out, offset, type, index, reserve_size, reserve_bytes, Z_DEFAULT_COMPRESSION);
}

int cfc_folderinfo::open(std::ostream& out, uint64_t offset, uint16_t type, uint16_t index,
                         uint8_t reserve_size, const uint8_t* reserve_bytes, int level) {
    block_encoding encoding;
    encoding.type = type;
    encoding.level = level;
    if (int status = open(out, offset, index, encoding))
        return status;
    if (reserve_size != 0) {
        reserve = static_cast<uint8_t*>(std::malloc(reserve_size));
        if (reserve == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        std::memcpy(reserve, reserve_bytes, reserve_size);
    }
    return CAB_STATUS_OK;
}

int cfc_folderinfo::open(std::ostream& out, uint64_t offset, uint16_t index,
                         const block_encoding& encoding) {
    reset();
    output = &out;
    iFolder = index;
    data_offset = offset;
    typeCompress = encoding.type;
    pipeline = new (std::nothrow) block_pipeline(out, encoding);
    if (pipeline == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    const int status = pipeline->start();
    show_pipeline();
    return status;
}

void cfc_folderinfo::use(const pipeline_helpers& helpers) {
    if (pipeline != nullptr && output != nullptr) {
        load_pipeline();
        pipeline->use(helpers);
        show_pipeline();
    }
}

uint64_t cfc_folderinfo::stream_size() const {
    return pipeline->stream_size();
}

int cfc_folderinfo::add_file(const char* path) {
    return add_file(path, path);
}

int cfc_folderinfo::add_file(const char* path, const char* stored_name) {
    if (output == nullptr || pipeline == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    load_pipeline();
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
    if (output == nullptr || pipeline == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    if (stored_name == nullptr)
        return CAB_ERROR_NO_FILENAME;
    load_pipeline();
    cfc_fileinfo* entry = nullptr;
    if (int status = new_entry(stored_name, modified, read_only, entry))
        return status;
    return end_entry(entry, take(in));
}

int cfc_folderinfo::add_stream(std::istream& in, const char* stored_name, uint16_t date,
                               uint16_t time, uint16_t attribs) {
    if (output == nullptr || pipeline == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    if (stored_name == nullptr)
        return CAB_ERROR_NO_FILENAME;
    load_pipeline();
    cfc_fileinfo* entry = nullptr;
    if (int status = new_entry(stored_name, date, time, attribs, entry))
        return status;
    return end_entry(entry, take(in));
}

int cfc_folderinfo::add_entry(const char* stored_name, uint16_t folder, uint64_t offset,
                              uint64_t size, uint16_t date, uint16_t time, uint16_t attribs) {
    if (output == nullptr || pipeline == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    if (stored_name == nullptr)
        return CAB_ERROR_NO_FILENAME;
    load_pipeline();
    cfc_fileinfo* entry = nullptr;
    if (int status = new_entry(stored_name, date, time, attribs, entry))
        return status;
    entry->iFolder = folder;
    entry->uoffFolderStart = offset;
    entry->cbFile = size;
    files.Append(entry);
    return CAB_STATUS_OK;
}

int cfc_folderinfo::adopt_blocks(uint64_t offset, uint16_t blocks, uint64_t bytes, uint64_t size) {
    if (output == nullptr || pipeline == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    if (pending_size != 0 || cCFData != 0 || uncompressed_size != 0)
        return CAB_ERROR_BAD_DATA;
    load_pipeline();
    pipeline->blocks.resume(*output, blocks, bytes);
    show_pipeline();
    data_offset = offset;
    uncompressed_size = size;
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
    int status = take(in);
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

int cfc_folderinfo::take(std::istream& in) {
    const int status = pipeline->take(in);
    const int saved_errno = errno;
    show_pipeline();
    errno = saved_errno;
    return status;
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

int cfc_folderinfo::read_block(std::istream& in, uint8_t*& block, int32_t& size) {
    block = nullptr;
    size = 0;
    // A folder never opened still cuts blocks, and writes none.
    if (pipeline == nullptr)
        pipeline = new (std::nothrow) block_pipeline(nowhere(), block_encoding());
    if (pipeline == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    load_pipeline();
    const int status = pipeline->source.read_block(in, pipeline->room(), block, size);
    const int saved_errno = errno;
    show_pipeline();
    errno = saved_errno;
    return status;
}

int cfc_folderinfo::process_block(const uint8_t* data, uint16_t size) {
    if (output == nullptr || pipeline == nullptr)
        return CAB_ERROR_FROZEN_FOLDER;
    load_pipeline();
    const int status = pipeline->write_block(data, size);
    const int saved_errno = errno;
    show_pipeline();
    errno = saved_errno;
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
    if (pipeline == nullptr)
        return convert_z_error_code(Z_STREAM_ERROR); // no compressor was made
    return pipeline->alone.encode(data, size, out, out_size);
}

uint64_t cfc_folderinfo::CSUMCompute(const uint8_t* data, uint32_t size, uint64_t seed) {
    return cabinet_datablock::CSUMCompute(data, size, seed);
}

int cfc_folderinfo::freeze() {
    if (pipeline != nullptr) {
        load_pipeline();
        const int status = pipeline->flush();
        const int saved_errno = errno;
        show_pipeline();
        errno = saved_errno;
        if (status != CAB_STATUS_OK)
            return status;
        // A frozen folder compresses nothing more.
        pipeline->alone.end();
        zstream = nullptr;
    }
    output = nullptr;
    return CAB_STATUS_OK;
}

void cfc_folderinfo::close(QueueOf<cfc_fileinfo>& cabinet_files, uint64_t& cabinet_size,
                           uint64_t& data_start) {
    // A failure keeps the pending block and the output, for the caller to see.
    if (output != nullptr)
        static_cast<void>(freeze());
    const cabinet_layout share = lay_out(folder_parts(*this));
    data_start += share.data_start;
    cabinet_size += share.cbCabinet;
    while (files.head != nullptr)
        cabinet_files.Append(files.TakeHead());
}

int cfc_folderinfo::write_entry(std::ostream& out, uint64_t data_start) const {
    cabinet_folder_fixed_header entry;
    entry.coffCabStart = data_start + data_offset;
    entry.cCFData = cCFData;
    entry.typeCompress = typeCompress;
    return entry.write(out);
}
