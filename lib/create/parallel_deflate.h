// A creator's worker threads, deflating and check-summing a folder's full
// blocks while the folder reads on (internal). Blocks are handed in and
// taken back in the same order, so the folder writes them exactly as one
// thread would; at most two blocks per thread are in flight. A block handed
// in alone waits: if no second one follows before it is taken back, the
// caller deflates it, so a file of one block costs no thread and no wait.
#ifndef KISTLE_PARALLEL_DEFLATE_H
#define KISTLE_PARALLEL_DEFLATE_H

#include <cstdint>

#include "worker_pool.h"

struct z_stream_s;

namespace kistle::internal {

class parallel_deflate {
public:
    // A block and what it became.
    struct block_job : worker_pool::job {
        uint8_t* data = nullptr; // the block's bytes, owned (malloc)
        uint16_t size = 0;
        int level = -1;         // zlib's level
        uint8_t* out = nullptr; // its payload, owned (malloc)
        uint16_t out_size = 0;
        uint64_t csum = 0;
        int status = 0;       // of deflating it
        bool waiting = false; // handed in alone, given to no thread yet
    };

    // threads workers, started when two blocks are first in flight.
    explicit parallel_deflate(unsigned threads) : thread_count(worker_pool::usable(threads)) {}
    // Waits for the blocks in flight and ends the threads.
    ~parallel_deflate();
    parallel_deflate(const parallel_deflate&) = delete;
    parallel_deflate& operator=(const parallel_deflate&) = delete;

    // False when the jobs cannot be had (out of memory): the caller deflates
    // on its own then.
    [[nodiscard]] bool ready();
    unsigned in_flight() const { return count; }
    bool full() const { return count == capacity; }
    // Takes data (a malloc'd block of size bytes) and has it deflated at
    // level; not when full(). Where no thread can be started, the blocks are
    // deflated on the calling thread.
    void submit(uint8_t* data, uint16_t size, int level);
    // Waits for the oldest block in flight (there must be one).
    block_job& oldest();
    // Frees the oldest block and its payload, keeping errno.
    void release_oldest();
    // Waits for every block in flight and frees them all.
    void discard();

private:
    // A worker's compressor and the level it was made for.
    struct compressor {
        z_stream_s* stream = nullptr;
        int level = 0;
    };

    static void work(void* self, unsigned worker, worker_pool::job& task);
    block_job& job_at(unsigned i) { return jobs[(first + i) % capacity]; }
    void hand_over(block_job& job);

    unsigned thread_count;
    unsigned capacity = 0;
    block_job* jobs = nullptr; // capacity of them, a ring
    unsigned first = 0;        // the oldest in flight
    unsigned count = 0;
    compressor* compressors = nullptr; // one per worker, made by the worker
    worker_pool pool;
    bool inline_only = false; // no thread could be started
};

} // namespace kistle::internal

#endif
