#include "cabinet_reader.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>

#include "cabinet_datablock.h"
#include "cabinet_status.h"
#include "extraction_target.h"
#include "fd_output_buffer.h"
#include "io_helpers.h"

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

// Passes the first `wanted` bytes written to it on to out and keeps the
// rest, at most `room` bytes, in kept.
class split_output : public std::streambuf {
public:
    split_output(std::ostream& out, uint64_t wanted, uint8_t* kept, std::size_t room)
        : out(out), wanted(wanted), kept(kept), room(room) {}

    std::size_t kept_size() const { return size; }

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        std::streamsize passed =
            static_cast<std::streamsize>(std::min<uint64_t>(wanted, static_cast<uint64_t>(count)));
        if (passed > 0) {
            out.write(bytes, passed);
            if (out.fail())
                return 0;
            wanted -= static_cast<uint64_t>(passed);
        }
        std::size_t rest = static_cast<std::size_t>(count - passed);
        if (rest > room - size)
            return passed;
        std::memcpy(kept + size, bytes + passed, rest);
        size += rest;
        return count;
    }

    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }

private:
    std::ostream& out;
    uint64_t wanted;
    uint8_t* kept;
    std::size_t room;
    std::size_t size = 0;
};

// The most bytes a block expands to.
constexpr std::size_t max_block_bytes = 0xFFFF;

} // namespace

void cabinet_reader::release() {
    cabinet_stream.close();
    cabinet_stream.clear();
    file_headers.free_buffers();
    folder_managers.free_buffers();
    header.release_reserve();
    std::free(name_order);
    name_order = nullptr;
    std::free(block_index);
    block_index = nullptr;
    indexed_folder = no_folder;
    index_complete = false;
    tail_size = 0;
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
    if (int status = find_file(name, file))
        return status;
    if (file->iFolder >= folder_managers.count)
        return CAB_ERROR_INVALID_FOLDER;
    if (output_buffer == nullptr) {
        output_buffer = static_cast<char*>(std::malloc(output_buffer_size));
        if (output_buffer == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
    }

    extraction_target target;
    int descriptor = -1;
    if (int status = target.create(name, descriptor))
        return status;
    fd_output_buffer buffer(descriptor, output_buffer, output_buffer_size);
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

int cabinet_reader::find_file(const char* name, const cabinet_file_header*& file) {
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
    file = file_headers[*found];
    return CAB_STATUS_OK;
}

void cabinet_reader::index_folder(uint16_t folder_number) {
    std::free(block_index);
    indexed_folder = folder_number;
    index_complete = false;
    tail_size = 0;
    const cabinet_folder_manager& folder = *folder_managers[folder_number];
    // At most 65536 entries, whatever the cabinet claims elsewhere.
    block_index = static_cast<block_entry*>(
        std::malloc((static_cast<size_t>(folder.cCFData) + 1) * sizeof(block_entry)));
    if (block_index == nullptr)
        return;
    const uint64_t reserve = (header.flags & cfhdrRESERVE_PRESENT) ? header.cbCFData : 0;
    uint64_t position = folder.coffCabStart;
    uint64_t start = 0;
    if (position > static_cast<uint64_t>(INT64_MAX))
        return;
    cabinet_stream.seekg(static_cast<std::streamoff>(position), std::ios::beg);
    cabinet_datablock_fixed_header block;
    // Only the block headers are needed, but the payloads are read past, not
    // sought over: every seek would throw the stream's buffer away.
    for (uint32_t i = 0; i < folder.cCFData; ++i) {
        if (block.read(cabinet_stream) != CAB_STATUS_OK)
            return;
        block_index[i] = {position, start};
        uint64_t skipped = reserve + block.cbData;
        position += cabinet_datablock_fixed_header::image_size + skipped;
        start += block.cbUncomp;
        cabinet_stream.ignore(static_cast<std::streamsize>(skipped));
    }
    block_index[folder.cCFData] = {position, start};
    index_complete = true;
}

uint32_t cabinet_reader::block_holding(uint64_t position) const {
    // The first block whose successor starts beyond position.
    uint32_t low = 0, high = folder_managers[indexed_folder]->cCFData - 1u;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (block_index[middle + 1].start > position)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

int cabinet_reader::extract_range(uint16_t folder_number, uint64_t offset, uint64_t length,
                                  std::ostream& out) {
    cabinet_folder_manager& folder = *folder_managers[folder_number];
    // An earlier extraction may have left the stream at its end or failed.
    cabinet_stream.clear();
    // A range from the folder's first byte needs no index: it begins in the
    // first block. Mostly it is a whole folder of one file.
    if (offset == 0)
        return folder.extract_data(out, cabinet_stream, offset, length, header);
    if (indexed_folder != folder_number)
        index_folder(folder_number);
    cabinet_stream.clear();
    // Beyond the folder's data, or with damage before it, the whole folder is
    // walked so that the statuses are the folder's own.
    if (!index_complete || offset >= block_index[folder.cCFData].start)
        return folder.extract_data(out, cabinet_stream, offset, length, header);

    // A range inside the folder's data runs on to the end of its last block,
    // whose rest is kept: the next range usually begins there.
    const uint64_t folder_size = block_index[folder.cCFData].start;
    const bool inside = length <= folder_size - offset;
    if (inside && offset - tail_start < tail_size) {
        uint16_t skipped = static_cast<uint16_t>(offset - tail_start);
        uint16_t taken = static_cast<uint16_t>(std::min<uint64_t>(length, tail_size - skipped));
        if (int status = io_write(out, block_tail + skipped, taken))
            return status;
        offset += taken;
        length -= taken;
        if (length == 0)
            return CAB_STATUS_OK;
    }
    if (block_tail == nullptr) {
        block_tail = static_cast<uint8_t*>(std::malloc(max_block_bytes));
        if (block_tail == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
    }

    uint32_t first = block_holding(offset);
    uint64_t end =
        inside ? block_index[block_holding(offset + length - 1) + 1].start : offset + length;
    cabinet_folder_manager view;
    view.coffCabStart = block_index[first].position;
    view.cCFData = static_cast<uint16_t>(folder.cCFData - first);
    view.typeCompress = folder.typeCompress;
    split_output split(out, length, block_tail, max_block_bytes);
    std::ostream stretched(&split);
    tail_size = 0;
    int status = view.extract_data(stretched, cabinet_stream, offset - block_index[first].start,
                                   end - offset, header);
    if (status == CAB_STATUS_OK) {
        tail_start = offset + length;
        tail_size = static_cast<uint16_t>(split.kept_size());
    }
    return status;
}
