// The worker pool: every job submitted is done once, by one worker, and what
// it wrote is there for the owner after wait; stop finishes what was queued.
#include "worker_pool.h"

#include <vector>

#include <gtest/gtest.h>

using namespace kistle::internal;

namespace {

struct counting_job : worker_pool::job {
    unsigned input = 0;
    unsigned output = 0;
    unsigned worker = 0;
    unsigned runs = 0;
};

// Squares the input; each worker counts its jobs in its own slot.
void square(void* context, unsigned worker, worker_pool::job& task) {
    counting_job& job = static_cast<counting_job&>(task);
    job.output = job.input * job.input;
    job.worker = worker;
    ++job.runs;
    ++static_cast<std::vector<unsigned>*>(context)->at(worker);
}

TEST(worker_pool_test, runs_every_job_once_for_its_owner) {
    for (unsigned threads : {1u, 3u}) {
        std::vector<unsigned> per_worker(threads);
        worker_pool pool;
        ASSERT_TRUE(pool.start(threads, square, &per_worker));
        EXPECT_EQ(pool.size(), threads);
        std::vector<counting_job> jobs(200);
        // Jobs are reused once waited for, as the library's owners do.
        for (int round = 0; round < 2; ++round) {
            for (unsigned i = 0; i < jobs.size(); ++i) {
                jobs[i].input = i + round;
                pool.submit(jobs[i]);
            }
            for (unsigned i = 0; i < jobs.size(); ++i) {
                pool.wait(jobs[i]);
                EXPECT_EQ(jobs[i].output, (i + round) * (i + round));
                EXPECT_LT(jobs[i].worker, threads);
                EXPECT_EQ(jobs[i].runs, round + 1u);
            }
        }
        pool.stop();
        unsigned total = 0;
        for (unsigned count : per_worker)
            total += count;
        EXPECT_EQ(total, 400u) << threads;
    }
}

// An owner that takes its oldest job back runs it itself: every job is run
// once, by a worker or by the owner, never by both, and none is lost.
TEST(worker_pool_test, a_job_taken_back_is_run_by_its_owner_alone) {
    std::vector<unsigned> per_worker(3);
    worker_pool pool;
    ASSERT_TRUE(pool.start(2, square, &per_worker));
    std::vector<counting_job> jobs(300);
    unsigned taken = 0;
    for (unsigned i = 0; i < jobs.size(); ++i) {
        jobs[i].input = i;
        pool.submit(jobs[i], i % 3 == 0);
        if (i < 4)
            continue;
        counting_job& oldest = jobs[i - 4];
        if (pool.take_back(oldest)) {
            square(&per_worker, 2, oldest);
            ++taken;
        } else {
            pool.wait(oldest);
        }
    }
    for (unsigned i = jobs.size() - 4; i < jobs.size(); ++i)
        pool.wait(jobs[i]);
    pool.stop();
    for (unsigned i = 0; i < jobs.size(); ++i) {
        EXPECT_EQ(jobs[i].runs, 1u) << i;
        EXPECT_EQ(jobs[i].output, i * i);
    }
    EXPECT_EQ(per_worker[2], taken);
    EXPECT_FALSE(pool.take_back(jobs[0])) << "a job done is no longer queued";
}

TEST(worker_pool_test, stop_finishes_the_jobs_queued) {
    std::vector<unsigned> per_worker(2);
    std::vector<counting_job> jobs(50);
    worker_pool pool;
    ASSERT_TRUE(pool.start(2, square, &per_worker));
    for (counting_job& job : jobs)
        pool.submit(job);
    pool.stop();
    EXPECT_FALSE(pool.started());
    for (counting_job& job : jobs) {
        EXPECT_TRUE(job.done);
        EXPECT_EQ(job.runs, 1u);
    }
    // A stopped pool can start again.
    ASSERT_TRUE(pool.start(1, square, &per_worker));
    counting_job last;
    last.input = 7;
    pool.submit(last);
    pool.wait(last);
    EXPECT_EQ(last.output, 49u);
}

// Jobs queued without a wake are still done: by a wake, or when waited for.
TEST(worker_pool_test, jobs_queued_without_a_wake_are_done) {
    std::vector<unsigned> per_worker(2);
    std::vector<counting_job> jobs(20);
    worker_pool pool;
    ASSERT_TRUE(pool.start(2, square, &per_worker));
    for (unsigned i = 0; i < jobs.size(); ++i) {
        jobs[i].input = i;
        pool.submit(jobs[i], false);
        if (i == 9)
            pool.wake();
    }
    for (unsigned i = jobs.size(); i-- > 0;) {
        pool.wait(jobs[i]);
        EXPECT_TRUE(worker_pool::is_done(jobs[i]));
        EXPECT_EQ(jobs[i].output, i * i);
    }
}

TEST(worker_pool_test, cores) {
    EXPECT_GE(worker_pool::cores(), 1u);
}

} // namespace
