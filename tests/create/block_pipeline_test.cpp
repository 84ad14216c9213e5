// One folder's stream from its inputs to its blocks: the same blocks in the
// same order on the calling thread alone and with threads, whether blocks
// stay in flight across inputs or not, failures included.
#include "block_pipeline.h"

#include <sstream>
#include <string>
#include <vector>
#include <zlib.h>

#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "cabinet_parse.h"
#include "parallel_encoder.h"

using namespace kistle::internal;

namespace {

// How a pipeline runs: alone, or on threads, holding blocks across inputs
// or not.
struct run_mode {
    bool threads;
    bool hold;
};

const run_mode modes[] = {{false, false}, {true, false}, {true, true}};

std::string describe(const run_mode& mode) {
    return std::string(mode.threads ? "threads" : "alone") + (mode.hold ? ", holding" : "");
}

// A pipeline and what it borrows.
struct pipeline_run {
    std::ostringstream out;
    parallel_encoder threads{3};
    block_pipeline pipeline;

    pipeline_run(const block_encoding& encoding, const run_mode& mode) : pipeline(out, encoding) {
        static_cast<void>(pipeline.start());
        pipeline_helpers helpers;
        helpers.threads = mode.threads ? &threads : nullptr;
        helpers.hold = mode.hold;
        pipeline.use(helpers);
    }

    int take(const std::string& bytes) {
        std::istringstream in(bytes);
        return pipeline.take(in);
    }
};

const block_encoding libdeflate_encoding{1, deflater::libdeflate, -1};

// Inputs of every size around a block: the blocks written are the same in
// every mode, and holding leaves them in flight until drained.
TEST(block_pipeline, same_blocks_in_every_mode) {
    const std::vector<std::size_t> sizes = {5, 32767, 40000, 0, 1, 100000, 32766, 7, 65534};
    std::string expected;
    for (const run_mode& mode : modes) {
        pipeline_run run(libdeflate_encoding, mode);
        uint64_t total = 0;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            ASSERT_EQ(run.take(sample_bytes(sizes[i], static_cast<unsigned>(i))), 0);
            total += sizes[i];
            EXPECT_EQ(run.pipeline.stream_size(), total) << describe(mode);
        }
        if (!mode.hold) {
            EXPECT_EQ(run.pipeline.blocks.blocks(), run.pipeline.blocks_taken());
        }
        ASSERT_EQ(run.pipeline.flush(), 0);
        EXPECT_EQ(run.pipeline.blocks.blocks(), (total + 32766) / 32767) << describe(mode);
        EXPECT_EQ(run.pipeline.blocks.bytes(), run.out.str().size());
        if (expected.empty())
            expected = run.out.str();
        EXPECT_TRUE(run.out.str() == expected) << describe(mode);
    }
}

// Taking the threads back writes what they hold first, in order.
TEST(block_pipeline, threads_taken_back_write_what_they_hold) {
    pipeline_run held(libdeflate_encoding, {true, true});
    pipeline_run alone(libdeflate_encoding, {false, false});
    const std::string bytes = sample_bytes(5 * 32767 + 10, 1);
    ASSERT_EQ(held.take(bytes), 0);
    ASSERT_EQ(alone.take(bytes), 0);
    EXPECT_LT(held.pipeline.blocks.blocks(), 5u) << "blocks should still be in flight";
    held.pipeline.use(pipeline_helpers());
    EXPECT_EQ(held.threads.in_flight(), 0u);
    EXPECT_EQ(held.pipeline.blocks.blocks(), 5u);
    EXPECT_TRUE(held.out.str() == alone.out.str());
}

// A block that cannot be deflated takes with it the bytes of the input
// before, already in the stream: the stream fails, so nothing behind the gap
// passes for a complete folder. A level zlib refuses stands in for any
// deflate failure, such as memory running out.
TEST(block_pipeline, a_block_that_cannot_be_deflated_fails_the_stream) {
    const block_encoding refused{1, deflater::zlib, 42};
    for (const run_mode& mode : modes) {
        pipeline_run run(refused, mode);
        EXPECT_EQ(run.take(sample_bytes(20000, 1)), 0) << describe(mode);
        int status = run.take(sample_bytes(200000, 2));
        if (status == CAB_STATUS_OK && mode.hold)
            status = run.pipeline.drain();
        EXPECT_EQ(status, convert_z_error_code(Z_STREAM_ERROR)) << describe(mode);
        EXPECT_TRUE(run.out.bad()) << describe(mode);
        EXPECT_EQ(run.pipeline.blocks.blocks(), 0u) << describe(mode);
    }
}

// A folder's last blocks: the limit counts the blocks still in flight.
TEST(block_pipeline, block_limit_counts_blocks_in_flight) {
    const std::string bytes = sample_bytes(10 * 32767 + 5, 1);
    // Blocks of no payload, as already encoded, fill the folder fast.
    const uint8_t empty_block[16] = {};
    for (const run_mode& mode : modes) {
        pipeline_run run(libdeflate_encoding, mode);
        for (uint32_t i = 0; i < block_pipeline::max_blocks - 5; ++i)
            ASSERT_EQ(run.pipeline.blocks.write_encoded(empty_block, sizeof empty_block), 0);
        EXPECT_EQ(run.take(bytes), CAB_ERROR_TOO_MANY_FILES) << describe(mode);
        EXPECT_EQ(run.pipeline.blocks_taken(), block_pipeline::max_blocks) << describe(mode);
        EXPECT_EQ(run.pipeline.room(), 0u);
        ASSERT_EQ(run.pipeline.flush(), 0);
        EXPECT_EQ(run.pipeline.blocks.blocks(), block_pipeline::max_blocks) << describe(mode);
    }
}

} // namespace
