#include "parallel_encoder.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_status.h>

namespace kistle::internal {

parallel_encoder::~parallel_encoder() {
    discard();
    pool.stop();
    delete[] encoders;
    delete[] jobs;
}

bool parallel_encoder::ready() {
    if (jobs != nullptr)
        return true;
    // One more for the owner, which encodes what it takes back.
    encoders = new (std::nothrow) block_encoder[thread_count + 1];
    jobs = encoders != nullptr ? new (std::nothrow) block_job[blocks_per_thread * thread_count]
                               : nullptr;
    if (jobs == nullptr) {
        delete[] encoders;
        encoders = nullptr;
        return false;
    }
    capacity = blocks_per_thread * thread_count;
    return true;
}

void parallel_encoder::work(void* self, unsigned worker, worker_pool::job& task) {
    parallel_encoder& owner = *static_cast<parallel_encoder*>(self);
    block_job& job = static_cast<block_job&>(task);
    block_encoder& own = owner.encoders[worker];
    job.status = CAB_STATUS_OK;
    // Folders served one after another may be encoded differently.
    if (!own.ready_for(job.encoding))
        job.status = own.start(job.encoding);
    if (job.status == CAB_STATUS_OK)
        job.status = own.encode(job.data, job.size, job.out, job.out_size);
    if (job.status == CAB_STATUS_OK)
        job.csum = cabinet_datablock::block_checksum(job.out, job.out_size, job.size);
}

void parallel_encoder::hand_over(block_job& job) {
    job.waiting = false;
    if (inline_only)
        work(this, 0, job); // no thread runs: worker 0's encoder is free
    else
        pool.submit(job);
}

void parallel_encoder::submit(uint8_t* data, uint16_t size, const block_encoding& encoding) {
    block_job& job = job_at(count);
    ++count;
    job.data = data;
    job.size = size;
    job.encoding = encoding;
    job.out = nullptr;
    job.out_size = 0;
    if (count == 1) {
        job.waiting = true; // perhaps the only block for a while
        return;
    }
    if (!pool.started() && !inline_only)
        inline_only = !pool.start(thread_count, work, this);
    if (job_at(0).waiting)
        hand_over(job_at(0));
    hand_over(job);
}

parallel_encoder::block_job& parallel_encoder::oldest() {
    block_job& job = job_at(0);
    if (job.waiting) {
        job.waiting = false;
        work(this, 0, job); // alone, so on the calling thread; no worker is busy
    } else if (!inline_only && pool.take_back(job)) {
        // The workers are busy with the blocks after it: the owner encodes
        // it with an encoder of its own rather than sleep.
        work(this, thread_count, job);
        job.done.store(true, std::memory_order_relaxed);
    } else {
        pool.wait(job);
    }
    return job;
}

void parallel_encoder::release_oldest() {
    const int saved = errno;
    block_job& job = job_at(0);
    if (job.out != job.data)
        std::free(job.out);
    std::free(job.data);
    job.data = nullptr;
    job.out = nullptr;
    first = (first + 1) % capacity;
    --count;
    errno = saved;
}

void parallel_encoder::discard() {
    while (count != 0) {
        oldest();
        release_oldest();
    }
}

} // namespace kistle::internal
