// A creator's worker threads, deflating and check-summing a folder's full
// blocks while the folder reads on (internal). Blocks are handed in and
// taken back in the same order, so the folder writes them exactly as one
// thread would; at most two blocks per thread are in flight.
#ifndef KISTLE_PARALLEL_DEFLATE_H
#define KISTLE_PARALLEL_DEFLATE_H

#include <cstdint>

#include "worker_pool.h"

struct z_stream_s;

class parallel_deflate {
public:
    // A block and what it became.
    struct block_job : worker_pool::job {
        uint8_t* data = nullptr; // the block's bytes, owned (malloc)
        uint16_t size = 0;
        uint8_t* out = nullptr; // its payload, owned (malloc)
        uint16_t out_size = 0;
        uint64_t csum = 0;
        int status = 0; // of deflating it
    };

    // threads workers, started when the first block comes.
    explicit parallel_deflate(unsigned threads) : thread_count(threads) {}
    // Waits for the blocks in flight and ends the threads.
    ~parallel_deflate();
    parallel_deflate(const parallel_deflate&) = delete;
    parallel_deflate& operator=(const parallel_deflate&) = delete;

    // False when the jobs cannot be had (out of memory): the caller deflates
    // on its own then.
    bool ready();
    unsigned in_flight() const { return count; }
    bool full() const { return count == capacity; }
    // Takes data (a malloc'd block of size bytes) and has it deflated; not
    // when full(). Where no thread can be started, it is deflated at once.
    void submit(uint8_t* data, uint16_t size);
    // Waits for the oldest block in flight (there must be one).
    block_job& oldest();
    // Frees the oldest block and its payload, keeping errno.
    void release_oldest();
    // Waits for every block in flight and frees them all.
    void discard();

private:
    static void work(void* self, unsigned worker, worker_pool::job& task);

    unsigned thread_count;
    unsigned capacity = 0;
    block_job* jobs = nullptr; // capacity of them, a ring
    unsigned first = 0;        // the oldest in flight
    unsigned count = 0;
    z_stream_s** compressors = nullptr; // one per worker, made by the worker
    worker_pool pool;
    bool inline_only = false; // no thread could be started
};

#endif
