// A reader's decompressors: one for the calling thread and, with more than
// one thread, one for each worker thread, which expand the deflate blocks a
// folder cursor reads ahead while the caller writes earlier ones (internal).
#ifndef KISTLE_PARALLEL_INFLATE_H
#define KISTLE_PARALLEL_INFLATE_H

#include <cstdint>

#include "block_inflater.h"
#include "worker_pool.h"

namespace kistle::internal {

class parallel_inflate {
public:
    // One block to expand, and how that went.
    struct expansion : worker_pool::job {
        const uint8_t* payload = nullptr; // cbData bytes, not owned
        uint16_t cbData = 0;
        uint8_t* out = nullptr; // cbUncomp bytes, not owned
        uint16_t cbUncomp = 0;
        bool screen = true; // as block_inflater::expand takes it
        int status = 0;     // of block_inflater::expand
    };

    // 1: the calling thread alone; more: that many workers, started with the
    // first expansion given to start().
    explicit parallel_inflate(unsigned threads) : thread_count(worker_pool::usable(threads)) {}
    // Waits for the expansions started and ends the threads.
    ~parallel_inflate();
    parallel_inflate(const parallel_inflate&) = delete;
    parallel_inflate& operator=(const parallel_inflate&) = delete;

    unsigned threads() const { return thread_count; }
    // Whether the blocks expanded from now on are checked against a checksum
    // of their contents afterwards (see block_inflater); not by default.
    void set_contents_checked(bool checked) { contents_checked = checked; }
    bool checks_contents() const { return contents_checked; }
    // Ranges shorter than bytes are expanded on the calling thread alone,
    // without reading ahead: where the caller's own threads are busy with
    // what it writes (files of a tree), handing small ranges to more threads
    // costs more in switches than it saves. 0 (the default): none.
    void set_caller_expands_below(uint64_t bytes) { caller_below = bytes; }
    uint64_t caller_expands_below() const { return caller_below; }
    // Expands the block on the calling thread.
    void run(expansion& job);
    // Has a worker expand the block (the calling thread, at once, where no
    // worker can be had); finish must follow before the job is used again.
    // Without wake, the workers are woken by wake() or finish, for several
    // blocks at once.
    void start(expansion& job, bool wake = true);
    void wake() { pool.wake(); }
    void finish(expansion& job) { pool.wait(job); }
    // As finish, but a job no worker has taken yet is run on the calling
    // thread: sleeping until a worker is free costs more than the job.
    void finish_now(expansion& job) {
        if (pool.take_back(job))
            run(job);
        else
            pool.wait(job);
    }

private:
    static void work(void* self, unsigned worker, worker_pool::job& task);
    // The decompressors: one per worker (threads of them), then the
    // caller's; none when they cannot be had.
    block_inflater* inflaters();

    unsigned thread_count;
    block_inflater* made = nullptr;
    worker_pool pool;
    bool inline_only = false; // no worker could be started
    bool contents_checked = false;
    uint64_t caller_below = 0;
};

} // namespace kistle::internal

#endif
