#include "extraction_target.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kistle/cabinet_status.h>

namespace kistle::internal {

namespace {

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

bool is_dot(const char* component) {
    return std::strcmp(component, ".") == 0;
}

bool is_dot_dot(const char* component) {
    return std::strcmp(component, "..") == 0;
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

int extraction_target::create(const char* stored_name, int& file) {
    file = -1;
    std::size_t size = std::strlen(stored_name) + 1;
    names = static_cast<char*>(std::malloc(size));
    if (names == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    std::memcpy(names, stored_name, size);

    // Both separators split the name; the text after the last one must name a file.
    char* last = names;
    for (char* p = names; *p != '\0'; ++p) {
        if (is_separator(*p)) {
            *p = '\0';
            last = p + 1;
        }
    }
    if (*last == '\0' || is_dot(last) || is_dot_dot(last))
        return CAB_ERROR_ACCESS_DENIED;
    for (char* component = names; component < last; component += std::strlen(component) + 1) {
        if (is_dot_dot(component))
            return CAB_ERROR_ACCESS_DENIED;
    }
    target = last;

    if (int status = open_directories())
        return status;

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

int extraction_target::open_directories() {
    // Leading separators leave empty components, so an absolute name lands
    // inside the current directory.
    directory = AT_FDCWD;
    for (const char* component = names; component < target;
         component += std::strlen(component) + 1) {
        if (*component == '\0' || is_dot(component))
            continue;
        int next = -1;
        int status = open_directory(directory, component, next);
        if (directory >= 0)
            close(directory);
        directory = next;
        if (status != CAB_STATUS_OK)
            return status;
    }
    if (directory == AT_FDCWD) {
        directory = openat(AT_FDCWD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory < 0)
            return errno_status(CAB_ERROR_OPEN_STREAM);
    }
    return CAB_STATUS_OK;
}

int extraction_target::commit() {
    mode_t mode = temporary.created_mode();
    struct stat status;
    if (fstat(temporary.descriptor(), &status) != 0)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    if (!(status.st_mode & S_IWUSR))
        mode &= ~static_cast<mode_t>(0222);
    // A symbolic link at the target is replaced, never followed.
    if (temporary.publish(target, mode) != CAB_STATUS_OK)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    return CAB_STATUS_OK;
}

} // namespace kistle::internal
