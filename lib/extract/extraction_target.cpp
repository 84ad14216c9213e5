#include "extraction_target.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cabinet_status.h"

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

// Twelve hex digits for a temporary name; the exclusive create catches clashes.
uint64_t random_suffix() {
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        static uint64_t counter = 0;
        value = (static_cast<uint64_t>(getpid()) << 32) ^
                static_cast<uint64_t>(std::time(nullptr)) ^ (++counter * 0x9E3779B97F4A7C15u);
    }
    return value & 0xFFFFFFFFFFFFu;
}

} // namespace

extraction_target::~extraction_target() {
    if (temporary[0] != '\0')
        unlinkat(directory, temporary, 0);
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

    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(temporary, sizeof temporary, ".kistle-%012llx",
                      static_cast<unsigned long long>(random_suffix()));
        // 0666 lets the umask decide, as for any file a program creates.
        file = openat(directory, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0666);
        if (file >= 0)
            return CAB_STATUS_OK;
        if (errno != EEXIST)
            break;
    }
    temporary[0] = '\0';
    return errno_status(CAB_ERROR_OPEN_STREAM);
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
    // A symbolic link at the target is replaced, never followed.
    if (renameat(directory, temporary, directory, target) != 0)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    temporary[0] = '\0';
    return CAB_STATUS_OK;
}
