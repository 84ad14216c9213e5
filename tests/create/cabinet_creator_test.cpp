// The folder builder and the cabinet creator, through their public classes.
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_reader.h>
#include <kistle/cabinet_status.h>

#include "cabinet_parse.h"
#include "child_process.h"
#include "file_size_limit.h"
#include "little_endian.h"
#include "scratch_dir.h"
#include "temporary_file.h"
#include "tmpdir_setting.h"
#include "umask_calls.h"

using namespace kistle::internal;

namespace {

// Every test runs with TMPDIR in its own scratch directory, which must be
// empty again when the test ends, and with dates in UTC.
class creator_test : public ::testing::Test {
protected:
    scratch_dir scratch;
    std::string temp_dir = scratch.file("tmp");
    tmpdir_setting tmpdir{temp_dir};

    void SetUp() override {
        ASSERT_FALSE(scratch.path().empty());
        ASSERT_EQ(mkdir(temp_dir.c_str(), 0700), 0);
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty()) << "a temporary file was left behind";
    }

    // Writes a cabinet of one folder holding the given files; returns its path.
    std::string write_cabinet(uint16_t type, const std::vector<std::string>& paths) {
        std::string path = scratch.file("out.cab");
        cabinet_creator creator;
        EXPECT_EQ(creator.open(), 0);
        EXPECT_EQ(creator.new_folder(type), 0);
        for (const std::string& file : paths)
            EXPECT_EQ(creator.add_file(file.c_str()), 0) << file;
        EXPECT_EQ(creator.close(path.c_str()), 0);
        return path;
    }
};

struct layout_case {
    const char* name;
    uint16_t type;
    std::vector<std::size_t> sizes;
    std::vector<uint16_t> blocks; // cbUncomp of each block
};

void PrintTo(const layout_case& c, std::ostream* out) {
    *out << c.name;
}

class folder_layout_test : public creator_test,
                           public ::testing::WithParamInterface<layout_case> {};

TEST_P(folder_layout_test, files_read_back_from_their_blocks) {
    const layout_case& c = GetParam();
    ASSERT_EQ(mkdir(scratch.file("dir").c_str(), 0700), 0);
    std::vector<std::string> paths, contents;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
        contents.push_back(sample_bytes(c.sizes[i], static_cast<unsigned>(i)));
        paths.push_back(scratch.write("dir/f" + std::to_string(i), contents.back()));
    }
    parsed_cabinet cabinet = parse_cabinet(write_cabinet(c.type, paths));
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.cFolders, 1);
    EXPECT_EQ(cabinet.folders[0].typeCompress, c.type);
    EXPECT_EQ(cabinet.folders[0].cbUncomp, c.blocks);
    ASSERT_EQ(cabinet.files.size(), c.sizes.size());
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
        const parsed_file& file = cabinet.files[i];
        EXPECT_EQ(file.name, paths[i]); // the whole path, directory part included
        EXPECT_EQ(file.cbFile, c.sizes[i]);
        EXPECT_EQ(file.iFolder, 0);
        EXPECT_EQ(file.attribs, 0);
        EXPECT_TRUE(cabinet.content(file) == contents[i]) << file.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    creator, folder_layout_test,
    ::testing::Values(layout_case{"empty_file", 1, {0}, {}},
                      layout_case{"exactly_one_block", 1, {32767}, {32767}},
                      layout_case{"two_files_share_a_block", 1, {20000, 20000}, {32767, 7233}},
                      layout_case{"stored", 0, {20000, 20000}, {32767, 7233}},
                      layout_case{"empty_file_between", 1, {100, 0, 50}, {150}},
                      layout_case{"several_blocks", 1, {70000}, {32767, 32767, 4466}}),
    [](const ::testing::TestParamInfo<layout_case>& info) { return info.param.name; });

