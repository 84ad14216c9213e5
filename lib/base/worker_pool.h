// Threads that run one owner's jobs (internal). The owner submits jobs and
// waits for each before it touches the job again; workers take them in the
// order submitted. Owners that hand results on in order (blocks to a data
// stream, bytes to an output) wait for their jobs in that order, so the
// threads change when work is done, never what comes out.
#ifndef KISTLE_WORKER_POOL_H
#define KISTLE_WORKER_POOL_H

#include <atomic>
#include <pthread.h>

namespace kistle::internal {

class worker_pool {
public:
    // The part of a job the pool uses; an owner's job type derives from it.
    struct job {
        job* next = nullptr;
        // Set under the pool's lock; read without it by is_done.
        std::atomic<bool> done{true};
    };
    // Runs one job on worker number worker (0 to size() - 1), so that each
    // worker may keep state of its own in context.
    using work_function = void (*)(void* context, unsigned worker, job& task);

    // The cores this process may run on (at least one).
    static unsigned cores();
    // count workers as an owner makes them: at least one, and no more than
    // any machine can keep busy, however many were asked for. The owners'
    // job tables grow with the count, and a count near UINT_MAX would
    // overflow them or fail where fewer threads succeed.
    static unsigned usable(unsigned count) { return count < 1 ? 1 : count > 256 ? 256 : count; }

    worker_pool() = default;
    // Finishes every job submitted, then ends the threads.
    ~worker_pool() { stop(); }
    worker_pool(const worker_pool&) = delete;
    worker_pool& operator=(const worker_pool&) = delete;

    // Starts count threads (at least one) that run work(context, ...). False
    // when a thread cannot be made; nothing is running then.
    bool start(unsigned count, work_function work, void* context);
    bool started() const { return threads != nullptr; }
    unsigned size() const { return thread_count; }

    // Queues task for the next free worker. Only a started pool takes jobs,
    // and a task must not be submitted again before it is done. Without
    // wake, a worker that sleeps is not woken for it: the owner wakes them
    // for several jobs at once, which costs the system far less, before it
    // waits for any of them.
    void submit(job& task, bool wake = true);
    // Wakes the workers for the jobs queued.
    void wake();
    // Returns once task is done (at once for a task never submitted); what
    // the worker wrote into it is then visible to the caller.
    void wait(job& task);
    // Takes task back when it is next in the queue and no worker has taken
    // it yet: the owner then runs it itself rather than sleep until a
    // worker has, which costs more than the job where jobs are quick.
    bool take_back(job& task);
    // Whether task is done, without waiting or locking; as after wait, what
    // the worker wrote is then visible.
    static bool is_done(const job& task) { return task.done.load(std::memory_order_acquire); }
    // Finishes every job submitted and ends the threads; start may follow.
    void stop();

private:
    static void* run(void* self);
    void serve(unsigned worker);

    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t queued = PTHREAD_COND_INITIALIZER;   // a job was submitted, or stop
    pthread_cond_t finished = PTHREAD_COND_INITIALIZER; // a job is done
    job* first = nullptr;                               // jobs not yet taken, in order
    job* last = nullptr;
    unsigned waiters = 0; // owners asleep in wait(): only they need a finished signal
    bool stopping = false;
    unsigned next_worker = 0; // the number the next thread to start takes

    work_function work = nullptr;
    void* context = nullptr;
    pthread_t* threads = nullptr;
    unsigned thread_count = 0;
};

} // namespace kistle::internal

#endif
