// Where an extracted file goes: private and out of sight while it is written,
// then in place of the target with the mode of a new file, and nothing left
// when the extraction is abandoned or killed.
#include "extraction_target.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_reader.h>
#include <kistle/cabinet_status.h>

#include "cabinet_parse.h"
#include "child_process.h"
#include "scratch_dir.h"
#include "temporary_file.h"

using namespace kistle::internal;

namespace {

// Every case runs in the scratch directory with umask 022, once with files
// without a name and once as on a file system that refuses them.
class extraction_target_test : public ::testing::TestWithParam<bool> {
protected:
    scratch_dir scratch;
    std::filesystem::path previous;
    mode_t saved_mask = 0;

    void SetUp() override {
        previous = std::filesystem::current_path();
        ASSERT_EQ(chdir(scratch.path().c_str()), 0);
        temporary_file::allow_unnamed_files(GetParam());
        saved_mask = umask(022);
    }
    void TearDown() override {
        umask(saved_mask);
        temporary_file::allow_unnamed_files(true);
        std::filesystem::current_path(previous);
    }

    // Writes bytes to dir/name through a target; true when it was committed.
    bool extract(const char* stored_name, const std::string& bytes, bool read_only = false) {
        extraction_target target;
        int fd = -1;
        EXPECT_EQ(target.create(".", stored_name, extraction_target::existing::replace, fd),
                  CAB_STATUS_OK);
        if (fd < 0)
            return false;
        // Nothing can open a file without a name; one with a name is private.
        struct stat status;
        EXPECT_EQ(fstat(fd, &status), 0);
        for (const std::string& name : scratch_dir::names_in("dir")) {
            if (name.rfind(".kistle-", 0) == 0) {
                EXPECT_EQ(scratch_dir::status_of("dir/" + name).st_mode & 07777, 0600u);
                EXPECT_EQ(status.st_mode & 07777, 0600u) << "readable by others while written";
            }
        }
        bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (read_only)
            written = written && fchmod(fd, status.st_mode & 07555) == 0;
        close(fd); // the reader closes its descriptor before the commit
        return written && target.commit() == CAB_STATUS_OK;
    }
};

TEST_P(extraction_target_test, committed_file_replaces_the_target) {
    ASSERT_TRUE(extract("dir/a", "first"));
    EXPECT_EQ(scratch_dir::names_in("dir"), std::vector<std::string>{"a"});
    EXPECT_EQ(scratch.read("dir/a"), "first");
    EXPECT_EQ(scratch_dir::status_of("dir/a").st_mode & 07777, 0644u);

    ASSERT_TRUE(extract("dir/a", "second", true));
    EXPECT_EQ(scratch.read("dir/a"), "second");
    EXPECT_EQ(scratch_dir::status_of("dir/a").st_mode & 07777, 0444u);
    EXPECT_EQ(scratch_dir::names_in("dir"), std::vector<std::string>{"a"});
}

// A link at the target is replaced; the file it points to is never written.
TEST_P(extraction_target_test, link_at_the_target_is_replaced) {
    std::string victim = scratch.write("victim", "untouched");
    ASSERT_EQ(mkdir("dir", 0755), 0);
    ASSERT_EQ(symlink(victim.c_str(), "dir/a"), 0);
    ASSERT_TRUE(extract("dir/a", "new"));
    EXPECT_TRUE(S_ISREG(scratch_dir::status_of("dir/a").st_mode));
    EXPECT_EQ(scratch.read("dir/a"), "new");
    EXPECT_EQ(scratch.read(victim), "untouched");
}

TEST_P(extraction_target_test, abandoned_file_leaves_nothing) {
    {
        extraction_target target;
        int fd = -1;
        ASSERT_EQ(target.create(".", "dir/a", extraction_target::existing::replace, fd),
                  CAB_STATUS_OK);
        ASSERT_EQ(write(fd, "partial", 7), 7);
        close(fd);
    }
    EXPECT_TRUE(scratch_dir::names_in("dir").empty());
}

// The name is taken below the base directory, wherever the current one is.
TEST_P(extraction_target_test, name_is_taken_below_the_base_directory) {
    ASSERT_EQ(mkdir("base", 0755), 0);
    extraction_target target;
    int fd = -1;
    ASSERT_EQ(target.create("base", "/sub/a", extraction_target::existing::replace, fd),
              CAB_STATUS_OK);
    ASSERT_EQ(write(fd, "below", 5), 5);
    close(fd);
    ASSERT_EQ(target.commit(), CAB_STATUS_OK);
    EXPECT_EQ(scratch.read("base/sub/a"), "below");
    EXPECT_EQ(scratch_dir::names_in("."), std::vector<std::string>{"base"});
}

// With existing::keep whatever is at the target stays: a file, a dangling
// link, or a file that appears while the new one is written, which the
// publishing link finds.
TEST_P(extraction_target_test, keep_leaves_an_existing_target_alone) {
    ASSERT_EQ(mkdir("dir", 0755), 0);
    scratch.write("dir/file", "old");
    ASSERT_EQ(symlink("nowhere", "dir/link"), 0);
    for (const char* name : {"dir/file", "dir/link"}) {
        extraction_target target;
        int fd = 0;
        ASSERT_EQ(target.create(".", name, extraction_target::existing::keep, fd), CAB_STATUS_OK);
        EXPECT_TRUE(target.kept()) << name;
        EXPECT_EQ(fd, -1) << name;
        EXPECT_EQ(target.commit(), CAB_STATUS_OK) << name;
    }

    extraction_target target;
    int fd = -1;
    ASSERT_EQ(target.create(".", "dir/late", extraction_target::existing::keep, fd), CAB_STATUS_OK);
    ASSERT_FALSE(target.kept());
    ASSERT_EQ(write(fd, "new", 3), 3);
    close(fd);
    scratch.write("dir/late", "first");
    ASSERT_EQ(target.commit(), CAB_STATUS_OK);
    EXPECT_TRUE(target.kept());

    EXPECT_EQ(scratch.read("dir/file"), "old");
    EXPECT_EQ(scratch.read("dir/late"), "first");
    EXPECT_TRUE(S_ISLNK(scratch_dir::status_of("dir/link").st_mode));
    EXPECT_EQ(scratch_dir::names_in("dir"), (std::vector<std::string>{"file", "late", "link"}));
}

// An extraction killed half way (here by the file size limit, which stops a
// process in the middle of a write) leaves nothing behind where the file
// system allows files without a name.
TEST(killed_extraction_test, killed_extraction_leaves_nothing) {
    scratch_dir scratch;
    scratch.write("big", sample_bytes(400000, 1));
    std::string cabinet_path = scratch.file("big.cab");
    std::filesystem::path previous = std::filesystem::current_path();
    ASSERT_EQ(chdir(scratch.path().c_str()), 0);
    cabinet_creator creator;
    int status = creator.open() | creator.new_folder(1) | creator.add_file("big") |
                 creator.close(cabinet_path.c_str());
    std::filesystem::current_path(previous);
    ASSERT_EQ(status, 0);
    std::string out = scratch.file("out");
    ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
    child_end end = run_child(
        [&](const std::function<void()>&) {
            cabinet_reader reader;
            if (chdir(out.c_str()) != 0 || reader.open(cabinet_path.c_str()) != 0)
                _exit(1);
            rlimit none = {0, 0}, small = {100000, 100000};
            setrlimit(RLIMIT_CORE, &none);
            setrlimit(RLIMIT_FSIZE, &small);
            std::signal(SIGXFSZ, SIG_DFL);
            static_cast<void>(reader.extract("big"));
        },
        0);
    EXPECT_EQ(end.signal, SIGXFSZ);
    EXPECT_TRUE(scratch_dir::names_in(out).empty());
}

INSTANTIATE_TEST_SUITE_P(extract, extraction_target_test, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "unnamed" : "named";
                         });

} // namespace