TEST_F(creator_test, folder_writes_each_block_once_it_is_full) {
    std::string file = scratch.write("f", sample_bytes(20000, 1));
    std::ostringstream data;
    cfc_folderinfo folder;
    ASSERT_EQ(folder.open(data, 0, 1, 0, 0, nullptr), 0);
    ASSERT_EQ(folder.add_file(file.c_str()), 0);
    EXPECT_EQ(folder.cCFData, 0);
    EXPECT_EQ(folder.pending_size, 20000);
    ASSERT_EQ(folder.add_file(file.c_str()), 0);
    EXPECT_EQ(folder.cCFData, 1);
    EXPECT_EQ(folder.pending_size, 7233);
    EXPECT_EQ(folder.bytes_written, data.str().size());

    ASSERT_EQ(folder.freeze(), 0);
    EXPECT_EQ(folder.cCFData, 2);
    EXPECT_EQ(folder.pending_size, 0);
    EXPECT_EQ(folder.bytes_written, data.str().size());
    EXPECT_EQ(folder.add_file(file.c_str()), CAB_ERROR_FROZEN_FOLDER);
    ASSERT_EQ(folder.freeze(), 0); // nothing pending: nothing written
    EXPECT_EQ(folder.bytes_written, data.str().size());

    QueueOf<cfc_fileinfo> entries;
    uint64_t cabinet_size = 0, data_start = 64;
    folder.close(entries, cabinet_size, data_start);
    uint64_t entry_size = 24 + file.size() + 1;
    EXPECT_EQ(data_start, 64 + 16 + 2 * entry_size);
    EXPECT_EQ(cabinet_size, folder.bytes_written + 16 + 2 * entry_size);
    ASSERT_EQ(entries.count, 2u);
    EXPECT_EQ(entries.tail->uoffFolderStart, 20000u);
    EXPECT_EQ(folder.files.count, 0u);
}

TEST_F(creator_test, two_folders_follow_one_another) {
    std::string a = scratch.write("a", sample_bytes(40000, 1));
    std::string b = scratch.write("b", sample_bytes(100, 2));
    std::string c = scratch.write("c", sample_bytes(32767, 3));
    std::string path = scratch.file("two.cab");
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), 0);
    ASSERT_EQ(creator.new_folder(1), 0);
    ASSERT_EQ(creator.add_file(a.c_str()), 0);
    ASSERT_EQ(creator.new_folder(0), 0);
    ASSERT_EQ(creator.add_file(b.c_str()), 0);
    ASSERT_EQ(creator.add_file(c.c_str()), 0);
    ASSERT_EQ(creator.close(path.c_str()), 0);

    parsed_cabinet cabinet = parse_cabinet(path);
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.cFolders, 2);
    EXPECT_EQ(cabinet.folders[0].cbUncomp, (std::vector<uint16_t>{32767, 7233}));
    EXPECT_EQ(cabinet.folders[1].cbUncomp, (std::vector<uint16_t>{32767, 100}));
    EXPECT_EQ(cabinet.folders[1].typeCompress, 0);
    ASSERT_EQ(cabinet.files.size(), 3u);
    EXPECT_EQ(cabinet.files[0].iFolder, 0);
    EXPECT_EQ(cabinet.files[1].iFolder, 1);
    EXPECT_EQ(cabinet.files[2].iFolder, 1);
    EXPECT_EQ(cabinet.files[2].uoffFolderStart, 100u);
    EXPECT_TRUE(cabinet.content(cabinet.files[0]) == scratch.read(a));
    EXPECT_TRUE(cabinet.content(cabinet.files[2]) == scratch.read(c));
}

// The two-file example laid out by hand, byte for byte, deflate output included.
TEST_F(creator_test, example_cabinet_matches_its_layout_exactly) {
    std::string a_bytes = sample_bytes(100, 7), b_bytes = sample_bytes(50, 8);
    struct timespec when[2] = {{1709647629, 0}, {1709647629, 0}}; // 2024-03-05 14:07:09
    for (const char* name : {"a.txt", "b.txt"}) {
        std::string path = scratch.write(name, name[0] == 'a' ? a_bytes : b_bytes);
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), when, 0), 0);
    }
    ASSERT_EQ(chmod(scratch.file("b.txt").c_str(), 0444), 0);

    char previous[PATH_MAX];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(scratch.path().c_str()), 0);
    cabinet_creator creator;
    int open = creator.open(), folder = creator.new_folder(1);
    int add_a = creator.add_file("a.txt"), add_b = creator.add_file("b.txt");
    int closed = creator.close("ab.cab");
    ASSERT_EQ(chdir(previous), 0);
    ASSERT_EQ(open | folder | add_a | add_b | closed, 0);

    std::string stream = a_bytes + b_bytes;
    std::string payload(compressBound(150), '\0');
    uLongf payload_size = payload.size();
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(&payload[0]), &payload_size,
                        reinterpret_cast<const Bytef*>(stream.data()), 150, Z_DEFAULT_COMPRESSION),
              Z_OK);
    payload.resize(payload_size);

    std::string expected(140 + 16, '\0');
    uint8_t* p = reinterpret_cast<uint8_t*>(&expected[0]);
    std::memcpy(p, "MSCF", 4);
    put_le64(p + 16, 140 + 16 + payload.size()); // cbCabinet
    put_le64(p + 32, 80);                        // coffFiles
    p[48] = 3;
    p[49] = 1;
    put_le16(p + 50, 1);   // cFolders
    put_le16(p + 52, 2);   // cFiles
    put_le64(p + 64, 140); // coffCabStart
    put_le16(p + 72, 1);   // cCFData
    put_le16(p + 74, 1);   // typeCompress
    for (int i = 0; i < 2; ++i) {
        uint8_t* entry = p + 80 + 30 * i;
        put_le64(entry, i == 0 ? 100 : 50);
        put_le64(entry + 8, i == 0 ? 0 : 100);
        put_le16(entry + 18, 0x5865);
        put_le16(entry + 20, 0x70E4);
        put_le16(entry + 22, i == 0 ? 0 : 1); // b.txt is read-only
        std::memcpy(entry + 24, i == 0 ? "a.txt" : "b.txt", 6);
    }
    put_le64(p + 140,
             cabinet_datablock::block_checksum(reinterpret_cast<const uint8_t*>(payload.data()),
                                               static_cast<uint16_t>(payload.size()), 150));
    put_le16(p + 148, static_cast<uint16_t>(payload.size()));
    put_le16(p + 150, 150);
    expected += payload;

    std::string written = scratch.read(scratch.file("ab.cab"));
    EXPECT_TRUE(written == expected);
    EXPECT_EQ(parse_cabinet(scratch.file("ab.cab")).error, "");
}

