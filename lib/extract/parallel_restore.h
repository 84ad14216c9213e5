// Regular files of a tree made, written, given their owner, time and mode and
// published on worker threads, several at once (internal).
//
// The caller walks the entries in order. For a file it calls begin, which
// checks the name, opens the directory it goes in (made as needed, without
// following any symbolic link, and kept open for the next files of that
// directory) and, with existing::keep, looks for the name, all as
// tree_restorer::create_file would at that point; it then puts the file's
// verified bytes into bytes() and submits it. A worker creates the private
// file, writes it, settles it (tree_restorer::settle_file) and publishes it.
// collect, called in the order of submission, gives each file's outcome and
// counts it with the restorer. Whatever the caller makes itself meanwhile
// (directories, links, large files) goes after before(), which waits for the
// files it might depend on: a hard link waits for every file, and a walk
// that would make a directory where a file submitted is still to appear
// waits for that. So every file, status and errno is what
// tree_restorer::create_file and commit_file would give one after another.
//
// One caller thread; the restorer must outlive this and see no other use
// while files are out.
#ifndef KISTLE_PARALLEL_RESTORE_H
#define KISTLE_PARALLEL_RESTORE_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unordered_set>
#include <vector>

#include "entry_metadata.h"
#include "stored_path.h"
#include "tree_restorer.h"
#include "worker_pool.h"

namespace kistle::internal {

class parallel_restore {
public:
    // A file larger than this is better written by the caller itself.
    static constexpr uint64_t largest_file = uint64_t(1) << 20;

    struct file;
    // What became of a file: a status of tree_restorer::create_file or
    // commit_file, errno from the call that failed, and whether it was
    // written (not kept).
    struct result {
        int status = 0;
        int error = 0;
        bool written = false;
    };

    // threads workers start with the first file submitted; with one, every
    // file is made on the calling thread as it is submitted.
    parallel_restore(tree_restorer& restorer, unsigned threads);
    // Files not yet published are discarded; waits for the workers.
    ~parallel_restore();
    parallel_restore(const parallel_restore&) = delete;
    parallel_restore& operator=(const parallel_restore&) = delete;

    // A file never to be replaced (the cabinet being read), and the
    // directory its path names it in (st_ino 0: not known); a file that would
    // replace it fails with CAB_ERROR_CABINET_ITSELF.
    void protect(const struct stat& kept_file, const struct stat& its_directory);

    // Whether a file of size bytes may begin now; otherwise the caller
    // collects the oldest file first.
    bool has_room(uint64_t size) const;
    // Begins the file at stored_name. CAB_STATUS_OK and a file to fill and
    // submit, or kept set and none; otherwise a status of create_file (or
    // CAB_ERROR_CABINET_ITSELF) with errno set, and none.
    [[nodiscard]] int begin(const char* stored_name, const entry_metadata& entry, uint64_t size,
                            file*& started, bool& kept);
    // Where the caller puts the file's bytes, size of them at most.
    static std::string& bytes(file& f);
    void submit(file& f);
    // Gives up a file begun but never submitted, whose bytes failed: where
    // its private file could not have been made either, that status (errno
    // set), which one thread would have met first; otherwise CAB_STATUS_OK.
    [[nodiscard]] int abandon(file& f);
    // Whether collect would not wait for f.
    bool done(file& f);
    // The outcome of f, waited for; f is gone afterwards.
    [[nodiscard]] result collect(file& f);

    // A directory entry, as tree_restorer::make_directory (or
    // CAB_ERROR_CABINET_ITSELF), through the directories kept open, where
    // the new one is kept for the files that follow. Call before() first.
    [[nodiscard]] int make_directory(const char* stored_name, const entry_metadata& entry);

    // Before the caller makes stored_name (a directory, a link, a file of
    // its own) below the base: waits for the files it depends on, every file
    // when every_file (a hard link needs its first name published).
    void before(const char* stored_name, bool every_file);
    // Files not yet published are discarded from now on.
    void stop() { stopped.store(true, std::memory_order_relaxed); }

private:
    struct directory;
    static void work(void* self, unsigned worker, worker_pool::job& task);
    [[nodiscard]] int publish(file& f);
    // The directory of path, open below the base; null with a status.
    [[nodiscard]] directory* directory_of(const stored_path& path, int& status);
    // Keeps fd, the directory at path, open for later files.
    directory* keep_open(std::string path, int fd, const struct stat& found);
    // Whether name in d is the file never to be replaced.
    bool is_protected(const directory& d, const char* name) const;
    // Whether a file submitted is still to appear at path or on its way.
    bool awaited(const std::string& path) const;
    // Waits for every file submitted and counts it.
    void wait_all();
    // Waits for f and counts it with the restorer, once.
    void settle(file& f);
    void release(directory* d);
    void free_slot(file& f);

    tree_restorer& restorer;
    unsigned thread_count;
    bool inline_only; // no workers: files are made as they are submitted
    worker_pool pool;
    std::atomic<bool> stopped{false};
    bool keep;

    std::vector<std::unique_ptr<file>> slots;
    std::vector<file*> free_slots;
    std::deque<file*> submitted;               // not yet settled, in order
    std::unordered_set<std::string> appearing; // their paths, joined
    uint64_t in_flight = 0;                    // bytes of files begun and not collected
    unsigned unwoken_files = 0;                // submitted since the workers were woken
    uint64_t unwoken_bytes = 0;

    std::vector<std::unique_ptr<directory>> directories; // open, the recent ones
    uint64_t uses = 0;

    bool protecting = false;
    struct stat kept_file = {};
    struct stat kept_directory = {};
};

} // namespace kistle::internal

#endif
