#include "tree_walk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include <kistle/cabinet_status.h>

namespace kistle::internal {

namespace {

// Closes a descriptor when it goes out of scope, keeping errno.
struct descriptor {
    int fd = -1;
    ~descriptor() {
        if (fd >= 0) {
            int saved = errno;
            ::close(fd);
            errno = saved;
        }
    }
};

bool same_object(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
           (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT);
}

// The names in an open directory, sorted; false (errno set) when it cannot
// be read to its end.
bool names_in(int fd, std::vector<std::string>& names) {
    int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return false;
    DIR* directory = fdopendir(own);
    if (directory == nullptr) {
        ::close(own);
        return false;
    }
    errno = 0;
    while (const dirent* found = readdir(directory)) {
        if (std::strcmp(found->d_name, ".") != 0 && std::strcmp(found->d_name, "..") != 0)
            names.emplace_back(found->d_name);
        errno = 0;
    }
    const int error = errno;
    closedir(directory);
    errno = error;
    std::sort(names.begin(), names.end());
    return error == 0;
}

bool read_link(int parent, const char* entry, std::size_t size, std::string& target) {
    // A link's size is what lstat says, but it may change meanwhile.
    std::size_t room = size + 1 < 256 ? 256 : size + 1;
    for (;;) {
        target.resize(room);
        ssize_t got = readlinkat(parent, entry, target.data(), room);
        if (got < 0)
            return false;
        if (static_cast<std::size_t>(got) < room) {
            target.resize(static_cast<std::size_t>(got));
            return true;
        }
        room *= 2;
    }
}

} // namespace

void tree_walk::tell(notice::kind what, const std::filesystem::path& source,
                     const std::string& name, int error) const {
    if (notices)
        notices({what, entry_type::file, source, name,
                 error != 0 ? std::error_code(error, std::system_category()) : std::error_code()});
}

outcome tree_walk::walk(const std::filesystem::path& source, const std::string& name) {
    return visit_at(AT_FDCWD, source.c_str(), source, name);
}

outcome tree_walk::visit_at(int parent, const char* entry, const std::filesystem::path& source,
                            const std::string& name) {
    const bool root = parent == AT_FDCWD;
    walk_item item;
    item.source = source;
    item.name = name;
    struct stat found;
    errno = 0;
    if (fstatat(parent, entry, &found, AT_SYMLINK_NOFOLLOW) != 0) {
        if (root)
            return outcome_of(CAB_ERROR_OPEN_FILE, source);
        tell(notice::kind::unreadable, source, name, errno);
        return {};
    }
    if (S_ISLNK(found.st_mode))
        item.type = entry_type::symlink;
    else if (S_ISDIR(found.st_mode))
        item.type = entry_type::directory;
    else if (S_ISREG(found.st_mode))
        item.type = entry_type::file;
    else {
        tell(notice::kind::special_file, source, name);
        return {};
    }
    if (options.filter && !options.filter(name, item.type, source))
        return {};

    if (item.type == entry_type::symlink) {
        item.status = found;
        if (!read_link(parent, entry, static_cast<std::size_t>(found.st_size), item.target)) {
            if (root)
                return outcome_of(CAB_ERROR_OPEN_FILE, source);
            tell(notice::kind::unreadable, source, name, errno);
            return {};
        }
        return visit(item);
    }

    if (keep_function != nullptr && item.type == entry_type::file) {
        item.status = found;
        if (keep_function(context, item))
            return {};
    }

    // Opened without following a link and without waiting on a FIFO that
    // may have taken the file's place since; then it must be what was found.
    const int flags = item.type == entry_type::directory
                          ? O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC
                          : O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    descriptor opened;
    opened.fd = openat(parent, entry, flags);
    if (opened.fd < 0) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR) {
            tell(notice::kind::replaced, source, name);
            return {};
        }
        if (root)
            return outcome_of(CAB_ERROR_OPEN_FILE, source);
        tell(notice::kind::unreadable, source, name, error);
        return {};
    }
    if (fstat(opened.fd, &item.status) != 0 || !same_object(found, item.status)) {
        tell(notice::kind::replaced, source, name);
        return {};
    }
    if (item.type == entry_type::file) {
        int status_flags = fcntl(opened.fd, F_GETFL);
        if (status_flags != -1)
            fcntl(opened.fd, F_SETFL, status_flags & ~O_NONBLOCK);
        item.fd = opened.fd;
        return visit(item);
    }
    std::vector<std::string> children;
    const bool listed = names_in(opened.fd, children);
    const int list_error = errno;
    item.empty = children.empty();
    // A directory given as "." or "/" has no name of its own to store.
    if (!name.empty()) {
        if (outcome failure = visit(item); failure.failed())
            return failure;
    }
    if (!listed)
        tell(notice::kind::unreadable, source, name, list_error);
    return visit_children(opened.fd, children, source, name);
}

outcome tree_walk::visit_children(int fd, const std::vector<std::string>& children,
                                  const std::filesystem::path& source, const std::string& name) {
    for (const std::string& child : children) {
        outcome result =
            visit_at(fd, child.c_str(), source / child, name.empty() ? child : name + "/" + child);
        if (result.failed())
            return result;
    }
    return {};
}

} // namespace kistle::internal
