#include "parallel_restore.h"

#include "descriptor_write.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include <kistle/cabinet_status.h>

#include "errno_status.h"
#include "extraction_target.h"
#include "temporary_file.h"

namespace kistle::internal {

namespace {

// Bytes held for files not yet published, and files out at once: enough to
// keep the workers busy, little enough for a small memory.
constexpr uint64_t bytes_in_flight = uint64_t(8) << 20;
constexpr unsigned files_per_worker = 16;
// Directories kept open beyond those files being written use.
constexpr std::size_t idle_directories = 32;
// A buffer larger than this is given back once its file is done.
constexpr std::size_t kept_capacity = 128 * 1024;
// Files handed to the workers before they are woken: a wake costs the
// system more than a small file takes to publish.
constexpr unsigned files_per_wake = 8;
constexpr uint64_t bytes_per_wake = 256 * 1024;

// Owns a string that malloc gave.
struct malloced {
    char* text;
    explicit malloced(char* text) : text(text) {}
    ~malloced() { std::free(text); }
    malloced(const malloced&) = delete;
    malloced& operator=(const malloced&) = delete;
};

} // namespace

struct parallel_restore::directory {
    std::string path; // joined, "." for the base
    int fd = -1;
    unsigned users = 0; // files begun there and not yet settled
    uint64_t used = 0;  // when it was last asked for
    dev_t device = 0;
    ino_t inode = 0;
};

struct parallel_restore::file : worker_pool::job {
    stored_path path;
    std::string joined;
    directory* in = nullptr;
    tree_restorer::file_plan plan;
    std::string data;
    uint64_t size = 0; // as begun, counted in in_flight
    // The worker's results.
    int status = CAB_STATUS_OK;
    int error = 0;
    bool kept = false;
    bool settle_ran = false;
    tree_restorer::file_settled settled;
    bool counted = false; // by settle
};

parallel_restore::parallel_restore(tree_restorer& restorer, unsigned threads)
    : restorer(restorer), thread_count(worker_pool::usable(threads)),
      inline_only(thread_count == 1), keep(restorer.policy() == extraction_target::existing::keep) {
    const unsigned count = files_per_worker * thread_count;
    slots.reserve(count);
    free_slots.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        slots.push_back(std::make_unique<file>());
        free_slots.push_back(slots.back().get());
    }
}

parallel_restore::~parallel_restore() {
    stop();
    wait_all();
    pool.stop();
    for (auto& d : directories)
        close(d->fd);
}

void parallel_restore::protect(const struct stat& file, const struct stat& its_directory) {
    protecting = file.st_ino != 0;
    kept_file = file;
    kept_directory = its_directory;
}

bool parallel_restore::has_room(uint64_t size) const {
    return !free_slots.empty() && (in_flight == 0 || in_flight + size <= bytes_in_flight);
}

std::string& parallel_restore::bytes(file& f) {
    return f.data;
}

bool parallel_restore::awaited(const std::string& path) const {
    if (appearing.empty() || path == ".")
        return false;
    for (std::size_t end = path.find('/'); end != std::string::npos; end = path.find('/', end + 1))
        if (appearing.count(path.substr(0, end)) != 0)
            return true;
    return appearing.count(path) != 0;
}

parallel_restore::directory* parallel_restore::directory_of(const stored_path& path, int& status) {
    char* text = path.parent();
    if (text == nullptr) {
        status = CAB_ERROR_OUT_OF_MEMORY;
        return nullptr;
    }
    malloced parent(text);
    ++uses;
    for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
        if ((*it)->path == parent.text) {
            (*it)->used = uses;
            return it->get();
        }
    }
    // The walk may make directories: none where a file is still to appear.
    if (awaited(parent.text))
        wait_all();
    int opened = -1;
    errno = 0;
    status = path.open_directory(restorer.base_directory(), true, opened);
    if (status != CAB_STATUS_OK)
        return nullptr;
    struct stat found = {};
    fstat(opened, &found);
    return keep_open(parent.text, opened, found);
}

