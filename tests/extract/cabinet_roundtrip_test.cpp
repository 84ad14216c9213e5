// Cabinets made by the creator, read back through the reader: every file's
// bytes, date, time and read-only bit must survive, whatever the order of
// extraction.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <utime.h>
#include <vector>

#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_reader.h>
#include <kistle/cabinet_status.h>

#include "cabinet_parse.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

// 5 March 2024, 14:07:08 UTC: an even second, which a DOS time can hold.
constexpr std::time_t stored_time = 1709647628;

struct roundtrip_case {
    const char* name;
    // One list of file sizes per folder; the folder types alternate 1, 0.
    std::vector<std::vector<std::size_t>> folders;
};

void PrintTo(const roundtrip_case& c, std::ostream* out) {
    *out << c.name;
}

class roundtrip_test : public ::testing::TestWithParam<roundtrip_case> {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        setenv("TMPDIR", scratch.path().c_str(), 1);
        fs::create_directories(scratch.file("in/dir"));
        fs::create_directory(scratch.file("out"));
        previous = fs::current_path();
    }
    void TearDown() override {
        fs::current_path(previous);
        unsetenv("TMPDIR");
    }

    scratch_dir scratch;
    fs::path previous;
};

TEST_P(roundtrip_test, every_file_reads_back) {
    struct input {
        std::string name; // as stored, relative to "in"
        std::string bytes;
        bool read_only;
    };
    std::vector<input> inputs;
    fs::current_path(scratch.file("in"));
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), 0);
    uint16_t type = 1;
    for (const std::vector<std::size_t>& sizes : GetParam().folders) {
        ASSERT_EQ(creator.new_folder(type), 0);
        type ^= 1;
        for (std::size_t size : sizes) {
            unsigned n = static_cast<unsigned>(inputs.size());
            input file{"dir/f" + std::to_string(n), sample_bytes(size, n), n % 3 == 2};
            scratch.write("in/" + file.name, file.bytes);
            utimbuf times{stored_time, stored_time + 2 * n};
            ASSERT_EQ(utime(file.name.c_str(), &times), 0);
            if (file.read_only) {
                ASSERT_EQ(chmod(file.name.c_str(), 0444), 0);
            }
            ASSERT_EQ(creator.add_file(file.name.c_str()), 0) << file.name;
            inputs.push_back(file);
        }
    }
    std::string cabinet = scratch.file("archive.cab");
    ASSERT_EQ(creator.close(cabinet.c_str()), 0);

    // Backwards, so the reader's index is used out of order, and each name once.
    fs::current_path(scratch.file("out"));
    cabinet_reader reader;
    ASSERT_EQ(reader.open(cabinet.c_str()), 0);
    ASSERT_EQ(reader.header.cFiles, inputs.size());
    for (std::size_t i = inputs.size(); i-- > 0;)
        ASSERT_EQ(reader.extract(inputs[i].name.c_str()), 0) << inputs[i].name;
    EXPECT_EQ(reader.close(), 0);

    for (std::size_t i = 0; i < inputs.size(); ++i) {
        std::string path = scratch.file("out/" + inputs[i].name);
        EXPECT_TRUE(scratch_dir::read(path) == inputs[i].bytes) << path;
        struct stat status;
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mtime, stored_time + 2 * static_cast<std::time_t>(i)) << path;
        EXPECT_EQ((status.st_mode & 0222) == 0, inputs[i].read_only) << path;
    }
    EXPECT_TRUE(fs::is_empty(scratch.file("out")) == inputs.empty());
}

INSTANTIATE_TEST_SUITE_P(
    creator_to_reader, roundtrip_test,
    ::testing::Values(roundtrip_case{"no_folder", {}}, roundtrip_case{"empty_folder", {{}}},
                      roundtrip_case{"empty_files_only", {{0, 0}}},
                      roundtrip_case{"empty_file_last", {{100, 0}}},
                      roundtrip_case{"block_boundaries", {{32767, 1, 32766, 32768, 0, 65534}}},
                      roundtrip_case{"many_small_files", {std::vector<std::size_t>(40, 3000)}},
                      roundtrip_case{"folders_of_both_types",
                                     {{20000, 20000}, {50000, 7}, {}, {0}, {90000}}}),
    [](const ::testing::TestParamInfo<roundtrip_case>& info) { return info.param.name; });

} // namespace
