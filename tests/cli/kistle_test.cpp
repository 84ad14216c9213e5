// kistle end to end: the built program run on trees in a scratch directory.
#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <kistle/archive.h>

#include "cabinet_image.h"
#include "run_program.h"
#include "scratch_dir.h"
#include "tmpdir_setting.h"

namespace fs = std::filesystem;

namespace {

// 2024-05-06 07:08:10 local time: even seconds survive the two-second
// resolution of stored times.
std::time_t sample_time() {
    std::tm parts = {};
    parts.tm_year = 124;
    parts.tm_mon = 4;
    parts.tm_mday = 6;
    parts.tm_hour = 7;
    parts.tm_min = 8;
    parts.tm_sec = 10;
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

std::string random_bytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

class kistle_test : public testing::Test {
protected:
    scratch_dir scratch;

    // Runs kistle in the scratch directory.
    program_result kistle(std::vector<std::string> args) {
        args.insert(args.begin(), KISTLE_PATH);
        program_options options;
        options.directory = scratch.path();
        return run_program(args, options);
    }
    // Runs a shell command line in the scratch directory; $K is kistle.
    program_result shell(const std::string& command) {
        program_options options;
        options.directory = scratch.path();
        options.environment = {"K=" KISTLE_PATH};
        return run_program({"/bin/sh", "-c", command}, options);
    }

    std::string path(const std::string& relative) const { return scratch.file(relative); }

    void write(const std::string& relative, const std::string& bytes) {
        fs::create_directories(fs::path(path(relative)).parent_path());
        scratch.write(relative, bytes);
        struct utimbuf times = {sample_time(), sample_time()};
        utime(path(relative).c_str(), &times);
    }

    // Nested directories, spaces and UTF-8 in names, an empty file, a
    // read-only file, and a file of several blocks.
    void make_tree(const std::string& root) {
        write(root + "/top.txt", "top\n");
        write(root + "/with space/nested/deep file.txt", "deep down\n");
        write(root + "/caf\xC3\xA9 \xE2\x82\xAC/\xC3\xBC\xC3\xB1\xC3\xAF.txt", "unicode\n");
        write(root + "/empty.txt", "");
        write(root + "/read-only.txt", "locked\n");
        chmod(path(root + "/read-only.txt").c_str(), 0444);
        write(root + "/big.bin", random_bytes(200000, 1) + std::string(100000, 'z'));
    }

    // Every regular file below directory: relative name, bytes and whether
    // it is writable.
    std::map<std::string, std::pair<std::string, bool>> files_below(const std::string& directory) {
        std::map<std::string, std::pair<std::string, bool>> files;
        fs::path root = path(directory);
        for (const auto& item : fs::recursive_directory_iterator(root)) {
            if (!item.is_regular_file())
                continue;
            bool writable =
                (item.status().permissions() & fs::perms::owner_write) != fs::perms::none;
            files[fs::relative(item.path(), root).native()] = {scratch_dir::read(item.path()),
                                                               writable};
        }
        return files;
    }

    // A stored name as an operand, which is a pattern: '*', '?', '[' and
    // '\' each behind a backslash, as in the shell.
    static std::string as_operand(const std::string& name) {
        std::string operand;
        for (char c : name) {
            if (c == '*' || c == '?' || c == '[' || c == '\\')
                operand += '\\';
            operand += c;
        }
        return operand;
    }

    std::vector<std::string> lines_of(const std::string& text) {
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        EXPECT_EQ(start, text.size()) << "the last line has no line end";
        return lines;
    }
};

// Every way of making a cabinet gives one that extracts to the same tree.
class kistle_round_trip_test : public kistle_test,
                               public testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(kistle_round_trip_test, extracts_the_tree_it_stored) {
    make_tree("src");
    std::vector<std::string> create = {"create"};
    create.insert(create.end(), GetParam().begin(), GetParam().end());
    create.insert(create.end(), {"tree.cab", "src"});
    program_result made = kistle(create);
    ASSERT_EQ(made.exit_status, 0) << made.err;
    EXPECT_EQ(made.out, "");

    program_result tested = kistle({"test", "tree.cab"});
    EXPECT_EQ(tested.exit_status, 0) << tested.err;
    EXPECT_EQ(tested.out,
              "tree.cab: OK (6 files, 4 directories, " +
                  std::string(GetParam() == std::vector<std::string>{"--folder-size", "100K"}
                                  ? "2 folders)\n"
                                  : "1 folder)\n"));

    program_result extracted = kistle({"extract", "-C", "out", "tree.cab"});
    ASSERT_EQ(extracted.exit_status, 0) << extracted.err;
    EXPECT_EQ(extracted.err, "");
    EXPECT_EQ(files_below("out/src"), files_below("src"));
    EXPECT_EQ(scratch_dir::status_of(path("out/src/top.txt")).st_mtime, sample_time());
}

INSTANTIATE_TEST_SUITE_P(options, kistle_round_trip_test,
                         testing::Values(std::vector<std::string>{},
                                         std::vector<std::string>{"--store"},
                                         std::vector<std::string>{"--level", "1"},
                                         std::vector<std::string>{"--level", "9", "-j", "1"},
                                         std::vector<std::string>{"--folder-size", "100K"}));

TEST_F(kistle_test, directory_option_on_both_sides) {
    make_tree("src");
    ASSERT_EQ(kistle({"create", "-C", "src", "tree.cab", "."}).exit_status, 0);
    program_result listed = kistle({"list", "tree.cab", "top.txt"});
    EXPECT_EQ(listed.out, "top.txt\n");
    program_result extracted = kistle({"extract", "-C", "made/on demand", "tree.cab"});
    ASSERT_EQ(extracted.exit_status, 0) << extracted.err;
    EXPECT_EQ(files_below("made/on demand"), files_below("src"));
}

TEST_F(kistle_test, same_tree_same_cabinet_in_sorted_order) {
    for (const char* name : {"b.txt", "a.txt", "c/z.txt", "c/a.txt", "B.txt"})
        write(std::string("src/") + name, name);
    ASSERT_EQ(kistle({"create", "one.cab", "src"}).exit_status, 0);
    ASSERT_EQ(kistle({"create", "two.cab", "src"}).exit_status, 0);
    EXPECT_EQ(scratch_dir::read(path("one.cab")), scratch_dir::read(path("two.cab")));
    EXPECT_EQ(kistle({"list", "one.cab"}).out,
              "src/\nsrc/B.txt\nsrc/a.txt\nsrc/b.txt\nsrc/c/\nsrc/c/a.txt\nsrc/c/z.txt\n");
}

TEST_F(kistle_test, plain_is_cabinet_tools_bytes_and_store_stores) {
    write("a.txt", std::string(50000, 'a') + "end\n");
    write("b.txt", random_bytes(40000, 4));
    program_options dialogue;
    dialogue.directory = scratch.path();
    dialogue.input = "a.txt\nb.txt\n\ntool.cab\n";
    ASSERT_EQ(run_program({CABINET_TOOL_PATH}, dialogue).exit_status, 0);
    ASSERT_EQ(kistle({"create", "--plain", "kistle.cab", "a.txt", "b.txt"}).exit_status, 0);
    EXPECT_EQ(scratch_dir::read(path("kistle.cab")), scratch_dir::read(path("tool.cab")));

    ASSERT_EQ(kistle({"create", "--store", "stored.cab", "a.txt", "b.txt"}).exit_status, 0);
    std::string info = kistle({"info", "stored.cab"}).out;
    EXPECT_NE(info.find("     0  stored             3            90052            90004\n"),
              std::string::npos)
        << info;
}

// With SOURCE_DATE_EPOCH the cabinet depends on the files alone: not on
// the time zone, and not on times newer than it.
TEST_F(kistle_test, source_date_epoch_makes_cabinets_reproducible) {
    make_tree("src");
    write("src/new.txt", "new");
    const timespec future[2] = {{4102444800, 0}, {4102444800, 0}}; // 2100
    ASSERT_EQ(utimensat(AT_FDCWD, path("src/new.txt").c_str(), future, 0), 0);
    auto create_in = [&](const char* zone, const char* name) {
        program_options options;
        options.directory = scratch.path();
        options.environment = {std::string("TZ=") + zone, "SOURCE_DATE_EPOCH=1800000000"};
        program_result made = run_program({KISTLE_PATH, "create", name, "src"}, options);
        EXPECT_EQ(made.exit_status, 0) << made.err;
        return scratch_dir::read(path(name));
    };
    EXPECT_TRUE(create_in("UTC", "utc.cab") == create_in("Asia/Tokyo", "tokyo.cab"));
    program_result listed = kistle({"list", "--json", "utc.cab", "src/new.txt", "src/top.txt"});
    nlohmann::json files = nlohmann::json::parse(listed.out);
    EXPECT_EQ(files[0]["mtime"], 1800000000) << "clamped";
    EXPECT_EQ(files[1]["mtime"], sample_time()) << "older times stay";

    program_result bad = run_program({KISTLE_PATH, "create", "x.cab", "src"},
                                     {"", scratch.path(), {"SOURCE_DATE_EPOCH=soon"}});
    EXPECT_EQ(bad.exit_status, 1);
    EXPECT_EQ(bad.err, "kistle: SOURCE_DATE_EPOCH: not a number of seconds\n");
}

// What a tree holds, as stat and readlink show it: each path's type,
// permission bits (those in mask), owner, group, time to the nanosecond
// (but the top directory's, which extraction makes), link target or bytes,
// and which paths are one file.
std::map<std::string, std::string> snapshot(const std::string& top, mode_t mask) {
    std::map<std::string, std::string> result;
    std::map<std::pair<dev_t, ino_t>, std::string> inodes;
    std::vector<std::string> pending = {""};
    while (!pending.empty()) {
        std::string relative = pending.back();
        pending.pop_back();
        const std::string full = relative.empty() ? top : top + "/" + relative;
        struct stat status;
        if (lstat(full.c_str(), &status) != 0)
            continue;
        std::string text = std::to_string(status.st_mode & S_IFMT) + " " +
                           std::to_string(status.st_mode & mask) + " " +
                           std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid);
        if (!relative.empty() && !S_ISLNK(status.st_mode))
            text += " " + std::to_string(status.st_mtim.tv_sec) + "." +
                    std::to_string(status.st_mtim.tv_nsec);
        if (S_ISLNK(status.st_mode)) {
            text += " -> " + fs::read_symlink(full).native();
        } else if (S_ISREG(status.st_mode)) {
            auto first = inodes.emplace(std::make_pair(status.st_dev, status.st_ino), relative);
            text += first.second ? " " + scratch_dir::read(full) : " = " + first.first->second;
        } else if (S_ISDIR(status.st_mode)) {
            for (const std::string& name : scratch_dir::names_in(full))
                pending.push_back(relative.empty() ? name : relative + "/" + name);
        }
        result[relative] = text;
    }
    return result;
}

// Exclusions, stripped components and directory operands select what tar
// selects: the trees extracted by both are the same.
struct as_tar_case {
    const char* name;
    std::vector<std::string> create, extract, members, tar_only;
};

void PrintTo(const as_tar_case& c, std::ostream* out) {
    *out << c.name;
}

class kistle_as_tar_test : public kistle_test, public testing::WithParamInterface<as_tar_case> {};

TEST_P(kistle_as_tar_test, selects_what_tar_selects) {
    const as_tar_case& c = GetParam();
    const std::string src = path("src");
    for (const char* file :
         {"exact", "sub/deep", "sub/x.o", ".git/HEAD", "b/skip", "b/keep.o", "b/keep"})
        write(std::string("src/") + file, file);
    fs::create_directories(src + "/sub/empty");
    ASSERT_EQ(link((src + "/exact").c_str(), (src + "/sub/hard").c_str()), 0);
    fs::create_symlink("../exact", src + "/sub/relative");

    program_options utc;
    utc.directory = scratch.path();
    utc.environment = {"TZ=UTC"};
    std::vector<std::string> create = {KISTLE_PATH, "create"}, tar = {"/bin/tar", "--format=posix"};
    for (std::vector<std::string>* command : {&create, &tar})
        command->insert(command->end(), c.create.begin(), c.create.end());
    create.insert(create.end(), {"tree.cab", "src"});
    tar.insert(tar.end(), {"-cf", "tree.tar", "src"});
    ASSERT_EQ(run_program(create, utc).exit_status, 0);
    ASSERT_EQ(run_program(tar, utc).exit_status, 0);

    fs::create_directory(path("by-kistle"));
    fs::create_directory(path("by-tar"));
    std::vector<std::string> extract = {KISTLE_PATH, "extract", "-C", "by-kistle"},
                             untar = {"/bin/tar", "-xf", "tree.tar", "-C", "by-tar"};
    for (std::vector<std::string>* command : {&extract, &untar})
        command->insert(command->end(), c.extract.begin(), c.extract.end());
    untar.insert(untar.end(), c.tar_only.begin(), c.tar_only.end());
    extract.push_back("tree.cab");
    for (std::vector<std::string>* command : {&extract, &untar})
        command->insert(command->end(), c.members.begin(), c.members.end());
    program_result extracted = run_program(extract, utc);
    EXPECT_EQ(extracted.exit_status, 0) << extracted.err;
    ASSERT_EQ(run_program(untar, utc).exit_status, 0);
    EXPECT_EQ(snapshot(path("by-kistle"), 07777), snapshot(path("by-tar"), 07777));
    EXPECT_GT(snapshot(path("by-kistle"), 07777).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    cases, kistle_as_tar_test,
    testing::Values(
        as_tar_case{"excluded_when_stored",
                    {"--exclude", "*.o", "--exclude", ".git", "--exclude", "src/b/skip"},
                    {},
                    {},
                    {}},
        as_tar_case{
            "excluded_when_extracted", {}, {"--exclude", ".git", "--exclude", "src/b/*.o"}, {}, {}},
        as_tar_case{"strip_one", {}, {"--strip-components", "1"}, {}, {}},
        as_tar_case{"strip_two", {}, {"--strip-components", "2"}, {}, {}},
        as_tar_case{"directory_stripped", {}, {"--strip-components", "1"}, {"src/sub"}, {}},
        as_tar_case{"pattern_of_a_directory",
                    {},
                    {"--strip-components", "1"},
                    {"src/s*"},
                    {"--wildcards"}}),
    [](const testing::TestParamInfo<as_tar_case>& info) { return info.param.name; });

// A tree comes back as tar brings it back: as root exactly, as another user
// with that user's owner and modes less the umask; also when the time zone
// of the extraction is not that of the creation.
TEST_F(kistle_test, tree_comes_back_as_tar_brings_it_back) {
    const std::string src = path("src");
    fs::create_directories(src + "/sub/empty");
    const struct {
        const char* name;
        mode_t mode;
        time_t seconds;
        long nanoseconds;
    } files[] = {{"run.sh", 0755, 1709647628, 0},  {"private", 0600, 1709647628, 0},
                 {"shadow", 0640, 13046400, 0},    {"setuid", 04755, 7258118400, 0},
                 {"setgid", 02755, 1709647628, 0}, {"exact", 0644, 1709647628, 123456789},
                 {"caf\xE9", 0644, 1709647628, 0}, {"sub/deep", 0444, 1709647628, 0}};
    for (const auto& f : files) {
        std::string file = scratch.write(std::string("src/") + f.name, f.name);
        ASSERT_EQ(chmod(file.c_str(), f.mode), 0);
        const timespec times[2] = {{f.seconds, f.nanoseconds}, {f.seconds, f.nanoseconds}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    }
    ASSERT_EQ(link((src + "/exact").c_str(), (src + "/sub/hard").c_str()), 0);
    fs::create_symlink("../run.sh", src + "/sub/relative");
    fs::create_symlink("/etc/passwd", src + "/sub/absolute");
    fs::create_symlink("nowhere", src + "/sub/dangling");
    ASSERT_EQ(chmod((src + "/sub/empty").c_str(), 0700), 0);
    ASSERT_EQ(chmod((src + "/sub").c_str(), 01777), 0);
    for (const char* dir : {"sub/empty", "sub", ""}) {
        const timespec times[2] = {{13046400, 5}, {13046400, 5}};
        ASSERT_EQ(utimensat(AT_FDCWD, (src + "/" + dir).c_str(), times, 0), 0);
    }
    if (geteuid() == 0) {
        ASSERT_EQ(lchown((src + "/private").c_str(), 4242, 4343), 0);
    }

    program_options utc;
    utc.directory = scratch.path();
    utc.environment = {"TZ=UTC"};
    ASSERT_EQ(run_program({KISTLE_PATH, "create", "tree.cab", "src"}, utc).exit_status, 0);
    ASSERT_EQ(
        run_program({"/bin/tar", "--format=posix", "-cf", "tree.tar", "src"}, utc).exit_status, 0);

    // Extracted as this user, then (as root) as nobody, in Tokyo.
    std::vector<std::vector<std::string>> users = {{}};
    if (geteuid() == 0) {
        users.push_back({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        chmod(scratch.path().c_str(), 0777);
    }
    for (const std::vector<std::string>& as : users) {
        SCOPED_TRACE(as.empty() ? "as this user" : "as nobody");
        const std::string by_kistle = as.empty() ? "kistle-out" : "kistle-nobody";
        const std::string by_tar = as.empty() ? "tar-out" : "tar-nobody";
        fs::create_directory(path(by_kistle));
        fs::create_directory(path(by_tar));
        chmod(path(by_kistle).c_str(), 0777);
        chmod(path(by_tar).c_str(), 0777);
        program_options tokyo;
        tokyo.directory = scratch.path();
        tokyo.environment = {"TZ=Asia/Tokyo"};
        std::vector<std::string> extract = as;
        extract.insert(extract.end(), {KISTLE_PATH, "extract", "-C", by_kistle, "tree.cab"});
        program_result extracted = run_program(extract, tokyo);
        EXPECT_EQ(extracted.exit_status, 0) << extracted.err;
        std::vector<std::string> untar = as;
        untar.insert(untar.end(), {"/bin/tar", "-xf", "tree.tar", "-C", by_tar});
        ASSERT_EQ(run_program(untar, tokyo).exit_status, 0);
        // tar also drops the sticky bit for another user; the modes compare
        // in their permission bits then.
        const mode_t mask = as.empty() ? 07777 : 0777;
        EXPECT_EQ(snapshot(path(by_kistle + "/src"), mask), snapshot(path(by_tar + "/src"), mask));
        if (as.empty()) {
            EXPECT_EQ(snapshot(path(by_kistle + "/src"), 07777), snapshot(src, 07777));
        }
    }
}

// One rule for names that land on one path: the first entry is the one
// extracted and shown; the others are named. Entries whose bytes overlap
// are refused unless asked for.
TEST_F(kistle_test, same_paths_and_overlaps_are_named) {
    test_cabinet same;
    same.add_folder(
        0, {{"doc/readme", "first"}, {"./doc/readme", "second"}, {"doc\\readme", "third"}});
    scratch.write("same.cab", build_cabinet(same));
    program_result extracted = kistle({"extract", "-C", "out", "same.cab"});
    EXPECT_EQ(extracted.exit_status, 1);
    EXPECT_EQ(scratch_dir::read(path("out/doc/readme")), "first");
    EXPECT_NE(extracted.err.find("kistle: not extracted: ./doc/readme\n"), std::string::npos)
        << extracted.err;
    EXPECT_EQ(kistle({"cat", "same.cab", as_operand("doc\\readme")}).out, "first");
    EXPECT_EQ(kistle({"cat", "same.cab", "*readme"}).out, "first");
    program_result listed = kistle({"list", "-l", "same.cab"});
    EXPECT_EQ(lines_of(listed.err).size(), 2u) << listed.err;

    test_cabinet overlapping;
    overlapping.add_folder(0, {{"a", "shared bytes"}});
    overlapping.files.push_back(overlapping.files[0]);
    overlapping.files.back().name = "b";
    scratch.write("overlap.cab", build_cabinet(overlapping));
    program_result refused = kistle({"extract", "-C", "o1", "overlap.cab"});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_NE(refused.err.find("overlap"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(path("o1/a")));
    program_result tested = kistle({"test", "overlap.cab"});
    EXPECT_EQ(tested.exit_status, 1);
    EXPECT_NE(tested.err.find("(b)"), std::string::npos) << tested.err;
    program_result allowed = kistle({"extract", "--allow-overlap", "-C", "o2", "overlap.cab"});
    EXPECT_EQ(allowed.exit_status, 0) << allowed.err;
    EXPECT_EQ(scratch_dir::read(path("o2/b")), "shared bytes");
}

// -j changes when blocks are compressed and expanded, never the bytes nor
// the status: not even a count far beyond any machine's.
TEST_F(kistle_test, thread_count_changes_no_byte) {
    make_tree("src");
    write("src/large.bin", random_bytes(300000, 7) + std::string(200000, 'q'));
    // Small files, whose blocks are deflated across file boundaries.
    fs::create_directory(path("src/many"));
    for (unsigned i = 0; i < 120; ++i)
        write("src/many/" + std::to_string(i), random_bytes(1000 + 97 * i, i));
    for (const char* threads : {"1", "2", "3", "4", "7", "4294967295"}) {
        std::string cabinet = std::string("j") + threads + ".cab";
        ASSERT_EQ(kistle({"create", "-j", threads, cabinet, "src"}).exit_status, 0);
        std::string out = std::string("out") + threads;
        program_result extracted = kistle({"extract", "-j", threads, "-C", out, cabinet});
        ASSERT_EQ(extracted.exit_status, 0) << extracted.err;
        EXPECT_EQ(files_below(out + "/src"), files_below("src")) << threads;
        EXPECT_EQ(scratch_dir::read(path(cabinet)), scratch_dir::read(path("j1.cab"))) << threads;
    }
}

// On a tree, -j changes which thread makes a file, never what is made nor
// what is said: damage, names kept with -k, a link, a file and a directory
// in the way give the same files, statuses and messages in the same order.
TEST_F(kistle_test, thread_count_changes_no_tree_outcome) {
    make_tree("src");
    for (int d = 0; d < 5; ++d)
        for (int f = 0; f < 30; ++f)
            write("src/d" + std::to_string(d) + "/f" + std::to_string(f),
                  std::string(200 + 53 * f, static_cast<char>('a' + d)));
    fs::create_symlink("top.txt", path("src/link"));
    ASSERT_EQ(link(path("src/top.txt").c_str(), path("src/z-hard").c_str()), 0);
    ASSERT_EQ(kistle({"create", "--store", "tree.cab", "src"}).exit_status, 0);
    std::string cabinet = scratch_dir::read(path("tree.cab"));
    const std::size_t at = cabinet.find(std::string(200 + 53 * 10, 'c'));
    ASSERT_NE(at, std::string::npos);
    cabinet[at + 100] ^= 1;
    scratch.write("tree.cab", cabinet);

    fs::create_directories(path("elsewhere"));
    auto prepare = [&] {
        fs::create_directories(path("out/src/d0/f4")); // where a file goes
        fs::create_symlink(path("elsewhere"), path("out/src/d1"));
        write("out/src/d3", "a file where a directory goes");
        write("out/src/d4/f7", "mine");
    };
    for (const char* keep : {"-q", "-k"}) {
        prepare();
        const program_result one = kistle({"extract", keep, "-j", "1", "-C", "out", "tree.cab"});
        EXPECT_EQ(one.exit_status, 1);
        EXPECT_NE(one.err.find("not extracted: src/d2/f"), std::string::npos) << one.err;
        EXPECT_NE(one.err.find("not extracted: src/d3/f29"), std::string::npos) << one.err;
        const auto files = files_below("out");
        fs::remove_all(path("out"));
        for (const char* threads : {"2", "4", "7"}) {
            prepare();
            program_result extracted =
                kistle({"extract", keep, "-j", threads, "-C", "out", "tree.cab"});
            EXPECT_EQ(extracted.exit_status, one.exit_status) << threads;
            EXPECT_EQ(extracted.out, one.out) << threads;
            EXPECT_EQ(extracted.err, one.err) << threads;
            EXPECT_EQ(files_below("out"), files) << threads;
            fs::remove_all(path("out"));
        }
        EXPECT_TRUE(fs::is_empty(path("elsewhere")));
    }
}

TEST_F(kistle_test, list_long_shows_type_mode_owners_size_and_time) {
    make_tree("src");
    chmod(path("src/big.bin").c_str(), 04750);
    fs::create_symlink("top.txt", path("src/link"));
    ASSERT_EQ(link(path("src/top.txt").c_str(), path("src/again.txt").c_str()), 0);
    ASSERT_EQ(kistle({"create", "tree.cab", "src/read-only.txt", "src/big.bin", "src/top.txt",
                      "src/again.txt", "src/link", "src/with space/nested"})
                  .exit_status,
              0);
    struct stat status = scratch_dir::status_of(path("src/top.txt"));
    const std::string owners = std::string(getpwuid(status.st_uid)->pw_name) + "/" +
                               getgrgid(status.st_gid)->gr_name + " ";
    program_result listed = kistle({"list", "-l", "tree.cab"});
    EXPECT_EQ(listed.exit_status, 0);
    std::vector<std::string> lines = lines_of(listed.out);
    ASSERT_EQ(lines.size(), 7u) << listed.out;
    const std::string when = " 2024-05-06 07:08:10 ";
    EXPECT_EQ(lines[0], "-r--r--r-- " + owners + "     7" + when + "src/read-only.txt");
    EXPECT_EQ(lines[1], "-rwsr-x--- " + owners + "300000" + when + "src/big.bin");
    EXPECT_EQ(lines[2], "-rw-r--r-- " + owners + "     4" + when + "src/top.txt");
    EXPECT_EQ(lines[3],
              "hrw-r--r-- " + owners + "     4" + when + "src/again.txt link to src/top.txt");
    EXPECT_EQ(lines[4].substr(0, 11), "lrwxrwxrwx ");
    EXPECT_EQ(lines[4].substr(lines[4].size() - 19), "src/link -> top.txt");
    EXPECT_EQ(lines[5].substr(0, 1), "d");
    EXPECT_EQ(lines[5].substr(lines[5].size() - 22), "src/with space/nested/");

    // A plain cabinet's entries have no owner.
    ASSERT_EQ(kistle({"create", "--plain", "plain.cab", "src/read-only.txt"}).exit_status, 0);
    EXPECT_EQ(kistle({"list", "-l", "plain.cab"}).out,
              "-r--r--r-- -/- 7" + when + "src/read-only.txt\n");
}

TEST_F(kistle_test, patterns_select_whole_names) {
    make_tree("src");
    ASSERT_EQ(kistle({"create", "tree.cab", "src"}).exit_status, 0);
    EXPECT_EQ(kistle({"list", "tree.cab", "*.txt"}).out.size(),
              kistle({"list", "tree.cab", "src/*.txt"}).out.size());
    EXPECT_EQ(kistle({"list", "tree.cab", "src/*/deep*", "src/[e-t]*.txt"}).out,
              "src/empty.txt\nsrc/read-only.txt\nsrc/top.txt\n"
              "src/with space/nested/deep file.txt\n");

    // A pattern that matches nothing fails, but the others are still served.
    program_result extracted =
        kistle({"extract", "-C", "out", "tree.cab", "src/with space/*", "nothing*"});
    EXPECT_EQ(extracted.exit_status, 1);
    EXPECT_EQ(extracted.err, "kistle: nothing*: no file in the cabinet matches\n");
    EXPECT_EQ(files_below("out").size(), 1u);
    EXPECT_EQ(scratch_dir::read(path("out/src/with space/nested/deep file.txt")), "deep down\n");
}

// An operand that names a directory, or a part of a name that ends at a
// '/', selects everything below it, for list, extract and cat alike.
TEST_F(kistle_test, operands_select_what_is_below_a_directory) {
    make_tree("src");
    ASSERT_EQ(kistle({"create", "tree.cab", "src"}).exit_status, 0);
    const std::string below = "src/with space/\nsrc/with space/nested/\n"
                              "src/with space/nested/deep file.txt\n";
    for (const char* operand : {"src/with space", "src/with space/", "src/w*"})
        EXPECT_EQ(kistle({"list", "tree.cab", operand}).out, below) << operand;
    EXPECT_EQ(kistle({"list", "tree.cab", "src/*/nested"}).out,
              "src/with space/nested/\nsrc/with space/nested/deep file.txt\n");
    program_result partial = kistle({"list", "tree.cab", "src/with"});
    EXPECT_EQ(partial.exit_status, 1) << "not at a '/'";
    EXPECT_EQ(partial.err, "kistle: src/with: no file in the cabinet matches\n");

    ASSERT_EQ(kistle({"extract", "-C", "out", "tree.cab", "src/with space"}).exit_status, 0);
    EXPECT_EQ(files_below("out").size(), 1u);
    EXPECT_EQ(kistle({"cat", "tree.cab", "src/with space"}).out, "deep down\n");
}

// cat writes operand by operand, each operand's files in stored order.
TEST_F(kistle_test, cat_writes_operand_by_operand) {
    write("d/b.txt", "b ");
    write("d/a.txt", "a ");
    write("d/sub/c.txt", "c ");
    write("top", "top ");
    ASSERT_EQ(kistle({"create", "tree.cab", "top", "d"}).exit_status, 0);
    EXPECT_EQ(kistle({"cat", "tree.cab", "d/*.txt", "top", "d/b.txt"}).out, "a b c top b ");
    EXPECT_EQ(kistle({"cat", "tree.cab", "d", "top"}).out, "a b c top ");
}

// -q sums up what costs no file in one line per kind; what fails is still
// named, and the exit status is the same.
TEST_F(kistle_test, quiet_sums_up_warnings) {
    write("src/top.txt", "top\n");
    for (const char* fifo : {"src/fifo1", "src/fifo2", "src/fifo3"})
        ASSERT_EQ(mkfifo(path(fifo).c_str(), 0600), 0);
    program_result made = kistle({"create", "-q", "tree.cab", "src", "src/top.txt"});
    EXPECT_EQ(made.exit_status, 0);
    EXPECT_EQ(made.err,
              "kistle: 3 special files skipped\nkistle: 1 path given twice; stored once\n");

    write("out/src/top.txt", "mine\n");
    program_result kept = kistle({"extract", "-q", "-k", "-C", "out", "tree.cab"});
    EXPECT_EQ(kept.exit_status, 0);
    EXPECT_EQ(kept.err, "kistle: 1 existing file kept\n");

    write("fail/src", "a file where a directory goes");
    program_result failed = kistle({"extract", "-q", "-C", "fail", "tree.cab"});
    EXPECT_EQ(failed.exit_status, 1);
    EXPECT_NE(failed.err.find("kistle: not extracted: src/top.txt\n"), std::string::npos)
        << failed.err;
}

TEST_F(kistle_test, keep_leaves_existing_files_and_names_them) {
    make_tree("src");
    ASSERT_EQ(kistle({"create", "tree.cab", "src"}).exit_status, 0);
    write("out/src/top.txt", "mine\n");

    program_result kept = kistle({"extract", "-k", "-C", "out", "tree.cab"});
    EXPECT_EQ(kept.exit_status, 0);
    EXPECT_EQ(kept.err, "kistle: src/top.txt: exists; kept\n");
    EXPECT_EQ(scratch_dir::read(path("out/src/top.txt")), "mine\n");
    EXPECT_EQ(scratch_dir::read(path("out/src/big.bin")), scratch_dir::read(path("src/big.bin")));

    program_result replaced = kistle({"extract", "-C", "out", "tree.cab"});
    EXPECT_EQ(replaced.exit_status, 0) << replaced.err;
    EXPECT_EQ(scratch_dir::read(path("out/src/top.txt")), "top\n");
}

TEST_F(kistle_test, verbose_names_each_file_on_standard_output) {
    write("src/a.txt", "a");
    write("src/b/c.txt", "c");
    program_result made = kistle({"create", "-v", "tree.cab", "src"});
    EXPECT_EQ(made.out, "src/\nsrc/a.txt\nsrc/b/\nsrc/b/c.txt\n");
    program_result extracted = kistle({"extract", "-v", "-C", "out", "tree.cab", "*/c.*"});
    EXPECT_EQ(extracted.out, "src/b/c.txt\n");
}

TEST_F(kistle_test, damaged_file_is_named_and_the_others_still_extracted) {
    // Stored, one folder each, so the middle file's bytes can be found and changed.
    write("src/a.txt", std::string(1000, 'a'));
    write("src/b.txt", std::string(1000, 'b'));
    write("src/c.txt", std::string(1000, 'c'));
    ASSERT_EQ(kistle({"create", "--store", "--folder-size", "1", "tree.cab", "src"}).exit_status,
              0);
    std::string cabinet = scratch_dir::read(path("tree.cab"));
    std::size_t at = cabinet.find(std::string(1000, 'b'));
    ASSERT_NE(at, std::string::npos);
    cabinet[at + 500] = 'X';
    scratch.write("tree.cab", cabinet);

    program_result extracted = kistle({"extract", "-C", "out", "tree.cab"});
    EXPECT_EQ(extracted.exit_status, 1);
    EXPECT_NE(extracted.err.find("kistle: out/src/b.txt: "), std::string::npos) << extracted.err;
    EXPECT_NE(extracted.err.find("kistle: not extracted: src/b.txt\n"), std::string::npos);
    EXPECT_EQ(scratch_dir::names_in(path("out/src")), (std::vector<std::string>{"a.txt", "c.txt"}));

    program_result tested = kistle({"test", "tree.cab"});
    EXPECT_EQ(tested.exit_status, 1);
    EXPECT_EQ(tested.out, "");
    EXPECT_EQ(lines_of(tested.err).size(), 1u) << tested.err;
    EXPECT_EQ(tested.err.rfind("kistle: src/b.txt: ", 0), 0u) << tested.err;
}

TEST_F(kistle_test, cut_cabinet_fails_test) {
    write("src/a.txt", random_bytes(70000, 2));
    ASSERT_EQ(kistle({"create", "tree.cab", "src"}).exit_status, 0);
    std::string cabinet = scratch_dir::read(path("tree.cab"));
    for (std::size_t cut : {std::size_t{1}, std::size_t{1000}}) {
        scratch.write("cut.cab", cabinet.substr(0, cabinet.size() - cut));
        program_result tested = kistle({"test", "cut.cab"});
        EXPECT_EQ(tested.exit_status, 1) << "cut by " << cut;
        EXPECT_EQ(tested.out, "");
        EXPECT_NE(tested.err.find("kistle: "), std::string::npos);
    }
}

TEST_F(kistle_test, cat_writes_the_named_files_in_order) {
    make_tree("src");
    ASSERT_EQ(kistle({"create", "tree.cab", "src"}).exit_status, 0);
    program_result shown = kistle({"cat", "tree.cab", "src/big.bin", "src/nope", "src/top.txt"});
    EXPECT_EQ(shown.exit_status, 1);
    EXPECT_EQ(shown.out, scratch_dir::read(path("src/big.bin")) + "top\n");
    EXPECT_EQ(lines_of(shown.err).size(), 1u);
    EXPECT_EQ(shown.err.rfind("kistle: src/nope: ", 0), 0u) << shown.err;
}

TEST_F(kistle_test, info_describes_header_and_folders) {
    make_tree("src");
    ASSERT_EQ(kistle({"create", "--folder-size", "100K", "tree.cab", "src"}).exit_status, 0);
    program_result shown = kistle({"info", "tree.cab"});
    EXPECT_EQ(shown.exit_status, 0) << shown.err;
    std::vector<std::string> lines = lines_of(shown.out);
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("version:        1.3")) << shown.out;
    EXPECT_TRUE(has("folders:        3")) << shown.out;
    EXPECT_TRUE(has("files:          6")) << shown.out;
    EXPECT_TRUE(has("record:         version 1.0, verified")) << shown.out;
    EXPECT_TRUE(
        has("size:           " + std::to_string(fs::file_size(path("tree.cab"))) + " bytes"))
        << shown.out;
    // A heading and one row per folder, the blocks and sizes adding up; the
    // record's folder last.
    ASSERT_EQ(lines.size(), 11u + 3u) << shown.out;
    EXPECT_EQ(lines.back().substr(lines.back().size() - 10), "  (record)");
    lines.pop_back();
    std::uint64_t uncompressed = 0;
    for (std::size_t i = 11; i < lines.size(); ++i) {
        unsigned folder, blocks;
        char type[32];
        unsigned long long compressed, expanded;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "%u %31s %u %llu %llu", &folder, type, &blocks,
                              &compressed, &expanded),
                  5)
            << lines[i];
        EXPECT_EQ(std::string(type), "deflate");
        EXPECT_EQ(blocks, (expanded + 32766) / 32767);
        uncompressed += expanded;
    }
    EXPECT_EQ(uncompressed, 300000u + 4 + 10 + 8 + 7);
}

TEST_F(kistle_test, json_parses_and_keeps_names_that_are_not_utf8) {
    write("src/caf\xE9\\x41.txt", "latin-1 name\n"); // with a backslash that looks like an escape
    write("src/caf\xC3\xA9.txt", "utf-8 name\n");
    write("src/read-only.txt", "locked\n");
    chmod(path("src/read-only.txt").c_str(), 0444);
    ASSERT_EQ(kistle({"create", "tree.cab", "src"}).exit_status, 0);

    program_result listed = kistle({"list", "--json", "tree.cab"});
    ASSERT_EQ(listed.exit_status, 0) << listed.err;
    nlohmann::json files = nlohmann::json::parse(listed.out); // strict: valid UTF-8 only
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[0]["name"], "src");
    EXPECT_EQ(files[0]["type"], "directory");
    files.erase(0);
    EXPECT_EQ(files[0]["name"], "src/caf\xC3\xA9.txt");
    EXPECT_FALSE(files[0].contains("name_escaped"));
    EXPECT_EQ(files[1]["name"], "src/caf\\xE9\\\\x41.txt");
    EXPECT_EQ(files[1]["name_escaped"], true);
    EXPECT_EQ(files[2]["name"], "src/read-only.txt");
    EXPECT_EQ(files[2]["size"], 7);
    EXPECT_EQ(files[2]["type"], "file");
    EXPECT_EQ(files[2]["mode"], 0444);
    EXPECT_EQ(files[2]["attributes"], 1);
    EXPECT_EQ(files[2]["folder"], 0);
    EXPECT_EQ(files[2]["modified"].get<std::string>().substr(0, 19), "2024-05-06T07:08:10");
    EXPECT_EQ(files[2]["mtime"], sample_time());
    EXPECT_EQ(files[2]["uid"], geteuid());
    EXPECT_EQ(files[2]["verified"], true);

    // The escaped name leads back to the stored bytes, and they extract.
    std::string escaped = files[1]["name"];
    std::string original;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped.compare(i, 2, "\\\\") == 0) {
            original += '\\';
            ++i;
        } else if (escaped.compare(i, 2, "\\x") == 0) {
            original += static_cast<char>(std::stoi(escaped.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            original += escaped[i];
        }
    }
    EXPECT_EQ(original, "src/caf\xE9\\x41.txt");
    program_result shown = kistle({"cat", "tree.cab", as_operand(original)});
    EXPECT_EQ(shown.out, "latin-1 name\n");
}

TEST_F(kistle_test, create_notes_what_it_does_not_store) {
    write("src/top.txt", "top\n");
    fs::create_directories(path("src/empty"));
    fs::create_symlink("top.txt", path("src/link"));
    ASSERT_EQ(mkfifo(path("src/fifo").c_str(), 0600), 0);
    ASSERT_EQ(kistle({"create", "src/self.cab", "src"}).exit_status, 0);

    program_result again = kistle({"create", "src/self.cab", "src", "src/top.txt"});
    EXPECT_EQ(again.exit_status, 0);
    EXPECT_EQ(again.err, "kistle: src/fifo: special file not stored\n"
                         "kistle: src/self.cab: the cabinet itself; not stored\n"
                         "kistle: src/top.txt: given twice; stored once\n");
    EXPECT_EQ(kistle({"list", "src/self.cab"}).out, "src/\nsrc/empty/\nsrc/link\nsrc/top.txt\n");

    // A plain cabinet holds regular files only.
    program_result plain = kistle({"create", "--plain", "plain.cab", "src"});
    EXPECT_EQ(plain.exit_status, 0);
    EXPECT_EQ(plain.err, "kistle: src/empty: empty directory not stored in a plain cabinet\n"
                         "kistle: src/fifo: special file not stored\n"
                         "kistle: src/link: symbolic link not stored in a plain cabinet\n");

    // A leading '/' is dropped, with one notice however many paths have one.
    program_result absolute =
        kistle({"create", "abs.cab", path("src/top.txt"), path("src/./top.txt")});
    EXPECT_EQ(absolute.err, "kistle: removing leading '/' from stored names\n"
                            "kistle: " +
                                path("src/./top.txt") + ": given twice; stored once\n");
    EXPECT_EQ(kistle({"list", "abs.cab"}).out, path("src/top.txt").substr(1) + "\n");
}

// '\' separates directories in a stored name, so a file named "..\x" or
// "x\" cannot be stored: the walk refuses it before anything is compressed.
TEST_F(kistle_test, create_refuses_names_extraction_would_refuse) {
    write("src/a.txt", "a");
    const std::pair<std::string, std::string> refused[] = {
        {"src/..\\x", "a name with a '..' component cannot be stored"},
        {"src/x\\", "no name to store this file under"}};
    for (const auto& [name, reason] : refused) {
        write(name, "b");
        program_result result = kistle({"create", "-v", "tree.cab", "src"});
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.err, "kistle: " + name + ": " + reason + "\n");
        EXPECT_EQ(result.out, "") << "nothing compressed";
        EXPECT_FALSE(fs::exists(path("tree.cab")));
        fs::remove(path(name));
    }
}

// Failures: the exit status, the message on standard error and no output.
struct failure_case {
    std::vector<std::string> args;
    int exit_status;
    std::string message; // the start of standard error
};

void PrintTo(const failure_case& c, std::ostream* out) {
    *out << "kistle";
    for (const std::string& arg : c.args)
        *out << ' ' << arg;
}

class kistle_failure_test : public kistle_test, public testing::WithParamInterface<failure_case> {};

TEST_P(kistle_failure_test, exits_with_a_status_and_a_message) {
    write("a.txt", "a");
    write("notcab.txt", std::string(200, '\0')); // reads as an empty cabinet but for its signature
    ASSERT_EQ(kistle({"create", "old.cab", "a.txt"}).exit_status, 0);
    const std::string old = scratch_dir::read(path("old.cab"));
    program_result result = kistle(GetParam().args);
    EXPECT_EQ(result.exit_status, GetParam().exit_status) << result.err;
    EXPECT_EQ(result.err.rfind(GetParam().message, 0), 0u) << result.err;
    EXPECT_EQ(result.out, "");
    // A failed create leaves the cabinet that was there, and any other file.
    EXPECT_TRUE(scratch_dir::read(path("old.cab")) == old);
    EXPECT_EQ(scratch_dir::read(path("notcab.txt")), std::string(200, '\0'));
    EXPECT_EQ(scratch_dir::names_in(scratch.path()),
              (std::vector<std::string>{"a.txt", "notcab.txt", "old.cab"}));
}

INSTANTIATE_TEST_SUITE_P(
    cases, kistle_failure_test,
    testing::Values(
        failure_case{{"create", "old.cab", "a.txt", "missing"},
                     1,
                     "kistle: missing: No such file or directory\n"},
        failure_case{{"create", "old.cab", "../a.txt"},
                     1,
                     "kistle: ../a.txt: a name with a '..' component cannot be stored\n"},
        failure_case{{"create", "-C", "nowhere", "old.cab", "a.txt"},
                     1,
                     "kistle: nowhere/a.txt: No such file or directory\n"},
        failure_case{{"list", "missing.cab"}, 1, "kistle: missing.cab: "},
        failure_case{{"extract", "missing.cab"}, 1, "kistle: missing.cab: "},
        failure_case{{"test", "notcab.txt"}, 1, "kistle: notcab.txt: "},
        failure_case{{"info", "notcab.txt"}, 1, "kistle: notcab.txt: "},
        failure_case{{"list", "notcab.txt"},
                     1,
                     "kistle: notcab.txt: Data either invalid or in bad format\n"},
        failure_case{{"extract", "notcab.txt"}, 1, "kistle: notcab.txt: "},
        failure_case{{"create", "notcab.txt", "a.txt"},
                     1,
                     "kistle: notcab.txt: The file is not a cabinet, so it is not replaced "
                     "(--force replaces it)\n"},
        failure_case{{"create", "nowhere/new.cab", "a.txt"},
                     1,
                     "kistle: nowhere: Unable to open a file: No such file or directory\n"},
        failure_case{
            {"create", ".", "a.txt"}, 1, "kistle: .: Unable to open a file: Is a directory\n"},
        failure_case{{}, 2, "kistle: A subcommand is required\nTry 'kistle --help'"},
        failure_case{{"frobnicate", "x.cab"},
                     2,
                     "kistle: frobnicate: unknown command (the commands are create, list, "
                     "extract, test, cat, info, add, update, delete)\nTry 'kistle --help'"},
        failure_case{{"pack", "x.cab"}, 2, "kistle: "},
        failure_case{{"create", "x.cab"}, 2, "kistle: "}, failure_case{{"list"}, 2, "kistle: "},
        failure_case{{"cat", "x.cab"}, 2, "kistle: "},
        failure_case{{"create", "--level", "10", "x.cab", "a.txt"}, 2, "kistle: "},
        failure_case{{"create", "--store", "--level", "1", "x.cab", "a.txt"}, 2, "kistle: "},
        failure_case{{"create", "--folder-size", "1X", "x.cab", "a.txt"},
                     2,
                     "kistle: --folder-size: not a size: 1X"}));

TEST_F(kistle_test, usage_errors_point_to_the_commands_help) {
    program_result result = kistle({"extract", "--bogus", "x.cab"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.err.find("Try 'kistle extract --help' for more information.\n"),
              std::string::npos)
        << result.err;

    program_result help = kistle({"create", "--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find("Symbolic links"), std::string::npos);
    EXPECT_NE(help.out.find("kistle create backup.cab"), std::string::npos);
    program_result version = kistle({"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out.rfind("kistle 1.", 0), 0u) << version.out;
}

// What a plain cabinet cannot hold is refused before anything is
// compressed, with the reason, and the cabinet that was there stays; without
// --plain the same goes on in a second cabinet of a set, which reads back
// whole.
TEST_F(kistle_test, past_one_cabinets_limits_plain_refuses_and_a_set_goes_on) {
    write("big/a.txt", "a");
    ASSERT_EQ(kistle({"create", "old.cab", "big/a.txt"}).exit_status, 0);
    const std::string old = scratch_dir::read(path("old.cab"));
    write("big/huge.iso", "");
    ASSERT_EQ(truncate(path("big/huge.iso").c_str(), 3ll << 30), 0); // sparse
    program_result big = kistle({"create", "--plain", "-v", "old.cab", "big"});
    EXPECT_EQ(big.exit_status, 1);
    EXPECT_EQ(big.out, "");
    EXPECT_EQ(big.err, "kistle: big/huge.iso: larger than a plain cabinet can hold (at most "
                       "2147385345 bytes a file)\n");

    // 65536 files: in memory where the machine has it, since making them on
    // a disk can take many seconds.
    std::optional<tmpdir_setting> in_memory;
    if (access("/dev/shm", W_OK) == 0)
        in_memory.emplace("/dev/shm");
    scratch_dir tree;
    in_memory.reset();
    fs::create_directory(tree.file("many"));
    for (int i = 0; i <= 65535; ++i) {
        int fd = open(tree.file("many/" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        if (i % 4096 == 0) {
            ASSERT_EQ(::write(fd, "some bytes", 10), 10);
        }
        close(fd);
    }
    program_result many =
        kistle({"create", "--plain", "-v", "-C", tree.path(), path("old.cab"), "many"});
    EXPECT_EQ(many.exit_status, 1);
    EXPECT_TRUE(many.out.empty()) << many.out.size() << " bytes named as added";
    EXPECT_EQ(many.err, "kistle: " + path("old.cab") +
                            ": 65536 files; a plain cabinet holds at most 65535\n");
    EXPECT_TRUE(scratch_dir::read(path("old.cab")) == old);

    program_result set = kistle({"create", "-C", tree.path(), path("set.cab"), "many"});
    EXPECT_EQ(set.exit_status, 0) << set.err;
    EXPECT_EQ(set.err, "kistle: " + path("set.2.cab") +
                           ": next cabinet of the set: a cabinet holds at most 65535 files\n");
    EXPECT_TRUE(fs::exists(path("set.2.cab")));
    EXPECT_FALSE(fs::exists(path("set.3.cab")));
    program_result tested = kistle({"test", "set.cab"});
    EXPECT_EQ(tested.out, "set.cab: OK (65536 files, 1 directory, 2 folders, 2 cabinets)\n")
        << tested.err;
    program_result listed = kistle({"list", "set.cab"});
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 65537);
    ASSERT_EQ(kistle({"extract", "-C", "out", "set.cab", "many/65535", "many/0", "many/61440"})
                  .exit_status,
              0);
    EXPECT_EQ(scratch_dir::read(path("out/many/61440")), "some bytes");
    EXPECT_EQ(fs::file_size(path("out/many/65535")), 0u);

    // A change that takes a full cabinet past the limit makes a set of it.
    ASSERT_EQ(kistle({"create", "--exclude", "65535", "-C", tree.path(), path("grow.cab"), "many"})
                  .exit_status,
              0);
    ASSERT_FALSE(fs::exists(path("grow.2.cab")));
    program_result grown = kistle({"add", "-C", tree.path(), path("grow.cab"), "many/65535"});
    EXPECT_EQ(grown.exit_status, 0) << grown.err;
    EXPECT_EQ(grown.err, "kistle: " + path("grow.2.cab") +
                             ": next cabinet of the set: a cabinet holds at most 65535 files\n");
    EXPECT_EQ(kistle({"test", "grow.cab"}).out,
              "grow.cab: OK (65536 files, 1 directory, 3 folders, 2 cabinets)\n");
}

// --volume-size: a line for each further cabinet, each no larger and read
// by cabinet_tool as a cabinet; the set tests, lists and extracts as one;
// one missing fails the file that needs it and no other, and one read
// alone says where the set begins.
TEST_F(kistle_test, volume_size_makes_a_set_that_reads_back_as_one) {
    write("src/a.txt", "first");
    write("src/big.bin", random_bytes(900 * 1024, 7));
    write("src/deep/b.bin", random_bytes(300 * 1024, 8));
    write("src/deep/z.txt", "last");
    program_result made = kistle({"create", "--volume-size", "300K", "set.cab", "src"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    std::vector<std::string> names = {"set.cab"};
    for (int v = 2; fs::exists(path("set." + std::to_string(v) + ".cab")); ++v)
        names.push_back("set." + std::to_string(v) + ".cab");
    ASSERT_GE(names.size(), 5u);
    std::string said;
    for (std::size_t v = 1; v < names.size(); ++v)
        said += "kistle: " + names[v] + ": next cabinet of the set: the volume size was reached\n";
    EXPECT_EQ(made.err, said);
    for (const std::string& name : names) {
        EXPECT_LE(fs::file_size(path(name)), 300u * 1024) << name;
        program_result report = run_program({CABINET_TOOL_PATH, path(name)});
        EXPECT_EQ(report.exit_status, 0) << name;
        EXPECT_NE(report.out.find("This cabinet file is valid."), std::string::npos) << name;
    }

    program_result tested = kistle({"test", "set.cab"});
    EXPECT_EQ(tested.out.rfind("set.cab: OK (4 files, 2 directories, ", 0), 0u) << tested.err;
    EXPECT_NE(tested.out.find(" folders, " + std::to_string(names.size()) + " cabinets)\n"),
              std::string::npos)
        << tested.out;
    EXPECT_EQ(kistle({"list", "set.cab"}).out,
              "src/\nsrc/a.txt\nsrc/big.bin\nsrc/deep/\nsrc/deep/b.bin\nsrc/deep/z.txt\n");
    ASSERT_EQ(kistle({"extract", "-C", "out", "set.cab"}).exit_status, 0);
    for (const char* file : {"a.txt", "big.bin", "deep/b.bin", "deep/z.txt"})
        EXPECT_TRUE(scratch_dir::read(path(std::string("out/src/") + file)) ==
                    scratch_dir::read(path(std::string("src/") + file)))
            << file;
    program_result info = kistle({"info", "set.cab"});
    EXPECT_NE(info.out.find("cabinets:       set.cab (position 0, "), std::string::npos);
    EXPECT_NE(info.out.find("                set.2.cab (position 1, "), std::string::npos);

    program_result piped = kistle({"create", "--volume-size", "300K", "-", "src"});
    EXPECT_EQ(piped.exit_status, 2);
    EXPECT_EQ(piped.err.rfind("kistle: --volume-size and '-' cannot be used together\n", 0), 0u)
        << piped.err;
    // A set is changed from its first cabinet, not from a later one.
    program_result added = kistle({"add", "--volume-size", "300K", "set.cab", "src/a.txt"});
    EXPECT_EQ(added.exit_status, 0) << added.err;
    EXPECT_EQ(kistle({"test", "set.cab"}).out, tested.out);
    program_result later = kistle({"add", "set.2.cab", "src/a.txt"});
    EXPECT_EQ(later.exit_status, 1);
    EXPECT_EQ(later.err, "kistle: set.2.cab: A cabinet of a set is changed from the first one\n");

    program_result alone = kistle({"list", "set.2.cab"});
    EXPECT_EQ(alone.exit_status, 0);
    EXPECT_EQ(alone.out, "src/big.bin\n");
    EXPECT_EQ(alone.err, "kistle: set.2.cab: part of a set: only what it holds whole is read; the "
                         "set is read from its first cabinet (the one before it is set.cab)\n");

    fs::rename(path("set.2.cab"), path("moved.cab"));
    program_result missing = kistle({"extract", "-C", "again", "set.cab"});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.err, "kistle: set.2.cab: A cabinet of the set is missing\n"
                           "kistle: again/src/big.bin: A cabinet of the set is missing: it needs "
                           "set.2.cab\n"
                           "kistle: not extracted: src/big.bin\n");
    EXPECT_EQ(scratch_dir::read(path("again/src/a.txt")), "first");
    EXPECT_EQ(scratch_dir::read(path("again/src/deep/z.txt")), "last") << "past the gap";
    program_result untested = kistle({"test", "set.cab"});
    EXPECT_EQ(untested.exit_status, 1);
    EXPECT_NE(untested.err.find("kistle: src/big.bin: A cabinet of the set is missing (it needs "
                                "set.2.cab)\n"),
              std::string::npos)
        << untested.err;
}

// A file larger than a folder holds (5 GiB, sparse) is stored as a set and
// verified whole. Minutes under the sanitizers, so only without them.
TEST_F(kistle_test, a_five_gib_file_is_stored_and_read_back) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "too slow under a sanitizer";
#endif
    const long long size = 5ll << 30;
    write("vm.img", "head");
    ASSERT_EQ(truncate(path("vm.img").c_str(), size), 0);
    {
        std::fstream tail(path("vm.img"), std::ios::in | std::ios::out | std::ios::binary);
        tail.seekp(size - 4);
        tail.write("tail", 4);
    }
    program_result made = kistle({"create", "big.cab", "vm.img"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    EXPECT_EQ(made.err,
              "kistle: big.2.cab: next cabinet of the set: a file goes on past what a folder "
              "holds\n"
              "kistle: big.3.cab: next cabinet of the set: a file goes on past what a folder "
              "holds\n");
    program_result tested = kistle({"test", "big.cab"});
    EXPECT_EQ(tested.out, "big.cab: OK (1 file, 3 folders, 3 cabinets)\n") << tested.err;
    EXPECT_NE(kistle({"list", "-l", "big.cab"}).out.find(" 5368709120 "), std::string::npos);
    EXPECT_EQ(shell("$K cat big.cab vm.img | head -c 4").out, "head");
}

TEST_F(kistle_test, unreadable_inputs_fail) {
    write("src/open.txt", "open");
    write("src/secret.txt", "secret");
    chmod(path("src/secret.txt").c_str(), 0);
    fs::create_directories(path("src/closed"));
    chmod(path("src/closed").c_str(), 0);
    // Permissions do not stop root: run as nobody then.
    std::vector<std::string> as_user;
    if (geteuid() == 0) {
        as_user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        chmod(scratch.path().c_str(), 0777);
    }
    as_user.insert(as_user.end(), {KISTLE_PATH, "create", "tree.cab", "src/closed"});
    program_options options;
    options.directory = scratch.path();
    program_result walked = run_program(as_user, options);
    EXPECT_EQ(walked.exit_status, 1);
    EXPECT_EQ(walked.err, "kistle: src/closed: Permission denied\n");

    as_user.back() = "src/secret.txt";
    program_result read = run_program(as_user, options);
    EXPECT_EQ(read.exit_status, 1);
    EXPECT_EQ(read.err.rfind("kistle: src/secret.txt: ", 0), 0u) << read.err;
    EXPECT_NE(read.err.find(": Permission denied\n"), std::string::npos) << read.err;
    EXPECT_FALSE(fs::exists(path("tree.cab"))) << "nothing could be stored: no cabinet";

    // Inside a tree, what cannot be read costs itself alone: the rest is
    // stored, what was left out is named, and the exit status is 1.
    as_user.back() = "src";
    program_result tree = run_program(as_user, options);
    EXPECT_EQ(tree.exit_status, 1);
    EXPECT_NE(tree.err.find("kistle: src/closed: Permission denied; not stored\n"),
              std::string::npos)
        << tree.err;
    EXPECT_NE(tree.err.find("kistle: src/secret.txt: Permission denied; not stored\n"),
              std::string::npos)
        << tree.err;
    EXPECT_EQ(kistle({"list", "tree.cab"}).out, "src/\nsrc/open.txt\n");
}

// Every operand reaches the program as it was given: one that looks like a
// list ([a,b], []) is not split or dropped, and after "--" one that looks
// like an option is an operand too.
TEST_F(kistle_test, operands_reach_the_program_byte_for_byte) {
    const std::vector<std::string> before = {"[ab]", "[x]", "[a,b]", "[]", "a=b", "c,d", "ab", "x"};
    const std::vector<std::string> after = {"-dash", "--", "[-]", "--long=x"};
    std::vector<std::string> create = {"create", "tree.cab"};
    for (const std::string& name : before) {
        write(name, "bytes of " + name);
        create.push_back(name);
    }
    create.push_back("--");
    for (const std::string& name : after) {
        write(name, "bytes of " + name);
        create.push_back(name);
    }
    program_result made = kistle(create);
    ASSERT_EQ(made.exit_status, 0) << made.err;

    std::string listing;
    for (const std::vector<std::string>* names : {&before, &after})
        for (const std::string& name : *names)
            listing += name + "\n";
    EXPECT_EQ(kistle({"list", "tree.cab"}).out, listing);
    for (const std::string& name : before) {
        program_result shown = kistle({"cat", "tree.cab", as_operand(name)});
        EXPECT_EQ(shown.out, "bytes of " + name) << shown.err;
    }
    for (const std::string& name : after) {
        program_result shown = kistle({"cat", "tree.cab", "--", as_operand(name)});
        EXPECT_EQ(shown.out, "bytes of " + name) << shown.err;
    }
    // A pattern is a pattern, whatever it looks like: [x] is a class that
    // matches x, and [] matches the name [] alone rather than selecting
    // everything.
    EXPECT_EQ(kistle({"list", "tree.cab", "[x]"}).out, "x\n");
    EXPECT_EQ(kistle({"list", "tree.cab", "[]"}).out, "[]\n");
    // Option values too.
    program_result directory = kistle({"create", "-C", "[a,b]", "other.cab", "x"});
    EXPECT_EQ(directory.err, "kistle: [a,b]/x: Not a directory\n");
}

// A file that is not a cabinet is never replaced unless --force; the
// cabinet itself, met among the paths, is still not stored.
TEST_F(kistle_test, create_replaces_only_a_cabinet) {
    write("notes.txt", "my notes\n");
    write("other.txt", "other\n");
    program_result refused = kistle({"create", "notes.txt", "notes.txt", "other.txt"});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.err, "kistle: notes.txt: The file is not a cabinet, so it is not replaced "
                           "(--force replaces it)\n");
    EXPECT_EQ(scratch_dir::read(path("notes.txt")), "my notes\n");
    EXPECT_EQ(scratch_dir::names_in(scratch.path()),
              (std::vector<std::string>{"notes.txt", "other.txt"}));

    program_result forced = kistle({"create", "--force", "notes.txt", "notes.txt", "other.txt"});
    EXPECT_EQ(forced.exit_status, 0) << forced.err;
    EXPECT_EQ(forced.err, "kistle: notes.txt: the cabinet itself; not stored\n");
    EXPECT_EQ(kistle({"list", "notes.txt"}).out, "other.txt\n");
    // A cabinet, and an empty file, are replaced as they are.
    write("empty.cab", "");
    EXPECT_EQ(kistle({"create", "notes.txt", "other.txt"}).exit_status, 0);
    EXPECT_EQ(kistle({"create", "empty.cab", "other.txt"}).exit_status, 0);
}

// What keeps the cabinet from its place is said first, naming the path at
// fault: nothing is compressed in vain.
TEST_F(kistle_test, create_checks_where_the_cabinet_goes_first) {
    write("src/a.txt", "a");
    program_options options;
    options.directory = scratch.path();
    options.environment = {"TMPDIR=" + path("no-tmp")};
    program_result no_tmp = run_program({KISTLE_PATH, "create", "-v", "t.cab", "src"}, options);
    EXPECT_EQ(no_tmp.exit_status, 1);
    EXPECT_EQ(no_tmp.err,
              "kistle: " + path("no-tmp") +
                  ": Unable to open temporary file stream: No such file or directory\n");
    EXPECT_EQ(no_tmp.out, "");

    program_result no_directory = kistle({"create", "-v", "missing/deeper/c.cab", "src"});
    EXPECT_EQ(no_directory.exit_status, 1);
    EXPECT_EQ(no_directory.err,
              "kistle: missing/deeper: Unable to open a file: No such file or directory\n");
    EXPECT_EQ(no_directory.out, "") << "nothing compressed";
    EXPECT_EQ(scratch_dir::names_in(scratch.path()), std::vector<std::string>{"src"});
}

// A directory that refuses a new file: the cabinet there is never written
// over unasked, even when the write would fail part way (a file size limit
// stands in for a full disk); --in-place writes over it.
TEST_F(kistle_test, create_writes_in_place_only_when_asked) {
    write("small.txt", "small\n");
    fs::create_directory(path("locked"));
    ASSERT_EQ(kistle({"create", "locked/c.cab", "small.txt"}).exit_status, 0);
    const std::string old = scratch_dir::read(path("locked/c.cab"));
    const ino_t inode = scratch_dir::status_of(path("locked/c.cab")).st_ino;
    // Many long names: a cabinet (60 KB) far larger than its data file, and
    // than the limit below, in 512- or 1024-byte blocks.
    for (int i = 0; i < 600; ++i)
        write("many/a file with a long name that makes the directory large " + std::to_string(i),
              "x");
    chmod(path("locked/c.cab").c_str(), 0666);
    chmod(path("locked").c_str(), 0555);
    // Permissions do not stop root: run as nobody then.
    std::string as_user;
    if (geteuid() == 0) {
        as_user = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
        chmod(scratch.path().c_str(), 0777);
    }
    const std::string limited = "trap '' XFSZ; ulimit -f 40; exec " + as_user + "$K create ";
    program_result refused = shell(limited + "locked/c.cab many");
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.err, "kistle: locked: Unable to open a file: Permission denied "
                           "(--in-place writes over locked/c.cab instead)\n");
    EXPECT_TRUE(scratch_dir::read(path("locked/c.cab")) == old);

    program_result cut = shell(limited + "--in-place locked/c.cab many");
    EXPECT_EQ(cut.exit_status, 1);
    EXPECT_NE(cut.err.find("File too large"), std::string::npos) << cut.err;
    EXPECT_EQ(kistle({"test", "locked/c.cab"}).exit_status, 1) << "what --in-place risks";

    program_result written = shell("exec " + as_user + "$K create --in-place locked/c.cab many");
    EXPECT_EQ(written.exit_status, 0) << written.err;
    EXPECT_EQ(kistle({"test", "locked/c.cab"}).out,
              "locked/c.cab: OK (600 files, 1 directory, 1 folder)\n");
    EXPECT_EQ(scratch_dir::status_of(path("locked/c.cab")).st_ino, inode);
    EXPECT_EQ(scratch_dir::names_in(path("locked")), std::vector<std::string>{"c.cab"});
    chmod(path("locked").c_str(), 0755);
}

// Extraction never replaces the cabinet it reads: that entry is refused
// and named, the others extracted.
TEST_F(kistle_test, extract_never_replaces_the_cabinet_it_reads) {
    write("src/c.cab", "an entry named as the cabinet\n");
    write("src/other.txt", "other\n");
    ASSERT_EQ(kistle({"create", "-C", "src", "c.cab", "c.cab", "other.txt"}).exit_status, 0);
    const std::string cabinet = scratch_dir::read(path("c.cab"));
    program_result extracted = kistle({"extract", "c.cab"});
    EXPECT_EQ(extracted.exit_status, 1);
    EXPECT_EQ(extracted.err, "kistle: ./c.cab: The file is the cabinet being read, so it is not "
                             "replaced\nkistle: not extracted: c.cab\n");
    EXPECT_TRUE(scratch_dir::read(path("c.cab")) == cabinet);
    EXPECT_EQ(scratch_dir::read(path("other.txt")), "other\n");
}

// A stored name of any length is named once, in the message that says why
// it failed; the closing list repeats only its start.
TEST_F(kistle_test, long_name_is_named_once) {
    const std::string name(1 << 20, 'n');
    {
        kistle::writer out(path("long.cab"));
        out.add_bytes(name, "bytes", sample_time());
        out.add_bytes("short.txt", "short", sample_time());
        out.commit();
    }
    program_result extracted = kistle({"extract", "-C", "out", "long.cab"});
    EXPECT_EQ(extracted.exit_status, 1);
    const std::size_t at = extracted.err.find(name);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(extracted.err.find(name, at + 1), std::string::npos) << "named twice";
    EXPECT_EQ(extracted.err.rfind("kistle: out/" + name + ": ", 0), 0u);
    const std::size_t closing = extracted.err.find("\nkistle: not extracted: ");
    ASSERT_NE(closing, std::string::npos);
    EXPECT_EQ(extracted.err.substr(closing + 24 + 64), "... (a name of 1048576 bytes)\n");
    EXPECT_EQ(scratch_dir::read(path("out/short.txt")), "short");
}

// A write to standard output that fails is a failure, named once.
struct lost_output_case {
    const char* command; // run by /bin/sh, with $K for kistle
    const char* message;
};

void PrintTo(const lost_output_case& c, std::ostream* out) {
    *out << c.command;
}

class kistle_lost_output_test : public kistle_test,
                                public testing::WithParamInterface<lost_output_case> {};

TEST_P(kistle_lost_output_test, fails_and_says_why) {
    write("src/a.txt", "a");
    ASSERT_EQ(kistle({"create", "tree.cab", "src"}).exit_status, 0);
    program_result result = shell(GetParam().command);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    cases, kistle_lost_output_test,
    testing::Values(lost_output_case{"$K list tree.cab >/dev/full",
                                     "kistle: standard output: No space left on device\n"},
                    lost_output_case{"$K cat tree.cab src/a.txt >/dev/full",
                                     "kistle: standard output: No space left on device\n"},
                    lost_output_case{"$K info tree.cab >/dev/full",
                                     "kistle: standard output: No space left on device\n"},
                    lost_output_case{"$K --help >/dev/full",
                                     "kistle: standard output: No space left on device\n"},
                    lost_output_case{"$K list -l tree.cab >&-",
                                     "kistle: standard output: Bad file descriptor\n"},
                    // Nothing of the extracted file may go to where standard output was.
                    lost_output_case{
                        "$K extract -v -C out tree.cab >&-; s=$?; "
                        "test \"$(cat out/src/a.txt)\" = a || echo spoilt >&2; exit $s",
                        "kistle: standard output: Bad file descriptor\n"}));

// Runs argv with standard error on a pseudo-terminal (standard output
// too); what the terminal showed.
std::string run_on_terminal(const std::vector<std::string>& argv, const std::string& directory,
                            int& exit_status) {
    int master = -1;
    winsize size = {};
    size.ws_row = 30;
    size.ws_col = 120;
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        program_options options;
        options.directory = directory;
        exec_program(argv, options);
    }
    std::string shown;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got > 0)
            shown.append(buffer, static_cast<std::size_t>(got));
        else if (got < 0 && errno == EINTR)
            continue;
        else
            break; // EIO once the child has gone
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return shown;
}

// The line shows on a terminal only, and not with -q. The hidden
// --progress-delay 0 shows it at once, so a small input does: a run need
// not last the second the line waits for by default.
TEST_F(kistle_test, progress_only_on_a_terminal) {
    write("src/large", random_bytes(5 * 32767 + 100, 3));
    const std::vector<std::vector<std::string>> commands = {
        {KISTLE_PATH, "create", "--progress-delay", "0", "tree.cab", "src"},
        {KISTLE_PATH, "extract", "--progress-delay", "0", "-C", "out", "tree.cab"}};
    for (std::vector<std::string> command : commands) {
        SCOPED_TRACE(command[1]);
        int status = -1;
        std::string terminal = run_on_terminal(command, scratch.path(), status);
        EXPECT_EQ(status, 0) << terminal;
        EXPECT_NE(terminal.find("% "), std::string::npos) << terminal;
        EXPECT_NE(terminal.find("/s"), std::string::npos) << terminal;

        command.insert(command.begin() + 2, "-q");
        EXPECT_EQ(run_on_terminal(command, scratch.path(), status), "");
        EXPECT_EQ(status, 0);

        command.erase(command.begin() + 2);
        command.erase(command.begin());
        program_result piped = kistle(command);
        EXPECT_EQ(piped.exit_status, 0);
        EXPECT_EQ(piped.err, "");

        program_result help = kistle({command[0], "--help"});
        EXPECT_EQ(help.out.find("progress-delay"), std::string::npos) << help.out;
    }
    EXPECT_TRUE(scratch_dir::read(path("out/src/large")) == scratch_dir::read(path("src/large")));
}

} // namespace

namespace {

// '-' is standard output for create and standard input for the others, so
// a tree goes through a pipe; a terminal is refused either way, and what
// is not a cabinet fails at once.
TEST_F(kistle_test, cabinets_go_through_pipes) {
    make_tree("src");
    program_result piped =
        shell("$K create - src | $K extract -C out - && $K create - src >c.cab &&"
              " $K test - <c.cab && $K cat - src/top.txt <c.cab &&"
              " $K list - src/top.txt <c.cab");
    EXPECT_EQ(piped.exit_status, 0) << piped.err;
    EXPECT_EQ(piped.out, "-: OK (6 files, 4 directories, 1 folder)\ntop\nsrc/top.txt\n");
    EXPECT_EQ(files_below("out/src"), files_below("src"));

    program_result refused = shell("echo not a cabinet | $K list -");
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_NE(refused.err.find("kistle: -: "), std::string::npos) << refused.err;
    int status = -1;
    std::string terminal =
        run_on_terminal({KISTLE_PATH, "create", "-", "src"}, scratch.path(), status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(terminal.find("refusing to write a cabinet to a terminal"), std::string::npos)
        << terminal;
    terminal = run_on_terminal({KISTLE_PATH, "list", "-"}, scratch.path(), status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(terminal.find("refusing to read a cabinet from a terminal"), std::string::npos)
        << terminal;
}

// zip's habits: update adds what is new, replaces what changed and, with
// --delete-missing, removes what is gone; add replaces by name; delete
// takes patterns and directories as list does. -v names each change.
TEST_F(kistle_test, add_update_and_delete_change_a_cabinet) {
    make_tree("src");
    ASSERT_EQ(kistle({"create", "c.cab", "src"}).exit_status, 0);
    write("src/top.txt", "top, longer now\n");
    write("src/new.txt", "new\n");
    fs::remove(path("src/empty.txt"));
    program_result updated = kistle({"update", "-v", "--delete-missing", "c.cab", "src"});
    EXPECT_EQ(updated.exit_status, 0) << updated.err;
    EXPECT_EQ(lines_of(updated.out),
              (std::vector<std::string>{"replaced: src", "added: src/new.txt",
                                        "replaced: src/top.txt", "deleted: src/empty.txt"}));
    ASSERT_EQ(kistle({"extract", "-C", "out", "c.cab"}).exit_status, 0);
    EXPECT_EQ(files_below("out/src"), files_below("src"));
    program_result again = kistle({"update", "-v", "c.cab", "src"});
    EXPECT_EQ(again.exit_status, 0);
    EXPECT_EQ(again.out, "");
    write("gone/file.txt", "soon gone\n");
    ASSERT_EQ(kistle({"add", "c.cab", "gone"}).exit_status, 0);
    fs::remove_all(path("gone"));
    program_result gone = kistle({"update", "-v", "--delete-missing", "c.cab", "gone"});
    EXPECT_EQ(gone.exit_status, 0) << gone.err;
    EXPECT_EQ(gone.out, "deleted: gone\ndeleted: gone/file.txt\n");

    program_result fresh = kistle({"add", "-v", "fresh.cab", "src/top.txt"});
    EXPECT_EQ(fresh.exit_status, 0) << fresh.err;
    EXPECT_EQ(fresh.out, "added: src/top.txt\n");
    write("extra/top.txt", "other\n");
    program_result added = kistle({"add", "-v", "-C", "extra", "c.cab", "top.txt"});
    EXPECT_EQ(added.out, "added: top.txt\n");
    added = kistle({"add", "-v", "-C", "src", "c.cab", "top.txt"});
    EXPECT_EQ(added.out, "replaced: top.txt\n");

    program_result deleted =
        kistle({"delete", "-v", "c.cab", "src/with space", "*.bin", "nothing"});
    EXPECT_EQ(deleted.exit_status, 1);
    EXPECT_NE(deleted.err.find("nothing"), std::string::npos) << deleted.err;
    EXPECT_EQ(lines_of(deleted.out),
              (std::vector<std::string>{"deleted: src/big.bin", "deleted: src/with space",
                                        "deleted: src/with space/nested",
                                        "deleted: src/with space/nested/deep file.txt"}));
    program_result listed = kistle({"list", "c.cab"});
    EXPECT_EQ(listed.out.find("with space"), std::string::npos);
    EXPECT_NE(listed.out.find("top.txt\n"), std::string::npos);
    EXPECT_EQ(kistle({"test", "c.cab"}).exit_status, 0);
}

} // namespace
