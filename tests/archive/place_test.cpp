// What the writer and extraction never destroy: a file that is not a
// cabinet, a cabinet in a directory that refuses a new file, the cabinet
// being read. Where the cabinet cannot go is said at open, before anything
// is compressed, naming the path at fault.
#include <kistle/archive.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "child_process.h"
#include "file_size_limit.h"
#include "unprivileged.h"

namespace fs = std::filesystem;

namespace {

// One thread each: some cases fork.
kistle::writer single_threaded() {
    kistle::writer out;
    out.set_threads(1);
    return out;
}

kistle::reader reading(const std::string& cabinet) {
    kistle::reader in;
    in.set_threads(1);
    in.open(cabinet);
    return in;
}

using place_test = archive_test;

struct refused_place {
    const char* label;
    // Makes the scratch directory's contents; gives the cabinet's path and
    // sets concerned to the path the failure names.
    std::function<std::string(place_test&, std::string& concerned)> prepare;
    kistle::errc expected;
    int system; // 0: no system reason
};

void PrintTo(const refused_place& c, std::ostream* out) {
    *out << c.label;
}

class refused_place_test : public place_test,
                           public ::testing::WithParamInterface<refused_place> {};

// open fails at once, names the path at fault and changes nothing.
TEST_P(refused_place_test, open_names_the_path_at_fault) {
    const refused_place& c = GetParam();
    std::string concerned;
    const std::string cabinet = c.prepare(*this, concerned);
    const std::vector<std::string> before = scratch_dir::names_in(scratch.path());
    kistle::writer out = single_threaded();
    try {
        out.open(cabinet);
        FAIL() << "opened";
    } catch (const kistle::error& e) {
        EXPECT_EQ(e.code(), c.expected) << e.what();
        EXPECT_EQ(e.path(), concerned) << e.what();
        EXPECT_EQ(e.system_code().value(), c.system) << e.what();
    }
    EXPECT_FALSE(out.is_open());
    EXPECT_EQ(scratch_dir::names_in(scratch.path()), before);
    setenv("TMPDIR", temp_dir.c_str(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    place, refused_place_test,
    ::testing::Values(refused_place{"missing_directory",
                                    [](place_test& t, std::string& concerned) {
                                        concerned = t.scratch.file("nowhere/deeper");
                                        return concerned + "/out.cab";
                                    },
                                    kistle::errc::open_file, ENOENT},
                      refused_place{"a_directory",
                                    [](place_test& t, std::string& concerned) {
                                        concerned = t.scratch.file("folder");
                                        fs::create_directory(concerned);
                                        return concerned;
                                    },
                                    kistle::errc::open_file, EISDIR},
                      refused_place{"not_a_cabinet",
                                    [](place_test& t, std::string& concerned) {
                                        return concerned =
                                                   t.scratch.write("notes.txt", "my notes\n");
                                    },
                                    kistle::errc::not_a_cabinet, 0},
                      refused_place{"link_to_a_file_that_is_not_a_cabinet",
                                    [](place_test& t, std::string& concerned) {
                                        t.scratch.write("notes.txt", "my notes\n");
                                        concerned = t.scratch.file("link.cab");
                                        fs::create_symlink("notes.txt", concerned);
                                        return concerned;
                                    },
                                    kistle::errc::not_a_cabinet, 0},
                      refused_place{"missing_temporary_directory",
                                    [](place_test& t, std::string& concerned) {
                                        concerned = t.scratch.file("no-tmp");
                                        setenv("TMPDIR", concerned.c_str(), 1);
                                        return t.scratch.file("out.cab");
                                    },
                                    kistle::errc::temp_file, ENOENT}),
    [](const ::testing::TestParamInfo<refused_place>& info) { return info.param.label; });

// An empty file and a cabinet are replaced; any file with set_replace_any.
TEST_F(place_test, replaces_an_empty_file_a_cabinet_or_when_told_anything) {
    const std::string empty = scratch.write("empty.cab", "");
    const std::string cabinet = make_cabinet({{"old", "old"}}, "old.cab");
    const std::string notes = scratch.write("notes.txt", "my notes\n");
    for (const std::string& path : {empty, cabinet, notes}) {
        kistle::writer out = single_threaded();
        out.set_replace_any(path == notes);
        out.open(path);
        out.add_bytes("new", "new", modified);
        out.commit();
        kistle::reader in = reading(path);
        ASSERT_EQ(in.entries().size(), 1u) << path;
        EXPECT_EQ(in.entries()[0].name, "new");
    }
}

// The file becomes something else between open and commit: commit refuses.
TEST_F(place_test, commit_checks_again) {
    const std::string path = scratch.file("out.cab");
    kistle::writer out = single_threaded();
    out.open(path);
    out.add_bytes("a", "a", modified);
    scratch.write("out.cab", "appeared meanwhile");
    std::error_code ec;
    out.commit(ec);
    EXPECT_EQ(ec, kistle::errc::not_a_cabinet);
    EXPECT_EQ(scratch_dir::read(path), "appeared meanwhile");
    EXPECT_TRUE(out.is_open());
}

// A directory that refuses a new file, holding a cabinet that may be
// written: as an ordinary user, for whom the directory's mode counts, in a
// directory of the user's (so not below archive_test's, which is root's
// alone). work gets the cabinet's path; $TMPDIR is the user's too.
void in_refusing_directory(const std::function<void(const std::string& cabinet)>& work) {
    unprivileged_run run = run_unprivileged([&](const std::string& base) {
        const std::string temp = base + "/tmp", directory = base + "/locked";
        setenv("TMPDIR", temp.c_str(), 1);
        if (mkdir(temp.c_str(), 0700) != 0 || mkdir(directory.c_str(), 0755) != 0)
            return false;
        const std::string cabinet = directory + "/c.cab";
        {
            kistle::writer out(cabinet);
            out.add_bytes("old", std::string(5000, 'o'), archive_scratch::modified);
            out.commit();
        }
        chmod(directory.c_str(), 0555);
        work(cabinet);
        chmod(directory.c_str(), 0755);
        EXPECT_TRUE(scratch_dir::names_in(temp).empty()) << "a temporary file was left behind";
        EXPECT_EQ(scratch_dir::names_in(directory), std::vector<std::string>{"c.cab"});
        return !::testing::Test::HasFailure();
    });
    if (run == unprivileged_run::impossible)
        GTEST_SKIP() << "cannot run as an ordinary user";
    EXPECT_EQ(run, unprivileged_run::passed);
}

// By default open refuses, naming the directory, and nothing changes.
TEST(writer_refusing_directory_test, fails_open_and_is_named) {
    in_refusing_directory([](const std::string& cabinet) {
        const std::string original = scratch_dir::read(cabinet);
        kistle::writer out = single_threaded();
        try {
            out.open(cabinet);
            ADD_FAILURE() << "opened";
        } catch (const kistle::error& e) {
            EXPECT_EQ(e.code(), kistle::errc::open_file) << e.what();
            EXPECT_EQ(e.path(), fs::path(cabinet).parent_path()) << e.what();
            EXPECT_EQ(e.system_code().value(), EACCES) << e.what();
        }
        EXPECT_TRUE(scratch_dir::read(cabinet) == original);
    });
}

// The directory starts refusing after open: commit refuses, as open would.
TEST(writer_refusing_directory_test, fails_commit) {
    in_refusing_directory([](const std::string& cabinet) {
        const std::string original = scratch_dir::read(cabinet);
        const std::string directory = fs::path(cabinet).parent_path();
        kistle::writer out = single_threaded();
        chmod(directory.c_str(), 0755);
        out.open(cabinet);
        out.add_bytes("new", std::string(50000, 'n'), archive_scratch::modified);
        chmod(directory.c_str(), 0555);
        std::error_code ec;
        out.commit(ec);
        EXPECT_EQ(ec, kistle::errc::open_file);
        EXPECT_TRUE(out.is_open());
        EXPECT_TRUE(scratch_dir::read(cabinet) == original);
    });
}

// Asked for, the cabinet is written over the file in place: the same file,
// the new cabinet. A failure part way leaves it damaged, as documented.
// Many entries with long names make a cabinet much larger than its data,
// so that a file size limit stops the cabinet and not the data file.
TEST(writer_refusing_directory_test, in_place_when_asked) {
    in_refusing_directory([](const std::string& cabinet) {
        const std::string original = scratch_dir::read(cabinet);
        const ino_t inode = scratch_dir::status_of(cabinet).st_ino;
        const int entries = 300;
        const auto name_of = [](int i) {
            return "an entry with a long name that fills the directory " + std::to_string(i);
        };
        kistle::writer out = single_threaded();
        out.set_in_place(true);
        out.open(cabinet);
        for (int i = 0; i < entries; ++i)
            out.add_bytes(name_of(i), "x", archive_scratch::modified);
        std::error_code ec;
        {
            file_size_limit limit(20000);
            out.commit(ec);
        }
        EXPECT_EQ(ec, kistle::errc::write);
        EXPECT_FALSE(scratch_dir::read(cabinet) == original) << "what in place risks";
        out.commit();
        EXPECT_EQ(scratch_dir::status_of(cabinet).st_ino, inode);
        kistle::reader in = reading(cabinet);
        ASSERT_EQ(in.entries().size(), static_cast<std::size_t>(entries));
        EXPECT_EQ(in.entries().back().name, name_of(entries - 1));
        EXPECT_TRUE(in.test().empty());
    });
}

// A device or FIFO gets the cabinet itself; open only asks whether it can
// be written, so a FIFO without a reader does not block it.
TEST_F(place_test, open_opens_no_fifo) {
    const std::string fifo = scratch.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    child_end end = run_child(
        [&](const std::function<void()>&) {
            alarm(10);
            kistle::writer out = single_threaded();
            out.open(fifo);
            _exit(out.is_open() ? 0 : 1);
        },
        0);
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exit_status, 0);
}

struct itself_case {
    const char* label;
    std::string stored;   // the entry's name
    std::string location; // the cabinet's, below out/
};

void PrintTo(const itself_case& c, std::ostream* out) {
    *out << c.label;
}

class extraction_itself_test : public place_test,
                               public ::testing::WithParamInterface<itself_case> {};

// An entry whose target is the cabinet being read is refused, whatever the
// name's separators; the cabinet stays, and the other entries extract.
TEST_P(extraction_itself_test, never_replaces_the_cabinet_being_read) {
    const itself_case& c = GetParam();
    const std::string out_dir = scratch.file("out");
    fs::create_directories(fs::path(out_dir + "/" + c.location).parent_path());
    const std::string cabinet =
        make_cabinet({{"first.txt", "first"}, {c.stored, "not a cabinet"}, {"last.txt", "last"}},
                     "out/" + c.location);
    const std::string original = scratch_dir::read(cabinet);
    kistle::reader in = reading(cabinet);
    try {
        in.extract_all(out_dir);
        FAIL() << "extracted";
    } catch (const kistle::error& e) {
        EXPECT_EQ(e.code(), kistle::errc::cabinet_itself) << e.what();
        EXPECT_EQ(e.path(), out_dir + "/" + c.stored);
    }
    EXPECT_TRUE(scratch_dir::read(cabinet) == original);
    EXPECT_EQ(scratch_dir::read(out_dir + "/first.txt"), "first");
    // Kept, as any existing target is.
    EXPECT_FALSE(in.extract(in.entries()[1], out_dir, kistle::reader::existing::keep));
    EXPECT_TRUE(in.extract(in.entries()[2], out_dir));
    EXPECT_TRUE(scratch_dir::read(cabinet) == original);
}

INSTANTIATE_TEST_SUITE_P(
    place, extraction_itself_test,
    ::testing::Values(itself_case{"same_name", "c.cab", "c.cab"},
                      itself_case{"leading_slash", "/c.cab", "c.cab"},
                      itself_case{"backslash", "sub\\c.cab", "sub/c.cab"},
                      itself_case{"dot_component", "sub/./c.cab", "sub/c.cab"}),
    [](const ::testing::TestParamInfo<itself_case>& info) { return info.param.label; });

// A link at the target that leads to the cabinet is replaced itself, as any
// link at a target is: the cabinet stays.
TEST_F(place_test, link_to_the_cabinet_is_replaced_not_followed) {
    const std::string out_dir = scratch.file("out");
    fs::create_directory(out_dir);
    const std::string cabinet = make_cabinet({{"link.cab", "bytes"}}, "out/c.cab");
    const std::string original = scratch_dir::read(cabinet);
    fs::create_symlink("c.cab", out_dir + "/link.cab");
    kistle::reader in = reading(cabinet);
    in.extract_all(out_dir);
    EXPECT_FALSE(fs::is_symlink(out_dir + "/link.cab"));
    EXPECT_EQ(scratch_dir::read(out_dir + "/link.cab"), "bytes");
    EXPECT_TRUE(scratch_dir::read(cabinet) == original);
}

// Extraction into a directory that is not there names that directory.
TEST_F(place_test, extraction_names_a_missing_directory) {
    const std::string cabinet = make_cabinet({{"a.txt", "a"}});
    const std::string file = scratch.write("file", "x");
    const std::pair<std::string, int> cases[] = {{scratch.file("missing"), ENOENT},
                                                 {file, ENOTDIR}};
    for (const auto& [directory, system] : cases) {
        kistle::reader in = reading(cabinet);
        try {
            in.extract_all(directory);
            FAIL() << directory;
        } catch (const kistle::error& e) {
            EXPECT_EQ(e.code(), kistle::errc::open_stream) << e.what();
            EXPECT_EQ(e.path(), directory) << e.what();
            EXPECT_EQ(e.system_code().value(), system) << e.what();
        }
    }
}

} // namespace
