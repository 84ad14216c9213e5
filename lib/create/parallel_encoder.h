// The threaded form of block_encoder (internal): worker threads encode and
// check-sum blocks while their owner reads on. Blocks are handed in and
// taken back in the same order, so the owner writes them exactly as one
// thread would; at most blocks_per_thread blocks per thread are in flight.
// A block handed in alone waits: if no second one follows before it is
// taken back, the owner's thread encodes it, so a lone block costs no
// thread and no wait. One set of threads may serve one folder after
// another, each with its own encoding.
#ifndef KISTLE_PARALLEL_ENCODER_H
#define KISTLE_PARALLEL_ENCODER_H

#include <cstdint>

#include "block_encoder.h"
#include "worker_pool.h"

namespace kistle::internal {

class parallel_encoder {
public:
    // Enough for a worker to find its next block ready when it finishes
    // one, even while the owner opens a few small files.
    static constexpr unsigned blocks_per_thread = 4;

    // A block and what it became.
    struct block_job : worker_pool::job {
        uint8_t* data = nullptr; // the block's bytes, owned (malloc)
        uint16_t size = 0;
        block_encoding encoding;
        uint8_t* out = nullptr; // its payload, owned (malloc) unless it is data
        uint16_t out_size = 0;
        uint64_t csum = 0;
        int status = 0;       // of encoding it
        bool waiting = false; // handed in alone, given to no thread yet
    };

    // threads workers, started when two blocks are first in flight.
    explicit parallel_encoder(unsigned threads) : thread_count(worker_pool::usable(threads)) {}
    // Waits for the blocks in flight and ends the threads.
    ~parallel_encoder();
    parallel_encoder(const parallel_encoder&) = delete;
    parallel_encoder& operator=(const parallel_encoder&) = delete;

    // False when the jobs cannot be had (out of memory): the owner encodes
    // on its own then.
    [[nodiscard]] bool ready();
    unsigned threads() const { return thread_count; }
    unsigned in_flight() const { return count; }
    bool full() const { return count == capacity; }
    // Takes data (a malloc'd block of size bytes) and has it encoded as
    // encoding says; not when full(). Where no thread can be started, the
    // blocks are encoded on the calling thread.
    void submit(uint8_t* data, uint16_t size, const block_encoding& encoding);
    // Waits for the oldest block in flight (there must be one).
    block_job& oldest();
    // Frees the oldest block and its payload, keeping errno.
    void release_oldest();
    // Waits for every block in flight and frees them all.
    void discard();

private:
    static void work(void* self, unsigned worker, worker_pool::job& task);
    block_job& job_at(unsigned i) { return jobs[(first + i) % capacity]; }
    void hand_over(block_job& job);

    unsigned thread_count;
    unsigned capacity = 0;
    block_job* jobs = nullptr; // capacity of them, a ring
    unsigned first = 0;        // the oldest in flight
    unsigned count = 0;
    block_encoder* encoders = nullptr; // one per worker, started by the worker
    worker_pool pool;
    bool inline_only = false; // no thread could be started
};

} // namespace kistle::internal

#endif
