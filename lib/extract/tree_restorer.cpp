#include "tree_restorer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sys/stat.h>

#include <kistle/b_string.h>
#include <kistle/cabinet_status.h>

#include "errno_status.h"
#include "stored_path.h"
#include "temporary_file.h"

namespace kistle::internal {

struct tree_restorer::deferred_directory {
    b_string name; // the stored name's components joined by '/'
    b_string owner;
    b_string group;
    entry_metadata entry; // owner and group point into the strings above
    dev_t device = 0;     // the directory that was made or reused
    ino_t inode = 0;
    unsigned depth = 0;
    uint64_t sequence = 0; // its place among the directory entries
};

namespace {

// A descriptor closed at the end of its scope; errno survives the close.
struct descriptor {
    int fd = -1;
    descriptor() = default;
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    ~descriptor() {
        if (fd >= 0) {
            int saved = errno;
            close(fd);
            errno = saved;
        }
    }
};

// The umask from /proc, which tells it without changing it (umask() cannot
// read it without setting it, for every thread of the process at once).
bool read_umask(mode_t& mask) {
    descriptor status;
    status.fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (status.fd < 0)
        return false;
    char text[4096];
    ssize_t length = read(status.fd, text, sizeof text - 1);
    if (length <= 0)
        return false;
    text[length] = '\0';
    const char* line = std::strstr(text, "\nUmask:");
    if (line == nullptr)
        return false;
    char* end = nullptr;
    unsigned long value = std::strtoul(line + 7, &end, 8);
    if (end == line + 7 || value > 0777)
        return false;
    mask = static_cast<mode_t>(value);
    return true;
}

// Whether text was copied to copy (false only when it could not be allocated).
bool copied_text(const b_string& copy, const char* text) {
    return text == nullptr || *text == '\0' || copy.text != nullptr;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

struct tree_restorer::new_name {
    stored_path path;
    descriptor directory; // where the name goes
    struct stat existing = {};
    bool exists = false; // an entry has the name: existing tells what
    bool kept = false;   // and the policy keeps it
};

tree_restorer::tree_restorer() : chosen(settings()) {}

tree_restorer::tree_restorer(settings chosen) : chosen(chosen) {}

tree_restorer::~tree_restorer() {
    if (base >= 0)
        close(base);
}

int tree_restorer::open(const char* base_directory) {
    if (base >= 0)
        close(base);
    base = ::open(base_directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (base < 0)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    if (read_umask(mask))
        return CAB_STATUS_OK;
    // Without /proc: what the kernel gives a new file there, and at worst
    // the narrowest mask.
    temporary_file probe;
    mask = probe.create(base, 0777) == CAB_STATUS_OK ? 0777 & ~probe.created_mode() : 077;
    return CAB_STATUS_OK;
}

int tree_restorer::place::status(struct stat& found) const {
    return name != nullptr ? fstatat(directory, name, &found, AT_SYMLINK_NOFOLLOW)
                           : fstat(directory, &found);
}

int tree_restorer::settle(place where, const entry_metadata& entry, bool regular, mode_t& mode) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (entry.has_owner) {
        uid = ids.user(entry.owner, entry.uid);
        gid = ids.group(entry.group, entry.gid);
    }
    // Before the mode: a change of owner clears the set-ID bits.
    if (chosen.same_owner && entry.has_owner) {
        int changed = where.name != nullptr
                          ? fchownat(where.directory, where.name, uid, gid, AT_SYMLINK_NOFOLLOW)
                          : fchown(where.directory, uid, gid);
        // An id this user namespace does not map, or a file system without
        // owners, leaves the owner as it is: a shortfall, counted below.
        if (changed != 0 && errno != EPERM && errno != EINVAL)
            return CAB_ERROR_RESTORE_ATTRIBUTES;
    }
    struct stat status;
    if (where.status(status) != 0)
        return CAB_ERROR_RESTORE_ATTRIBUTES;
    const bool own_user = entry.has_owner && status.st_uid == uid;
    const bool own_group = entry.has_owner && status.st_gid == gid;
    if (entry.has_owner && !(own_user && own_group))
        ++missed.owners;

    mode = static_cast<mode_t>(entry.mode & 07777);
    if (!chosen.same_owner)
        mode &= ~mask;
    if (regular) {
        const mode_t dropped = (own_user ? 0 : S_ISUID) | (own_group ? 0 : S_ISGID);
        if (mode & dropped) {
            mode &= ~dropped;
            ++missed.modes;
        }
    }
    return CAB_STATUS_OK;
}

int tree_restorer::set_time(place where, const entry_metadata& entry) {
    using seconds = decltype(timespec{}.tv_sec);
    if (entry.mtime_nanoseconds > 999999999u ||
        entry.mtime_seconds < std::numeric_limits<seconds>::min() ||
        entry.mtime_seconds > std::numeric_limits<seconds>::max()) {
        ++missed.times;
        return CAB_STATUS_OK;
    }
    const timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<seconds>(entry.mtime_seconds), static_cast<long>(entry.mtime_nanoseconds)}};
    int set = where.name != nullptr
                  ? utimensat(where.directory, where.name, times, AT_SYMLINK_NOFOLLOW)
                  : futimens(where.directory, times);
    if (set != 0) {
        if (errno != EPERM && errno != EINVAL && errno != EOVERFLOW)
            return CAB_ERROR_RESTORE_DATETIME;
        ++missed.times;
        return CAB_STATUS_OK;
    }
    // Some file systems clamp a time past their range without a word; a
    // coarser clock (two seconds on some) is no loss worth telling.
    struct stat status;
    if (where.status(status) != 0)
        return CAB_ERROR_RESTORE_DATETIME;
    const int64_t kept = static_cast<int64_t>(status.st_mtim.tv_sec);
    if (kept > entry.mtime_seconds + 2 || kept < entry.mtime_seconds - 2)
        ++missed.times;
    return CAB_STATUS_OK;
}

int tree_restorer::create_file(const char* stored_name, extraction_target& target, int& file) {
    file = -1;
    if (base < 0)
        return CAB_ERROR_CLOSED_OBJECT;
    return target.create_at(base, stored_name, chosen.policy, file);
}

int tree_restorer::plan_file(const entry_metadata& entry, file_plan& plan) {
    if (base < 0)
        return CAB_ERROR_CLOSED_OBJECT;
    plan = file_plan();
    plan.has_owner = entry.has_owner;
    if (entry.has_owner) {
        plan.uid = ids.user(entry.owner, entry.uid);
        plan.gid = ids.group(entry.group, entry.gid);
    }
    plan.change_owner = chosen.same_owner && entry.has_owner;
    plan.mode = static_cast<mode_t>(entry.mode & 07777);
    if (!chosen.same_owner)
        plan.mode &= ~mask;
    using seconds = decltype(timespec{}.tv_sec);
    plan.time_kept = entry.mtime_nanoseconds <= 999999999u &&
                     entry.mtime_seconds >= std::numeric_limits<seconds>::min() &&
                     entry.mtime_seconds <= std::numeric_limits<seconds>::max();
    if (plan.time_kept)
        plan.time = {static_cast<seconds>(entry.mtime_seconds),
                     static_cast<long>(entry.mtime_nanoseconds)};
    return CAB_STATUS_OK;
}

int tree_restorer::settle_file(int file, const file_plan& plan, file_settled& settled,
                               bool regular) {
    settled = file_settled();
    bool time_set = false;
    if (plan.time_kept) {
        const timespec times[2] = {{0, UTIME_OMIT}, plan.time};
        time_set = futimens(file, times) == 0;
        if (!time_set && errno != EPERM && errno != EINVAL && errno != EOVERFLOW)
            return CAB_ERROR_RESTORE_DATETIME;
    }
    // One look tells the owner, the time kept, the mode and the file's
    // identity; a new file mostly has its owners already.
    struct stat status;
    if (fstat(file, &status) != 0)
        return CAB_ERROR_RESTORE_ATTRIBUTES;
    if (plan.change_owner && (status.st_uid != plan.uid || status.st_gid != plan.gid)) {
        // Before the mode: a change of owner clears the set-ID bits. An id
        // this user namespace does not map, or a file system without owners,
        // leaves the owner as it is: a shortfall, counted below.
        if (fchown(file, plan.uid, plan.gid) != 0 && errno != EPERM && errno != EINVAL)
            return CAB_ERROR_RESTORE_ATTRIBUTES;
        if (fstat(file, &status) != 0)
            return CAB_ERROR_RESTORE_ATTRIBUTES;
    }
    const bool own_user = plan.has_owner && status.st_uid == plan.uid;
    const bool own_group = plan.has_owner && status.st_gid == plan.gid;
    if (plan.has_owner && !(own_user && own_group))
        ++settled.missed.owners;
    settled.mode = plan.mode;
    const mode_t dropped = !regular ? 0 : (own_user ? 0 : S_ISUID) | (own_group ? 0 : S_ISGID);
    if (settled.mode & dropped) {
        settled.mode &= ~dropped;
        ++settled.missed.modes;
    }
    // Some file systems clamp a time past their range without a word; a
    // coarser clock (two seconds on some) is no loss worth telling.
    const int64_t kept = static_cast<int64_t>(status.st_mtim.tv_sec);
    const int64_t wanted = static_cast<int64_t>(plan.time.tv_sec);
    if (!time_set || kept > wanted + 2 || kept < wanted - 2)
        ++settled.missed.times;
    settled.device = status.st_dev;
    settled.inode = status.st_ino;
    settled.has_mode = (status.st_mode & 07777) == settled.mode;
    return CAB_STATUS_OK;
}

int tree_restorer::adopt_file(const file_settled& settled, bool published) {
    missed.owners += settled.missed.owners;
    missed.modes += settled.missed.modes;
    missed.times += settled.missed.times;
    if (published && !made_files.insert(settled.device, settled.inode))
        return CAB_ERROR_OUT_OF_MEMORY;
    return CAB_STATUS_OK;
}

int tree_restorer::commit_file(extraction_target& target, const entry_metadata& entry) {
    if (base < 0)
        return CAB_ERROR_CLOSED_OBJECT;
    if (target.kept())
        return CAB_STATUS_OK;
    const int file = target.file();
    if (file < 0) {
        errno = EBADF;
        return CAB_ERROR_OPEN_STREAM;
    }
    file_plan plan;
    file_settled settled;
    if (int status = plan_file(entry, plan))
        return status;
    int status = settle_file(file, plan, settled);
    // Known before it is in place: the name may change hands at once.
    if (int adopted = adopt_file(settled, status == CAB_STATUS_OK))
        return adopted;
    return status != CAB_STATUS_OK ? status : target.commit(settled.mode, settled.has_mode);
}

int tree_restorer::make_directory(const char* stored_name, const entry_metadata& entry) {
    if (base < 0)
        return CAB_ERROR_CLOSED_OBJECT;
    stored_path path;
    if (int status = path.set(stored_name, true))
        return status;
    descriptor parent;
    if (int status = path.open_directory(base, true, parent.fd))
        return status;
    return make_directory_in(parent.fd, path, entry);
}

int tree_restorer::make_directory_in(int parent, const stored_path& path,
                                     const entry_metadata& entry, int* opened, struct stat* found) {
    if (opened != nullptr)
        *opened = -1;
    if (base < 0)
        return CAB_ERROR_CLOSED_OBJECT;
    descriptor made;
    // Private until finish gives it its mode; the owner can always fill it.
    // Made first, as most are new; whatever else is there, the walk's rules.
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    if (mkdirat(parent, path.last(), 0700) != 0 && errno != EEXIST)
        made.fd = -1;
    else
        made.fd = openat(parent, path.last(), flags);
    if (made.fd < 0) {
        if (int status = open_component(parent, path.last(), true, 0700, made.fd))
            return status;
    }
    struct stat status;
    if (fstat(made.fd, &status) != 0)
        return errno_status(CAB_ERROR_MKDIR);

    auto* directory = new (std::nothrow) deferred_directory;
    if (directory == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    directory->name.adopt(path.joined());
    directory->owner = entry.owner;
    directory->group = entry.group;
    directory->entry = entry;
    directory->entry.owner = directory->owner.text;
    directory->entry.group = directory->group.text;
    directory->entry.link_target = nullptr;
    directory->device = status.st_dev;
    directory->inode = status.st_ino;
    directory->depth = path.depth();
    directory->sequence = directories.count;
    const bool copied = directory->name.text != nullptr &&
                        copied_text(directory->owner, entry.owner) &&
                        copied_text(directory->group, entry.group);
    if (!copied || !directories.append(directory)) {
        delete directory;
        return CAB_ERROR_OUT_OF_MEMORY;
    }
    if (opened != nullptr) {
        *opened = made.fd;
        made.fd = -1;
        if (found != nullptr)
            *found = status;
    }
    return CAB_STATUS_OK;
}

int tree_restorer::open_new_name(const char* stored_name, new_name& name, bool* kept) {
    if (kept != nullptr)
        *kept = false;
    if (base < 0)
        return CAB_ERROR_CLOSED_OBJECT;
    if (int status = name.path.set(stored_name))
        return status;
    if (int status = name.path.open_directory(base, true, name.directory.fd))
        return status;
    name.exists =
        fstatat(name.directory.fd, name.path.last(), &name.existing, AT_SYMLINK_NOFOLLOW) == 0;
    name.kept = name.exists && chosen.policy == extraction_target::existing::keep;
    if (name.kept && kept != nullptr)
        *kept = true;
    return CAB_STATUS_OK;
}

int tree_restorer::put_in_place(temporary_link& link, const char* name, bool* kept) {
    const bool keep = chosen.policy == extraction_target::existing::keep;
    if (link.publish(name, !keep) == CAB_STATUS_OK)
        return CAB_STATUS_OK;
    // A name that appeared meanwhile is kept as well.
    if (keep && errno == EEXIST) {
        if (kept != nullptr)
            *kept = true;
        return CAB_STATUS_OK;
    }
    return errno_status(CAB_ERROR_OPEN_STREAM);
}

int tree_restorer::make_symlink(const char* stored_name, const entry_metadata& entry, bool* kept) {
    new_name name;
    if (int status = open_new_name(stored_name, name, kept))
        return status;
    if (name.kept)
        return CAB_STATUS_OK;
    temporary_link link;
    const char* text = entry.link_target != nullptr ? entry.link_target : "";
    if (link.create_symlink(name.directory.fd, text) != CAB_STATUS_OK)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    // A link has no mode of its own.
    mode_t unused = 0;
    if (int status = settle({name.directory.fd, link.name()}, entry, false, unused))
        return status;
    if (int status = set_time({name.directory.fd, link.name()}, entry))
        return status;
    return put_in_place(link, name.path.last(), kept);
}

int tree_restorer::make_hardlink(const char* stored_name, const char* first_link, bool* kept) {
    if (kept != nullptr)
        *kept = false;
    if (base < 0)
        return CAB_ERROR_CLOSED_OBJECT;
    // The first name must lead, without a symbolic link, to a file of ours.
    stored_path first;
    descriptor first_directory;
    struct stat vetted;
    if (first.set(first_link) != CAB_STATUS_OK ||
        first.open_directory(base, false, first_directory.fd) != CAB_STATUS_OK ||
        fstatat(first_directory.fd, first.last(), &vetted, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(vetted.st_mode) || !made_files.contains(vetted.st_dev, vetted.st_ino))
        return CAB_ERROR_FILE_NOT_FOUND;

    new_name name;
    if (int status = open_new_name(stored_name, name, kept))
        return status;
    // Kept, or linked already: nothing to replace.
    if (name.kept || (name.exists && same_file(name.existing, vetted)))
        return CAB_STATUS_OK;
    temporary_link link;
    if (link.create_hardlink(name.directory.fd, first_directory.fd, first.last()) !=
        CAB_STATUS_OK) {
        // Gone meanwhile, on another file system, or out of links.
        if (errno == ENOENT || errno == EXDEV || errno == EMLINK)
            return CAB_ERROR_FILE_NOT_FOUND;
        return errno_status(CAB_ERROR_OPEN_STREAM);
    }
    // The first name may have changed between the check and the link.
    if (!same_file(link.status(), vetted))
        return CAB_ERROR_FILE_NOT_FOUND;
    return put_in_place(link, name.path.last(), kept);
}

int tree_restorer::finish_directory(const deferred_directory& directory) {
    stored_path path;
    if (int status = path.set(directory.name.str()))
        return status;
    descriptor opened;
    if (!path.open_whole_at_once(base, opened.fd)) {
        descriptor parent;
        int status = path.open_directory(base, false, parent.fd);
        if (status == CAB_STATUS_OK)
            status = open_component(parent.fd, path.last(), false, 0, opened.fd);
        // Removed meanwhile: nothing to give.
        if (status == CAB_ERROR_MKDIR && errno == ENOENT)
            return CAB_STATUS_OK;
        if (status != CAB_STATUS_OK)
            return status;
    }
    struct stat found;
    if (fstat(opened.fd, &found) != 0)
        return CAB_ERROR_RESTORE_ATTRIBUTES;
    if (found.st_dev != directory.device || found.st_ino != directory.inode)
        return CAB_STATUS_OK;
    file_plan plan;
    file_settled settled;
    if (int status = plan_file(directory.entry, plan))
        return status;
    int status = settle_file(opened.fd, plan, settled, false);
    static_cast<void>(adopt_file(settled, false)); // counts; adopts nothing
    if (status != CAB_STATUS_OK)
        return status;
    return fchmod(opened.fd, settled.mode) == 0 ? CAB_STATUS_OK : CAB_ERROR_RESTORE_ATTRIBUTES;
}

int tree_restorer::finish() {
    if (base < 0)
        return CAB_ERROR_CLOSED_OBJECT;
    deferred_directory** begin = directories.items;
    deferred_directory** end = begin + directories.count;
    // The deepest first; of the entries for one directory, the last.
    std::sort(begin, end, [](const deferred_directory* a, const deferred_directory* b) {
        if (a->depth != b->depth)
            return a->depth > b->depth;
        int order = std::strcmp(a->name.str(), b->name.str());
        return order != 0 ? order < 0 : a->sequence > b->sequence;
    });
    int first_failure = CAB_STATUS_OK;
    int failure_errno = 0;
    for (deferred_directory** it = begin; it != end; ++it) {
        if (it != begin && std::strcmp((*it)->name.str(), it[-1]->name.str()) == 0)
            continue;
        int status = finish_directory(**it);
        if (status != CAB_STATUS_OK && first_failure == CAB_STATUS_OK) {
            first_failure = status;
            failure_errno = errno;
        }
    }
    directories.free_buffers();
    if (first_failure != CAB_STATUS_OK)
        errno = failure_errno;
    return first_failure;
}

} // namespace kistle::internal