parallel_restore::directory* parallel_restore::keep_open(std::string path, int fd,
                                                         const struct stat& found) {
    // The least recently used idle directory makes room.
    std::size_t idle = 0;
    auto oldest = directories.end();
    for (auto it = directories.begin(); it != directories.end(); ++it) {
        if ((*it)->users != 0)
            continue;
        ++idle;
        if (oldest == directories.end() || (*it)->used < (*oldest)->used)
            oldest = it;
    }
    if (idle >= idle_directories) {
        close((*oldest)->fd);
        directories.erase(oldest);
    }
    auto made = std::make_unique<directory>();
    made->path = std::move(path);
    made->fd = fd;
    made->used = ++uses;
    made->device = found.st_dev;
    made->inode = found.st_ino;
    directories.push_back(std::move(made));
    return directories.back().get();
}

bool parallel_restore::is_protected(const directory& d, const char* name) const {
    // Only where the kept file can be: its own directory, or anywhere when
    // it has other names.
    if (!protecting || keep ||
        !(kept_file.st_nlink > 1 || kept_directory.st_ino == 0 ||
          (d.device == kept_directory.st_dev && d.inode == kept_directory.st_ino)))
        return false;
    struct stat there;
    return fstatat(d.fd, name, &there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(there.st_mode) &&
           there.st_dev == kept_file.st_dev && there.st_ino == kept_file.st_ino;
}

int parallel_restore::make_directory(const char* stored_name, const entry_metadata& entry) {
    stored_path path;
    if (int status = path.set(stored_name, true))
        return status;
    int status = CAB_STATUS_OK;
    directory* parent = directory_of(path, status);
    if (parent == nullptr)
        return status;
    if (is_protected(*parent, path.last())) {
        errno = 0;
        return CAB_ERROR_CABINET_ITSELF;
    }
    int made = -1;
    struct stat found;
    if (int failed = restorer.make_directory_in(parent->fd, path, entry, &made, &found))
        return failed;
    char* text = path.joined();
    if (text == nullptr) {
        close(made);
        return CAB_STATUS_OK; // made; only not kept open
    }
    malloced joined(text);
    for (auto& d : directories) {
        if (d->path == joined.text) {
            close(made);
            return CAB_STATUS_OK;
        }
    }
    keep_open(joined.text, made, found);
    return CAB_STATUS_OK;
}

int parallel_restore::begin(const char* stored_name, const entry_metadata& entry, uint64_t size,
                            file*& started, bool& kept) {
    started = nullptr;
    kept = false;
    if (restorer.base_directory() < 0)
        return CAB_ERROR_CLOSED_OBJECT;
    if (free_slots.empty())
        return CAB_ERROR_OUT_OF_MEMORY; // has_room says when there is one
    file& f = *free_slots.back();
    if (int status = f.path.set(stored_name))
        return status;
    int status = CAB_STATUS_OK;
    directory* d = directory_of(f.path, status);
    if (d == nullptr)
        return status;
    if (is_protected(*d, f.path.last())) {
        errno = 0;
        return CAB_ERROR_CABINET_ITSELF;
    }
    struct stat there;
    if (keep && fstatat(d->fd, f.path.last(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
        kept = true;
        return CAB_STATUS_OK;
    }
    char* joined = f.path.joined();
    if (joined == nullptr)
        return CAB_ERROR_OUT_OF_MEMORY;
    malloced owned(joined);
    if (int planned = restorer.plan_file(entry, f.plan))
        return planned;
    f.joined = joined;
    f.in = d;
    ++d->users;
    f.size = size;
    f.data.clear();
    f.data.reserve(static_cast<std::size_t>(size));
    f.status = CAB_STATUS_OK;
    f.error = 0;
    f.kept = false;
    f.settle_ran = false;
    f.counted = false;
    in_flight += size;
    free_slots.pop_back();
    started = &f;
    return CAB_STATUS_OK;
}

void parallel_restore::submit(file& f) {
    if (!inline_only && !pool.started())
        inline_only = !pool.start(thread_count, work, this);
    if (inline_only) {
        // One thread, or no worker to be had: the file is done here.
        errno = 0;
        f.status = publish(f);
        f.error = errno;
    } else {
        pool.submit(f, false);
        ++unwoken_files;
        unwoken_bytes += f.size;
        if (unwoken_files >= files_per_wake || unwoken_bytes >= bytes_per_wake) {
            pool.wake();
            unwoken_files = 0;
            unwoken_bytes = 0;
        }
    }
    submitted.push_back(&f);
    appearing.insert(f.joined);
}

void parallel_restore::work(void* self, unsigned, worker_pool::job& task) {
    file& f = static_cast<file&>(task);
    errno = 0;
    f.status = static_cast<parallel_restore*>(self)->publish(f);
    f.error = errno;
}

int parallel_restore::publish(file& f) {
    temporary_file made;
    if (made.create_private(f.in->fd, f.plan.mode) != CAB_STATUS_OK)
        return errno_status(CAB_ERROR_OPEN_STREAM);
    if (!write_whole(made.descriptor(), f.data.data(), f.data.size()))
        return CAB_ERROR_WRITE;
    f.settle_ran = true;
    if (int status = tree_restorer::settle_file(made.descriptor(), f.plan, f.settled))
        return status;
    if (stopped.load(std::memory_order_relaxed)) {
        errno = 0;
        return CAB_ERROR_STOPPED;
    }
    return publish_file(made, f.path.last(), f.settled.mode, keep, f.kept, f.settled.has_mode);
}

void parallel_restore::settle(file& f) {
    if (f.counted)
        return;
    pool.wait(f);
    f.counted = true;
    if (f.settle_ran) {
        const bool published = f.status == CAB_STATUS_OK && !f.kept;
        if (int status = restorer.adopt_file(f.settled, published); status && !f.status) {
            f.status = status;
            f.error = 0;
        }
    }
    release(f.in);
    f.in = nullptr;
    appearing.erase(f.joined);
}

void parallel_restore::wait_all() {
    while (!submitted.empty()) {
        settle(*submitted.front());
        submitted.pop_front();
    }
}

parallel_restore::result parallel_restore::collect(file& f) {
    if (!f.counted) {
        // In order: every file submitted before f is settled first.
        while (!submitted.empty()) {
            file* next = submitted.front();
            settle(*next);
            submitted.pop_front();
            if (next == &f)
                break;
        }
    }
    result done;
    done.status = f.status;
    done.error = f.error;
    done.written = f.status == CAB_STATUS_OK && !f.kept;
    free_slot(f);
    return done;
}

int parallel_restore::abandon(file& f) {
    temporary_file made;
    int status = made.create_private(f.in->fd) == CAB_STATUS_OK
                     ? CAB_STATUS_OK
                     : errno_status(CAB_ERROR_OPEN_STREAM);
    made.discard();
    release(f.in);
    f.in = nullptr;
    free_slot(f);
    return status;
}

bool parallel_restore::done(file& f) {
    return f.counted || worker_pool::is_done(f);
}

void parallel_restore::before(const char* stored_name, bool every_file) {
    if (submitted.empty())
        return;
    if (every_file) {
        wait_all();
        return;
    }
    stored_path path;
    if (path.set(stored_name, true) != CAB_STATUS_OK)
        return; // refused before anything is made
    char* joined = path.joined();
    if (joined == nullptr || awaited(joined))
        wait_all();
    std::free(joined);
}

void parallel_restore::release(directory* d) {
    if (d != nullptr)
        --d->users;
}

void parallel_restore::free_slot(file& f) {
    in_flight -= f.size;
    f.size = 0;
    if (f.data.capacity() > kept_capacity)
        std::string().swap(f.data);
    free_slots.push_back(&f);
}

} // namespace kistle::internal
