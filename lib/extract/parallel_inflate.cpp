#include "parallel_inflate.h"

#include <new>

#include <kistle/cabinet_status.h>

namespace kistle::internal {

parallel_inflate::~parallel_inflate() {
    pool.stop();
    delete[] made;
}

block_inflater* parallel_inflate::inflaters() {
    if (made == nullptr)
        made = new (std::nothrow) block_inflater[thread_count + 1];
    return made;
}

void parallel_inflate::work(void* self, unsigned worker, worker_pool::job& task) {
    parallel_inflate& owner = *static_cast<parallel_inflate*>(self);
    expansion& job = static_cast<expansion&>(task);
    // inflaters() was made before any worker started.
    job.status =
        owner.made[worker].expand(job.payload, job.cbData, job.out, job.cbUncomp, job.screen);
}

void parallel_inflate::run(expansion& job) {
    block_inflater* all = inflaters();
    job.status = all != nullptr ? all[thread_count].expand(job.payload, job.cbData, job.out,
                                                           job.cbUncomp, job.screen)
                                : CAB_ERROR_OUT_OF_MEMORY;
}

void parallel_inflate::start(expansion& job, bool wake) {
    if (thread_count > 1 && !pool.started() && !inline_only)
        inline_only = inflaters() == nullptr || !pool.start(thread_count, work, this);
    if (thread_count == 1 || inline_only)
        run(job);
    else
        pool.submit(job, wake);
}

} // namespace kistle::internal
