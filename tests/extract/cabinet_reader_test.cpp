#include <kistle/cabinet_reader.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_status.h>

#include "cabinet_image.h"
#include "file_size_limit.h"
#include "little_endian.h"
#include "scratch_dir.h"

using namespace kistle::internal;

namespace fs = std::filesystem;

namespace {

// Extraction writes below the current directory, so each test works in a
// directory of its own, "work", with the cabinet beside it.
class reader_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch.path().empty());
        work = scratch.file("work");
        fs::create_directory(work);
        previous = fs::current_path();
        fs::current_path(work);
    }
    void TearDown() override { fs::current_path(previous); }

    // Writes the cabinet and opens it.
    int open(const test_cabinet& cabinet) { return open_image(build_cabinet(cabinet)); }
    int open_image(const std::string& image) {
        return reader.open(scratch.write("archive.cab", image).c_str());
    }

    // Removes everything extraction wrote.
    void empty_work() const {
        for (const auto& entry : fs::directory_iterator(work))
            fs::remove_all(entry.path());
    }

    // Extracts files[i] for each i of order in turn: each gets statuses[i],
    // and comes out whole or not at all.
    void extract_in_turn(const std::vector<std::pair<std::string, std::string>>& files,
                         const std::vector<int>& order, const int* statuses) {
        for (int i : order) {
            const auto& [name, expected] = files[i];
            EXPECT_EQ(reader.extract(name.c_str()), statuses[i]) << name;
            if (statuses[i] == 0)
                EXPECT_TRUE(scratch_dir::read(name) == expected) << name;
            else
                EXPECT_FALSE(fs::exists(name)) << name;
        }
    }

    // Names in the work directory, recursively, sorted.
    std::vector<std::string> work_entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(work))
            names.push_back(fs::relative(entry.path(), work).string());
        std::sort(names.begin(), names.end());
        return names;
    }

    scratch_dir scratch;
    std::string work;
    fs::path previous;
    cabinet_reader reader;
};

std::string pattern(std::size_t size, char seed) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>(seed + i % 23 + i / 97);
    return text;
}

// Two folders of several small blocks, files straddling block boundaries.
test_cabinet two_folders() {
    test_cabinet cabinet;
    cabinet.add_folder(
        1, {{"a", pattern(30, 'a')}, {"b", pattern(1, 'b')}, {"c", pattern(45, 'c')}}, 16);
    cabinet.add_folder(0, {{"d", pattern(7, 'd')}, {"e", pattern(40, 'e')}}, 16);
    return cabinet;
}

using named_contents = std::vector<std::pair<std::string, std::string>>;

std::string contents(const std::string& path) {
    return scratch_dir::read(path);
}

TEST_F(reader_test, open_failures) {
    EXPECT_EQ(reader.open(nullptr), CAB_ERROR_NO_FILENAME);
    EXPECT_EQ(reader.open(""), CAB_ERROR_NO_FILENAME);
    EXPECT_EQ(reader.open(scratch.file("missing.cab").c_str()), CAB_ERROR_OPEN_STREAM);
    EXPECT_EQ(reader.open(work.c_str()), CAB_ERROR_READ);
    EXPECT_EQ(reader.extract("a"), CAB_ERROR_CLOSED_OBJECT);

    std::string image = build_cabinet(two_folders());
    const std::size_t file_entries = 64 + 2 * 16;
    struct {
        std::size_t length;
        int status;
    } truncations[] = {{40, CAB_ERROR_UNEXPECTED_EOF},
                       {64 + 20, CAB_ERROR_UNEXPECTED_EOF},
                       {file_entries + 30, CAB_ERROR_UNEXPECTED_EOF}};
    for (const auto& cut : truncations) {
        EXPECT_EQ(open_image(image.substr(0, cut.length)), cut.status) << cut.length;
        EXPECT_EQ(reader.extract("a"), CAB_ERROR_CLOSED_OBJECT);
    }
    test_cabinet unreachable = two_folders();
    unreachable.coffFiles = uint64_t{1} << 63;
    EXPECT_EQ(open(unreachable), CAB_ERROR_SEEK);
}

TEST_F(reader_test, holds_every_record_in_order) {
    ASSERT_EQ(open(two_folders()), 0);
    EXPECT_EQ(reader.header.cFolders, 2);
    ASSERT_EQ(reader.folder_managers.count, 2u);
    EXPECT_EQ(reader.folder_managers[1]->typeCompress, 0);
    ASSERT_EQ(reader.file_headers.count, 5u);
    const char* names[] = {"a", "b", "c", "d", "e"};
    for (int i = 0; i < 5; ++i)
        EXPECT_STREQ(reader.file_headers[i]->szName.str(), names[i]);
    EXPECT_EQ(reader.close(), 0);
    EXPECT_EQ(reader.extract("a"), CAB_ERROR_CLOSED_OBJECT);
}

