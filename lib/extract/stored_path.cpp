#include "stored_path.h"

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

#include "errno_status.h"
#include "stored_name.h"

namespace kistle::internal {

namespace {

// Components that name no directory of their own: the separators of a
// leading or doubled separator leave empty ones.
bool skipped(const char* component) {
    return *component == '\0' || std::strcmp(component, ".") == 0;
}

} // namespace

int open_component(int parent, const char* component, bool make, mode_t mode, int& opened) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    opened = openat(parent, component, flags);
    if (opened < 0 && errno == ENOENT && make) {
        if (mkdirat(parent, component, mode) != 0 && errno != EEXIST)
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

stored_path::~stored_path() {
    std::free(names);
}

int stored_path::set(const char* name, bool directory) {
    std::free(names);
    names = nullptr;
    target = nullptr;
    std::size_t length = std::strlen(name);
    while (directory && length > 0 && is_name_separator(name[length - 1]))
        --length;
    names = static_cast<char*>(std::malloc(length + 1));
    if (names == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    std::memcpy(names, name, length);
    names[length] = '\0';
    if (int status = check_stored_name(names)) {
        std::free(names);
        names = nullptr;
        return status;
    }
    // Both separators split the name; the text after the last one names the entry.
    target = names;
    for (char* p = names; *p != '\0'; ++p) {
        if (is_name_separator(*p)) {
            *p = '\0';
            target = p + 1;
        }
    }
    return CAB_STATUS_OK;
}

char* stored_path::join(const char* end) const {
    char* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(end - names) + 2));
    if (text == nullptr)
        return nullptr;
    char* out = text;
    for (const char* component = names; component < end; component += std::strlen(component) + 1) {
        if (skipped(component))
            continue;
        if (out != text)
            *out++ = '/';
        std::size_t length = std::strlen(component);
        std::memcpy(out, component, length);
        out += length;
    }
    if (out == text)
        *out++ = '.';
    *out = '\0';
    return text;
}

char* stored_path::joined() const {
    return join(target + std::strlen(target) + 1);
}

unsigned stored_path::depth() const {
    unsigned count = 1;
    for (const char* component = names; component < target; component += std::strlen(component) + 1)
        count += skipped(component) ? 0 : 1;
    return count;
}

bool stored_path::open_directory_at_once(int base, int& directory) const {
    return open_at_once(base, target, directory);
}

bool stored_path::open_whole_at_once(int base, int& directory) const {
    return names != nullptr && open_at_once(base, target + std::strlen(target) + 1, directory);
}

bool stored_path::open_at_once(int base, const char* end, int& directory) const {
#ifdef SYS_openat2
    // A kernel (or a tool such as valgrind) that does not know the call
    // says so once.
    static std::atomic<bool> unknown{false};
    if (unknown.load(std::memory_order_relaxed))
        return false;
    char* path = join(end);
    if (path == nullptr)
        return false;
    open_how how = {};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    long opened = syscall(SYS_openat2, base, path, &how, sizeof how);
    if (opened < 0 && errno == ENOSYS)
        unknown.store(true, std::memory_order_relaxed);
    std::free(path);
    if (opened < 0)
        return false;
    directory = static_cast<int>(opened);
    return true;
#else
    static_cast<void>(base);
    static_cast<void>(end);
    static_cast<void>(directory);
    return false;
#endif
}

int stored_path::open_directory(int base, bool make, int& directory) const {
    directory = -1;
    if (names == nullptr) {
        errno = EINVAL;
        return CAB_ERROR_OPEN_STREAM;
    }
    if (open_directory_at_once(base, directory))
        return CAB_STATUS_OK;
    directory = openat(base, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    // Leading separators leave empty components, so an absolute name lands
    // inside the base directory.
    for (const char* component = names; component < target;
         component += std::strlen(component) + 1) {
        if (skipped(component))
            continue;
        int next = -1;
        int status = open_component(directory, component, make, 0777, next);
        close(directory);
        directory = next;
        if (status != CAB_STATUS_OK)
            return status;
    }
    return CAB_STATUS_OK;
}

} // namespace kistle::internal