TEST_F(creator_test, cabinets_without_files) {
    struct {
        int folders;
        std::size_t size;
    } cases[] = {{0, 64}, {1, 80}};
    for (const auto& c : cases) {
        std::string path = scratch.file("empty.cab");
        cabinet_creator creator;
        ASSERT_EQ(creator.open(), 0);
        if (c.folders == 1) {
            ASSERT_EQ(creator.new_folder(1), 0);
        }
        ASSERT_EQ(creator.close(path.c_str()), 0);
        parsed_cabinet cabinet = parse_cabinet(path);
        ASSERT_EQ(cabinet.error, "");
        EXPECT_EQ(cabinet.bytes.size(), c.size);
        EXPECT_EQ(cabinet.coffFiles, c.size);
        ASSERT_EQ(cabinet.folders.size(), static_cast<std::size_t>(c.folders));
        if (c.folders == 1) {
            EXPECT_EQ(cabinet.folders[0].coffCabStart, 80u);
            EXPECT_EQ(cabinet.folders[0].cCFData, 0);
        }
    }
}

TEST_F(creator_test, calls_out_of_order) {
    std::string file = scratch.write("f", "x");
    cabinet_creator creator;
    EXPECT_EQ(creator.add_file(file.c_str()), CAB_ERROR_NO_FOLDER);
    // Never opened: the header goes out, then the data cannot be found.
    std::ostringstream out;
    EXPECT_EQ(creator.close(out), CAB_ERROR_SEEK);
    EXPECT_EQ(out.str().size(), 64u);
}

// The path under /proc/self/fd of the one file this process holds open in
// directory, named or not.
std::string open_file_in(const std::string& directory) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.rfind(directory + "/", 0) == 0)
            return entry.path().string();
    }
    return "";
}

// The data file has no name, so nothing can find it and nothing is left of
// it; where the file system insists on a name it is removed at once, and
// the cabinet is still written and put in place.
TEST_F(creator_test, temporary_data_file_is_private_and_nameless) {
    for (bool unnamed : {true, false}) {
        temporary_file::allow_unnamed_files(unnamed);
        cabinet_creator creator;
        ASSERT_EQ(creator.open(), 0);
        EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty()) << "unnamed " << unnamed;
        std::string data = open_file_in(temp_dir);
        struct stat info;
        ASSERT_EQ(stat(data.c_str(), &info), 0) << data;
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        EXPECT_EQ(info.st_nlink, 0u);

        std::string file = scratch.write("f", sample_bytes(40000, 1));
        ASSERT_EQ(creator.new_folder(1), 0);
        ASSERT_EQ(creator.add_file(file.c_str()), 0);
        int closed = creator.close(scratch.file("out.cab").c_str());
        temporary_file::allow_unnamed_files(true);
        ASSERT_EQ(closed, 0);
        EXPECT_EQ(open_file_in(temp_dir), "") << "still open after close";
        EXPECT_EQ(scratch_dir::names_in(scratch.path()),
                  (std::vector<std::string>{"f", "out.cab", "tmp"}));
        parsed_cabinet cabinet = parse_cabinet(scratch.file("out.cab"));
        ASSERT_EQ(cabinet.error, "");
        EXPECT_TRUE(cabinet.content(cabinet.files.at(0)) == scratch.read(file));
    }

    setenv("TMPDIR", scratch.file("missing").c_str(), 1);
    cabinet_creator creator;
    EXPECT_EQ(creator.open(), CAB_ERROR_TEMP_FILE);
}