// Every file comes out byte for byte, in any order, across folders and
// blocks of both kinds. A file that begins where the one before ended, in the
// same block, is served from what that one left of the block: c after b and
// f after c at its start, g after c inside it; f and g lie wholly in it.
TEST_F(reader_test, extracts_files_in_any_order) {
    const std::map<std::string, std::string> files = {
        {"a", pattern(30, 'a')}, {"b", pattern(1, 'b')}, {"c", pattern(45, 'c')},
        {"f", pattern(1, 'f')},  {"g", pattern(2, 'g')}, {"d", pattern(7, 'd')},
        {"e", pattern(40, 'e')}};
    test_cabinet cabinet;
    cabinet.add_folder(1,
                       {{"a", files.at("a")},
                        {"b", files.at("b")},
                        {"c", files.at("c")},
                        {"f", files.at("f")},
                        {"g", files.at("g")}},
                       16);
    cabinet.add_folder(0, {{"d", files.at("d")}, {"e", files.at("e")}}, 16);
    ASSERT_EQ(open(cabinet), 0);
    for (const char* name : {"b", "c", "g", "f", "d", "e", "a", "c", "b", "e"}) {
        ASSERT_EQ(reader.extract(name), 0) << name;
        EXPECT_EQ(contents(name), files.at(name)) << name;
    }
}

// A file larger than the output's buffer, beginning near the end of a full
// block, so the buffer fills and drains at no block boundary.
TEST_F(reader_test, large_files_come_out_in_order) {
    const std::string head = pattern(32700, 'h'), large = pattern(300000, 'l');
    test_cabinet cabinet;
    cabinet.add_folder(1, {{"head", head}, {"large", large}});
    ASSERT_EQ(open(cabinet), 0);
    for (const auto& [name, expected] :
         {std::pair{"large", large}, {"head", head}, {"large", large}}) {
        ASSERT_EQ(reader.extract(name), 0) << name;
        EXPECT_EQ(contents(name), expected) << name;
    }
}

struct layout_case {
    const char* name;
    uint16_t flags;
    std::string header_reserve;
    uint8_t cbCFFolder, cbCFData;
};

void PrintTo(const layout_case& c, std::ostream* out) {
    *out << c.name;
}

class reader_layout_test : public reader_test, public ::testing::WithParamInterface<layout_case> {};

// Reserve areas and chain names of every kind shift everything behind them.
TEST_P(reader_layout_test, reads_and_extracts) {
    const layout_case& c = GetParam();
    test_cabinet cabinet = two_folders();
    cabinet.flags = c.flags;
    cabinet.header_reserve = c.header_reserve;
    cabinet.cbCFFolder = c.cbCFFolder;
    cabinet.cbCFData = c.cbCFData;
    cabinet.prev_cabinet = "prev.cab";
    cabinet.prev_disk = "";
    cabinet.next_cabinet = "next.cab";
    cabinet.next_disk = "Disk 2";
    for (test_folder& folder : cabinet.folders) {
        folder.reserve = "folder reserve";
        for (test_block& block : folder.blocks)
            block.reserve = "block reserve";
    }
    ASSERT_EQ(open(cabinet), 0);
    bool prev = c.flags & cfhdrPREV_CABINET, next = c.flags & cfhdrNEXT_CABINET;
    EXPECT_STREQ(reader.header.szCabinetPrev.str(), prev ? "prev.cab" : "");
    EXPECT_STREQ(reader.header.szCabinetNext.str(), next ? "next.cab" : "");
    EXPECT_STREQ(reader.header.szDiskNext.str(), next ? "Disk 2" : "");
    bool reserve = c.flags & cfhdrRESERVE_PRESENT;
    EXPECT_EQ(reader.folder_managers[0]->cbReserve, reserve ? c.cbCFFolder : 0);
    for (const char* name : {"c", "e"})
        ASSERT_EQ(reader.extract(name), 0) << name;
    EXPECT_EQ(contents("c"), pattern(45, 'c'));
    EXPECT_EQ(contents("e"), pattern(40, 'e'));
}

