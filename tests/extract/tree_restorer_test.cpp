// Restoring a Unix tree below a base directory: owners and modes as root and
// as an ordinary user, directories finished after their contents, links
// that are made but never followed, times to the nanosecond, and existing
// names kept or replaced.
#include "tree_restorer.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include <kistle/cabinet_status.h>

#include "scratch_dir.h"
#include "umask_calls.h"
#include "unprivileged.h"

using namespace kistle::internal;

namespace {

using existing = extraction_target::existing;

entry_metadata metadata(uint32_t mode, int64_t seconds = 1000000000, uint32_t nanoseconds = 0) {
    entry_metadata entry;
    entry.mode = mode;
    entry.mtime_seconds = seconds;
    entry.mtime_nanoseconds = nanoseconds;
    return entry;
}

entry_metadata owned(uint32_t mode, uint32_t uid, uint32_t gid, const char* owner = nullptr,
                     const char* group = nullptr) {
    entry_metadata entry = metadata(mode);
    entry.has_owner = true;
    entry.uid = uid;
    entry.gid = gid;
    entry.owner = owner;
    entry.group = group;
    return entry;
}

tree_restorer::settings with(bool same_owner, existing policy = existing::replace) {
    tree_restorer::settings chosen;
    chosen.same_owner = same_owner;
    chosen.policy = policy;
    return chosen;
}

// Writes bytes as the file stored_name with entry's metadata.
int put_file(tree_restorer& restorer, const char* stored_name, const std::string& bytes,
             const entry_metadata& entry, bool* kept = nullptr) {
    extraction_target target;
    int fd = -1;
    if (int status = restorer.create_file(stored_name, target, fd))
        return status;
    if (kept != nullptr)
        *kept = target.kept();
    if (target.kept())
        return CAB_STATUS_OK;
    bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return written ? restorer.commit_file(target, entry) : CAB_ERROR_WRITE;
}

mode_t mode_of(const std::string& path) {
    return scratch_dir::status_of(path).st_mode & 07777;
}

std::string link_text(const std::string& path) {
    char text[4096];
    ssize_t length = readlink(path.c_str(), text, sizeof text);
    return length < 0 ? "" : std::string(text, static_cast<std::size_t>(length));
}

// Every name below directory, to find temporary names left behind.
std::vector<std::string> leftovers_in(const std::string& directory) {
    std::vector<std::string> found;
    for (const std::string& name : scratch_dir::names_in(directory)) {
        if (name.rfind(".kistle-", 0) == 0)
            found.push_back(name);
    }
    return found;
}

struct mode_case {
    bool directory;
    entry_metadata entry;
    mode_t expected;
    uid_t uid; // expected owner
    gid_t gid;
};

// Restores each case as case<i> below base and checks mode and owner.
void restore_cases(tree_restorer& restorer, const std::string& base,
                   const std::vector<mode_case>& cases) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string name = "case" + std::to_string(i);
        if (cases[i].directory) {
            ASSERT_EQ(restorer.make_directory(name.c_str(), cases[i].entry), CAB_STATUS_OK) << i;
        } else {
            ASSERT_EQ(put_file(restorer, name.c_str(), "bytes", cases[i].entry), CAB_STATUS_OK)
                << i;
        }
    }
    ASSERT_EQ(restorer.finish(), CAB_STATUS_OK);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        struct stat status = scratch_dir::status_of(base + "/case" + std::to_string(i));
        EXPECT_EQ(status.st_mode & 07777, cases[i].expected) << "case " << i;
        EXPECT_EQ(status.st_uid, cases[i].uid) << "case " << i;
        EXPECT_EQ(status.st_gid, cases[i].gid) << "case " << i;
    }
}

