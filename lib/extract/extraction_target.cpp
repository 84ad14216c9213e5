#include "extraction_target.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kistle/cabinet_status.h>

#include "errno_status.h"
#include "stored_name.h"

namespace kistle::internal {

extraction_target::~extraction_target() {
    temporary.discard();
    if (directory >= 0)
        close(directory);
}

int extraction_target::create(const char* base, const char* stored_name, existing policy,
                              int& file) {
    file = -1;
    // A refused name is refused before anything is opened.
    if (int status = check_stored_name(stored_name))
        return status;
    // The base directory is the caller's choice: a link to it is followed.
    const bool current = std::strcmp(base, ".") == 0;
    int opened = current ? AT_FDCWD : open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened == -1)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    int status = create_at(opened, stored_name, policy, file);
    if (!current) {
        int saved = errno;
        close(opened);
        errno = saved;
    }
    return status;
}

int extraction_target::create_at(int base, const char* stored_name, existing policy, int& file) {
    file = -1;
    keep = policy == existing::keep;
    if (int status = path.set(stored_name))
        return status;
    if (int status = path.open_directory(base, true, directory))
        return status;
    // A target that is there already is left alone; commit checks again, as
    // it may appear meanwhile.
    struct stat status;
    if (keep && fstatat(directory, path.last(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        found = true;
        return CAB_STATUS_OK;
    }

    // 0666 lets the kernel decide the mode of the finished file, as for any
    // file a program creates. The directory stays open until the file is
    // published or discarded.
    if (temporary.create_borrowing(directory, 0666) != CAB_STATUS_OK)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    // The caller's own descriptor: a file without a name lives only while
    // one of the temporary file's is open.
    file = fcntl(temporary.descriptor(), F_DUPFD_CLOEXEC, 0);
    if (file < 0)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    return CAB_STATUS_OK;
}

int extraction_target::commit() {
    if (found)
        return CAB_STATUS_OK;
    mode_t mode = temporary.created_mode();
    struct stat status;
    if (fstat(temporary.descriptor(), &status) != 0)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    if (!(status.st_mode & S_IWUSR))
        mode &= ~static_cast<mode_t>(0222);
    return publish(mode, (status.st_mode & 07777) == mode);
}

int extraction_target::commit(mode_t mode, bool has_mode) {
    return found ? CAB_STATUS_OK : publish(mode & 07777, has_mode);
}

int publish_file(temporary_file& file, const char* name, mode_t mode, bool keep, bool& kept,
                 bool has_mode) {
    // A symbolic link at the target is replaced, never followed; one that is
    // kept counts as an existing target.
    if (file.publish(name, mode, !keep, has_mode) == CAB_STATUS_OK)
        return CAB_STATUS_OK;
    if (keep && errno == EEXIST) {
        kept = true;
        file.discard();
        return CAB_STATUS_OK;
    }
    return errno_status(CAB_ERROR_OPEN_STREAM);
}

int extraction_target::publish(mode_t mode, bool has_mode) {
    return publish_file(temporary, path.last(), mode, keep, found, has_mode);
}

} // namespace kistle::internal