// A creator killed while it waits (SIGKILL cannot be caught) or in the
// middle of writing the cabinet (the file size limit stops it inside a
// write) leaves nothing, neither in TMPDIR nor beside the cabinet.
TEST_F(creator_test, killed_creator_leaves_nothing) {
    // Stored: 6 full blocks and one of 3398 bytes make a data file of
    // 200112 bytes; the cabinet adds its header and entries to that.
    std::string file = scratch.write("f", sample_bytes(200000, 1));
    for (bool in_close : {false, true}) {
        std::string out = scratch.file(in_close ? "in_close" : "waiting");
        ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
        child_end end = run_child(
            [&](const std::function<void()>& ready) {
                cabinet_creator creator;
                if (creator.open() != 0 || creator.new_folder(0) != 0 ||
                    creator.add_file(file.c_str()) != 0)
                    _exit(1);
                if (!in_close)
                    ready();
                rlimit none = {0, 0}, small = {200150, 200150};
                setrlimit(RLIMIT_CORE, &none);
                setrlimit(RLIMIT_FSIZE, &small);
                std::signal(SIGXFSZ, SIG_DFL);
                static_cast<void>(creator.close((out + "/out.cab").c_str()));
            },
            SIGKILL);
        EXPECT_EQ(end.signal, in_close ? SIGXFSZ : SIGKILL);
        EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty()) << "in close " << in_close;
        EXPECT_TRUE(scratch_dir::names_in(out).empty()) << "in close " << in_close;
    }
}

TEST_F(creator_test, close_on_a_missing_directory_can_be_retried) {
    std::string file = scratch.write("f", sample_bytes(5000, 1));
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), 0);
    ASSERT_EQ(creator.new_folder(1), 0);
    ASSERT_EQ(creator.add_file(file.c_str()), 0);
    EXPECT_EQ(creator.close(scratch.file("missing/out.cab").c_str()), CAB_ERROR_OPEN_FILE);
    EXPECT_EQ(creator.close(""), CAB_ERROR_OPEN_FILE);
    ASSERT_EQ(creator.close(scratch.file("out.cab").c_str()), 0);
    parsed_cabinet cabinet = parse_cabinet(scratch.file("out.cab"));
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.files.size(), 1u);
    EXPECT_TRUE(cabinet.content(cabinet.files[0]) == scratch.read(file));
}

TEST_F(creator_test, close_replaces_an_existing_file_only_on_success) {
    std::string target = scratch.write("out.cab", "precious");
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    {
        cabinet_creator never_opened;
        EXPECT_EQ(never_opened.close(target.c_str()), CAB_ERROR_SEEK);
    }
    EXPECT_EQ(scratch.read(target), "precious");
    EXPECT_EQ(scratch_dir::names_in(scratch.path()).size(), 2u) << "only tmp/ and out.cab";

    mode_t old_mask = umask(027);
    std::string cabinet_path = write_cabinet(1, {scratch.write("f", "data")});
    umask(old_mask);
    ASSERT_EQ(cabinet_path, target);
    EXPECT_EQ(parse_cabinet(target).error, "");
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the replaced file's mode";
    EXPECT_EQ(scratch_dir::names_in(scratch.path()).size(), 3u) << "tmp/, f and out.cab";
}

// The creator must not even read the umask, which takes two calls.
TEST_F(creator_test, new_cabinet_gets_the_mode_of_any_new_file) {
    mode_t saved = umask(027);
    umask_calls = 0;
    std::string path = write_cabinet(1, {scratch.write("f", "data")});
    int calls = umask_calls;
    umask(saved);
    EXPECT_EQ(calls, 0);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// A device is written directly, never replaced, and its write failure is
// the close's failure.
TEST_F(creator_test, close_to_a_full_device_fails) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    for (std::size_t size : {10, 200000}) {
        cabinet_creator creator;
        ASSERT_EQ(creator.open(), 0);
        ASSERT_EQ(creator.new_folder(0), 0);
        ASSERT_EQ(creator.add_file(scratch.write("f", sample_bytes(size, 1)).c_str()), 0);
        EXPECT_EQ(creator.close("/dev/full"), CAB_ERROR_WRITE) << size;
        struct stat info;
        ASSERT_EQ(stat("/dev/full", &info), 0);
        EXPECT_TRUE(S_ISCHR(info.st_mode));
        // The cabinet is still there to be written elsewhere.
        std::string path = scratch.file("out.cab");
        ASSERT_EQ(creator.close(path.c_str()), 0);
        parsed_cabinet cabinet = parse_cabinet(path);
        ASSERT_EQ(cabinet.error, "");
        EXPECT_TRUE(cabinet.content(cabinet.files.at(0)) == scratch.read(scratch.file("f")));
    }
}