// As root: owner and group first (by a name known here, else by number),
// then the exact mode, so the set-ID bits survive the change of owner.
TEST(tree_restorer_test, root_restores_owners_and_exact_modes) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    scratch_dir scratch;
    tree_restorer restorer(with(true));
    ASSERT_EQ(restorer.open(scratch.path().c_str()), CAB_STATUS_OK);
    restore_cases(
        restorer, scratch.path(),
        {
            {false, owned(04755, 1234, 5678), 04755, 1234, 5678},
            {false, owned(02755, 1234, 5678), 02755, 1234, 5678},
            {false, owned(0600, 1234, 5678), 0600, 1234, 5678},
            {false, owned(0640, 4321, 4321, "root", "root"), 0640, 0, 0},
            {false, owned(0755, 4321, 4322, "kistle-nobody", "kistle-none"), 0755, 4321, 4322},
            {true, owned(01777, 1234, 5678), 01777, 1234, 5678},
            {true, owned(02750, 1234, 5678), 02750, 1234, 5678},
            // Without a stored owner the file is root's: no set-ID.
            {false, metadata(06755), 0755, 0, 0},
        });
    EXPECT_EQ(restorer.unrestored().owners, 0u);
    EXPECT_EQ(restorer.unrestored().modes, 1u);
}

// As an ordinary user: no change of owner, each mode less the umask, and a
// set-ID bit only where the file is the stored owner's or group's.
TEST(tree_restorer_test, ordinary_user_gets_modes_less_the_umask) {
    unprivileged_run run = run_unprivileged([](const std::string& base) {
        umask(027);
        const uid_t me = geteuid();
        const gid_t my_group = getegid();
        const uid_t other = me == 0 ? 1 : 0;
        tree_restorer restorer(with(false));
        EXPECT_EQ(restorer.open(base.c_str()), CAB_STATUS_OK);
        restore_cases(restorer, base,
                      {
                          {false, owned(0640, me, my_group), 0640, me, my_group},
                          {false, owned(0777, me, my_group), 0750, me, my_group},
                          {false, owned(04755, me, my_group), 04750, me, my_group},
                          {false, owned(02755, me, my_group), 02750, me, my_group},
                          {false, owned(06755, other, other), 0750, me, my_group},
                          {false, owned(0600, other, other), 0600, me, my_group},
                          {true, owned(01777, me, my_group), 01750, me, my_group},
                      });
        EXPECT_EQ(restorer.unrestored().owners, 2u);
        EXPECT_EQ(restorer.unrestored().modes, 1u);
        return !::testing::Test::HasFailure();
    });
    if (run == unprivileged_run::impossible)
        GTEST_SKIP() << "cannot run as an ordinary user";
    EXPECT_EQ(run, unprivileged_run::passed);
}

// A directory stored without write permission still takes its contents;
// its mode and time come after them, the deepest directory first, and the
// last entry for a directory counts.
TEST(tree_restorer_test, directories_are_finished_after_their_contents) {
    unprivileged_run run = run_unprivileged([](const std::string& base) {
        tree_restorer restorer(with(false));
        EXPECT_EQ(restorer.open(base.c_str()), CAB_STATUS_OK);
        EXPECT_EQ(restorer.make_directory("d", metadata(0700, 5)), CAB_STATUS_OK);
        EXPECT_EQ(restorer.make_directory("d/", metadata(0555, 1000)), CAB_STATUS_OK);
        EXPECT_EQ(restorer.make_directory("d/closed", metadata(0, 2000)), CAB_STATUS_OK);
        EXPECT_EQ(restorer.make_directory("d/closed/inner", metadata(0500, 3000)), CAB_STATUS_OK);
        EXPECT_EQ(put_file(restorer, "d/closed/inner/f", "f", metadata(0444)), CAB_STATUS_OK);
        EXPECT_EQ(put_file(restorer, "d/g", "g", metadata(0644)), CAB_STATUS_OK);
        entry_metadata link = metadata(0777);
        link.link_target = "g";
        EXPECT_EQ(restorer.make_symlink("d/l", link), CAB_STATUS_OK);
        EXPECT_EQ(restorer.finish(), CAB_STATUS_OK);

        EXPECT_EQ(mode_of(base + "/d"), 0555u);
        EXPECT_EQ(scratch_dir::status_of(base + "/d").st_mtime, 1000);
        EXPECT_EQ(mode_of(base + "/d/closed"), 0u);
        EXPECT_EQ(scratch_dir::status_of(base + "/d/closed").st_mtime, 2000);
        EXPECT_EQ(scratch_dir::names_in(base + "/d"),
                  (std::vector<std::string>{"closed", "g", "l"}));
        EXPECT_EQ(restorer.unrestored().times, 0u);
        // Root may look inside: the innermost directory was done first.
        if (geteuid() == 0) {
            EXPECT_EQ(mode_of(base + "/d/closed/inner"), 0500u);
            EXPECT_EQ(scratch_dir::status_of(base + "/d/closed/inner").st_mtime, 3000);
            EXPECT_EQ(scratch_dir::read(base + "/d/closed/inner/f"), "f");
        }
        return !::testing::Test::HasFailure();
    });
    if (run == unprivileged_run::impossible)
        GTEST_SKIP() << "cannot run as an ordinary user";
    EXPECT_EQ(run, unprivileged_run::passed);
}

