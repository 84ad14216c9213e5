#include "block_pipeline.h"

#include <cerrno>
#include <cstdlib>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_status.h>

#include "parallel_encoder.h"
#include "progress_callback.h"

namespace kistle::internal {

namespace {

// Frees a buffer on a failure path without disturbing errno, so that the
// caller can still report the system call that failed.
void release_keeping_errno(void* buffer) {
    const int saved = errno;
    std::free(buffer);
    errno = saved;
}

} // namespace

block_pipeline::~block_pipeline() {
    if (helpers.threads != nullptr)
        helpers.threads->discard();
}

void block_pipeline::use(const pipeline_helpers& given) {
    if (given.threads != helpers.threads && helpers.threads != nullptr &&
        helpers.threads->in_flight() != 0)
        static_cast<void>(drain()); // a failure has failed the stream
    helpers = given;
}

bool block_pipeline::threaded() const {
    // Only deflating is worth a thread.
    return helpers.threads != nullptr && encoding.type == COMPRESSION_TYPE_DEFLATE &&
           helpers.threads->ready();
}

uint32_t block_pipeline::blocks_taken() const {
    return blocks.blocks() + (helpers.threads != nullptr ? helpers.threads->in_flight() : 0u);
}

int block_pipeline::take(std::istream& in) {
    return threaded() ? take_threaded(in) : take_alone(in);
}

int block_pipeline::write_block(const uint8_t* data, uint16_t size) {
    uint8_t* out = nullptr;
    uint16_t out_size = 0;
    if (int status = alone.encode(data, size, out, out_size)) {
        // The block may hold the end of an earlier input, whose entry is
        // made: only a failed stream stops a cabinet from pointing into
        // the gap.
        blocks.fail();
        return status;
    }
    const int status =
        blocks.write(out, out_size, size, cabinet_datablock::block_checksum(out, out_size, size));
    if (out != data)
        release_keeping_errno(out);
    return status;
}

int block_pipeline::take_alone(std::istream& in) {
    while (!in.eof()) {
        const uint64_t before = stream_size();
        uint8_t* block = nullptr;
        int32_t size = 0;
        if (int status = source.read_block(in, room(), block, size))
            return status;
        if (block != nullptr) {
            const int status = write_block(block, static_cast<uint16_t>(size));
            release_keeping_errno(block);
            if (status != CAB_STATUS_OK)
                return status;
        }
        // Reported once the bytes are in the stream, where a stop leaves them.
        if (!report_progress(helpers.progress, stream_size() - before))
            return CAB_ERROR_STOPPED;
    }
    return CAB_STATUS_OK;
}

int block_pipeline::take_threaded(std::istream& in) {
    parallel_encoder& threads = *helpers.threads;
    int status = CAB_STATUS_OK;  // of reading
    int written = CAB_STATUS_OK; // of encoding and writing, block by block in order
    while (!in.eof()) {
        if (threads.full() && (written = write_oldest()) != CAB_STATUS_OK)
            break;
        const uint64_t before = stream_size();
        uint8_t* block = nullptr;
        int32_t size = 0;
        if ((status = source.read_block(in, room(), block, size)) != CAB_STATUS_OK)
            break;
        if (block != nullptr)
            threads.submit(block, static_cast<uint16_t>(size), encoding);
        if (!report_progress(helpers.progress, stream_size() - before)) {
            status = CAB_ERROR_STOPPED;
            break;
        }
    }
    // The blocks handed over come before anything that failed later. Held
    // blocks wait, unless the stream has failed: then the failure is this
    // call's, as it is on one thread.
    if (written == CAB_STATUS_OK && (!helpers.hold || blocks.failed()))
        written = drain();
    if (written == CAB_STATUS_OK)
        return status;
    drop_in_flight();
    return written;
}

int block_pipeline::write_oldest() {
    parallel_encoder::block_job& job = helpers.threads->oldest();
    int status = job.status;
    if (status == CAB_STATUS_OK)
        status = blocks.write(job.out, job.out_size, job.size, job.csum);
    else
        blocks.fail();
    helpers.threads->release_oldest();
    return status;
}

void block_pipeline::drop_in_flight() {
    // One thread would have stopped at the failed block and read no further.
    const int saved = errno;
    if (helpers.threads != nullptr)
        helpers.threads->discard();
    source.drop();
    errno = saved;
}

int block_pipeline::drain() {
    while (helpers.threads != nullptr && helpers.threads->in_flight() != 0) {
        if (int status = write_oldest()) {
            drop_in_flight();
            return status;
        }
    }
    return CAB_STATUS_OK;
}

int block_pipeline::flush() {
    int status = drain();
    helpers.threads = nullptr;
    if (status == CAB_STATUS_OK && source.partial_size() != 0) {
        status = write_block(source.partial(), source.partial_size());
        if (status == CAB_STATUS_OK)
            source.drop();
    }
    return status;
}

} // namespace kistle::internal
