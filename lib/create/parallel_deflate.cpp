#include "parallel_deflate.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#include "block_deflate.h"
#include "cabinet_datablock.h"
#include "cabinet_status.h"

parallel_deflate::~parallel_deflate() {
    discard();
    pool.stop();
    for (unsigned i = 0; compressors != nullptr && i < thread_count; ++i)
        end_block_compressor(compressors[i]);
    std::free(compressors);
    delete[] jobs;
}

bool parallel_deflate::ready() {
    if (jobs != nullptr)
        return true;
    compressors = static_cast<z_stream_s**>(std::calloc(thread_count, sizeof(z_stream_s*)));
    // Two blocks a thread: one being deflated, one waiting for it.
    jobs = compressors != nullptr ? new (std::nothrow) block_job[2 * thread_count] : nullptr;
    if (jobs == nullptr) {
        std::free(compressors);
        compressors = nullptr;
        return false;
    }
    capacity = 2 * thread_count;
    return true;
}

void parallel_deflate::work(void* self, unsigned worker, worker_pool::job& task) {
    parallel_deflate& owner = *static_cast<parallel_deflate*>(self);
    block_job& job = static_cast<block_job&>(task);
    z_stream_s*& compressor = owner.compressors[worker];
    job.status = compressor != nullptr ? CAB_STATUS_OK : make_block_compressor(compressor);
    if (job.status == CAB_STATUS_OK)
        job.status = deflate_block(compressor, job.data, job.size, job.out, job.out_size);
    if (job.status == CAB_STATUS_OK)
        job.csum = cabinet_datablock::block_checksum(job.out, job.out_size, job.size);
}

void parallel_deflate::submit(uint8_t* data, uint16_t size) {
    block_job& job = jobs[(first + count) % capacity];
    ++count;
    job.data = data;
    job.size = size;
    job.out = nullptr;
    job.out_size = 0;
    if (!pool.started() && !inline_only)
        inline_only = !pool.start(thread_count, work, this);
    if (inline_only)
        work(this, 0, job); // no thread runs: worker 0's compressor is free
    else
        pool.submit(job);
}

parallel_deflate::block_job& parallel_deflate::oldest() {
    block_job& job = jobs[first];
    pool.wait(job);
    return job;
}

void parallel_deflate::release_oldest() {
    int saved = errno;
    block_job& job = jobs[first];
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
