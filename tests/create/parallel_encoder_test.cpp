// Blocks deflated on worker threads: the creator with any number of threads
// writes the cabinet one thread writes, byte for byte; not pipelined it
// leaves the same state and status after every call, failures included,
// and pipelined (blocks in flight across files) the same entries and
// statuses, a failure to write showing no later than close.
#include "parallel_encoder.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>
#include <zlib.h>

#include <gtest/gtest.h>

#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_status.h>

#include "cabinet_parse.h"
#include "file_size_limit.h"
#include "process_threads.h"
#include "scratch_dir.h"
#include "tmpdir_setting.h"

using namespace kistle::internal;

namespace {

// Runs with TMPDIR in the scratch directory, which must be empty again
// when the test ends.
class threads_test : public ::testing::Test {
protected:
    scratch_dir scratch;
    std::string temp_dir = scratch.file("tmp");
    tmpdir_setting tmpdir{temp_dir};

    void SetUp() override { ASSERT_EQ(mkdir(temp_dir.c_str(), 0700), 0); }
    void TearDown() override {
        EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty()) << "a temporary file was left behind";
    }
};

// What a folder leaves after a call, for comparing runs.
struct folder_state {
    int status;
    int error; // errno after a failure
    uint16_t cCFData;
    uint64_t bytes_written, uncompressed_size;
    uint16_t pending_size;
    uint64_t entries;

    bool operator==(const folder_state& other) const {
        return status == other.status && error == other.error && cCFData == other.cCFData &&
               bytes_written == other.bytes_written &&
               uncompressed_size == other.uncompressed_size && pending_size == other.pending_size &&
               entries == other.entries;
    }
};

std::ostream& operator<<(std::ostream& out, const folder_state& s) {
    return out << "status " << s.status << " errno " << s.error << " blocks " << s.cCFData
               << " written " << s.bytes_written << " size " << s.uncompressed_size << " pending "
               << s.pending_size << " entries " << s.entries;
}

folder_state state_of(const cfc_folderinfo& folder, int status) {
    return {status,
            status != CAB_STATUS_OK ? errno : 0,
            folder.cCFData,
            folder.bytes_written,
            folder.uncompressed_size,
            folder.pending_size,
            folder.files.count};
}

// A folder of the given type (and deflate level) holding files of the given
// sizes.
struct folder_plan {
    uint16_t type;
    std::vector<std::size_t> sizes;
    int level = -1;
};

struct layout_case {
    const char* name;
    std::vector<folder_plan> folders;
};

void PrintTo(const layout_case& c, std::ostream* out) {
    *out << c.name;
}

// One run of the creator: the cabinet's bytes and the state after each call.
struct creation {
    std::string cabinet;
    std::vector<folder_state> states;
};

// The files of a layout, made once so that every run reads the same dates.
std::vector<std::string> write_files(const scratch_dir& scratch, const layout_case& c) {
    std::vector<std::string> paths;
    for (const folder_plan& folder : c.folders) {
        for (std::size_t size : folder.sizes) {
            unsigned seed = static_cast<unsigned>(paths.size());
            paths.push_back(scratch.write("f" + std::to_string(seed), sample_bytes(size, seed)));
        }
    }
    return paths;
}

creation create(const std::vector<std::string>& paths, const layout_case& c, unsigned threads,
                bool pipelined = false) {
    creation result;
    cabinet_creator creator;
    creator.set_threads(threads);
    creator.set_pipelined(pipelined);
    EXPECT_EQ(creator.open(), 0);
    std::size_t next = 0;
    for (const folder_plan& folder : c.folders) {
        EXPECT_EQ(creator.new_folder(folder.type, folder.level), 0);
        for (std::size_t i = 0; i < folder.sizes.size(); ++i) {
            int status = creator.add_file(paths[next++].c_str());
            result.states.push_back(state_of(*creator.folders.tail, status));
        }
    }
    std::ostringstream out;
    EXPECT_EQ(creator.close(out), 0);
    result.cabinet = out.str();
    return result;
}

class same_cabinet_test : public threads_test,
                          public ::testing::WithParamInterface<std::tuple<layout_case, unsigned>> {
};

TEST_P(same_cabinet_test, for_every_thread_count) {
    auto [c, threads] = GetParam();
    std::vector<std::string> paths = write_files(scratch, c);
    creation one = create(paths, c, 1);
    creation many = create(paths, c, threads);
    EXPECT_EQ(many.states, one.states);
    EXPECT_TRUE(many.cabinet == one.cabinet) << "the cabinets differ";
    // Blocks in flight across files (the default): only the counts of
    // written blocks lag.
    creation pipelined = create(paths, c, threads, true);
    EXPECT_TRUE(pipelined.cabinet == one.cabinet) << "the pipelined cabinet differs";
    for (std::size_t i = 0; i < one.states.size(); ++i) {
        EXPECT_EQ(pipelined.states[i].status, one.states[i].status) << i;
        EXPECT_EQ(pipelined.states[i].uncompressed_size, one.states[i].uncompressed_size) << i;
        EXPECT_EQ(pipelined.states[i].entries, one.states[i].entries) << i;
    }
    parsed_cabinet cabinet = parse_cabinet(scratch.write("out.cab", many.cabinet));
    ASSERT_EQ(cabinet.error, "");
    std::size_t blocks = 0;
    for (const parsed_folder& folder : cabinet.folders)
        blocks += folder.cbUncomp.size();
    EXPECT_GE(blocks, 30u) << "the layout should span many blocks";
    unsigned seed = 0;
    for (const parsed_file& file : cabinet.files)
        EXPECT_TRUE(cabinet.content(file) == sample_bytes(file.cbFile, seed++)) << file.name;
}