// Modification times to the nanosecond, before 1970 and long after 2038,
// on files, directories and links alike.
TEST(tree_restorer_test, times_are_restored_to_the_nanosecond) {
    struct time_case {
        int64_t seconds;
        uint32_t nanoseconds;
    };
    const time_case cases[] = {
        {-1000000000, 5},        // 1938
        {-1, 0},                 // 1969-12-31 23:59:59
        {0, 0},                  // 1970
        {1700000000, 999999999}, //
        {7258118400, 123456789}, // 2200
    };
    scratch_dir scratch;
    tree_restorer restorer(with(geteuid() == 0));
    ASSERT_EQ(restorer.open(scratch.path().c_str()), CAB_STATUS_OK);
    for (const time_case& when : cases) {
        const std::string name = std::to_string(when.seconds);
        const entry_metadata file = metadata(0644, when.seconds, when.nanoseconds);
        entry_metadata directory = file, link = file;
        directory.mode = 0755;
        link.link_target = "nowhere";
        ASSERT_EQ(put_file(restorer, ("f" + name).c_str(), "x", file), CAB_STATUS_OK);
        ASSERT_EQ(restorer.make_directory(("d" + name).c_str(), directory), CAB_STATUS_OK);
        ASSERT_EQ(restorer.make_symlink(("l" + name).c_str(), link), CAB_STATUS_OK);
    }
    ASSERT_EQ(restorer.finish(), CAB_STATUS_OK);
    for (const time_case& when : cases) {
        for (const char* kind : {"f", "d", "l"}) {
            const std::string path = scratch.file(kind + std::to_string(when.seconds));
            struct stat status = scratch_dir::status_of(path);
            EXPECT_EQ(status.st_mtim.tv_sec, when.seconds) << path;
            EXPECT_EQ(status.st_mtim.tv_nsec, static_cast<long>(when.nanoseconds)) << path;
        }
    }
    EXPECT_EQ(restorer.unrestored().times, 0u);

    // A time no file system takes is a shortfall, not a failure; so is one
    // that the file system clamps to its range (ext4 starts in 1901).
    ASSERT_EQ(put_file(restorer, "bad", "x", metadata(0644, 0, 1000000000)), CAB_STATUS_OK);
    EXPECT_EQ(restorer.unrestored().times, 1u);
    EXPECT_EQ(scratch.read(scratch.file("bad")), "x");
    const int64_t year_1800 = -5364662400;
    ASSERT_EQ(put_file(restorer, "old", "x", metadata(0644, year_1800)), CAB_STATUS_OK);
    const bool clamped = scratch_dir::status_of(scratch.file("old")).st_mtim.tv_sec != year_1800;
    EXPECT_EQ(restorer.unrestored().times, clamped ? 2u : 1u);
}

