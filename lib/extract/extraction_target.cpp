#include "extraction_target.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <kistle/cabinet_status.h>

#include "stored_name.h"

namespace kistle::internal {

namespace {

bool is_dot(const char* component) {
    return std::strcmp(component, ".") == 0;
}

// Permission problems are reported as such; anything else as fallback.
int errno_status(int fallback) {
    return errno == EACCES || errno == EPERM ? CAB_ERROR_ACCESS_DENIED : fallback;
}

// Opens the directory component inside parent, creating it when it is
// missing. A symbolic link is never followed.
int open_directory(int parent, const char* component, int& opened) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    opened = openat(parent, component, flags);
    if (opened < 0 && errno == ENOENT) {
        if (mkdirat(parent, component, 0777) != 0 && errno != EEXIST)
            return errno_status(CAB_ERROR_MKDIR);
        opened = openat(parent, component, flags);
    }
    if (opened >= 0)
        return CAB_STATUS_OK;
    int open_errno = errno;
    struct stat status;
    if (fstatat(parent, component, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
        return CAB_ERROR_ACCESS_DENIED;
    errno = open_errno;
    return errno_status(CAB_ERROR_MKDIR);
}

} // namespace

extraction_target::~extraction_target() {
    temporary.discard();
    if (directory >= 0)
        close(directory);
    std::free(names);
}

int extraction_target::create(const char* base, const char* stored_name, existing policy,
                              int& file) {
    file = -1;
    keep = policy == existing::keep;
    if (int status = check_stored_name(stored_name))
        return status;
    std::size_t size = std::strlen(stored_name) + 1;
    names = static_cast<char*>(std::malloc(size));
    if (names == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    std::memcpy(names, stored_name, size);

    // Both separators split the name; the text after the last one names the file.
    char* last = names;
    for (char* p = names; *p != '\0'; ++p) {
        if (is_name_separator(*p)) {
            *p = '\0';
            last = p + 1;
        }
    }
    target = last;

    if (int status = open_directories(base))
        return status;
    // A target that is there already is left alone; commit checks again, as
    // it may appear meanwhile.
    struct stat status;
    if (keep && fstatat(directory, target, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        found = true;
        return CAB_STATUS_OK;
    }

    // 0666 lets the kernel decide the mode of the finished file, as for any
    // file a program creates.
    if (temporary.create(directory, 0666) != CAB_STATUS_OK)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    // The caller's own descriptor: a file without a name lives only while
    // one of the temporary file's is open.
    file = fcntl(temporary.descriptor(), F_DUPFD_CLOEXEC, 0);
    if (file < 0)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    return CAB_STATUS_OK;
}

bool extraction_target::open_directories_at_once(int from) {
#ifdef SYS_openat2
    // A kernel (or a tool such as valgrind) that does not know the call
    // says so once.
    static std::atomic<bool> unknown{false};
    if (unknown.load(std::memory_order_relaxed))
        return false;
    // The components before the target joined by '/'; "." for none.
    char* path = static_cast<char*>(std::malloc(static_cast<std::size_t>(target - names) + 2));
    if (path == nullptr)
        return false;
    char* end = path;
    for (const char* component = names; component < target;
         component += std::strlen(component) + 1) {
        if (*component == '\0' || is_dot(component))
            continue;
        if (end != path)
            *end++ = '/';
        std::size_t length = std::strlen(component);
        std::memcpy(end, component, length);
        end += length;
    }
    if (end == path)
        *end++ = '.';
    *end = '\0';
    open_how how = {};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    long opened = syscall(SYS_openat2, from, path, &how, sizeof how);
    if (opened < 0 && errno == ENOSYS)
        unknown.store(true, std::memory_order_relaxed);
    std::free(path);
    if (opened < 0)
        return false;
    directory = static_cast<int>(opened);
    return true;
#else
    static_cast<void>(from);
    return false;
#endif
}

int extraction_target::open_directories(const char* base) {
    // The base directory is the caller's choice: a link to it is followed.
    const bool current = std::strcmp(base, ".") == 0;
    int from = current ? AT_FDCWD : open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (from == -1)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    if (open_directories_at_once(from)) {
        if (!current)
            close(from);
        return CAB_STATUS_OK;
    }
    directory = current ? open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : from;
    if (directory < 0)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    // Leading separators leave empty components, so an absolute name lands
    // inside the base directory.
    for (const char* component = names; component < target;
         component += std::strlen(component) + 1) {
        if (*component == '\0' || is_dot(component))
            continue;
        int next = -1;
        int status = open_directory(directory, component, next);
        close(directory);
        directory = next;
        if (status != CAB_STATUS_OK)
            return status;
    }
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
    return commit(mode);
}

int extraction_target::commit(mode_t mode) {
    if (found)
        return CAB_STATUS_OK;
    // A symbolic link at the target is replaced, never followed; one that is
    // kept counts as an existing target.
    if (temporary.publish(target, mode, !keep) == CAB_STATUS_OK)
        return CAB_STATUS_OK;
    if (keep && errno == EEXIST) {
        found = true;
        temporary.discard();
        return CAB_STATUS_OK;
    }
    return errno_status(CAB_ERROR_OPEN_STREAM);
}

} // namespace kistle::internal
