// One folder's stream on its way to the data file (internal): a block
// source cuts the inputs into blocks, an encoder (on the calling thread, or
// its threaded form when threads are lent) turns each into its payload, and
// a sink writes them in order. Lent threads encode the blocks as they fill
// while the caller reads on; with hold set, blocks stay in flight from one
// input to the next, so a tree of small files keeps every thread busy. The
// sink gets the same blocks in the same order whatever the threads.
#ifndef KISTLE_BLOCK_PIPELINE_H
#define KISTLE_BLOCK_PIPELINE_H

#include <cstdint>
#include <istream>
#include <ostream>

#include "block_encoder.h"
#include "block_sink.h"
#include "block_source.h"

namespace kistle::internal {

class parallel_encoder;
struct progress_callback;

// What a pipeline borrows from its owner; none of it is owned.
struct pipeline_helpers {
    // Encode a deflate folder's blocks; one folder at a time uses them.
    parallel_encoder* threads = nullptr;
    // Gets the bytes take reads, on the calling thread; may stop it.
    const progress_callback* progress = nullptr;
    // Blocks stay in flight across inputs, up to drain or flush.
    bool hold = false;
};

class block_pipeline {
public:
    // cCFData is 16-bit: a folder holds at most this many blocks.
    static constexpr uint32_t max_blocks = 0xFFFF;

    // Blocks go to out, which must outlive the pipeline's writing.
    block_pipeline(std::ostream& out, const block_encoding& encoding)
        : encoding(encoding), blocks(out) {}
    // Drops any blocks still in flight.
    ~block_pipeline();
    block_pipeline(const block_pipeline&) = delete;
    block_pipeline& operator=(const block_pipeline&) = delete;

    // Makes the calling thread's compressor: block_encoder::start's statuses.
    [[nodiscard]] int start() { return alone.start(encoding); }
    // Takes helpers from now on. Blocks in flight on other threads are
    // written first (a failure to write them shows in the stream).
    void use(const pipeline_helpers& helpers);

    // Reads in to its end into the stream, and writes the blocks it fills,
    // or has them in flight. CAB_STATUS_OK; block_source::read_block's
    // failures, after which the bytes read wait as the partial block;
    // CAB_ERROR_STOPPED when progress asked to stop, with what was read in
    // the stream; CAB_ERROR_WRITE, or an encoder's status, for a block
    // that could not be written (the stream fails, and the blocks in
    // flight and the partial block are dropped).
    [[nodiscard]] int take(std::istream& in);
    // Writes every block in flight, in order; a failure as take's.
    [[nodiscard]] int drain();
    // drain, then the partial block as the stream's last. After a failure
    // the partial block stays. The lent threads are let go either way.
    [[nodiscard]] int flush();
    // Encodes one block on the calling thread and writes it. A failure to
    // encode makes the stream fail (the block is missing from it).
    [[nodiscard]] int write_block(const uint8_t* data, uint16_t size);

    // Blocks written or in flight, and the bytes they and the partial
    // block hold.
    uint32_t blocks_taken() const;
    uint64_t stream_size() const {
        return uint64_t{blocks_taken()} * block_source::block_size + source.partial_size();
    }
    // Blocks the stream may still have.
    uint32_t room() const { return max_blocks - blocks_taken(); }

    block_source source;
    block_encoder alone; // the calling thread's
    const block_encoding encoding;
    block_sink blocks;

private:
    bool threaded() const;
    [[nodiscard]] int take_alone(std::istream& in);
    [[nodiscard]] int take_threaded(std::istream& in);
    // Writes the oldest block in flight, or fails the stream.
    [[nodiscard]] int write_oldest();
    // After a block that could not be written: what one thread would not
    // have read goes.
    void drop_in_flight();

    pipeline_helpers helpers;
};

} // namespace kistle::internal

#endif
