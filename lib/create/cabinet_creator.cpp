#include "cabinet_creator.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "cabinet_folder_header.h"
#include "cabinet_header.h"
#include "cabinet_status.h"
#include "temporary_file.h"

namespace {

// Calls visit on every object of queue in order; the queue ends as it began.
template <class T, class F> void for_each_in(QueueOf<T>& queue, F visit) {
    for (uint64_t left = queue.count; left > 0; --left) {
        T* object = queue.TakeHead();
        queue.Append(object);
        visit(*object);
    }
}

// Creates a new file, readable and writable by its owner only, named by the
// first length bytes of directory and then pattern, which ends in XXXXXX.
// Returns its descriptor and its name in path (the caller frees it), or -1.
int create_private_file(const char* directory, std::size_t length, const char* pattern,
                        char*& path) {
    std::size_t pattern_size = std::strlen(pattern) + 1;
    path = static_cast<char*>(std::malloc(length + pattern_size));
    if (path == nullptr)
        return -1;
    std::memcpy(path, directory, length);
    std::memcpy(path + length, pattern, pattern_size);
    int fd = mkstemp(path);
    if (fd < 0) {
        std::free(path);
        path = nullptr;
    }
    return fd;
}

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
    if (temp_stream.is_open())
        temp_stream.close();
    temp_stream.clear();
    temp_path.Del();
}

