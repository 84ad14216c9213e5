#include "worker_pool.h"

#include <csignal>
#include <cstdlib>
#include <sched.h>
#include <unistd.h>

namespace kistle::internal {

unsigned worker_pool::cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1u;
}

bool worker_pool::start(unsigned count, work_function function, void* function_context) {
    stop();
    if (count == 0)
        count = 1;
    threads = static_cast<pthread_t*>(std::malloc(count * sizeof(pthread_t)));
    if (threads == nullptr)
        return false;
    work = function;
    context = function_context;
    next_worker = 0;
    // Signals go to the program's own threads, whose handlers expect them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    while (thread_count < count && pthread_create(&threads[thread_count], nullptr, run, this) == 0)
        ++thread_count;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (thread_count == count)
        return true;
    stop();
    return false;
}

void* worker_pool::run(void* self) {
    worker_pool& pool = *static_cast<worker_pool*>(self);
    pthread_mutex_lock(&pool.lock);
    unsigned worker = pool.next_worker++;
    pthread_mutex_unlock(&pool.lock);
    pool.serve(worker);
    return nullptr;
}

void worker_pool::serve(unsigned worker) {
    pthread_mutex_lock(&lock);
    for (;;) {
        while (first == nullptr && !stopping)
            pthread_cond_wait(&queued, &lock);
        // Jobs submitted before stop are still done: their owner waits for them.
        if (first == nullptr)
            break;
        job& task = *first;
        first = task.next;
        pthread_mutex_unlock(&lock);
        work(context, worker, task);
        pthread_mutex_lock(&lock);
        task.done.store(true, std::memory_order_release);
        if (waiters != 0)
            pthread_cond_broadcast(&finished);
    }
    pthread_mutex_unlock(&lock);
}

void worker_pool::submit(job& task, bool wake) {
    pthread_mutex_lock(&lock);
    task.done.store(false, std::memory_order_relaxed);
    task.next = nullptr;
    if (first == nullptr)
        first = &task;
    else
        last->next = &task;
    last = &task;
    if (wake)
        pthread_cond_signal(&queued);
    pthread_mutex_unlock(&lock);
}

void worker_pool::wake() {
    pthread_mutex_lock(&lock);
    if (first != nullptr)
        pthread_cond_broadcast(&queued);
    pthread_mutex_unlock(&lock);
}

void worker_pool::wait(job& task) {
    pthread_mutex_lock(&lock);
    // A job queued without a wake is never left waiting for one.
    if (!task.done && first != nullptr)
        pthread_cond_broadcast(&queued);
    ++waiters;
    while (!task.done)
        pthread_cond_wait(&finished, &lock);
    --waiters;
    pthread_mutex_unlock(&lock);
}

bool worker_pool::take_back(job& task) {
    pthread_mutex_lock(&lock);
    const bool next = first == &task;
    if (next) {
        first = task.next;
        if (first == nullptr)
            last = nullptr;
        task.next = nullptr;
    }
    pthread_mutex_unlock(&lock);
    return next;
}

void worker_pool::stop() {
    if (threads == nullptr)
        return;
    pthread_mutex_lock(&lock);
    stopping = true;
    pthread_cond_broadcast(&queued);
    pthread_mutex_unlock(&lock);
    for (unsigned i = 0; i < thread_count; ++i)
        pthread_join(threads[i], nullptr);
    std::free(threads);
    threads = nullptr;
    thread_count = 0;
    stopping = false;
}

} // namespace kistle::internal