// Link targets are data: stored as given, whatever they point at.
TEST(tree_restorer_test, symbolic_links_hold_their_text) {
    scratch_dir scratch;
    tree_restorer restorer(with(geteuid() == 0));
    ASSERT_EQ(restorer.open(scratch.path().c_str()), CAB_STATUS_OK);
    const std::string absolute = scratch.file("elsewhere/file");
    for (const char* text : {"sub/target", "../../etc/passwd", absolute.c_str(), "missing/x"}) {
        entry_metadata entry = metadata(0777);
        entry.link_target = text;
        ASSERT_EQ(restorer.make_symlink("links/l", entry), CAB_STATUS_OK) << text;
        EXPECT_TRUE(S_ISLNK(scratch_dir::status_of(scratch.file("links/l")).st_mode)) << text;
        EXPECT_EQ(link_text(scratch.file("links/l")), text);
    }
    EXPECT_TRUE(leftovers_in(scratch.file("links")).empty());
    EXPECT_EQ(scratch_dir::names_in(scratch.path()), std::vector<std::string>{"links"});

    if (geteuid() == 0) {
        entry_metadata entry = owned(0777, 1234, 5678);
        entry.link_target = "links";
        ASSERT_EQ(restorer.make_symlink("owned", entry), CAB_STATUS_OK);
        struct stat status = scratch_dir::status_of(scratch.file("owned"));
        EXPECT_EQ(status.st_uid, 1234u);
        EXPECT_EQ(status.st_gid, 5678u);
        EXPECT_EQ(scratch_dir::status_of(scratch.file("links")).st_uid, 0u);
    }
}

// A link made by an earlier entry is never followed by a later one, nor is
// a link that was there before.
TEST(tree_restorer_test, later_entries_never_pass_through_a_link) {
    scratch_dir scratch;
    const std::string base = scratch.file("base");
    const std::string outside = scratch.file("outside");
    ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    scratch.write("outside/f", "outside");
    tree_restorer restorer(with(geteuid() == 0));
    ASSERT_EQ(restorer.open(base.c_str()), CAB_STATUS_OK);
    entry_metadata out = metadata(0777), up = metadata(0777), here = metadata(0777);
    out.link_target = outside.c_str();
    up.link_target = "..";
    here.link_target = ".";
    ASSERT_EQ(restorer.make_symlink("out", out), CAB_STATUS_OK);
    ASSERT_EQ(restorer.make_symlink("dir/up", up), CAB_STATUS_OK);
    ASSERT_EQ(restorer.make_symlink("here", here), CAB_STATUS_OK);
    ASSERT_EQ(put_file(restorer, "f", "mine", metadata(0644)), CAB_STATUS_OK);

    for (const char* name : {"out/x", "dir/up/x", "here/x", "out/deeper/x", "\\out\\x"}) {
        entry_metadata link = metadata(0777);
        link.link_target = "anything";
        EXPECT_EQ(put_file(restorer, name, "escaped", metadata(0644)), CAB_ERROR_ACCESS_DENIED)
            << name;
        EXPECT_EQ(restorer.make_directory(name, metadata(0755)), CAB_ERROR_ACCESS_DENIED) << name;
        EXPECT_EQ(restorer.make_symlink(name, link), CAB_ERROR_ACCESS_DENIED) << name;
        EXPECT_EQ(restorer.make_hardlink(name, "f"), CAB_ERROR_ACCESS_DENIED) << name;
    }
    // A link where a directory entry goes is refused as well.
    EXPECT_EQ(restorer.make_directory("out", metadata(0755)), CAB_ERROR_ACCESS_DENIED);
    EXPECT_EQ(restorer.make_directory("../x", metadata(0755)), CAB_ERROR_ACCESS_DENIED);
    EXPECT_EQ(restorer.finish(), CAB_STATUS_OK);

    EXPECT_EQ(scratch_dir::names_in(outside), std::vector<std::string>{"f"});
    EXPECT_EQ(scratch_dir::names_in(scratch.path()), (std::vector<std::string>{"base", "outside"}));
    EXPECT_EQ(scratch_dir::names_in(base), (std::vector<std::string>{"dir", "f", "here", "out"}));
    EXPECT_EQ(scratch_dir::names_in(base + "/dir"), std::vector<std::string>{"up"});
}