// A stream that fails takes nothing from the creator: the next close writes
// the same cabinet, and only a successful one leaves the creator idle.
TEST_F(creator_test, close_to_a_failing_stream_can_be_repeated) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    std::string a = scratch.write("a", sample_bytes(50000, 1));
    std::string b = scratch.write("b", sample_bytes(300, 2));
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), 0);
    for (uint16_t type : {1, 0}) {
        ASSERT_EQ(creator.new_folder(type), 0);
        ASSERT_EQ(creator.add_file(type == 1 ? a.c_str() : b.c_str()), 0);
    }
    std::ofstream full("/dev/full", std::ios::binary);
    EXPECT_EQ(creator.close(full), CAB_ERROR_WRITE);
    EXPECT_EQ(creator.folders.count, 2u);
    EXPECT_EQ(creator.file_count, 2u);

    std::ostringstream out;
    ASSERT_EQ(creator.close(out), 0);
    EXPECT_EQ(creator.folders.count, 0u);
    EXPECT_FALSE(creator.temp_stream.is_open());
    parsed_cabinet cabinet = parse_cabinet(scratch.write("out.cab", out.str()));
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.files.size(), 2u);
    EXPECT_TRUE(cabinet.content(cabinet.files[0]) == scratch.read(a));
    EXPECT_TRUE(cabinet.content(cabinet.files[1]) == scratch.read(b));
}

// A write that fails half way through the cabinet (as on a full disk) leaves
// the cabinet that was at the path as it was, and no temporary file beside it.
TEST_F(creator_test, failed_write_keeps_the_cabinet_that_was_there) {
    std::string target = scratch.write("out.cab", "precious");
    // Whole blocks only, so close writes nothing more to the data file.
    std::string file = scratch.write("f", sample_bytes(4 * 32767, 1));
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), 0);
    ASSERT_EQ(creator.new_folder(0), 0);
    ASSERT_EQ(creator.add_file(file.c_str()), 0);
    {
        file_size_limit limit(50000);
        EXPECT_EQ(creator.close(target.c_str()), CAB_ERROR_WRITE);
    }
    EXPECT_EQ(scratch.read(target), "precious");
    EXPECT_EQ(scratch_dir::names_in(scratch.path()).size(), 3u) << "tmp/, f and out.cab";
    // Once there is room, the same creator writes the cabinet.
    ASSERT_EQ(creator.close(target.c_str()), 0);
    parsed_cabinet cabinet = parse_cabinet(target);
    ASSERT_EQ(cabinet.error, "");
    EXPECT_TRUE(cabinet.content(cabinet.files.at(0)) == scratch.read(file));
}

// A folder's last block that cannot be written must fail close: the data
// stream itself stays sound, so nothing else would notice.
TEST_F(creator_test, close_fails_when_a_last_block_is_lost) {
    std::string file = scratch.write("f", sample_bytes(20000, 1));
    for (bool older : {false, true}) {
        std::string target = scratch.write("out.cab", "precious");
        std::ostream broken(nullptr);
        cabinet_creator creator;
        ASSERT_EQ(creator.open(), 0);
        ASSERT_EQ(creator.new_folder(1), 0);
        ASSERT_EQ(creator.add_file(file.c_str()), 0);
        creator.folders.tail->output = &broken;
        if (older) {
            ASSERT_EQ(creator.new_folder(1), 0);
            ASSERT_EQ(creator.add_file(file.c_str()), 0);
        }
        EXPECT_EQ(creator.close(target.c_str()), CAB_ERROR_WRITE) << "older " << older;
        EXPECT_EQ(scratch.read(target), "precious");
    }
}

// A file's entry holds the bytes that went into the stream, whatever stat says.
TEST_F(creator_test, entry_size_is_what_was_read) {
    std::ifstream proc("/proc/version", std::ios::binary);
    std::string version((std::istreambuf_iterator<char>(proc)), std::istreambuf_iterator<char>());
    struct stat info;
    if (version.empty() || stat("/proc/version", &info) != 0 || info.st_size != 0)
        GTEST_SKIP() << "no /proc/version of stat size 0";
    std::string after = scratch.write("after", sample_bytes(1000, 1));
    parsed_cabinet cabinet = parse_cabinet(write_cabinet(1, {"/proc/version", after}));
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.files.size(), 2u);
    EXPECT_EQ(cabinet.files[0].cbFile, version.size());
    EXPECT_TRUE(cabinet.content(cabinet.files[0]) == version);
    EXPECT_TRUE(cabinet.content(cabinet.files[1]) == scratch.read(after));
}

