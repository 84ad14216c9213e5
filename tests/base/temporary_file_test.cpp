// The temporary file: private while written, published complete under its
// name or discarded, and never left behind; with and without a name. The
// same for links.
#include "temporary_file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "child_process.h"
#include "scratch_dir.h"

using namespace kistle::internal;

namespace {

bool write_all(int fd, const std::string& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// Runs every case once with files without a name and once as on a file
// system that refuses them, in a scratch directory with umask 022.
class temporary_file_test : public ::testing::TestWithParam<bool> {
protected:
    scratch_dir scratch;
    std::string dir = scratch.file("d");
    int directory = -1;
    mode_t saved_mask = 0;

    bool unnamed() const { return GetParam(); }

    void SetUp() override {
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        directory = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(directory, 0);
        temporary_file::allow_unnamed_files(unnamed());
        saved_mask = umask(022);
    }
    void TearDown() override {
        umask(saved_mask);
        temporary_file::allow_unnamed_files(true);
        close(directory);
    }

    // What the directory shows of a file being written, besides others.
    void expect_private_while_written(const temporary_file& file,
                                      std::vector<std::string> others = {}) {
        // Nothing can open a file without a name; one with a name is private.
        struct stat status;
        ASSERT_EQ(fstat(file.descriptor(), &status), 0);
        if (file.name()[0] != '\0') {
            EXPECT_EQ(status.st_mode & 07777, 0600u);
            EXPECT_EQ(std::string(file.name()).rfind(".kistle-", 0), 0u);
            EXPECT_EQ(scratch_dir::status_of(dir + "/" + file.name()).st_mode & 07777, 0600u);
            others.push_back(file.name());
        }
        std::sort(others.begin(), others.end());
        EXPECT_EQ(scratch_dir::names_in(dir), others);
    }
};

TEST_P(temporary_file_test, published_complete_with_its_mode) {
    temporary_file file;
    ASSERT_EQ(file.create(directory, 0666), CAB_STATUS_OK);
    EXPECT_EQ(file.created_mode(), 0644u); // what the kernel gives a new file here
    EXPECT_EQ(file.name()[0] == '\0', unnamed());
    expect_private_while_written(file);
    ASSERT_TRUE(write_all(file.descriptor(), "complete"));
    expect_private_while_written(file);

    ASSERT_EQ(file.publish("out", 0640), CAB_STATUS_OK);
    EXPECT_EQ(file.descriptor(), -1);
    EXPECT_EQ(scratch_dir::names_in(dir), std::vector<std::string>{"out"});
    EXPECT_EQ(scratch.read(dir + "/out"), "complete");
    EXPECT_EQ(scratch_dir::status_of(dir + "/out").st_mode & 07777, 0640u);
}

// The borrowed directory stays the caller's: open after the file is gone.
TEST_P(temporary_file_test, private_file_borrows_its_directory) {
    for (bool publish : {false, true}) {
        temporary_file file;
        ASSERT_EQ(file.create_private(directory), CAB_STATUS_OK);
        EXPECT_EQ(file.name()[0] == '\0', unnamed());
        expect_private_while_written(file);
        ASSERT_TRUE(write_all(file.descriptor(), "private"));
        if (publish)
            ASSERT_EQ(file.publish("out", 0604), CAB_STATUS_OK);
        else
            file.discard();
        EXPECT_EQ(fcntl(directory, F_GETFD), FD_CLOEXEC) << publish;
    }
    EXPECT_EQ(scratch_dir::names_in(dir), std::vector<std::string>{"out"});
    EXPECT_EQ(scratch.read(dir + "/out"), "private");
    EXPECT_EQ(scratch_dir::status_of(dir + "/out").st_mode & 07777, 0604u);
}

// A link at the target is replaced, and the file it points to stays as it was.
TEST_P(temporary_file_test, link_at_the_target_is_replaced) {
    std::string victim = scratch.write("victim", "untouched");
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/out").c_str()), 0);
    temporary_file file;
    ASSERT_EQ(file.create(directory, 0666), CAB_STATUS_OK);
    ASSERT_TRUE(write_all(file.descriptor(), "new"));
    ASSERT_EQ(file.publish("out", 0644), CAB_STATUS_OK);
    EXPECT_TRUE(S_ISREG(scratch_dir::status_of(dir + "/out").st_mode));
    EXPECT_EQ(scratch.read(dir + "/out"), "new");
    EXPECT_EQ(scratch.read(victim), "untouched");
}

TEST_P(temporary_file_test, discarded_by_default) {
    {
        temporary_file file;
        ASSERT_EQ(file.create(directory, 0600), CAB_STATUS_OK);
        ASSERT_TRUE(write_all(file.descriptor(), "gone"));
    }
    EXPECT_TRUE(scratch_dir::names_in(dir).empty());

    temporary_file file;
    ASSERT_EQ(file.create(directory, 0666), CAB_STATUS_OK);
    ASSERT_EQ(file.create(directory, 0666), CAB_STATUS_OK); // a second create drops the first
    file.discard();
    EXPECT_EQ(file.descriptor(), -1);
    EXPECT_TRUE(scratch_dir::names_in(dir).empty());
}

// A publish that cannot replace its target keeps the file private and
// unpublished, and may be tried again.
TEST_P(temporary_file_test, failed_publish_can_be_retried) {
    ASSERT_EQ(mkdir((dir + "/busy").c_str(), 0700), 0);
    ASSERT_EQ(close(open((dir + "/busy/x").c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    temporary_file file;
    ASSERT_EQ(file.create(directory, 0666), CAB_STATUS_OK);
    ASSERT_TRUE(write_all(file.descriptor(), "kept"));
    EXPECT_EQ(file.publish("busy", 0644), CAB_ERROR_CLOSE_FILE);
    EXPECT_TRUE(S_ISDIR(scratch_dir::status_of(dir + "/busy").st_mode));
    ASSERT_GE(file.descriptor(), 0);
    expect_private_while_written(file, {"busy"});

    ASSERT_EQ(file.publish("out", 0644), CAB_STATUS_OK);
    EXPECT_EQ(scratch.read(dir + "/out"), "kept");
}

TEST_P(temporary_file_test, directory_that_refuses_files) {
    temporary_file file;
    int regular = open(scratch.write("f", "").c_str(), O_RDONLY | O_CLOEXEC);
    errno = 0;
    EXPECT_EQ(file.create(regular, 0666), CAB_ERROR_OPEN_FILE);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(file.descriptor(), -1);
    close(regular);
}

// A process killed while it writes leaves nothing: SIGKILL cannot be
// caught, so only a file without a name is safe from it; SIGTERM reaches a
// handler that removes named ones.
TEST_P(temporary_file_test, nothing_left_by_a_killed_writer) {
    int signal = unnamed() ? SIGKILL : SIGTERM;
    child_end end = run_child(
        [&](const std::function<void()>& ready) {
            std::signal(SIGTERM, [](int number) {
                remove_temporary_files();
                std::signal(number, SIG_DFL);
                std::raise(number);
            });
            temporary_file file;
            if (file.create(directory, 0666) != CAB_STATUS_OK ||
                !write_all(file.descriptor(), std::string(100000, 'x')))
                _exit(1);
            ready();
        },
        signal);
    EXPECT_EQ(end.signal, signal);
    EXPECT_TRUE(scratch_dir::names_in(dir).empty());
}

TEST_P(temporary_file_test, cleanup_removes_unfinished_named_files) {
    temporary_file file, published;
    ASSERT_EQ(file.create(directory, 0666), CAB_STATUS_OK);
    ASSERT_EQ(published.create(directory, 0666), CAB_STATUS_OK);
    ASSERT_EQ(published.publish("out", 0644), CAB_STATUS_OK);
    remove_temporary_files();
    EXPECT_EQ(scratch_dir::names_in(dir), std::vector<std::string>{"out"});
    file.discard(); // its owner finds it gone and carries on
    EXPECT_EQ(scratch_dir::names_in(dir), std::vector<std::string>{"out"});
}

// Links appear under their name complete, or not at all.
TEST(temporary_link_test, published_or_discarded) {
    scratch_dir scratch;
    const std::string dir = scratch.file("d");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    scratch.write("d/a", "a");
    scratch.write("d/old", "old");
    int directory = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    auto names = [&] { return scratch_dir::names_in(dir); };

    temporary_link symbolic;
    ASSERT_EQ(symbolic.create_symlink(directory, "a"), CAB_STATUS_OK);
    EXPECT_EQ(std::string(symbolic.name()).rfind(".kistle-", 0), 0u);
    EXPECT_TRUE(S_ISLNK(symbolic.status().st_mode));
    ASSERT_EQ(symbolic.publish("l"), CAB_STATUS_OK);
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "l", "old"}));

    // A symbolic link is linked itself, never followed.
    temporary_link hard;
    ASSERT_EQ(hard.create_hardlink(directory, directory, "l"), CAB_STATUS_OK);
    EXPECT_TRUE(S_ISLNK(hard.status().st_mode));
    // Without replace an existing name fails the publish, which can be retried.
    ASSERT_EQ(hard.create_hardlink(directory, directory, "a"), CAB_STATUS_OK);
    EXPECT_EQ(hard.publish("old", false), CAB_ERROR_CLOSE_FILE);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(scratch.read(dir + "/old"), "old");
    ASSERT_EQ(hard.publish("b", false), CAB_STATUS_OK);
    // A rename onto a link of the same file does nothing: the temporary
    // name must not stay behind.
    ASSERT_EQ(hard.create_hardlink(directory, directory, "a"), CAB_STATUS_OK);
    ASSERT_EQ(hard.publish("b"), CAB_STATUS_OK);
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "b", "l", "old"}));
    EXPECT_EQ(scratch_dir::status_of(dir + "/a").st_nlink, 2u);

    temporary_link discarded, removed;
    ASSERT_EQ(discarded.create_symlink(directory, "x"), CAB_STATUS_OK);
    discarded.discard();
    ASSERT_EQ(removed.create_symlink(directory, "x"), CAB_STATUS_OK);
    remove_temporary_files();
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "b", "l", "old"}));
    close(directory);
}

INSTANTIATE_TEST_SUITE_P(base, temporary_file_test, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "unnamed" : "named";
                         });

} // namespace
