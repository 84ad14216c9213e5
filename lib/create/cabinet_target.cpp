#include "cabinet_target.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <kistle/cabinet_status.h>

namespace kistle::internal {

namespace {

// As many links as the kernel follows in one lookup.
constexpr int max_links = 40;

int failed(int error) {
    errno = error;
    return CAB_ERROR_OPEN_FILE;
}

} // namespace

cabinet_target::~cabinet_target() {
    if (in_place >= 0)
        close(in_place);
    if (directory >= 0)
        close(directory);
}

int cabinet_target::descriptor() const {
    return in_place >= 0 ? in_place : replacement.descriptor();
}

bool cabinet_target::resolve(const char* path) {
    std::size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof resolved) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return false;
    }
    std::memcpy(resolved, path, length + 1);
    for (int links = 0;; ++links) {
        struct stat status;
        if (lstat(resolved, &status) != 0 || !S_ISLNK(status.st_mode))
            return true; // a missing file is made; other failures show below
        if (links == max_links) {
            errno = ELOOP;
            return false;
        }
        char link[PATH_MAX];
        ssize_t size = readlink(resolved, link, sizeof link - 1);
        if (size < 0)
            return false;
        link[size] = '\0';
        // A relative link counts from the directory that holds it.
        const char* slash = std::strrchr(resolved, '/');
        std::size_t kept = link[0] == '/' || slash == nullptr ? 0 : slash - resolved + 1;
        if (kept + static_cast<std::size_t>(size) >= sizeof resolved) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::memcpy(resolved + kept, link, static_cast<std::size_t>(size) + 1);
    }
}

int cabinet_target::open(const char* path) {
    directory_blamed = false;
    // What the path finally leads to: a device or a FIFO (such as standard
    // output) gets the cabinet itself, however it is reached.
    struct stat followed;
    bool exists = stat(path, &followed) == 0;
    if (exists && S_ISDIR(followed.st_mode))
        return failed(EISDIR);
    if (exists && !S_ISREG(followed.st_mode))
        return open_in_place(AT_FDCWD, path, O_WRONLY | O_CLOEXEC);
    if (!resolve(path))
        return CAB_ERROR_OPEN_FILE;
    int status = open_at_resolved();
    // A link the kernel follows but that names no path (a deleted file
    // behind /proc/self/fd): that very file is written.
    if (status == CAB_ERROR_OPEN_FILE && exists && errno == ENOENT) {
        directory_blamed = false;
        status = open_in_place(AT_FDCWD, path, O_WRONLY | O_CLOEXEC);
    }
    return status;
}

int cabinet_target::check(const char* path) {
    checking = true;
    int status = open(path);
    int saved = errno;
    replacement.discard();
    errno = saved;
    return status;
}

const char* cabinet_target::refusing_directory() const {
    return directory_blamed ? parent : nullptr;
}

int cabinet_target::open_in_place(int at, const char* file, int flags) {
    if (checking)
        return faccessat(at, file, W_OK, AT_EACCESS) == 0 ? CAB_STATUS_OK : CAB_ERROR_OPEN_FILE;
    in_place = openat(at, file, flags);
    return in_place >= 0 ? CAB_STATUS_OK : CAB_ERROR_OPEN_FILE;
}

int cabinet_target::directory_failed(int error) {
    directory_blamed = true;
    return failed(error);
}

int cabinet_target::open_at_resolved() {
    char* slash = std::strrchr(resolved, '/');
    name = slash != nullptr ? slash + 1 : resolved;
    if (*name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return failed(EISDIR);
    if (std::strlen(name) > NAME_MAX)
        return failed(ENAMETOOLONG);
    parent = ".";
    if (slash == resolved)
        parent = "/";
    else if (slash != nullptr) {
        *slash = '\0';
        parent = resolved;
    }
    directory = ::open(parent, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return directory_failed(errno);

    replacing = fstatat(directory, name, &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (!replacing && errno == EACCES)
        return directory_failed(errno); // the directory cannot be searched
    if (!replacing && errno != ENOENT)
        return CAB_ERROR_OPEN_FILE; // a name too long for this file system, for one
    if (replacing && !S_ISREG(existing.st_mode))
        return failed(S_ISDIR(existing.st_mode) ? EISDIR : EEXIST); // changed meanwhile
    int refused = EPERM;
    if (!replacing || !rename_refused()) {
        // 0666 lets the kernel say what mode a new file gets here.
        if (replacement.create(directory, 0666) == CAB_STATUS_OK) {
            mode = replacing ? existing.st_mode & 07777 : replacement.created_mode();
            return CAB_STATUS_OK;
        }
        refused = errno;
    }
    if (replacing && in_place_allowed && (refused == EACCES || refused == EPERM) &&
        open_in_place(directory, name, O_WRONLY | O_NOFOLLOW | O_CLOEXEC) == CAB_STATUS_OK)
        return CAB_STATUS_OK;
    return directory_failed(refused);
}

// In a sticky directory only the owner of a file or of the directory may
// rename over it (or a process that may change any file's owner: root).
bool cabinet_target::rename_refused() const {
    struct stat parent;
    if (fstat(directory, &parent) != 0 || !(parent.st_mode & S_ISVTX))
        return false;
    uid_t self = geteuid();
    return self != 0 && existing.st_uid != self && parent.st_uid != self;
}

int cabinet_target::finish() {
    if (in_place >= 0) {
        struct stat status;
        if (fstat(in_place, &status) == 0 && S_ISREG(status.st_mode)) {
            // What was longer than this cabinet goes.
            off_t length = lseek(in_place, 0, SEEK_CUR);
            if (length < 0 || ftruncate(in_place, length) != 0 || fsync(in_place) != 0)
                return CAB_ERROR_CLOSE_FILE;
        }
        int fd = in_place;
        in_place = -1;
        return close(fd) == 0 ? CAB_STATUS_OK : CAB_ERROR_CLOSE_FILE;
    }
    int fd = replacement.descriptor();
    if (fsync(fd) != 0)
        return CAB_ERROR_CLOSE_FILE;
    if (replacing) {
        // The owner first: a change of owner may clear the set-id bits that
        // the mode then restores. Only a privileged process may give the file
        // away, but the group may be one the process belongs to.
        if (fchown(fd, existing.st_uid, existing.st_gid) != 0) {
            if (errno != EPERM)
                return CAB_ERROR_CLOSE_FILE;
            if (fchown(fd, static_cast<uid_t>(-1), existing.st_gid) != 0 && errno != EPERM)
                return CAB_ERROR_CLOSE_FILE;
        }
    }
    return replacement.publish(name, mode);
}

} // namespace kistle::internal
