#include <kistle/cabinet_creator.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_header.h>
#include <kistle/cabinet_status.h>

#include "block_encoder.h"
#include "block_pipeline.h"
#include "cabinet_extras.h"
#include "cabinet_layout.h"
#include "cabinet_target.h"
#include "fd_output_buffer.h"
#include "parallel_encoder.h"
#include "temporary_file.h"
#include "worker_pool.h"

using namespace kistle::internal;

namespace {

// Cabinets are written through a buffer of this size; the data file is
// copied in pieces of it.
constexpr std::size_t piece_size = 256 * 1024;

// Opens stream on a new private file in directory (whose path is
// directory_path) that has no name once this returns: the stream keeps the
// file open through a path of its own, and the temporary file then lets go
// of its descriptor, or of its name where it had to have one.
bool open_data_file(std::fstream& stream, int directory, const char* directory_path,
                    bool allow_unnamed) {
    temporary_file data;
    if (data.create(directory, 0600, allow_unnamed) != CAB_STATUS_OK)
        return false;
    char path[PATH_MAX];
    int length = data.name()[0] != '\0'
                     ? std::snprintf(path, sizeof path, "%s/%s", directory_path, data.name())
                     : std::snprintf(path, sizeof path, "/proc/self/fd/%d", data.descriptor());
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path)
        return false;
    stream.open(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    return stream.is_open();
}

} // namespace

cfc_folderinfo* cabinet_creator::newest_folder() const {
    // A queue's tail is stale once its head is gone.
    return folders.head != nullptr ? folders.tail : nullptr;
}

void cabinet_creator::reset() {
    folders.Clear();
    file_count = 0;
    end_threads();
    if (temp_stream.is_open())
        temp_stream.close();
    temp_stream.clear();
    temp_path.Del();
}

