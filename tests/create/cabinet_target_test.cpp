// Where close(path) puts the cabinet: what it keeps of a file it replaces,
// how it treats links, when it writes in place, and that a path it cannot
// use changes nothing.
#include <cstdlib>
#include <filesystem>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_status.h>

#include "cabinet_parse.h"
#include "child_process.h"
#include "scratch_dir.h"

namespace {

std::string link_text(const std::string& path) {
    std::error_code error;
    return std::filesystem::read_symlink(path, error).string();
}

// A scratch directory whose tmp/ is TMPDIR, with umask 022, and a creator
// holding one file, ready to be closed.
class target_test : public ::testing::Test {
protected:
    scratch_dir scratch;
    std::string temp_dir = scratch.file("tmp");
    std::string input = scratch.write("input", sample_bytes(50000, 1));
    std::string precious = std::string(100000, 'p'); // longer than the cabinet
    cabinet_creator creator;
    mode_t saved_mask = 0;

    void SetUp() override {
        ASSERT_EQ(mkdir(temp_dir.c_str(), 0777), 0);
        setenv("TMPDIR", temp_dir.c_str(), 1);
        saved_mask = umask(022);
        ASSERT_EQ(creator.open(), 0);
        ASSERT_EQ(creator.new_folder(1), 0);
        ASSERT_EQ(creator.add_file(input.c_str()), 0);
    }
    void TearDown() override {
        umask(saved_mask);
        unsetenv("TMPDIR");
    }

    // True when path holds the creator's cabinet.
    bool holds_the_cabinet(const std::string& path) {
        parsed_cabinet cabinet = parse_cabinet(path);
        return cabinet.error.empty() && cabinet.files.size() == 1 &&
               cabinet.content(cabinet.files[0]) == scratch.read(input);
    }
};

// Every way a path can be unusable: CAB_ERROR_OPEN_FILE before anything is written, nothing
// beside it, and the creator still closes to a good path.
TEST_F(target_test, unusable_path_changes_nothing) {
    ASSERT_EQ(symlink("loop.cab", scratch.file("loop.cab").c_str()), 0);
    ASSERT_EQ(symlink("missing/x.cab", scratch.file("dangling_into_nothing").c_str()), 0);
    const std::string cases[] = {
        "",
        scratch.file("missing/out.cab"),
        scratch.path(),
        scratch.file("input/"),
        scratch.file(std::string(256, 'n')), // one byte beyond NAME_MAX
        scratch.file("loop.cab"),
        scratch.file("dangling_into_nothing"),
    };
    std::vector<std::string> before = scratch_dir::names_in(scratch.path());
    for (const std::string& path : cases) {
        EXPECT_EQ(creator.close(path.c_str()), CAB_ERROR_OPEN_FILE) << path;
        EXPECT_EQ(scratch_dir::names_in(scratch.path()), before) << path;
        EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty()) << path;
    }
    ASSERT_EQ(creator.close(scratch.file("out.cab").c_str()), 0);
    EXPECT_TRUE(holds_the_cabinet(scratch.file("out.cab")));
}

// A replaced cabinet keeps its permission bits, whatever the umask says.
TEST_F(target_test, replaced_file_keeps_its_mode) {
    std::string path = scratch.write("out.cab", precious);
    for (mode_t mode : {0600, 0640, 0755}) {
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        ASSERT_EQ(creator.close(path.c_str()), 0);
        EXPECT_TRUE(holds_the_cabinet(path));
        EXPECT_EQ(scratch_dir::status_of(path).st_mode & 07777, mode);
        ASSERT_EQ(creator.open(), 0);
        ASSERT_EQ(creator.new_folder(1), 0);
        ASSERT_EQ(creator.add_file(input.c_str()), 0);
    }
}

// Owner and group carry over where the process may set them.
TEST_F(target_test, replaced_file_keeps_its_owner) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only a privileged process may give a file away";
    std::string path = scratch.write("out.cab", precious);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(creator.close(path.c_str()), 0);
    EXPECT_TRUE(holds_the_cabinet(path));
    struct stat status = scratch_dir::status_of(path);
    EXPECT_EQ(status.st_uid, 65534u);
    EXPECT_EQ(status.st_gid, 65534u);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

