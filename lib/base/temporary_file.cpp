#include "temporary_file.h"

#include <atomic>
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

#include <kistle/cabinet_status.h>

namespace kistle::internal {

namespace {

constexpr mode_t private_mode = 0600;

std::atomic<bool> unnamed_allowed{true};

// Named files waiting to be published or discarded, for a signal handler to
// remove. A slot is claimed, filled and then marked set, so the handler only
// ever reads complete entries.
enum slot_state { slot_free, slot_filling, slot_set };

struct leftover {
    std::atomic<int> state;
    int directory;
    char name[24];
};

leftover leftovers[128];

int register_leftover(int directory, const char* name) {
    for (int i = 0; i < static_cast<int>(sizeof leftovers / sizeof leftovers[0]); ++i) {
        int expected = slot_free;
        if (!leftovers[i].state.compare_exchange_strong(expected, slot_filling))
            continue;
        leftovers[i].directory = directory;
        std::snprintf(leftovers[i].name, sizeof leftovers[i].name, "%s", name);
        leftovers[i].state.store(slot_set, std::memory_order_release);
        return i;
    }
    return -1;
}

void unregister_leftover(int& slot) {
    if (slot < 0)
        return;
    leftovers[slot].state.store(slot_filling);
    leftovers[slot].state.store(slot_free);
    slot = -1;
}

// Twelve hex digits; the exclusive create or link catches clashes.
void random_name(char (&name)[24]) {
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        static std::atomic<uint64_t> counter{0};
        value = (static_cast<uint64_t>(getpid()) << 32) ^
                static_cast<uint64_t>(std::time(nullptr)) ^ (++counter * 0x9E3779B97F4A7C15u);
    }
    std::snprintf(name, sizeof name, ".kistle-%012llx",
                  static_cast<unsigned long long>(value & 0xFFFFFFFFFFFFu));
}

// Runs make(name) with fresh names until it succeeds or fails otherwise than
// with EEXIST, which means the name is taken.
template <class Make> bool with_fresh_name(char (&name)[24], Make make) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        random_name(name);
        if (make(name))
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Creates a new file with a fresh name; never opens anything already there.
int create_named(int directory, mode_t mode, char (&name)[24]) {
    int fd = -1;
    with_fresh_name(name, [&](const char* fresh) {
        fd = openat(directory, fresh, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        return fd >= 0;
    });
    return fd;
}

// The mode a new file created with mode gets in directory, learned from an
// empty file that is removed at once (a file with a name must not be
// readable by others while it is written, even for a moment).
bool probe_mode(int directory, mode_t mode, mode_t& result) {
    char name[24];
    int fd = create_named(directory, mode, name);
    if (fd < 0)
        return false;
    struct stat status;
    bool known = fstat(fd, &status) == 0;
    unlinkat(directory, name, 0);
    close(fd);
    result = status.st_mode & 07777;
    return known;
}

// Whether the kernel links a descriptor itself for this process: 0 not
// known yet, 1 it does, -1 it refuses.
std::atomic<int> descriptor_links{0};

// Gives an open file without a name the name link_name in directory; fails
// with EEXIST when something has that name.
bool link_descriptor(int fd, int directory, const char* link_name) {
    // The descriptor itself where the kernel permits (a privileged process,
    // or a recent kernel): far cheaper than a path through /proc.
    const int direct = descriptor_links.load(std::memory_order_relaxed);
    if (direct >= 0) {
        if (linkat(fd, "", directory, link_name, AT_EMPTY_PATH) == 0) {
            if (direct == 0)
                descriptor_links.store(1, std::memory_order_relaxed);
            return true;
        }
        if (errno != ENOENT && errno != EPERM)
            return false;
        if (direct == 0)
            descriptor_links.store(-1, std::memory_order_relaxed);
    }
    char proc_path[40];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc_path, directory, link_name, AT_SYMLINK_FOLLOW) == 0;
}

// Gives an open file without a name the fresh name link_name in directory.
bool link_unnamed(int fd, int directory, char (&link_name)[24]) {
    return with_fresh_name(
        link_name, [&](const char* fresh) { return link_descriptor(fd, directory, fresh); });
}

// Renames from to to in directory, failing with EEXIST when to exists.
bool rename_new(int directory, const char* from, const char* to) {
    if (renameat2(directory, from, directory, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: a link cannot replace anything either.
    if (linkat(directory, from, directory, to, 0) != 0)
        return false;
    unlinkat(directory, from, 0);
    return true;
}

} // namespace

void remove_temporary_files() noexcept {
    for (leftover& entry : leftovers) {
        if (entry.state.load(std::memory_order_acquire) == slot_set)
            unlinkat(entry.directory, entry.name, 0);
    }
}

const char* temporary_directory() {
    const char* directory = std::getenv("TMPDIR");
    return directory != nullptr && *directory != '\0' ? directory : "/tmp";
}

void temporary_file::allow_unnamed_files(bool allowed) {
    unnamed_allowed = allowed;
}

int temporary_file::create(int parent, mode_t creation_mode, bool allow_unnamed) {
    discard();
    return opened(open_in(parent, creation_mode, allow_unnamed, false));
}

int temporary_file::create_borrowing(int parent, mode_t creation_mode) {
    discard();
    return opened(open_in(parent, creation_mode, true, true));
}

int temporary_file::opened(bool done) {
    if (done)
        return CAB_STATUS_OK;
    int saved = errno;
    discard();
    errno = saved;
    return CAB_ERROR_OPEN_FILE;
}

bool temporary_file::open_new(mode_t creation_mode, bool allow_unnamed) {
    // A file with a name is private from the start, whatever its mode is to be.
    if (allow_unnamed && unnamed_allowed) {
        fd = openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, creation_mode);
        // Refused by the file system (EOPNOTSUPP) or the kernel (EISDIR,
        // EINVAL): a name it is. Anything else would refuse a name as well.
        if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
            return fd >= 0;
    }
    fd = create_named(directory, private_mode, own_name);
    if (fd < 0)
        return false;
    slot = register_leftover(directory, own_name);
    if (slot < 0) {
        errno = EMFILE;
        return false;
    }
    return true;
}

bool temporary_file::open_in(int parent, mode_t creation_mode, bool allow_unnamed, bool borrow) {
    directory = borrow ? parent : fcntl(parent, F_DUPFD_CLOEXEC, 0);
    borrowed = borrow;
    if (directory < 0 || !open_new(creation_mode, allow_unnamed))
        return false;
    struct stat status;
    if (fstat(fd, &status) != 0)
        return false;
    created = status.st_mode & 07777;
    if (own_name[0] != '\0' && creation_mode != private_mode &&
        !probe_mode(directory, creation_mode, created))
        return false;
    // Nothing can open a file without a name: its mode may stay. A umask can
    // take even the owner's bits away; the descriptor writes anyway.
    return own_name[0] == '\0' || (status.st_mode & 07777) == private_mode ||
           fchmod(fd, private_mode) == 0;
}

int temporary_file::create_temporary() {
    const int directory = ::open(temporary_directory(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return CAB_ERROR_TEMP_FILE;
    const int made = create(directory, 0600);
    const int saved = errno;
    ::close(directory);
    errno = saved;
    return made == CAB_STATUS_OK ? CAB_STATUS_OK : CAB_ERROR_TEMP_FILE;
}

int temporary_file::create_private(int parent, mode_t unnamed_mode) {
    discard();
    directory = parent;
    borrowed = true;
    // A umask or a default ACL only takes bits away: a file with a name is
    // never more open than 0600.
    return opened(open_new(unnamed_mode & 0777, true));
}

int temporary_file::publish(const char* target, mode_t mode, bool replace, bool has_mode) {
    if (fd < 0) {
        errno = EBADF;
        return CAB_ERROR_CLOSE_FILE;
    }
    bool unnamed = own_name[0] == '\0';
    if (!has_mode && fchmod(fd, mode) != 0)
        return CAB_ERROR_CLOSE_FILE;
    bool placed = false;
    if (!replace) {
        placed = unnamed ? link_descriptor(fd, directory, target)
                         : rename_new(directory, own_name, target);
    } else if (unnamed && link_descriptor(fd, directory, target)) {
        // Where nothing has the name yet, one link publishes the file.
        placed = true;
    } else if (unnamed && !link_unnamed(fd, directory, own_name)) {
        // A new link cannot replace anything: it gets a fresh name first, and
        // the rename replaces the target in one step.
        own_name[0] = '\0';
    } else {
        if (unnamed)
            slot = register_leftover(directory, own_name);
        // After a failure the file keeps the name it got: once linked, a file
        // made without a name cannot be linked again.
        placed = renameat(directory, own_name, directory, target) == 0;
    }
    if (!placed) {
        int saved = errno;
        fchmod(fd, private_mode);
        errno = saved;
        return CAB_ERROR_CLOSE_FILE;
    }
    unregister_leftover(slot);
    own_name[0] = '\0';
    discard();
    return CAB_STATUS_OK;
}

void temporary_file::discard() {
    int saved = errno;
    if (fd >= 0) {
        if (own_name[0] != '\0')
            unlinkat(directory, own_name, 0);
        unregister_leftover(slot);
        close(fd);
    }
    own_name[0] = '\0';
    fd = -1;
    if (directory >= 0 && !borrowed)
        close(directory);
    directory = -1;
    borrowed = false;
    created = 0;
    errno = saved;
}

template <class Make> bool temporary_link::make_link(int parent, Make make) {
    directory = fcntl(parent, F_DUPFD_CLOEXEC, 0);
    if (directory < 0)
        return false;
    char fresh[24];
    if (!with_fresh_name(fresh, make))
        return false;
    std::memcpy(own_name, fresh, sizeof own_name);
    slot = register_leftover(directory, own_name);
    if (slot < 0) {
        errno = EMFILE;
        return false;
    }
    return fstatat(directory, own_name, &made, AT_SYMLINK_NOFOLLOW) == 0;
}

int temporary_link::create_symlink(int parent, const char* text) {
    discard();
    if (make_link(parent,
                  [&](const char* fresh) { return symlinkat(text, directory, fresh) == 0; }))
        return CAB_STATUS_OK;
    discard();
    return CAB_ERROR_OPEN_FILE;
}

int temporary_link::create_hardlink(int parent, int from, const char* from_name) {
    discard();
    // Without AT_SYMLINK_FOLLOW a symbolic link at from_name is linked itself.
    if (make_link(parent, [&](const char* fresh) {
            return linkat(from, from_name, directory, fresh, 0) == 0;
        }))
        return CAB_STATUS_OK;
    discard();
    return CAB_ERROR_OPEN_FILE;
}

int temporary_link::publish(const char* target, bool replace) {
    if (own_name[0] == '\0') {
        errno = EBADF;
        return CAB_ERROR_CLOSE_FILE;
    }
    bool placed = replace ? renameat(directory, own_name, directory, target) == 0
                          : rename_new(directory, own_name, target);
    if (!placed)
        return CAB_ERROR_CLOSE_FILE;
    // A rename between two links of the same file does nothing and succeeds.
    struct stat left;
    if (fstatat(directory, own_name, &left, AT_SYMLINK_NOFOLLOW) == 0 &&
        left.st_dev == made.st_dev && left.st_ino == made.st_ino)
        unlinkat(directory, own_name, 0);
    unregister_leftover(slot);
    own_name[0] = '\0';
    discard();
    return CAB_STATUS_OK;
}

void temporary_link::discard() {
    int saved = errno;
    if (own_name[0] != '\0')
        unlinkat(directory, own_name, 0);
    unregister_leftover(slot);
    own_name[0] = '\0';
    if (directory >= 0)
        close(directory);
    directory = -1;
    made = {};
    errno = saved;
}

} // namespace kistle::internal