// A file of some bytes in /dev/shm (which keeps 64-bit times) modified in a
// year that has no local time; removed with the object.
class far_future_file {
public:
    far_future_file() {
        int fd = mkstemp(path);
        if (fd < 0)
            return;
        std::string bytes = sample_bytes(5000, 4);
        struct timespec far[2] = {{0, 0}, {static_cast<time_t>(1) << 62, 0}};
        struct stat info;
        kept = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
               futimens(fd, far) == 0 && fstat(fd, &info) == 0 && info.st_mtime == far[1].tv_sec;
        close(fd);
    }
    ~far_future_file() { unlink(path); }
    // Empty when this system cannot make the file.
    std::string name() const { return kept ? path : ""; }

private:
    char path[32] = "/dev/shm/kistle-time-XXXXXX";
    bool kept = false;
};

// Ways to make add_file fail after an earlier file left bytes pending.
enum class failure { missing, directory, read_error, far_time, write_error };

struct failed_add_case {
    const char* name;
    failure how;
    int status;
    int error; // errno after the failure; 0 when it does not matter
};

void PrintTo(const failed_add_case& c, std::ostream* out) {
    *out << c.name;
}

class failed_add_test : public creator_test,
                        public ::testing::WithParamInterface<failed_add_case> {};

// A good file, the failure, a good file, close: both good files read back
// with their own bytes, or close fails.
TEST_P(failed_add_test, later_files_keep_their_bytes) {
    const failed_add_case& c = GetParam();
    std::string first = scratch.write("first", sample_bytes(20000, 1));
    std::string second = scratch.write("second", sample_bytes(30000, 2));
    far_future_file far;
    std::string failing;
    switch (c.how) {
    case failure::missing:
        failing = scratch.file("missing");
        break;
    case failure::directory:
        failing = scratch.path();
        break;
    case failure::read_error:
        failing = "/proc/self/mem"; // reading its first page fails with EIO
        break;
    case failure::far_time:
        failing = far.name();
        break;
    case failure::write_error:
        failing = scratch.write("big", sample_bytes(200000, 3));
        break;
    }
    if (failing.empty())
        GTEST_SKIP() << "cannot provoke this failure here";

    std::string path = scratch.file("out.cab");
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), 0);
    ASSERT_EQ(creator.new_folder(1), 0);
    ASSERT_EQ(creator.add_file(first.c_str()), 0);
    {
        file_size_limit limit(c.how == failure::write_error ? 40000 : RLIM_INFINITY);
        errno = 0;
        EXPECT_EQ(creator.add_file(failing.c_str()), c.status);
        if (c.error != 0) {
            EXPECT_EQ(errno, c.error);
        }
    }
    EXPECT_EQ(creator.file_count, 1u);
    int added = creator.add_file(second.c_str());
    if (c.how != failure::write_error) {
        EXPECT_EQ(added, CAB_STATUS_OK);
    }
    int closed = creator.close(path.c_str());
    if (c.how == failure::write_error) {
        EXPECT_NE(closed, 0) << "the data file lost a block";
        return;
    }
    ASSERT_EQ(closed, 0);
    parsed_cabinet cabinet = parse_cabinet(path);
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.files.size(), 2u);
    EXPECT_TRUE(cabinet.content(cabinet.files[0]) == scratch.read(first));
    EXPECT_TRUE(cabinet.content(cabinet.files[1]) == scratch.read(second));
}

INSTANTIATE_TEST_SUITE_P(
    creator, failed_add_test,
    ::testing::Values(failed_add_case{"missing", failure::missing, CAB_ERROR_OPEN_FILE, ENOENT},
                      failed_add_case{"directory", failure::directory, CAB_ERROR_READ, EISDIR},
                      failed_add_case{"read_error", failure::read_error, CAB_ERROR_READ, EIO},
                      failed_add_case{"far_time", failure::far_time, CAB_ERROR_DATETIME, 0},
                      failed_add_case{"write_error", failure::write_error, CAB_ERROR_WRITE, EFBIG}),
    [](const ::testing::TestParamInfo<failed_add_case>& info) { return info.param.name; });

