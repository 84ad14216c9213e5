// What the interface's suites share: a scratch directory that is also
// $TMPDIR (where the writer keeps its data file, which must leave nothing
// there), dates in UTC, and cabinets made through the writer.
#ifndef KISTLE_TESTS_ARCHIVE_FIXTURE_H
#define KISTLE_TESTS_ARCHIVE_FIXTURE_H

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <kistle/archive.h>

#include "scratch_dir.h"
#include "time_zone.h"
#include "tmpdir_setting.h"

class archive_scratch {
public:
    scratch_dir scratch;
    std::string temp_dir = scratch.file("tmp");

    archive_scratch() { std::filesystem::create_directory(temp_dir); }
    archive_scratch(const archive_scratch&) = delete;
    archive_scratch& operator=(const archive_scratch&) = delete;

    // A cabinet of the given stored names and contents, in one deflate
    // folder, all modified at 2024-03-05 14:07:08 UTC.
    std::string make_cabinet(const std::vector<std::pair<std::string, std::string>>& files,
                             const std::string& name = "made.cab") {
        std::string path = scratch.file(name);
        kistle::writer out(path);
        for (const auto& [stored, data] : files)
            out.add_bytes(stored, data, modified);
        out.commit();
        return path;
    }

    static constexpr std::time_t modified = 1709647628;

private:
    time_zone utc{"UTC"};
    tmpdir_setting tmpdir{temp_dir};
};

// Bytes in a full block.
constexpr uint64_t block_bytes = 32767;

// The counts progress reported while size bytes of one entry flowed, from a
// count of start: rising by at most a block each time, at least once per
// block, ending at start + size.
inline void expect_block_by_block(const std::vector<uint64_t>& reported, uint64_t start,
                                  uint64_t size) {
    EXPECT_GE(reported.size(), size / block_bytes);
    uint64_t previous = start;
    for (uint64_t done : reported) {
        EXPECT_GT(done, previous);
        EXPECT_LE(done, previous + block_bytes);
        previous = done;
    }
    EXPECT_EQ(previous, start + size);
}

// What a progress function throws to stop an operation.
struct progress_stop {};

// Records each count in reported, and throws progress_stop once it reaches
// limit.
inline kistle::progress_function stop_at(uint64_t limit, std::vector<uint64_t>& reported) {
    return [limit, &reported](uint64_t done) {
        reported.push_back(done);
        if (done >= limit)
            throw progress_stop{};
    };
}

class archive_test : public ::testing::Test, public archive_scratch {
protected:
    void SetUp() override { ASSERT_FALSE(scratch.path().empty()); }
    void TearDown() override {
        EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty()) << "a temporary file was left behind";
    }
};

#endif