// A hard link goes only to a regular file this restorer made, reached
// without a symbolic link; anything else tells the caller to write the
// bytes instead.
TEST(tree_restorer_test, hard_links_go_only_to_files_made_here) {
    scratch_dir scratch;
    const std::string base = scratch.file("base");
    ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
    scratch.write("base/old", "there before");
    scratch.write("outside", "outside");
    tree_restorer restorer(with(geteuid() == 0));
    ASSERT_EQ(restorer.open(base.c_str()), CAB_STATUS_OK);
    ASSERT_EQ(put_file(restorer, "dir/a", "shared", metadata(0640)), CAB_STATUS_OK);
    entry_metadata to_a = metadata(0777), to_dir = metadata(0777), to_outside = metadata(0777);
    to_a.link_target = "dir/a";
    to_dir.link_target = "dir";
    const std::string outside = scratch.file("outside");
    to_outside.link_target = outside.c_str();
    ASSERT_EQ(restorer.make_symlink("s", to_a), CAB_STATUS_OK);
    ASSERT_EQ(restorer.make_symlink("ld", to_dir), CAB_STATUS_OK);
    ASSERT_EQ(restorer.make_symlink("so", to_outside), CAB_STATUS_OK);
    ASSERT_EQ(restorer.make_directory("empty", metadata(0755)), CAB_STATUS_OK);

    ASSERT_EQ(restorer.make_hardlink("b", "dir/a"), CAB_STATUS_OK);
    ASSERT_EQ(restorer.make_hardlink("sub/c", "/b"), CAB_STATUS_OK);
    struct stat a = scratch_dir::status_of(base + "/dir/a");
    EXPECT_EQ(a.st_nlink, 3u);
    for (const char* name : {"b", "sub/c"}) {
        struct stat link = scratch_dir::status_of(base + "/" + name);
        EXPECT_TRUE(S_ISREG(link.st_mode)) << name;
        EXPECT_EQ(link.st_ino, a.st_ino) << name;
    }

    for (const char* first : {"s", "so", "ld/a", "missing", "old", "empty", "../outside", ""}) {
        EXPECT_EQ(restorer.make_hardlink("refused", first), CAB_ERROR_FILE_NOT_FOUND) << first;
    }
    EXPECT_EQ(scratch_dir::status_of(base + "/refused").st_mode, 0u);
    EXPECT_EQ(scratch_dir::status_of(outside).st_nlink, 1u);
    EXPECT_EQ(restorer.finish(), CAB_STATUS_OK);
    EXPECT_TRUE(leftovers_in(base).empty());
    EXPECT_TRUE(leftovers_in(base + "/sub").empty());
}

// An existing name is replaced in one step or kept, for every kind of entry.
TEST(tree_restorer_test, existing_names_are_replaced_or_kept) {
    enum kind { file, symlink, hardlink };
    for (existing policy : {existing::replace, existing::keep}) {
        for (kind made : {file, symlink, hardlink}) {
            const std::string label = std::string(policy == existing::keep ? "keep " : "replace ") +
                                      (made == file      ? "file"
                                       : made == symlink ? "symlink"
                                                         : "hardlink");
            scratch_dir scratch;
            scratch.write("name", "old");
            tree_restorer restorer(with(geteuid() == 0, policy));
            ASSERT_EQ(restorer.open(scratch.path().c_str()), CAB_STATUS_OK);
            ASSERT_EQ(put_file(restorer, "first", "linked", metadata(0644)), CAB_STATUS_OK);
            entry_metadata link = metadata(0777);
            link.link_target = "text";
            bool kept = false;
            int status = made == file ? put_file(restorer, "name", "new", metadata(0600), &kept)
                         : made == symlink ? restorer.make_symlink("name", link, &kept)
                                           : restorer.make_hardlink("name", "first", &kept);
            ASSERT_EQ(status, CAB_STATUS_OK) << label;
            EXPECT_EQ(kept, policy == existing::keep) << label;
            const std::string name = scratch.file("name");
            if (policy == existing::keep) {
                EXPECT_EQ(scratch.read(name), "old") << label;
            } else if (made == file) {
                EXPECT_EQ(scratch.read(name), "new") << label;
                EXPECT_EQ(mode_of(name), 0600u) << label;
            } else if (made == symlink) {
                EXPECT_EQ(link_text(name), "text") << label;
            } else {
                EXPECT_EQ(scratch_dir::status_of(name).st_ino,
                          scratch_dir::status_of(scratch.file("first")).st_ino)
                    << label;
                // Linking again changes nothing and leaves nothing behind.
                EXPECT_EQ(restorer.make_hardlink("name", "first"), CAB_STATUS_OK);
            }
            EXPECT_EQ(scratch_dir::names_in(scratch.path()),
                      (std::vector<std::string>{"first", "name"}))
                << label;
        }
    }
}

