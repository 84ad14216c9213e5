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
        int status = 0; // of block_inflater::expand
    };

    // 1: the calling thread alone; more: that many workers, started with the
    // first expansion given to start().
    explicit parallel_inflate(unsigned threads) : thread_count(worker_pool::usable(threads)) {}
    // Waits for the expansions started and ends the threads.
    ~parallel_inflate();
    parallel_inflate(const parallel_inflate&) = delete;
    parallel_inflate& operator=(const parallel_inflate&) = delete;

    unsigned threads() const { return thread_count; }
    // Expands the block on the calling thread.
    void run(expansion& job);
    // Has a worker expand the block (the calling thread, at once, where no
    // worker can be had); finish must follow before the job is used again.
    // Without wake, the workers are woken by wake() or finish, for several
    // blocks at once.
    void start(expansion& job, bool wake = true);
    void wake() { pool.wake(); }
    void finish(expansion& job) { pool.wait(job); }

private:
    static void work(void* self, unsigned worker, worker_pool::job& task);
    // The decompressors: one per worker (threads of them), then the
    // caller's; none when they cannot be had.
    block_inflater* inflaters();

    unsigned thread_count;
    block_inflater* made = nullptr;
    worker_pool pool;
    bool inline_only = false; // no worker could be started
};

} // namespace kistle::internal

#endif