const layout_case layouts[] = {
    {"one_deflate_folder", {{1, {70000, 5, 200000, 0, 32767, 1000000, 65534, 65533, 131070, 3}}}},
    {"stored_and_deflate",
     {{0, {100000, 40000}}, {1, {300000, 7, 98301}}, {0, {65534}}, {1, {20000, 500000}}}},
    {"files_of_two_blocks_and_less", {{1, std::vector<std::size_t>(40, 65533)}}},
    {"small_files", {{1, std::vector<std::size_t>(300, 4000)}, {1, {1, 0, 32767, 9}}}},
    // Each worker's compressor follows the folder's level.
    {"levels", {{1, {400000}, 1}, {1, {200000, 70000}, 9}, {1, {100000}, 0}, {1, {150000}}}},
};

INSTANTIATE_TEST_SUITE_P(threads, same_cabinet_test,
                         ::testing::Combine(::testing::ValuesIn(layouts),
                                            ::testing::Values(1u, 2u, 4u, 7u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::to_string(std::get<1>(info.param)) + "_threads";
                         });

// The data file fills up (as a full disk would) while blocks are in flight:
// the call fails as it does with one thread, with the same errno, and leaves
// the same counts, so the cabinet under construction is refused the same way.
TEST_F(threads_test, write_failure_ends_the_call_as_with_one_thread) {
    std::string before = scratch.write("before", sample_bytes(20000, 1));
    std::string big = scratch.write("big", sample_bytes(300000, 2));
    std::string after = scratch.write("after", sample_bytes(50000, 3));
    for (rlim_t limit : {10000u, 60000u, 100000u, 140000u}) {
        std::vector<folder_state> states[2];
        int closed[2];
        for (unsigned threads : {1u, 4u}) {
            std::vector<folder_state>& seen = states[threads == 1 ? 0 : 1];
            cabinet_creator creator;
            creator.set_threads(threads);
            creator.set_pipelined(false);
            ASSERT_EQ(creator.open(), 0);
            ASSERT_EQ(creator.new_folder(1), 0);
            int status = creator.add_file(before.c_str());
            seen.push_back(state_of(*creator.folders.tail, status));
            {
                file_size_limit lowered(limit);
                errno = 0;
                status = creator.add_file(big.c_str());
                seen.push_back(state_of(*creator.folders.tail, status));
            }
            status = creator.add_file(after.c_str());
            seen.push_back(state_of(*creator.folders.tail, status));
            closed[threads == 1 ? 0 : 1] = creator.close(scratch.file("out.cab").c_str());
        }
        EXPECT_EQ(states[1], states[0]) << "limit " << limit;
        EXPECT_EQ(states[0][1].status, CAB_ERROR_WRITE) << "limit " << limit;
        EXPECT_EQ(states[0][1].error, EFBIG) << "limit " << limit;
        EXPECT_EQ(closed[1], closed[0]) << "limit " << limit;
        EXPECT_NE(closed[0], 0) << "limit " << limit;
        EXPECT_EQ(scratch_dir::names_in(scratch.path()),
                  (std::vector<std::string>{"after", "before", "big", "tmp"}));
        // Pipelined, the failure may show in a later call, but the cabinet
        // is refused all the same.
        cabinet_creator creator;
        creator.set_threads(4);
        ASSERT_EQ(creator.open(), 0);
        ASSERT_EQ(creator.new_folder(1), 0);
        int failures = creator.add_file(before.c_str()) != 0;
        {
            file_size_limit lowered(limit);
            failures += creator.add_file(big.c_str()) != 0;
            failures += creator.add_file(after.c_str()) != 0;
            failures += creator.close(scratch.file("out.cab").c_str()) != 0;
        }
        EXPECT_GE(failures, 1) << "limit " << limit;
        EXPECT_NE(creator.close(scratch.file("out.cab").c_str()), 0) << "limit " << limit;
        creator.reset();
        EXPECT_EQ(scratch_dir::names_in(scratch.path()),
                  (std::vector<std::string>{"after", "before", "big", "tmp"}));
    }
}

// A data file that has already failed fails the add that has blocks to
// write, at once, on any number of threads.
TEST_F(threads_test, a_failed_data_file_fails_the_add_at_once) {
    std::string before = scratch.write("before", sample_bytes(20000, 1));
    std::string big = scratch.write("big", sample_bytes(200000, 2));
    for (unsigned threads : {1u, 4u}) {
        cabinet_creator creator;
        creator.set_threads(threads);
        ASSERT_EQ(creator.open(), 0);
        ASSERT_EQ(creator.new_folder(1), 0);
        ASSERT_EQ(creator.add_file(before.c_str()), 0);
        creator.temp_stream.setstate(std::ios::badbit);
        EXPECT_EQ(creator.add_file(big.c_str()), CAB_ERROR_WRITE) << threads;
        EXPECT_EQ(creator.folders.tail->files.count, 1u) << threads;
        EXPECT_NE(creator.close(scratch.file("out.cab").c_str()), 0) << threads;
    }
}

// With threads, by default, every add still writes its blocks before it
// returns, as one thread does: a file of one full block is a block written.
TEST_F(threads_test, every_add_leaves_what_one_thread_leaves) {
    std::string one_block = scratch.write("one", sample_bytes(32767, 3));
    cabinet_creator creator;
    creator.set_threads(3);
    ASSERT_EQ(creator.open(), 0);
    ASSERT_EQ(creator.new_folder(1), 0);
    for (uint16_t added = 1; added <= 3; ++added) {
        ASSERT_EQ(creator.add_file(one_block.c_str()), 0);
        const cfc_folderinfo& folder = *creator.folders.tail;
        EXPECT_EQ(folder.cCFData, added);
        EXPECT_EQ(folder.pending_size, 0);
        EXPECT_EQ(folder.uncompressed_size, added * 32767u);
    }
}

// Threads start with the first file of two blocks, belong to one creator,
// and are gone after reset, close and destruction.
TEST_F(threads_test, threads_start_late_and_end_with_the_creator) {
    const std::size_t alone = process_threads_alone();
    ASSERT_GT(alone, 0u);
    std::string small = scratch.write("small", sample_bytes(2 * 32767 - 1, 1));
    std::string large = scratch.write("large", sample_bytes(2 * 32767, 2));
    for (int ending = 0; ending < 3; ++ending) {
        cabinet_creator creator;
        creator.set_threads(3);
        ASSERT_EQ(creator.open(), 0);
        ASSERT_EQ(creator.new_folder(1), 0);
        ASSERT_EQ(creator.add_file(small.c_str()), 0);
        EXPECT_EQ(process_threads(), alone) << "no thread for less than two blocks";
        ASSERT_EQ(creator.add_file(large.c_str()), 0);
        EXPECT_EQ(process_threads(), alone + 3);
        if (ending == 0) {
            creator.reset();
            EXPECT_EQ(process_threads(), alone) << "reset";
        } else if (ending == 1) {
            ASSERT_EQ(creator.close(scratch.file("out.cab").c_str()), 0);
            EXPECT_EQ(process_threads(), alone) << "close";
        }
    }
    EXPECT_EQ(process_threads(), alone) << "destruction";
    // Pipelined, files of one block each keep the threads busy.
    std::string one_block = scratch.write("one", sample_bytes(32767, 3));
    cabinet_creator creator;
    creator.set_threads(3);
    creator.set_pipelined(true);
    ASSERT_EQ(creator.open(), 0);
    ASSERT_EQ(creator.new_folder(1), 0);
    ASSERT_EQ(creator.add_file(one_block.c_str()), 0);
    EXPECT_EQ(process_threads(), alone) << "one block waits";
    ASSERT_EQ(creator.add_file(one_block.c_str()), 0);
    EXPECT_EQ(process_threads(), alone + 3) << "two blocks of two files";
    creator.set_threads(1);
    EXPECT_EQ(process_threads(), alone) << "set_threads";
    std::ostringstream out;
    ASSERT_EQ(creator.close(out), 0);
    parsed_cabinet cabinet = parse_cabinet(scratch.write("out.cab", out.str()));
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.files.size(), 2u);
    EXPECT_TRUE(cabinet.content(cabinet.files[1]) == sample_bytes(32767, 3));
}

