#include "parallel_deflate.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_status.h>

#include "block_deflate.h"

namespace kistle::internal {

parallel_deflate::~parallel_deflate() {
    discard();
    pool.stop();
    for (unsigned i = 0; compressors != nullptr && i < thread_count; ++i)
        end_block_compressor(compressors[i].stream);
    delete[] compressors;
    delete[] jobs;
}

bool parallel_deflate::ready() {
    if (jobs != nullptr)
        return true;
    compressors = new (std::nothrow) compressor[thread_count];
    // Two blocks a thread: one being deflated, one waiting for it.
    jobs = compressors != nullptr ? new (std::nothrow) block_job[2 * thread_count] : nullptr;
    if (jobs == nullptr) {
        delete[] compressors;
        compressors = nullptr;
        return false;
    }
    capacity = 2 * thread_count;
    return true;
}

void parallel_deflate::work(void* self, unsigned worker, worker_pool::job& task) {
    parallel_deflate& owner = *static_cast<parallel_deflate*>(self);
    block_job& job = static_cast<block_job&>(task);
    compressor& own = owner.compressors[worker];
    job.status = CAB_STATUS_OK;
    // Folders of the same cabinet may be deflated at different levels.
    if (own.stream != nullptr && own.level != job.level)
        end_block_compressor(own.stream);
    if (own.stream == nullptr) {
        job.status = make_block_compressor(own.stream, job.level);
        own.level = job.level;
    }
    if (job.status == CAB_STATUS_OK)
        job.status = deflate_block(own.stream, job.data, job.size, job.out, job.out_size);
    if (job.status == CAB_STATUS_OK)
        job.csum = cabinet_datablock::block_checksum(job.out, job.out_size, job.size);
}

void parallel_deflate::hand_over(block_job& job) {
    job.waiting = false;
    if (inline_only)
        work(this, 0, job); // no thread runs: worker 0's compressor is free
    else
        pool.submit(job);
}

void parallel_deflate::submit(uint8_t* data, uint16_t size, int level) {
    block_job& job = job_at(count);
    ++count;
    job.data = data;
    job.size = size;
    job.level = level;
    job.out = nullptr;
    job.out_size = 0;
    if (count == 1) {
        job.waiting = true; // perhaps the file's only block
        return;
    }
    if (!pool.started() && !inline_only)
        inline_only = !pool.start(thread_count, work, this);
    if (job_at(0).waiting)
        hand_over(job_at(0));
    hand_over(job);
}

parallel_deflate::block_job& parallel_deflate::oldest() {
    block_job& job = job_at(0);
    if (job.waiting) {
        job.waiting = false;
        work(this, 0, job); // alone, so on the calling thread; no worker is busy
    } else {
        pool.wait(job);
    }
    return job;
}

void parallel_deflate::release_oldest() {
    int saved = errno;
    block_job& job = job_at(0);
    std::free(job.data);
    std::free(job.out);
    job.data = nullptr;
    job.out = nullptr;
    first = (first + 1) % capacity;
    --count;
    errno = saved;
}

void parallel_deflate::discard() {
    while (count != 0) {
        oldest();
        release_oldest();
    }
}

} // namespace kistle::internal