int cabinet_creator::open() {
    reset();
    const char* directory_path = std::getenv("TMPDIR");
    if (directory_path == nullptr || *directory_path == '\0')
        directory_path = "/tmp";
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
    if (folders.count >= max_folders)
        return CAB_ERROR_TOO_MANY_FOLDERS;
    cfc_folderinfo* folder = new (std::nothrow) cfc_folderinfo;
    if (folder == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    if (cfc_folderinfo* previous = newest_folder())
        previous->freeze(); // a failure is caught again by close
    // -1, all bits set, when the stream has failed.
    uint64_t offset = static_cast<uint64_t>(static_cast<std::streamoff>(temp_stream.tellp()));
    int status = folder->open(temp_stream, offset, typeCompress,
                              static_cast<uint16_t>(folders.count), 0, nullptr);
    if (status != CAB_STATUS_OK) {
        delete folder;
        return status;
    }
    folders.Append(folder);
    return CAB_STATUS_OK;
}

int cabinet_creator::add_file(const char* path) {
    cfc_folderinfo* folder = newest_folder();
    if (folder == nullptr)
        return CAB_ERROR_NO_FOLDER;
    if (file_count >= max_files)
        return CAB_ERROR_TOO_MANY_FILES;
    int status = folder->add_file(path);
    if (status == CAB_STATUS_OK)
        ++file_count;
    return status;
}

void cabinet_creator::close_all_folders(QueueOf<cfc_fileinfo>& cabinet_files,
                                        uint64_t& cabinet_size, uint64_t& data_start) {
    if (cfc_folderinfo* folder = newest_folder())
        folder->freeze();
    for_each_in(folders, [&](cfc_folderinfo& folder) {
        folder.close(cabinet_files, cabinet_size, data_start);
    });
}

int cabinet_creator::flush_folders() {
    cfc_folderinfo* newest = newest_folder();
    if (newest == nullptr)
        return CAB_STATUS_OK;
    // An older folder that still has an output lost its last block when the
    // next folder began; writing it now would put it among the next folder's.
    int status = CAB_STATUS_OK;
    for_each_in(folders, [&](cfc_folderinfo& folder) {
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
    // Pieces far larger than the streams' buffers go past them: one read and
    // one write each.
    constexpr std::size_t piece = 256 * 1024;
    char* buffer = static_cast<char*>(std::malloc(piece));
    if (buffer == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    int status = CAB_STATUS_OK;
    uint64_t copied = 0;
    do {
        temp_stream.read(buffer, piece);
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
    if (status != CAB_STATUS_OK)
        return status;
    // Anything but the blocks the folders counted would not be the cabinet.
    if (copied != expected)
        return CAB_ERROR_READ;
    out.flush();
    return out.fail() ? CAB_ERROR_WRITE : CAB_STATUS_OK;
}

int cabinet_creator::close(std::ostream& out) {
    // A folder whose last block could not be written leaves the cabinet
    // without data: that must not pass for a finished cabinet.
    if (int status = flush_folders())
        return status;
    QueueOf<cfc_fileinfo> cabinet_files;
    uint64_t data_start = cabinet_fixed_header::image_size;
    cabinet_fixed_header header;
    close_all_folders(cabinet_files, header.cbCabinet, data_start);
    uint64_t data_size = header.cbCabinet - (data_start - cabinet_fixed_header::image_size);

    header.signature = CABINET_SIGNATURE;
    header.cbCabinet += cabinet_fixed_header::image_size;
    header.cFolders = static_cast<uint16_t>(folders.count);
    header.cFiles = static_cast<uint16_t>(cabinet_files.count);
    header.coffFiles = cabinet_fixed_header::image_size +
                       cabinet_folder_fixed_header::image_size * header.cFolders;
    header.versionMinor = 3;
    header.versionMajor = 1;
    if (int status = header.write(out))
        return status;
    file_count = 0;
    while (folders.head != nullptr) {
        cfc_folderinfo* folder = folders.TakeHead();
        int status = folder->write_entry(out, data_start);
        delete folder;
        if (status != CAB_STATUS_OK)
            return status;
    }
    while (cabinet_files.head != nullptr) {
        cfc_fileinfo* entry = cabinet_files.TakeHead();
        int status = entry->write_entry(out);
        delete entry;
        if (status != CAB_STATUS_OK)
            return status;
    }
    if (int status = copy_data(out, data_size))
        return status;
    reset();
    return CAB_STATUS_OK;
}

int cabinet_creator::close(const char* path) {
    struct stat info;
    if (::stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        // A device or a FIFO cannot be replaced: it gets the cabinet itself.
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out.is_open())
            return CAB_ERROR_OPEN_FILE;
        int status = close(out);
        out.close();
        if (status != CAB_STATUS_OK)
            return status;
        return out.fail() ? CAB_ERROR_CLOSE_FILE : CAB_STATUS_OK;
    }
    return close_replacing(path);
}

int cabinet_creator::close_replacing(const char* path) {
    // The cabinet goes to a new file beside path and replaces it only once it
    // is complete, so a failure never costs what was there before.
    const char* slash = std::strrchr(path, '/');
    std::size_t directory_length =
        slash != nullptr ? static_cast<std::size_t>(slash - path + 1) : 0;
    if (path[directory_length] == '\0')
        return CAB_ERROR_OPEN_FILE; // no file name
    char* temp;
    int fd = create_private_file(path, directory_length, ".kistle-cabinet-XXXXXX", temp);
    if (fd < 0)
        return CAB_ERROR_OPEN_FILE;
    // mkstemp makes the file private; give it the mode of any new file.
    mode_t mask = umask(0);
    umask(mask);
    std::ofstream out;
    if (fchmod(fd, 0666 & ~mask) == 0)
        out.open(temp, std::ios::binary | std::ios::trunc);
    int status = out.is_open() ? close(out) : CAB_ERROR_OPEN_FILE;
    out.close();
    if (status == CAB_STATUS_OK && (out.fail() || fsync(fd) != 0))
        status = CAB_ERROR_CLOSE_FILE;
    if (::close(fd) != 0 && status == CAB_STATUS_OK)
        status = CAB_ERROR_CLOSE_FILE;
    if (status == CAB_STATUS_OK && std::rename(temp, path) != 0)
        status = CAB_ERROR_CLOSE_FILE;
    if (status != CAB_STATUS_OK)
        ::unlink(temp);
    std::free(temp);
    return status;
}