// A directory in the way of a link or file stays, and the entry fails.
TEST(tree_restorer_test, directory_in_the_way_is_not_replaced) {
    scratch_dir scratch;
    ASSERT_EQ(mkdir(scratch.file("d").c_str(), 0755), 0);
    scratch.write("d/inside", "kept");
    scratch.write("f", "file");
    tree_restorer restorer(with(geteuid() == 0));
    ASSERT_EQ(restorer.open(scratch.path().c_str()), CAB_STATUS_OK);
    ASSERT_EQ(put_file(restorer, "first", "x", metadata(0644)), CAB_STATUS_OK);
    entry_metadata link = metadata(0777);
    link.link_target = "text";
    EXPECT_NE(restorer.make_symlink("d", link), CAB_STATUS_OK);
    EXPECT_NE(restorer.make_hardlink("d", "first"), CAB_STATUS_OK);
    EXPECT_NE(put_file(restorer, "d", "x", metadata(0644)), CAB_STATUS_OK);
    EXPECT_EQ(restorer.make_directory("f", metadata(0755)), CAB_ERROR_MKDIR);
    EXPECT_EQ(scratch.read(scratch.file("d/inside")), "kept");
    EXPECT_EQ(scratch.read(scratch.file("f")), "file");
    EXPECT_TRUE(leftovers_in(scratch.path()).empty());
}

// The umask is read without being set: other threads create files meanwhile.
TEST(tree_restorer_test, umask_is_read_not_set) {
    scratch_dir scratch;
    mode_t saved = umask(077);
    umask_calls = 0;
    {
        tree_restorer restorer(with(false));
        ASSERT_EQ(restorer.open(scratch.path().c_str()), CAB_STATUS_OK);
        EXPECT_EQ(put_file(restorer, "f", "x", metadata(0755)), CAB_STATUS_OK);
        EXPECT_EQ(restorer.make_directory("d", metadata(0755)), CAB_STATUS_OK);
        EXPECT_EQ(restorer.finish(), CAB_STATUS_OK);
    }
    const int calls = umask_calls;
    umask(saved);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(mode_of(scratch.file("f")), 0700u);
    EXPECT_EQ(mode_of(scratch.file("d")), 0700u);
}

TEST(tree_restorer_test, unopened_restorer_refuses_every_call) {
    tree_restorer restorer;
    extraction_target target;
    int fd = 0;
    EXPECT_EQ(restorer.create_file("f", target, fd), CAB_ERROR_CLOSED_OBJECT);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(restorer.make_directory("d", metadata(0755)), CAB_ERROR_CLOSED_OBJECT);
    EXPECT_EQ(restorer.make_symlink("l", metadata(0777)), CAB_ERROR_CLOSED_OBJECT);
    EXPECT_EQ(restorer.make_hardlink("h", "f"), CAB_ERROR_CLOSED_OBJECT);
    EXPECT_EQ(restorer.finish(), CAB_ERROR_CLOSED_OBJECT);
    scratch_dir scratch;
    EXPECT_EQ(restorer.open(scratch.file("missing").c_str()), CAB_ERROR_OPEN_STREAM);
}

} // namespace
