// kistle::reader::extract_all over a tree with workers that publish files:
// whatever the number of threads, the same files, the same outcomes told in
// the same order, and the same refusals where the tree and the directory
// disagree.
#include <kistle/archive.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "archive_fixture.h"

namespace fs = std::filesystem;

namespace {

class parallel_extract_test : public testing::Test, public archive_scratch {
protected:
    // What extract_all told, in order: name, failure (empty for none), written.
    struct told {
        std::string name, failure;
        bool written;
        bool operator==(const told& other) const {
            return name == other.name && failure == other.failure && written == other.written;
        }
        friend void PrintTo(const told& t, std::ostream* out) {
            *out << t.name << (t.written ? " written" : " not written") << " " << t.failure;
        }
    };

    std::vector<told> extract(const std::string& cabinet, const std::string& directory,
                              unsigned threads, kistle::reader::existing policy) {
        kistle::reader in(cabinet);
        in.set_threads(threads);
        std::vector<told> outcomes;
        kistle::extract_options options;
        options.policy = policy;
        options.each = [&](const kistle::entry& e, const kistle::error* failure, bool written) {
            outcomes.push_back({e.name, failure ? failure->what() : "", written});
            return true;
        };
        in.extract_all(directory, options);
        return outcomes;
    }

    // Every entry below directory, links not followed: type, mode, bytes or
    // target, and time.
    std::map<std::string, std::string> tree_below(const std::string& directory) {
        std::map<std::string, std::string> found;
        for (const auto& item : fs::recursive_directory_iterator(directory)) {
            struct stat status;
            EXPECT_EQ(lstat(item.path().c_str(), &status), 0);
            std::string what =
                std::to_string(status.st_mode) + " " + std::to_string(status.st_mtime) + " ";
            if (S_ISREG(status.st_mode))
                what += std::to_string(std::hash<std::string>()(scratch_dir::read(item.path())));
            else if (S_ISLNK(status.st_mode))
                what += fs::read_symlink(item.path()).native();
            found[fs::relative(item.path(), directory).native()] = what;
        }
        return found;
    }

    // Where the tree and the directory disagree: a directory where a file
    // goes, a link and a file where directories go, a file to keep or
    // replace; all with one time, so that runs compare.
    void prepare(const std::string& directory) {
        fs::create_directories(directory + "/t/f5");
        fs::create_symlink(outside, directory + "/t/d3");
        for (const char* name : {"/t/d4", "/t/f7"}) {
            scratch.write(fs::relative(directory + name, scratch.path()).native(), "mine");
        }
        const timespec times[2] = {{modified, 0}, {modified, 0}};
        for (const char* name : {"/t/f5", "/t/d3", "/t/d4", "/t/f7"})
            EXPECT_EQ(utimensat(AT_FDCWD, (directory + name).c_str(), times, AT_SYMLINK_NOFOLLOW),
                      0);
    }

    std::string outside = scratch.file("outside");
};

TEST_F(parallel_extract_test, any_thread_count_gives_one_threads_outcome) {
    // A tree of small files in several directories, a large file, links,
    // and, from names alone, a file where a directory must go.
    fs::create_directories(scratch.file("src"));
    for (int d = 0; d < 6; ++d) {
        const std::string dir = "src/d" + std::to_string(d);
        fs::create_directories(scratch.file(dir));
        for (int f = 0; f < 40; ++f)
            scratch.write(dir + "/f" + std::to_string(f), std::string(100 + 37 * f, 'a' + d));
    }
    for (int f = 0; f < 10; ++f)
        scratch.write("src/f" + std::to_string(f), std::to_string(f));
    scratch.write("src/large", std::string(1536 * 1024, 'L'));
    fs::create_symlink("d1/f1", scratch.file("src/link"));
    ASSERT_EQ(link(scratch.file("src/d2/f3").c_str(), scratch.file("src/hard").c_str()), 0);

    const std::string cabinet = scratch.file("tree.cab");
    {
        kistle::writer out(cabinet);
        out.set_level(0); // stored: a block to damage is found by its bytes
        out.add_tree(scratch.file("src"), "t");
        out.add_bytes("t/x", "a file", modified);
        out.add_bytes("t/x/y", "below a file", modified);
        out.add_bytes("t/d5/z", "after it", modified);
        out.commit();
    }
    std::string bytes = scratch_dir::read(cabinet);
    const std::size_t damaged = bytes.find(std::string(100 + 37 * 20, 'a' + 4));
    ASSERT_NE(damaged, std::string::npos);
    bytes[damaged + 10] ^= 1;
    scratch.write("tree.cab", bytes);
    fs::create_directories(outside);

    const std::string directory = scratch.file("out");
    for (auto policy : {kistle::reader::existing::replace, kistle::reader::existing::keep}) {
        prepare(directory);
        const std::vector<told> one = extract(cabinet, directory, 1, policy);
        const std::map<std::string, std::string> made = tree_below(directory);
        int failures = 0;
        for (const told& t : one)
            failures += !t.failure.empty();
        EXPECT_GE(failures, 40) << "d3's and d4's files, x/y, a damaged block's";
        EXPECT_EQ(scratch_dir::read(directory + "/t/x"), "a file");
        EXPECT_EQ(scratch_dir::read(directory + "/t/d5/z"), "after it");
        fs::remove_all(directory);
        // The messages name the directory: the same one for every run.
        for (unsigned threads : {2u, 4u, 7u}) {
            prepare(directory);
            EXPECT_EQ(extract(cabinet, directory, threads, policy), one) << threads;
            EXPECT_EQ(tree_below(directory), made) << threads;
            fs::remove_all(directory);
        }
        EXPECT_TRUE(fs::is_empty(outside));
    }
}

TEST_F(parallel_extract_test, without_each_the_first_failure_ends_the_run) {
    std::vector<std::pair<std::string, std::string>> files;
    for (int f = 0; f < 50; ++f)
        files.push_back({"d/f" + std::to_string(f), std::string(f, 'x')});
    files.push_back({"d/f3/below", "a file is in the way"});
    for (int f = 50; f < 60; ++f)
        files.push_back({"d/f" + std::to_string(f), "after"});
    const std::string cabinet = make_cabinet(files);
    for (unsigned threads : {1u, 4u}) {
        const std::string directory = scratch.file("out" + std::to_string(threads));
        fs::create_directory(directory);
        kistle::reader in(cabinet);
        in.set_threads(threads);
        std::error_code ec;
        in.extract_all(directory, ec);
        EXPECT_EQ(ec, kistle::errc::mkdir) << threads;
        // Every file before it is there, whoever published it.
        for (int f = 0; f < 50; ++f)
            EXPECT_EQ(scratch_dir::read(directory + "/d/f" + std::to_string(f)),
                      std::string(f, 'x'));
    }
}

} // namespace