// A link at the path stays; the file it leads to (through relative links,
// each against its own directory) is the one replaced, with its mode.
TEST_F(target_test, link_at_the_path_stays) {
    ASSERT_EQ(mkdir(scratch.file("real").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(scratch.file("links").c_str(), 0755), 0);
    std::string real = scratch.write("real/c.cab", precious);
    ASSERT_EQ(chmod(real.c_str(), 0600), 0);
    ASSERT_EQ(symlink("../real/c.cab", scratch.file("links/b.cab").c_str()), 0);
    ASSERT_EQ(symlink("b.cab", scratch.file("links/a.cab").c_str()), 0);

    ASSERT_EQ(creator.close(scratch.file("links/a.cab").c_str()), 0);
    EXPECT_EQ(link_text(scratch.file("links/a.cab")), "b.cab");
    EXPECT_EQ(link_text(scratch.file("links/b.cab")), "../real/c.cab");
    EXPECT_TRUE(holds_the_cabinet(real));
    EXPECT_EQ(scratch_dir::status_of(real).st_mode & 07777, 0600u);
    EXPECT_EQ(scratch_dir::names_in(scratch.file("real")), std::vector<std::string>{"c.cab"});
}

// A link to nothing yet: the file is made where it points.
TEST_F(target_test, dangling_link_gets_its_file) {
    ASSERT_EQ(symlink("new.cab", scratch.file("link.cab").c_str()), 0);
    ASSERT_EQ(creator.close(scratch.file("link.cab").c_str()), 0);
    EXPECT_EQ(link_text(scratch.file("link.cab")), "new.cab");
    EXPECT_TRUE(holds_the_cabinet(scratch.file("new.cab")));
    EXPECT_EQ(scratch_dir::status_of(scratch.file("new.cab")).st_mode & 07777, 0644u);
}

struct refusing_case {
    const char* name;
    mode_t directory_mode;
    mode_t file_mode;
    int status;
};

void PrintTo(const refusing_case& c, std::ostream* out) {
    *out << c.name;
}

class refusing_directory_test : public target_test,
                                public ::testing::WithParamInterface<refusing_case> {};

// A directory that refuses a new file (or, sticky, the rename over one that
// is not ours) still lets a writable cabinet be written in place: the same
// file, its mode, the new cabinet, nothing longer. A cabinet that is not
// writable there is CAB_ERROR_OPEN_FILE, and the creator can close elsewhere. Run as an
// unprivileged user, for whom the directory's permissions count.
TEST_P(refusing_directory_test, writable_cabinet_is_written_in_place) {
    const refusing_case& c = GetParam();
    bool privileged = geteuid() == 0;
    if (!privileged && (c.directory_mode & S_ISVTX))
        GTEST_SKIP() << "needs a cabinet owned by another user";
    ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(input.c_str(), 0644), 0);
    ASSERT_EQ(chmod(temp_dir.c_str(), 0777), 0);
    std::string directory = scratch.file("locked");
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    std::string path = scratch.write("locked/c.cab", precious);
    ASSERT_EQ(chmod(path.c_str(), c.file_mode), 0);
    ASSERT_EQ(chmod(directory.c_str(), c.directory_mode), 0);
    std::string elsewhere = scratch.file("tmp/elsewhere.cab");
    ino_t inode = scratch_dir::status_of(path).st_ino;

    // The creator was opened by this process: the child inherits its data file.
    child_end end = run_child(
        [&](const std::function<void()>&) {
            if (privileged &&
                (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
                _exit(100);
            int status = creator.close(path.c_str());
            if (status != 0 && creator.close(elsewhere.c_str()) != 0)
                _exit(101);
            _exit(-status);
        },
        0);
    ASSERT_EQ(end.exit_status, -c.status);
    chmod(directory.c_str(), 0755);
    struct stat status = scratch_dir::status_of(path);
    EXPECT_EQ(status.st_ino, inode);
    EXPECT_EQ(status.st_mode & 07777, c.file_mode);
    if (c.status == CAB_STATUS_OK) {
        EXPECT_TRUE(holds_the_cabinet(path));
    } else {
        EXPECT_TRUE(scratch.read(path) == precious);
        EXPECT_TRUE(holds_the_cabinet(elsewhere));
    }
    EXPECT_EQ(scratch_dir::names_in(directory), std::vector<std::string>{"c.cab"});
    unlink(elsewhere.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    target, refusing_directory_test,
    ::testing::Values(refusing_case{"locked", 0555, 0666, CAB_STATUS_OK},
                      refusing_case{"locked_read_only", 0555, 0444, CAB_ERROR_OPEN_FILE},
                      refusing_case{"sticky", 01777, 0666, CAB_STATUS_OK},
                      refusing_case{"sticky_read_only", 01777, 0644, CAB_ERROR_OPEN_FILE}),
    [](const ::testing::TestParamInfo<refusing_case>& info) { return info.param.name; });

} // namespace