INSTANTIATE_TEST_SUITE_P(
    kinds, reader_layout_test,
    ::testing::Values(layout_case{"plain", 0, "", 0, 0},
                      layout_case{"sizes_without_flag", 0, "", 9, 9},
                      layout_case{"reserve_flag_all_sizes_zero", cfhdrRESERVE_PRESENT, "", 0, 0},
                      layout_case{"header_reserve_only", cfhdrRESERVE_PRESENT, "abc", 0, 0},
                      layout_case{"folder_and_block_reserve", cfhdrRESERVE_PRESENT, "", 5, 3},
                      layout_case{"previous", cfhdrPREV_CABINET, "", 0, 0},
                      layout_case{"next", cfhdrNEXT_CABINET, "", 0, 0},
                      layout_case{"everything", 7, std::string("x\0y", 3), 255, 255}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(reader_test, extract_failures) {
    test_cabinet cabinet = two_folders();
    test_file stray;
    stray.name = "stray";
    stray.cbFile = 1;
    stray.iFolder = 2;
    cabinet.files.push_back(stray);
    stray.name = "continued";
    stray.iFolder = ifoldCONTINUED_FROM_PREV;
    cabinet.files.push_back(stray);
    ASSERT_EQ(open(cabinet), 0);
    EXPECT_EQ(reader.extract(nullptr), CAB_ERROR_NO_FILENAME);
    EXPECT_EQ(reader.extract(""), CAB_ERROR_NO_FILENAME);
    EXPECT_EQ(reader.extract("A"), CAB_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reader.extract("stra"), CAB_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reader.extract("stray"), CAB_ERROR_INVALID_FOLDER);
    EXPECT_EQ(reader.extract("continued"), CAB_ERROR_INVALID_FOLDER);
    EXPECT_TRUE(work_entries().empty());
}

TEST_F(reader_test, first_record_of_a_name_wins) {
    test_cabinet cabinet;
    cabinet.add_folder(1, {{"same", "first"}, {"same", "second"}});
    ASSERT_EQ(open(cabinet), 0);
    ASSERT_EQ(reader.extract("same"), 0);
    EXPECT_EQ(contents("same"), "first");
}

// Empty files are written without asking a folder for a range at its end.
TEST_F(reader_test, empty_files) {
    test_cabinet cabinet;
    cabinet.add_folder(1, {{"full", "data"}, {"last", ""}});
    cabinet.add_folder(1, {{"no_blocks", ""}});
    ASSERT_EQ(open(cabinet), 0);
    for (const char* name : {"last", "no_blocks"}) {
        ASSERT_EQ(reader.extract(name), 0) << name;
        EXPECT_TRUE(fs::is_regular_file(name));
        EXPECT_EQ(fs::file_size(name), 0u);
    }
}

// Where a block's bytes land in its folder is decided by the sizes of the
// blocks before it. A block that fails its checksum decides nothing by
// itself: every file that touches it fails with its status, in whatever
// order the files are asked for, and so does every file after it unless its
// sizes are confirmed (the blocks after it verify where they place them, and
// all sizes add up to the end of the last file). The files before it come
// out whole.
struct damage_case {
    const char* name;
    int block;       // the damaged block
    int at;          // offset in the block of two bytes that change
    uint16_t change; // XORed into them, little-endian
    int statuses[4]; // of the files a, b, c and d
};

void PrintTo(const damage_case& c, std::ostream* out) {
    *out << c.name;
}

class unverified_block_test
    : public reader_test,
      public ::testing::WithParamInterface<std::tuple<uint16_t, damage_case>> {};

TEST_P(unverified_block_test, places_no_byte) {
    auto [type, c] = GetParam();
    // a spans blocks 0 and 1, b lies in block 1, c spans blocks 1 and 2, d
    // lies in block 2.
    const named_contents files = {{"a", pattern(40000, 'a')},
                                  {"b", pattern(10000, 'b')},
                                  {"c", pattern(20000, 'c')},
                                  {"d", pattern(10000, 'd')}};
    test_cabinet cabinet;
    cabinet.add_folder(type, files);
    std::string image = build_cabinet(cabinet);
    uint64_t at = get_le64(reinterpret_cast<const uint8_t*>(image.data()) + 64); // coffCabStart
    for (int i = 0; i < c.block; ++i)
        at += 16 + cabinet.folders[0].blocks[i].payload.size();
    uint8_t* changed = reinterpret_cast<uint8_t*>(&image[at + c.at]);
    put_le16(changed, get_le16(changed) ^ c.change);
    const std::vector<int> orders[] = {{1, 3, 2, 0}, {0, 1, 2, 3}, {3, 2, 1, 0}};
    for (const std::vector<int>& order : orders) {
        ASSERT_EQ(open_image(image), 0);
        extract_in_turn(files, order, c.statuses);
        empty_work();
    }
}

constexpr int ok = CAB_STATUS_OK, bad = CAB_ERROR_CHECKSUM;

INSTANTIATE_TEST_SUITE_P(
    damage, unverified_block_test,
    ::testing::Combine(::testing::Values(uint16_t{0}, uint16_t{1}),
                       ::testing::Values(
                           // 32767 becomes 28672: d would be taken from block 1.
                           damage_case{"block0_cbUncomp", 0, 10, 0x0FFF, {bad, bad, bad, bad}},
                           damage_case{"block0_payload", 0, 100, 0x0101, {bad, ok, ok, ok}},
                           damage_case{"block0_csum", 0, 0, 0x0001, {bad, ok, ok, ok}},
                           damage_case{"block0_cbData", 0, 8, 0x0001, {bad, bad, bad, bad}},
                           damage_case{"block1_payload", 1, 100, 0x0101, {bad, bad, bad, ok}},
                           damage_case{"block1_cbUncomp", 1, 10, 0x0FFF, {bad, bad, bad, bad}},
                           damage_case{"block2_payload", 2, 100, 0x0101, {ok, ok, bad, bad}},
                           damage_case{"block2_cbUncomp", 2, 10, 0x0001, {ok, ok, bad, bad}})),
    [](const auto& info) {
        return std::string(std::get<0>(info.param) == 0 ? "stored_" : "deflate_") +
               std::get<1>(info.param).name;
    });

// The end that confirms a damaged block's sizes is where the last file entry
// of its folder that holds bytes ends, wherever that entry stands in the
// directory; entries of other folders and empty ones do not count. A folder
// whose entries end short of its data, or beyond it, gets no files back
// after the damage.
struct end_case {
    const char* name;
    void (*edit)(test_cabinet& cabinet);
    int statuses[4]; // of the files a, b, c and d
};

void PrintTo(const end_case& c, std::ostream* out) {
    *out << c.name;
}

class expected_end_test : public reader_test,
                          public ::testing::WithParamInterface<std::tuple<end_case, unsigned>> {};

TEST_P(expected_end_test, comes_from_the_file_entries) {
    auto [c, threads] = GetParam();
    // Blocks of 16 bytes: a touches blocks 0 and 1, b blocks 1 and 2, c
    // blocks 2 and 3, d blocks 3 and 4. Block 1 is damaged.
    const named_contents files = {{"a", pattern(20, 'a')},
                                  {"b", pattern(20, 'b')},
                                  {"c", pattern(20, 'c')},
                                  {"d", pattern(16, 'd')}};
    test_cabinet cabinet;
    cabinet.add_folder(1, files, 16);
    cabinet.folders[0].blocks[1].bad_checksum = true;
    c.edit(cabinet);
    reader.set_threads(threads);
    ASSERT_EQ(open(cabinet), 0);
    extract_in_turn(files, {3, 0, 2, 1}, c.statuses);
}

test_file entry(const char* name, uint16_t folder, uint64_t start, uint64_t size) {
    test_file file(name);
    file.iFolder = folder;
    file.uoffFolderStart = start;
    file.cbFile = size;
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    entries, expected_end_test,
    ::testing::Combine(
        ::testing::Values(
            end_case{"as_laid_out", [](test_cabinet&) {}, {bad, bad, ok, ok}},
            end_case{"last_entry_first",
                     [](test_cabinet& cabinet) {
                         std::swap(cabinet.files.front(), cabinet.files.back());
                     },
                     {bad, bad, ok, ok}},
            end_case{
                "empty_entry_further_on",
                [](test_cabinet& cabinet) { cabinet.files.push_back(entry("empty", 0, 1000, 0)); },
                {bad, bad, ok, ok}},
            end_case{"other_folder_further_on",
                     [](test_cabinet& cabinet) {
                         cabinet.add_folder(0, {{"e", pattern(100, 'e')}});
                     },
                     {bad, bad, ok, ok}},
            end_case{"entries_short_of_the_data",
                     [](test_cabinet& cabinet) { cabinet.files[3].cbFile -= 1; },
                     {bad, bad, bad, bad}},
            end_case{
                "entry_beyond_the_data",
                [](test_cabinet& cabinet) { cabinet.files.push_back(entry("beyond", 0, 70, 20)); },
                {bad, bad, bad, bad}},
            end_case{
                "entry_without_end",
                [](test_cabinet&
                       cabinet) { cabinet.files.push_back(entry("endless", 0, 1, UINT64_MAX)); },
                {bad, bad, bad, bad}}),
        ::testing::Values(1u, 3u)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" +
               std::to_string(std::get<1>(info.param)) + "_threads";
    });

// Files of two folders that sit at the same offsets, asked for in turn: what
// is kept of one folder's last block never serves the other's files.
TEST_F(reader_test, kept_bytes_belong_to_one_folder) {
    test_cabinet cabinet;
    for (char folder : {'0', '1'}) {
        named_contents files;
        for (char file : {'x', 'y', 'z'})
            files.push_back(
                {std::string{file, folder}, pattern(10, static_cast<char>(file + folder))});
        cabinet.add_folder(1, files);
    }
    ASSERT_EQ(open(cabinet), 0);
    for (const char* name : {"y0", "z1", "y1", "z0", "x1", "y0", "x0", "z1"}) {
        ASSERT_EQ(reader.extract(name), 0) << name;
        EXPECT_EQ(contents(name), pattern(10, static_cast<char>(name[0] + name[1]))) << name;
    }
}

TEST_F(reader_test, damaged_folders_keep_their_statuses) {
    test_cabinet cabinet;
    cabinet.add_folder(1, {{"first", pattern(10, 'a')}, {"last", pattern(10, 'b')}}, 10);
    test_file beyond;
    beyond.name = "beyond";
    beyond.cbFile = 1;
    beyond.uoffFolderStart = 20;
    cabinet.files.push_back(beyond);
    test_file overlong = beyond;
    overlong.name = "overlong";
    overlong.uoffFolderStart = 15;
    overlong.cbFile = 10;
    cabinet.files.push_back(overlong);
    // Leaves the rest of the last block, where overlong begins, kept.
    test_file head = beyond;
    head.name = "head";
    head.uoffFolderStart = 10;
    head.cbFile = 3;
    cabinet.files.push_back(head);
    std::string image = build_cabinet(cabinet);
    ASSERT_EQ(open_image(image), 0);
    EXPECT_EQ(reader.extract("beyond"), CAB_ERROR_RANGE_PAST_END);
    ASSERT_EQ(reader.extract("head"), 0);
    EXPECT_EQ(reader.extract("overlong"), CAB_ERROR_FOLDER_DATA_ENDED);

    // Cut inside the last block's header: the index stops early.
    std::size_t last_block = image.size() - deflate_block(pattern(10, 'b')).payload.size() - 16;
    ASSERT_EQ(open_image(image.substr(0, last_block + 8)), 0);
    ASSERT_EQ(reader.extract("first"), 0);
    EXPECT_EQ(contents("first"), pattern(10, 'a'));
    EXPECT_EQ(reader.extract("last"), CAB_ERROR_UNEXPECTED_EOF);
    EXPECT_EQ(work_entries(), (std::vector<std::string>{"first", "head"}));
}

struct name_case {
    const char* stored;
    int status;
    const char* written; // where the file lands, or null
};

void PrintTo(const name_case& c, std::ostream* out) {
    *out << c.stored;
}

class hostile_name_test : public reader_test, public ::testing::WithParamInterface<name_case> {};

TEST_P(hostile_name_test, stays_inside_the_current_directory) {
    const name_case& c = GetParam();
    test_cabinet cabinet;
    cabinet.add_folder(1, {{c.stored, "payload"}});
    ASSERT_EQ(open(cabinet), 0);
    EXPECT_EQ(reader.extract(c.stored), c.status);
    if (c.written != nullptr)
        EXPECT_EQ(contents(c.written), "payload");
    else
        EXPECT_TRUE(work_entries().empty());
    // Nothing ever lands beside the work directory.
    std::vector<std::string> outside;
    for (const auto& entry : fs::directory_iterator(scratch.path()))
        outside.push_back(entry.path().filename().string());
    std::sort(outside.begin(), outside.end());
    EXPECT_EQ(outside, (std::vector<std::string>{"archive.cab", "work"}));
}

INSTANTIATE_TEST_SUITE_P(names, hostile_name_test,
                         ::testing::Values(name_case{"../x", CAB_ERROR_ACCESS_DENIED, nullptr},
                                           name_case{"a/../../x", CAB_ERROR_ACCESS_DENIED, nullptr},
                                           name_case{"a\\..\\b", CAB_ERROR_ACCESS_DENIED, nullptr},
                                           name_case{"..", CAB_ERROR_ACCESS_DENIED, nullptr},
                                           name_case{"dir/", CAB_ERROR_ACCESS_DENIED, nullptr},
                                           name_case{"/", CAB_ERROR_ACCESS_DENIED, nullptr},
                                           name_case{"a/.", CAB_ERROR_ACCESS_DENIED, nullptr},
                                           name_case{"/abs", 0, "abs"},
                                           name_case{"\\\\server\\share\\f", 0, "server/share/f"},
                                           name_case{"a/./b//c", 0, "a/b/c"},
                                           name_case{"x..y", 0, "x..y"}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(reader_test, never_writes_through_a_symbolic_link) {
    fs::create_directory(scratch.file("elsewhere"));
    scratch.write("elsewhere/victim", "keep");
    fs::create_directory_symlink(scratch.file("elsewhere"), "linked");
    fs::create_symlink(scratch.file("elsewhere/victim"), "target");
    // A link that stays inside the current directory is not followed either.
    fs::create_directories("real/sub");
    fs::create_directory_symlink("real", "inner");
    test_cabinet cabinet;
    cabinet.add_folder(
        1, {{"linked/victim", "new"}, {"target", "replaced"}, {"inner/sub/f", "through a link"}});
    ASSERT_EQ(open(cabinet), 0);
    EXPECT_EQ(reader.extract("linked/victim"), CAB_ERROR_ACCESS_DENIED);
    EXPECT_EQ(reader.extract("inner/sub/f"), CAB_ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::is_empty("real/sub"));
    ASSERT_EQ(reader.extract("target"), 0);
    EXPECT_FALSE(fs::is_symlink("target"));
    EXPECT_EQ(contents("target"), "replaced");
    EXPECT_EQ(contents(scratch.file("elsewhere/victim")), "keep");
}

TEST_F(reader_test, missing_directories_are_created) {
    scratch.write("work/plain", "a file");
    test_cabinet cabinet;
    cabinet.add_folder(1, {{"d1/d2/f", "deep"}, {"plain/f", "blocked"}});
    ASSERT_EQ(open(cabinet), 0);
    ASSERT_EQ(reader.extract("d1/d2/f"), 0);
    EXPECT_EQ(contents("d1/d2/f"), "deep");
    EXPECT_EQ(reader.extract("plain/f"), CAB_ERROR_MKDIR);
    EXPECT_EQ(contents("plain"), "a file");
}

// An existing file is replaced whole by a success and untouched by a failure,
// and no temporary file is left behind either way.
TEST_F(reader_test, existing_files_are_replaced_only_by_complete_ones) {
    test_cabinet cabinet;
    cabinet.add_folder(1, {{"good", "new"}, {"damaged", pattern(30, 'x')}}, 10);
    cabinet.folders[0].blocks[2].bad_checksum = true;
    // Its range begins in the last block of a sound folder, so some bytes are
    // written before it fails.
    cabinet.add_folder(1, {{"sound", pattern(30, 's')}}, 10);
    test_file overlong = cabinet.files[2];
    overlong.name = "overlong";
    overlong.uoffFolderStart = 25;
    overlong.cbFile = 100;
    cabinet.files.push_back(overlong);
    for (const char* name : {"good", "damaged", "overlong"})
        scratch.write("work/" + std::string(name), "the old and longer contents");
    ASSERT_EQ(open(cabinet), 0);
    ASSERT_EQ(reader.extract("good"), 0);
    EXPECT_EQ(contents("good"), "new");
    EXPECT_EQ(reader.extract("damaged"), CAB_ERROR_CHECKSUM);
    EXPECT_EQ(reader.extract("overlong"), CAB_ERROR_FOLDER_DATA_ENDED);
    EXPECT_EQ(contents("damaged"), "the old and longer contents");
    EXPECT_EQ(contents("overlong"), "the old and longer contents");
    EXPECT_EQ(work_entries(), (std::vector<std::string>{"damaged", "good", "overlong"}));
}

TEST_F(reader_test, restores_date_time_and_read_only) {
    const char* zone = std::getenv("TZ");
    std::string saved = zone != nullptr ? zone : "";
    setenv("TZ", "UTC", 1);
    tzset();
    test_cabinet cabinet;
    cabinet.add_folder(1, {{"readonly", "r"}, {"archive", "a"}});
    // 2021-07-15 13:45:58
    cabinet.files[0].date = cabinet.files[1].date = (41 << 9) | (7 << 5) | 15;
    cabinet.files[0].time = cabinet.files[1].time = (13 << 11) | (45 << 5) | 29;
    cabinet.files[0].attribs = ATTRIBUTE_READONLY | ATTRIBUTE_ARCHIVE;
    cabinet.files[1].attribs = ATTRIBUTE_ARCHIVE;
    ASSERT_EQ(open(cabinet), 0);
    for (const char* name : {"readonly", "archive"}) {
        ASSERT_EQ(reader.extract(name), 0) << name;
        struct stat status;
        ASSERT_EQ(stat(name, &status), 0);
        EXPECT_EQ(status.st_mtime, 1626356758) << name;
        EXPECT_EQ((status.st_mode & 0222) != 0, std::string(name) == "archive") << name;
    }
    if (zone != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// A cabinet that the creator makes: a stored folder, then a deflate folder
// whose first file crosses a block boundary. Its files are made outside the
// work directory under the names they are stored with.
std::string created_cabinet(const scratch_dir& scratch, const named_contents& stored,
                            const named_contents& deflated) {
    fs::path work = fs::current_path();
    fs::create_directory(scratch.file("in"));
    fs::current_path(scratch.file("in"));
    cabinet_creator creator;
    EXPECT_EQ(creator.open(), 0);
    for (const named_contents* folder : {&stored, &deflated}) {
        EXPECT_EQ(creator.new_folder(folder == &stored ? 0 : 1), 0);
        for (const auto& [name, contents] : *folder) {
            scratch.write("in/" + name, contents);
            EXPECT_EQ(creator.add_file(name.c_str()), 0) << name;
        }
    }
    EXPECT_EQ(creator.close("created.cab"), 0);
    fs::current_path(work);
    return contents(scratch.file("in/created.cab"));
}

// Text that deflate shrinks to almost nothing, so the cabinet stays small.
std::string repetitive(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 23);
    return text;
}

// A cabinet cut anywhere fails to open, or opens and then gives each file
// whole or fails with a status and leaves nothing behind.
TEST_F(reader_test, every_prefix_fails_or_extracts_the_right_bytes) {
    named_contents stored = {{"one", pattern(300, 'o')}, {"empty", ""}};
    named_contents deflated = {{"big", repetitive(40000)}, {"after", pattern(100, 'f')}};
    named_contents everything = stored;
    everything.insert(everything.end(), deflated.begin(), deflated.end());
    test_cabinet laid = two_folders();
    laid.flags = cfhdrRESERVE_PRESENT | cfhdrPREV_CABINET | cfhdrNEXT_CABINET;
    laid.header_reserve = "reserve";
    laid.cbCFFolder = 2;
    laid.cbCFData = 3;
    laid.prev_cabinet = "p";
    laid.next_disk = "n";
    named_contents laid_files = {{"a", pattern(30, 'a')},
                                 {"b", pattern(1, 'b')},
                                 {"c", pattern(45, 'c')},
                                 {"d", pattern(7, 'd')},
                                 {"e", pattern(40, 'e')}};
    const std::pair<std::string, named_contents> cabinets[] = {
        {created_cabinet(scratch, stored, deflated), everything},
        {build_cabinet(laid), laid_files}};
    for (const auto& [image, files] : cabinets) {
        int wrong = 0;
        for (std::size_t length = 0; length <= image.size(); ++length) {
            int status = open_image(image.substr(0, length));
            bool whole = length == image.size();
            if (status != 0 && (status > 0 || whole) && ++wrong <= 5)
                ADD_FAILURE() << "open of " << length << " bytes: " << status;
            for (const auto& [name, expected] : files) {
                if (status != 0)
                    break;
                int extracted = reader.extract(name.c_str());
                bool right = extracted == 0 ? contents(name) == expected
                                            : extracted < 0 && !whole && !fs::exists(name);
                if (!right && ++wrong <= 5)
                    ADD_FAILURE() << name << " from " << length << " bytes: " << extracted;
            }
            empty_work();
        }
        EXPECT_EQ(wrong, 0) << image.size() << "-byte cabinet";
    }
}

// What a cabinet claims but does not hold ends in a status; what it holds up
// to the limits of its fields is read.
TEST_F(reader_test, counts_at_their_limits) {
    test_cabinet claimed = two_folders();
    claimed.cFiles = 65535;
    EXPECT_EQ(open(claimed), CAB_ERROR_UNEXPECTED_EOF);
    std::string header = build_cabinet(test_cabinet{});
    header[50] = header[51] = '\xFF'; // cFolders
    EXPECT_EQ(open_image(header), CAB_ERROR_UNEXPECTED_EOF);

    test_cabinet full;
    full.add_folder(1, {{"first", "payload"}});
    full.folders.resize(65535);
    test_file empty;
    for (int i = 1; i < 65535; ++i) {
        empty.name = "e" + std::to_string(i);
        empty.iFolder = static_cast<uint16_t>(i);
        full.files.push_back(empty);
    }
    ASSERT_EQ(open(full), 0);
    EXPECT_EQ(reader.folder_managers.count, 65535u);
    ASSERT_EQ(reader.file_headers.count, 65535u);
    for (const char* name : {"first", "e65534"})
        ASSERT_EQ(reader.extract(name), 0) << name;
    EXPECT_EQ(contents("first"), "payload");
    EXPECT_EQ(contents("e65534"), "");
}

TEST_F(reader_test, offsets_past_the_end) {
    test_cabinet cabinet = two_folders();
    const uint64_t past_end = build_cabinet(cabinet).size() + 1000;
    cabinet.coffFiles = past_end;
    EXPECT_EQ(open(cabinet), CAB_ERROR_UNEXPECTED_EOF);
    cabinet.coffFiles = UINT64_MAX;
    EXPECT_EQ(open(cabinet), CAB_ERROR_SEEK);

    cabinet = two_folders();
    for (uint64_t start : {past_end, UINT64_MAX}) {
        cabinet.folders[1].coffCabStart = start;
        ASSERT_EQ(open(cabinet), 0);
        EXPECT_EQ(reader.extract("d"),
                  start == past_end ? CAB_ERROR_UNEXPECTED_EOF : CAB_ERROR_SEEK);
        ASSERT_EQ(reader.extract("a"), 0);
        EXPECT_EQ(work_entries(), std::vector<std::string>{"a"});
    }
}

TEST_F(reader_test, block_sizes_at_their_limits) {
    const std::string full = pattern(65535, 'x');
    struct {
        const char* name;
        test_block block;
        int status;
    } cases[] = {
        {"stored_65535", stored_block(full), 0},
        {"deflate_65535", deflate_block(full), 0},
        {"stored_claims_65535", stored_block("short"), CAB_ERROR_BAD_DATA},
        {"deflate_claims_65535", deflate_block("short"), CAB_ERROR_DECOMPRESSION},
    };
    for (auto& c : cases) {
        if (c.status != 0)
            c.block.cbUncomp = 65535;
        test_cabinet cabinet;
        test_folder folder;
        folder.typeCompress = c.name[0] == 's' ? 0 : 1;
        folder.blocks.push_back(c.block);
        cabinet.folders.push_back(folder);
        test_file file;
        file.name = "f";
        file.cbFile = 65535;
        cabinet.files.push_back(file);
        ASSERT_EQ(open(cabinet), 0) << c.name;
        EXPECT_EQ(reader.extract("f"), c.status) << c.name;
        EXPECT_EQ(contents("f"), c.status == 0 ? full : "") << c.name;
        empty_work();
    }
    // cbData claims more than the file holds: the block sits at its end.
    test_cabinet cabinet;
    cabinet.add_folder(0, {{"f", "data"}});
    std::string image = build_cabinet(cabinet);
    image[image.size() - 4 - 8] = image[image.size() - 4 - 7] = '\xFF';
    ASSERT_EQ(open_image(image), 0);
    EXPECT_EQ(reader.extract("f"), CAB_ERROR_UNEXPECTED_EOF);
    EXPECT_TRUE(work_entries().empty());
}

// A name is read up to its NUL however long it is; without one the input
// ends first.
TEST_F(reader_test, names_that_run_to_the_end_of_the_file) {
    std::string long_name(100000, 'n');
    test_cabinet files;
    files.folders.push_back(test_folder{});
    files.files.push_back({"first"});
    files.files.push_back({long_name});
    std::string image = build_cabinet(files); // the last name ends the file
    ASSERT_EQ(open_image(image), 0);
    EXPECT_EQ(reader.file_headers[1]->szName.length(), long_name.size());
    EXPECT_EQ(open_image(image.substr(0, image.size() - 1)), CAB_ERROR_UNEXPECTED_EOF);

    test_cabinet chained;
    chained.flags = cfhdrPREV_CABINET | cfhdrNEXT_CABINET;
    chained.prev_cabinet = "p";
    chained.prev_disk = "d";
    chained.next_cabinet = "n";
    chained.next_disk = long_name;
    image = build_cabinet(chained);
    ASSERT_EQ(open_image(image), 0);
    EXPECT_EQ(reader.header.szDiskNext.length(), long_name.size());
    EXPECT_EQ(open_image(image.substr(0, image.size() - 1)), CAB_ERROR_UNEXPECTED_EOF);
}

// Many folders must not keep a decompressor each once their files are out.
TEST_F(reader_test, no_folder_keeps_a_decompressor) {
    test_cabinet cabinet;
    for (char folder : {'0', '1', '2'})
        cabinet.add_folder(
            1, {{std::string("a") + folder, "first"}, {std::string("b") + folder, "second"}});
    ASSERT_EQ(open(cabinet), 0);
    for (const char* name : {"a0", "b1", "a2", "b0", "a1", "b2"})
        ASSERT_EQ(reader.extract(name), 0) << name;
    for (uint64_t i = 0; i < reader.folder_managers.count; ++i)
        EXPECT_EQ(reader.folder_managers[i]->zstream, nullptr) << i;
}

// A write that fails half way (as on a full disk) leaves the file that was at
// the output path as it was, and no temporary file.
TEST_F(reader_test, failed_write_keeps_the_file_that_was_there) {
    test_cabinet cabinet;
    cabinet.add_folder(1, {{"big", repetitive(200000)}});
    scratch.write("work/big", "the old contents");
    ASSERT_EQ(open(cabinet), 0);
    {
        file_size_limit limit(50000);
        EXPECT_EQ(reader.extract("big"), CAB_ERROR_WRITE);
    }
    EXPECT_EQ(contents("big"), "the old contents");
    EXPECT_EQ(work_entries(), std::vector<std::string>{"big"});
}

// Into a directory of the caller's choosing, not the current one, and with
// EXISTING_KEEP around whatever is there already.
TEST_F(reader_test, extracts_into_a_given_directory) {
    ASSERT_EQ(open(two_folders()), CAB_STATUS_OK);
    const std::string elsewhere = scratch.file("elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    scratch.write("elsewhere/c", "kept");
    for (uint32_t number : {0u, 2u}) {
        bool written = true;
        ASSERT_EQ(
            reader.extract_file(number, elsewhere.c_str(), cabinet_reader::EXISTING_KEEP, &written),
            CAB_STATUS_OK);
        EXPECT_EQ(written, number == 0) << number;
    }
    EXPECT_EQ(contents(elsewhere + "/a"), pattern(30, 'a'));
    EXPECT_EQ(contents(elsewhere + "/c"), "kept");
    ASSERT_EQ(reader.extract_file(2, elsewhere.c_str(), cabinet_reader::EXISTING_REPLACE),
              CAB_STATUS_OK);
    EXPECT_EQ(contents(elsewhere + "/c"), pattern(45, 'c'));
    EXPECT_TRUE(work_entries().empty());

    EXPECT_EQ(reader.extract_file(5, elsewhere.c_str(), cabinet_reader::EXISTING_REPLACE),
              CAB_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(
        reader.extract_file(0, scratch.file("missing").c_str(), cabinet_reader::EXISTING_REPLACE),
        CAB_ERROR_OPEN_STREAM);
}

TEST_F(reader_test, writes_a_file_to_any_stream) {
    ASSERT_EQ(open(two_folders()), CAB_STATUS_OK);
    const std::string expected[] = {pattern(30, 'a'), pattern(1, 'b'), pattern(45, 'c'),
                                    pattern(7, 'd'), pattern(40, 'e')};
    for (uint32_t number : {4u, 2u, 0u, 1u, 3u}) {
        std::ostringstream out;
        ASSERT_EQ(reader.write_file(number, out), CAB_STATUS_OK) << number;
        EXPECT_EQ(out.str(), expected[number]) << number;
    }
    std::ostringstream out;
    EXPECT_EQ(reader.write_file(5, out), CAB_ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(work_entries().empty());
}

// verify_folder passes every block, also those no entry's range reaches;
// measure_folder reads their headers alone.
TEST_F(reader_test, verifies_and_measures_whole_folders) {
    test_cabinet cabinet = two_folders();
    // A block behind every entry's range: only verify_folder reads it.
    cabinet.folders[1].blocks.push_back(stored_block("tail"));
    cabinet.folders[1].blocks.back().bad_checksum = true;
    ASSERT_EQ(open(cabinet), CAB_STATUS_OK);
    uint64_t expanded = 0, compressed = 0, claimed = 0;
    ASSERT_EQ(reader.verify_folder(0, expanded), CAB_STATUS_OK);
    EXPECT_EQ(expanded, 76u);
    ASSERT_EQ(reader.measure_folder(0, compressed, claimed), CAB_STATUS_OK);
    EXPECT_EQ(claimed, 76u);
    uint64_t payloads = 0;
    for (const test_block& block : cabinet.folders[0].blocks)
        payloads += 16 + block.payload.size();
    EXPECT_EQ(compressed, payloads);

    ASSERT_EQ(reader.extract("e"), CAB_STATUS_OK);
    EXPECT_EQ(reader.verify_folder(1, expanded), CAB_ERROR_CHECKSUM);
    EXPECT_EQ(expanded, 47u);
    ASSERT_EQ(reader.measure_folder(1, compressed, claimed), CAB_STATUS_OK);
    EXPECT_EQ(claimed, 51u);
    EXPECT_EQ(reader.verify_folder(2, expanded), CAB_ERROR_INVALID_FOLDER);

    // Blocks that run past the end of the file.
    std::string image = build_cabinet(cabinet);
    ASSERT_EQ(open_image(image.substr(0, image.size() - 1)), CAB_STATUS_OK);
    EXPECT_EQ(reader.measure_folder(1, compressed, claimed), CAB_ERROR_UNEXPECTED_EOF);
    EXPECT_EQ(reader.verify_folder(1, expanded), CAB_ERROR_UNEXPECTED_EOF);
}

// Between the files of one folder, verify_folder and measure_folder move the
// cabinet stream; the next file still comes from where its blocks are, on
// one thread and on several.
TEST_F(reader_test, whole_folder_checks_between_files) {
    test_cabinet cabinet;
    cabinet.add_folder(
        1, {{"a", pattern(40, 'a')}, {"b", pattern(50, 'b')}, {"c", pattern(20, 'c')}}, 16);
    for (unsigned threads : {1u, 3u}) {
        reader.set_threads(threads);
        ASSERT_EQ(open(cabinet), CAB_STATUS_OK);
        uint64_t expanded = 0, compressed = 0, claimed = 0;
        ASSERT_EQ(reader.extract("a"), CAB_STATUS_OK);
        ASSERT_EQ(reader.measure_folder(0, compressed, claimed), CAB_STATUS_OK);
        ASSERT_EQ(reader.extract("b"), CAB_STATUS_OK) << threads;
        ASSERT_EQ(reader.verify_folder(0, expanded), CAB_STATUS_OK);
        ASSERT_EQ(reader.extract("c"), CAB_STATUS_OK) << threads;
        EXPECT_EQ(contents("a"), pattern(40, 'a'));
        EXPECT_EQ(contents("b"), pattern(50, 'b')) << threads;
        EXPECT_EQ(contents("c"), pattern(20, 'c')) << threads;
        empty_work();
    }
}

} // namespace