// iFolder 0xFFFD and above mark continued files: the last folder is 0xFFFC.
TEST_F(creator_test, folder_limit) {
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), 0);
    for (int i = 0; i < 65533; ++i)
        ASSERT_EQ(creator.new_folder(0), 0) << i;
    EXPECT_EQ(creator.new_folder(0), CAB_ERROR_TOO_MANY_FOLDERS);
    EXPECT_EQ(creator.folders.count, 65533u);
    EXPECT_EQ(creator.folders.tail->iFolder, 0xFFFC);
}

// cFiles counts the whole cabinet, not one folder.
TEST_F(creator_test, file_limit_spans_folders) {
    std::string empty = scratch.write("empty", "");
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), 0);
    ASSERT_EQ(creator.new_folder(1), 0);
    for (int i = 0; i < 65535; ++i)
        ASSERT_EQ(creator.add_file(empty.c_str()), 0) << i;
    ASSERT_EQ(creator.new_folder(1), 0);
    EXPECT_EQ(creator.add_file(empty.c_str()), CAB_ERROR_TOO_MANY_FILES);
    EXPECT_EQ(creator.folders.tail->files.count, 0u);
}

// A folder holds at most 65535 blocks of 32767 bytes: an endless input runs
// into that limit, and a type without payload keeps the data file small.
TEST_F(creator_test, endless_input_stops_at_the_block_limit) {
    if (access("/dev/zero", R_OK) != 0)
        GTEST_SKIP() << "no /dev/zero";
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), 0);
    ASSERT_EQ(creator.new_folder(2), 0);
    EXPECT_EQ(creator.add_file("/dev/zero"), CAB_ERROR_TOO_MANY_FILES);
    cfc_folderinfo& folder = *creator.folders.tail;
    EXPECT_EQ(folder.cCFData, 65535);
    EXPECT_EQ(folder.pending_size, 0);
    EXPECT_EQ(folder.files.count, 0u);
}

// The limit at its edge, in a folder that already holds 65534 blocks.
TEST_F(creator_test, last_block_of_a_full_folder) {
    struct {
        std::size_t first, second;
        int second_status;
        uint16_t blocks_after_freeze;
    } cases[] = {
        {32767, 1, CAB_ERROR_TOO_MANY_FILES, 65535},  // even a short block would be one too many
        {32757, 20, CAB_ERROR_TOO_MANY_FILES, 65535}, // the file crosses the limit
        {32757, 10, CAB_STATUS_OK, 65535},            // exactly full
        {100, 0, CAB_STATUS_OK, 65535},               // the short last block is the 65535th
    };
    for (const auto& c : cases) {
        std::string first = scratch.write("first", std::string(c.first, 'a'));
        std::string second = scratch.write("second", std::string(c.second, 'b'));
        std::ostringstream data;
        cfc_folderinfo folder;
        ASSERT_EQ(folder.open(data, 0, 2, 0, 0, nullptr), 0);
        folder.cCFData = 65534;
        ASSERT_EQ(folder.add_file(first.c_str()), 0);
        EXPECT_EQ(folder.add_file(second.c_str()), c.second_status) << c.first << "+" << c.second;
        ASSERT_EQ(folder.freeze(), 0);
        EXPECT_EQ(folder.cCFData, c.blocks_after_freeze);
        EXPECT_EQ(folder.files.count, c.second_status == 0 ? 2u : 1u);
    }
}

// A file under a stored name of the caller's choosing, and bytes from any
// stream with the caller's time and read-only bit, between files as usual.
TEST_F(creator_test, stored_names_and_streams) {
    std::string file = scratch.write("file", sample_bytes(40000, 1));
    std::string streamed = sample_bytes(50000, 2);
    std::string path = scratch.file("out.cab");
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), CAB_STATUS_OK);
    ASSERT_EQ(creator.new_folder(1), CAB_STATUS_OK);
    ASSERT_EQ(creator.add_file(file.c_str(), "stored/name"), CAB_STATUS_OK);
    std::istringstream in(streamed);
    // 2024-03-05 14:07:09 UTC.
    ASSERT_EQ(creator.add_stream(in, "from/stream", 1709647629, true), CAB_STATUS_OK);
    std::istringstream empty;
    ASSERT_EQ(creator.add_stream(empty, "empty", 0, false), CAB_STATUS_OK);
    ASSERT_EQ(creator.add_file(file.c_str(), nullptr), CAB_STATUS_OK);
    EXPECT_EQ(creator.file_count, 4u);
    ASSERT_EQ(creator.close(path.c_str()), CAB_STATUS_OK);

    parsed_cabinet cabinet = parse_cabinet(path);
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.files.size(), 4u);
    EXPECT_EQ(cabinet.files[0].name, "stored/name");
    EXPECT_TRUE(cabinet.content(cabinet.files[0]) == scratch.read(file));
    EXPECT_EQ(cabinet.files[1].name, "from/stream");
    EXPECT_TRUE(cabinet.content(cabinet.files[1]) == streamed);
    EXPECT_EQ(cabinet.files[1].date, 0x5865);
    EXPECT_EQ(cabinet.files[1].time, 0x70E4);
    EXPECT_EQ(cabinet.files[1].attribs, ATTRIBUTE_READONLY);
    EXPECT_EQ(cabinet.files[2].cbFile, 0u);
    EXPECT_EQ(cabinet.files[2].attribs, 0);
    EXPECT_EQ(cabinet.files[3].name, file); // null: the path as given
}