int cabinet_creator::open() {
    reset();
    const char* directory_path = temporary_directory();
    int directory = ::open(directory_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return CAB_ERROR_TEMP_FILE;
    // Without /proc a file without a name cannot be opened by a stream.
    bool opened = open_data_file(temp_stream, directory, directory_path, true) ||
                  open_data_file(temp_stream, directory, directory_path, false);
    ::close(directory);
    return opened ? CAB_STATUS_OK : CAB_ERROR_TEMP_FILE;
}

int cabinet_creator::new_folder(uint16_t typeCompress) {
    return new_folder(typeCompress, -1);
}

int cabinet_creator::new_folder(uint16_t typeCompress, int level) {
    block_encoding encoding;
    encoding.type = typeCompress;
    encoding.level = level;
    return new_folder(encoding);
}

int cabinet_creator::new_folder(const block_encoding& encoding) {
    if (folders.count >= folder_limit)
        return CAB_ERROR_TOO_MANY_FOLDERS;
    cfc_folderinfo* folder = new (std::nothrow) cfc_folderinfo;
    if (folder == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    if (cfc_folderinfo* previous = newest_folder())
        static_cast<void>(previous->freeze()); // a failure is caught again by close
    // -1, all bits set, when the stream has failed.
    uint64_t offset = static_cast<uint64_t>(static_cast<std::streamoff>(temp_stream.tellp()));
    int status = folder->open(temp_stream, offset, static_cast<uint16_t>(folders.count), encoding);
    if (status != CAB_STATUS_OK) {
        delete folder;
        return status;
    }
    folders.Append(folder);
    lend_newest();
    return CAB_STATUS_OK;
}

void cabinet_creator::set_threads(unsigned count) {
    thread_count = count;
    // Idle between calls; the next file that needs them starts them anew.
    end_threads();
    lend_newest();
}

void cabinet_creator::set_progress(const progress_callback* callback) {
    progress = callback;
    lend_newest();
}

void cabinet_creator::set_pipelined(bool on) {
    pipelined = on;
    lend_newest();
}

void cabinet_creator::end_threads() {
    if (compressors == nullptr)
        return;
    // The newest folder's blocks in flight are written first.
    if (cfc_folderinfo* folder = newest_folder())
        folder->use(pipeline_helpers());
    delete compressors;
    compressors = nullptr;
}

pipeline_helpers cabinet_creator::helpers() {
    pipeline_helpers lent;
    lent.progress = progress;
    lent.hold = pipelined;
    unsigned count = thread_count != 0 ? thread_count : worker_pool::cores();
    if (count > 1 && compressors == nullptr)
        compressors = new (std::nothrow) parallel_encoder(count); // none: one thread it is
    if (count > 1)
        lent.threads = compressors;
    return lent;
}

void cabinet_creator::lend_newest() {
    if (cfc_folderinfo* folder = newest_folder())
        folder->use(helpers());
}

int cabinet_creator::folder_for_entry(cfc_folderinfo*& folder) const {
    folder = newest_folder();
    if (folder == nullptr)
        return CAB_ERROR_NO_FOLDER;
    if (file_count >= entry_limit)
        return CAB_ERROR_TOO_MANY_FILES;
    return CAB_STATUS_OK;
}

int cabinet_creator::add_file(const char* path) {
    return add_file(path, path);
}

int cabinet_creator::add_file(const char* path, const char* stored_name) {
    cfc_folderinfo* folder = nullptr;
    int status = folder_for_entry(folder);
    if (status == CAB_STATUS_OK)
        status = folder->add_file(path, stored_name);
    if (status == CAB_STATUS_OK)
        ++file_count;
    return status;
}

int cabinet_creator::add_stream(std::istream& in, const char* stored_name, std::time_t modified,
                                bool read_only) {
    cfc_folderinfo* folder = nullptr;
    int status = folder_for_entry(folder);
    if (status == CAB_STATUS_OK)
        status = folder->add_stream(in, stored_name, modified, read_only);
    if (status == CAB_STATUS_OK)
        ++file_count;
    return status;
}

int cabinet_creator::add_stream(std::istream& in, const char* stored_name, uint16_t date,
                                uint16_t time, uint16_t attribs) {
    cfc_folderinfo* folder = nullptr;
    int status = folder_for_entry(folder);
    if (status == CAB_STATUS_OK)
        status = folder->add_stream(in, stored_name, date, time, attribs);
    if (status == CAB_STATUS_OK)
        ++file_count;
    return status;
}

int cabinet_creator::add_shared_entry(const char* stored_name, uint16_t folder_number,
                                      uint64_t offset, uint64_t size, uint16_t date, uint16_t time,
                                      uint16_t attribs) {
    cfc_folderinfo* folder = nullptr;
    int status = folder_for_entry(folder);
    if (status == CAB_STATUS_OK)
        status = folder->add_entry(stored_name, folder_number, offset, size, date, time, attribs);
    if (status == CAB_STATUS_OK)
        ++file_count;
    return status;
}

void cabinet_creator::close_all_folders(QueueOf<cfc_fileinfo>& cabinet_files,
                                        uint64_t& cabinet_size, uint64_t& data_start) {
    if (cfc_folderinfo* folder = newest_folder())
        static_cast<void>(folder->freeze()); // a failure shows when the cabinet is written
    folders.ForEach(
        [&](cfc_folderinfo& folder) { folder.close(cabinet_files, cabinet_size, data_start); });
}

int cabinet_creator::flush_folders() {
    cfc_folderinfo* newest = newest_folder();
    if (newest == nullptr)
        return CAB_STATUS_OK;
    // An older folder that still has an output lost its last block when the
    // next folder began; writing it now would put it among the next folder's.
    int status = CAB_STATUS_OK;
    folders.ForEach([&](const cfc_folderinfo& folder) {
        if (&folder != newest && folder.output != nullptr)
            status = CAB_ERROR_WRITE;
    });
    if (status != CAB_STATUS_OK)
        return status;
    return newest->freeze();
}

int cabinet_creator::copy_data(std::ostream& out, uint64_t expected) {
    temp_stream.seekg(0);
    if (temp_stream.fail())
        return CAB_ERROR_SEEK;
    char* buffer = static_cast<char*>(std::malloc(piece_size));
    if (buffer == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    int status = CAB_STATUS_OK;
    uint64_t copied = 0;
    do {
        temp_stream.read(buffer, piece_size);
        if (temp_stream.bad()) {
            status = CAB_ERROR_READ;
            break;
        }
        out.write(buffer, temp_stream.gcount());
        if (out.fail()) {
            status = CAB_ERROR_WRITE;
            break;
        }
        copied += static_cast<uint64_t>(temp_stream.gcount());
    } while (!temp_stream.eof());
    std::free(buffer);
    // Reading to the end is no failure of the data file, and blocks of a
    // later folder go behind the others.
    if (!temp_stream.bad()) {
        temp_stream.clear();
        temp_stream.seekp(0, std::ios::end);
    }
    if (status != CAB_STATUS_OK)
        return status;
    // Anything but the blocks the folders counted would not be the cabinet.
    if (copied != expected)
        return CAB_ERROR_READ;
    out.flush();
    return out.fail() ? CAB_ERROR_WRITE : CAB_STATUS_OK;
}

int cabinet_creator::write_directory(std::ostream& out, const cabinet_extras& extras,
                                     const cabinet_parts& folder_share, uint16_t entries) {
    const bool leading = extras.leading_blocks != nullptr;
    cabinet_header header;
    header.signature = CABINET_SIGNATURE;
    header.versionMinor = 3;
    header.versionMajor = 1;
    header.cFolders = static_cast<uint16_t>(folders.count + (leading ? 1 : 0));
    header.cFiles = entries;
    if (extras.header_reserve_size != 0) {
        header.flags |= cfhdrRESERVE_PRESENT;
        header.cbCFHeader = extras.header_reserve_size;
        header.abReserve = static_cast<uint8_t*>(std::malloc(extras.header_reserve_size));
        if (header.abReserve == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        std::memcpy(header.abReserve, extras.header_reserve, extras.header_reserve_size);
    }
    cabinet_parts parts = folder_share;
    parts.header_size = header_size_of(header);
    parts.folders = header.cFolders;
    parts.leading_size = leading ? extras.leading_size : 0;
    const cabinet_layout layout = lay_out(parts);
    header.coffFiles = layout.coffFiles;
    header.cbCabinet = layout.cbCabinet;

    int status = header.write(out);
    // After a failure the rest is passed over.
    folders.ForEach([&](const cfc_folderinfo& folder) {
        if (status == CAB_STATUS_OK)
            status = folder.write_entry(out, layout.folders_data);
    });
    if (status == CAB_STATUS_OK && leading) {
        cabinet_folder_fixed_header entry;
        entry.coffCabStart = layout.data_start;
        entry.cCFData = extras.leading_block_count;
        entry.typeCompress = extras.leading_type;
        status = entry.write(out);
    }
    folders.ForEach([&](const cfc_folderinfo& folder) {
        folder.files.ForEach([&](const cfc_fileinfo& entry) {
            if (status == CAB_STATUS_OK)
                status = entry.write_entry(out);
        });
    });
    return status;
}

int cabinet_creator::write_cabinet(std::ostream& out, const cabinet_extras& extras) {
    // More entries or folders than one cabinet counts are for several cabinets.
    if (file_count > max_files || folders.count > max_folders)
        return CAB_ERROR_TOO_MANY_FILES;
    // A folder whose last block could not be written leaves the cabinet
    // without data: that must not pass for a finished cabinet.
    if (int status = flush_folders())
        return status;
    // Every folder's share, as cfc_folderinfo::close adds it up.
    cabinet_parts share;
    share.header_size = 0;
    uint16_t entries = 0; // add_file keeps them below max_files
    folders.ForEach([&](const cfc_folderinfo& folder) {
        const cabinet_parts own = folder_parts(folder);
        share.entries_size += own.entries_size;
        share.data_size += own.data_size;
        entries = static_cast<uint16_t>(entries + folder.files.count);
    });
    if (int status = write_front(out, extras, [&](std::ostream& to) {
            return write_directory(to, extras, share, entries);
        }))
        return status;
    if (extras.trailing_size > share.data_size)
        return CAB_ERROR_BAD_DATA;
    if (int status = copy_data(out, share.data_size - extras.trailing_size))
        return status;
    if (extras.trailing == nullptr)
        return CAB_STATUS_OK;
    if (int status = extras.trailing(extras.trailing_context, out))
        return status;
    out.flush();
    return out.fail() ? CAB_ERROR_WRITE : CAB_STATUS_OK;
}

int cabinet_creator::close(std::ostream& out) {
    return close(out, cabinet_extras());
}

int cabinet_creator::close(const char* path) {
    return close(path, cabinet_extras());
}

int cabinet_creator::close(std::ostream& out, const cabinet_extras& extras) {
    int status = write_cabinet(out, extras);
    if (status == CAB_STATUS_OK)
        reset();
    return status;
}

int cabinet_creator::close(const char* path, const cabinet_extras& extras) {
    cabinet_target own;
    cabinet_target& target = extras.target != nullptr ? *extras.target : own;
    if (extras.target == nullptr) {
        if (int status = target.open(path))
            return status;
    }
    char* buffer = static_cast<char*>(std::malloc(piece_size));
    if (buffer == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    int status = CAB_STATUS_OK;
    // The target keeps its own descriptor to finish with.
    int fd = fcntl(target.descriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        status = CAB_ERROR_WRITE;
    } else {
        fd_output_buffer stream_buffer(fd, buffer, piece_size);
        std::ostream out(&stream_buffer);
        status = write_cabinet(out, extras);
        if (!stream_buffer.close() && status == CAB_STATUS_OK)
            status = CAB_ERROR_WRITE;
    }
    std::free(buffer);
    if (status == CAB_STATUS_OK)
        status = target.finish();
    if (status == CAB_STATUS_OK)
        reset();
    return status;
}
