// What the interface's suites share: a scratch directory that is also
// $TMPDIR (where the writer keeps its data file, which must leave nothing
// there), dates in UTC, and cabinets made through the writer.
#ifndef KISTLE_TESTS_ARCHIVE_FIXTURE_H
#define KISTLE_TESTS_ARCHIVE_FIXTURE_H

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

class archive_test : public ::testing::Test, public archive_scratch {
protected:
    void SetUp() override { ASSERT_FALSE(scratch.path().empty()); }
    void TearDown() override {
        EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty()) << "a temporary file was left behind";
    }
};

#endif