// A stream that fails part way adds no entry, and the next one still gets
// its own bytes.
TEST_F(creator_test, failing_stream_adds_no_entry) {
    // Hands out its bytes, then fails as a device that cannot be read.
    class failing_buffer : public std::streambuf {
    public:
        explicit failing_buffer(std::string bytes) : bytes(std::move(bytes)) {
            setg(&this->bytes[0], &this->bytes[0], &this->bytes[0] + this->bytes.size());
        }

    protected:
        int_type underflow() override { throw std::ios_base::failure("unreadable"); }

    private:
        std::string bytes;
    };
    std::string path = scratch.file("out.cab");
    cabinet_creator creator;
    ASSERT_EQ(creator.open(), CAB_STATUS_OK);
    ASSERT_EQ(creator.new_folder(0), CAB_STATUS_OK);
    failing_buffer failing(sample_bytes(40000, 1));
    std::istream bad(&failing);
    EXPECT_EQ(creator.add_stream(bad, "bad", 0, false), CAB_ERROR_READ);
    std::istringstream good(sample_bytes(1000, 2));
    ASSERT_EQ(creator.add_stream(good, "good", 0, false), CAB_STATUS_OK);
    std::istringstream unused("x");
    EXPECT_EQ(creator.add_stream(unused, nullptr, 0, false), CAB_ERROR_NO_FILENAME);
    ASSERT_EQ(creator.close(path.c_str()), CAB_STATUS_OK);
    // The failed stream's first block stays in the folder, unlisted: the
    // reader finds the good entry behind it.
    cabinet_reader reader;
    ASSERT_EQ(reader.open(path.c_str()), CAB_STATUS_OK);
    ASSERT_EQ(reader.file_headers.count, 1u);
    EXPECT_GE(reader.file_headers[0]->uoffFolderStart, 32767u);
    std::ostringstream out;
    ASSERT_EQ(reader.write_file(0, out), CAB_STATUS_OK);
    EXPECT_TRUE(out.str() == sample_bytes(1000, 2));
}

// The level reaches zlib: the same bytes, compressed differently, and a level
// zlib refuses starts no folder.
TEST_F(creator_test, deflate_level) {
    std::string file = scratch.write("file", sample_bytes(100000, 1));
    std::vector<std::size_t> data_sizes;
    for (int level : {-1, 1, 9, 0}) {
        std::string path = scratch.file("out.cab");
        cabinet_creator creator;
        ASSERT_EQ(creator.open(), CAB_STATUS_OK);
        ASSERT_EQ(creator.new_folder(1, level), CAB_STATUS_OK) << level;
        ASSERT_EQ(creator.add_file(file.c_str()), CAB_STATUS_OK);
        ASSERT_EQ(creator.close(path.c_str()), CAB_STATUS_OK);
        parsed_cabinet cabinet = parse_cabinet(path);
        ASSERT_EQ(cabinet.error, "") << level;
        EXPECT_TRUE(cabinet.content(cabinet.files[0]) == scratch.read(file)) << level;
        data_sizes.push_back(cabinet.bytes.size());
    }
    EXPECT_EQ(data_sizes[0], parse_cabinet(write_cabinet(1, {file})).bytes.size())
        << "-1 is what new_folder(1) writes";
    EXPECT_GT(data_sizes[1], data_sizes[2]) << "level 1 compresses less than 9";
    EXPECT_GT(data_sizes[3], 100000u) << "level 0 stores";

    cabinet_creator creator;
    ASSERT_EQ(creator.open(), CAB_STATUS_OK);
    EXPECT_EQ(creator.new_folder(1, 10), convert_z_error_code(Z_STREAM_ERROR));
    EXPECT_EQ(creator.folders.count, 0u);
}

} // namespace