// Creators on separate threads, each with threads of its own, share nothing.
TEST_F(threads_test, creators_on_separate_threads) {
    std::vector<std::string> files;
    for (unsigned i = 0; i < 4; ++i)
        files.push_back(scratch.write("f" + std::to_string(i), sample_bytes(150000 + i, i)));
    std::string expected[4], made[4];
    for (unsigned i = 0; i < 4; ++i) {
        cabinet_creator creator;
        creator.set_threads(1);
        ASSERT_EQ(creator.open(), 0);
        ASSERT_EQ(creator.new_folder(1), 0);
        ASSERT_EQ(creator.add_file(files[i].c_str()), 0);
        std::ostringstream out;
        ASSERT_EQ(creator.close(out), 0);
        expected[i] = out.str();
    }
    std::vector<std::thread> runs;
    for (unsigned i = 0; i < 4; ++i) {
        runs.emplace_back([&, i] {
            cabinet_creator creator;
            creator.set_threads(2);
            std::ostringstream out;
            if (creator.open() == 0 && creator.new_folder(1) == 0 &&
                creator.add_file(files[i].c_str()) == 0 && creator.close(out) == 0)
                made[i] = out.str();
        });
    }
    for (std::thread& run : runs)
        run.join();
    for (unsigned i = 0; i < 4; ++i)
        EXPECT_TRUE(made[i] == expected[i]) << i;
}

} // namespace
