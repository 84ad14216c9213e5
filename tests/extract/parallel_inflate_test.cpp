// Extraction with blocks read ahead and expanded on worker threads: every
// file, every status and what is left behind are what one thread gives,
// sound cabinets and damaged ones alike.
#include "parallel_inflate.h"

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <kistle/cabinet_reader.h>
#include <kistle/cabinet_status.h>

#include "cabinet_image.h"
#include "cabinet_parse.h"
#include "file_size_limit.h"
#include "process_threads.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

// A deflate folder of many small files in a few directories and some large
// ones, and a stored folder: 40 blocks and more.
test_cabinet tree() {
    test_cabinet cabinet;
    std::vector<std::pair<std::string, std::string>> files;
    for (unsigned i = 0; i < 150; ++i) {
        std::size_t size = (i * 7919u) % 9000 + (i % 10 == 0 ? 0 : 1);
        files.emplace_back("d" + std::to_string(i % 4) + "/f" + std::to_string(i),
                           sample_bytes(size, i));
        if (i % 50 == 25)
            files.emplace_back("big" + std::to_string(i), sample_bytes(200000 + i, i));
    }
    cabinet.add_folder(1, files);
    cabinet.add_folder(0, {{"s/one", sample_bytes(70000, 1)}, {"s/two", sample_bytes(3, 2)}});
    return cabinet;
}

// What extracting one file gave: its status and, on success, its bytes.
struct outcome {
    int status;
    std::string bytes;
    bool operator==(const outcome& other) const {
        return status == other.status && bytes == other.bytes;
    }
};

std::ostream& operator<<(std::ostream& out, const outcome& o) {
    return out << "status " << o.status << ", " << o.bytes.size() << " bytes";
}

class extraction_test : public ::testing::Test {
protected:
    void SetUp() override { previous = fs::current_path(); }
    void TearDown() override { fs::current_path(previous); }

    // Extracts the files named, in that order, with that many threads into a
    // directory of their own; what each gave, and whatever else appeared.
    std::map<std::string, outcome> extract(const std::string& cabinet,
                                           const std::vector<std::string>& names, unsigned threads,
                                           std::vector<std::string>& leftovers) {
        std::string directory = scratch.file("out" + std::to_string(++runs));
        fs::create_directory(directory);
        fs::current_path(directory);
        cabinet_reader reader;
        reader.set_threads(threads);
        std::map<std::string, outcome> seen;
        if (reader.open(cabinet.c_str()) != 0) {
            ADD_FAILURE() << "open failed";
            return seen;
        }
        for (const std::string& name : names) {
            int status = reader.extract(name.c_str());
            seen[name] = {status, status == 0 ? scratch_dir::read(directory + "/" + name) : ""};
        }
        fs::current_path(previous);
        for (const auto& entry : fs::recursive_directory_iterator(directory)) {
            std::string name = fs::relative(entry.path(), directory).string();
            if (entry.is_regular_file() && (seen.count(name) == 0 || seen[name].status != 0))
                leftovers.push_back(name);
        }
        return seen;
    }

    scratch_dir scratch;
    fs::path previous;
    int runs = 0;
};

std::vector<std::string> names_of(const test_cabinet& cabinet) {
    std::vector<std::string> names;
    for (const test_file& file : cabinet.files)
        names.push_back(file.name);
    return names;
}

// Damage of one kind in the deflate folder's sixth block, or none.
enum class damage { none, checksum, overstated, cut };

struct damage_case {
    const char* name;
    damage kind;
};

void PrintTo(const damage_case& c, std::ostream* out) {
    *out << c.name;
}

class same_files_test : public extraction_test,
                        public ::testing::WithParamInterface<std::tuple<damage_case, unsigned>> {};

TEST_P(same_files_test, as_with_one_thread) {
    auto [c, threads] = GetParam();
    test_cabinet cabinet = tree();
    test_block& sixth = cabinet.folders[0].blocks.at(5);
    if (c.kind == damage::checksum)
        sixth.bad_checksum = true;
    else if (c.kind == damage::overstated)
        sixth.cbUncomp = static_cast<uint16_t>(sixth.cbUncomp + 1); // checksum right, too short
    std::string image = build_cabinet(cabinet);
    if (c.kind == damage::cut)
        image.resize(image.size() * 2 / 3);
    std::string path = scratch.write("tree.cab", image);

    std::vector<std::string> in_order = names_of(cabinet), scrambled;
    for (std::size_t i = 0; i < in_order.size(); ++i)
        scrambled.push_back(in_order[i * 37 % in_order.size()]);
    for (const auto& names : {in_order, scrambled}) {
        std::vector<std::string> left_by_one, left_by_many;
        std::map<std::string, outcome> one = extract(path, names, 1, left_by_one);
        std::map<std::string, outcome> many = extract(path, names, threads, left_by_many);
        EXPECT_EQ(many, one);
        EXPECT_TRUE(left_by_one.empty()) << left_by_one.front();
        EXPECT_TRUE(left_by_many.empty()) << left_by_many.front();
        std::size_t failed = 0;
        for (const auto& [name, result] : one)
            failed += result.status != 0;
        EXPECT_EQ(failed != 0, c.kind != damage::none) << failed << " files failed";
    }
}

const damage_case damages[] = {{"sound", damage::none},
                               {"bad_checksum", damage::checksum},
                               {"block_shorter_than_claimed", damage::overstated},
                               {"cut_short", damage::cut}};

INSTANTIATE_TEST_SUITE_P(threads, same_files_test,
                         ::testing::Combine(::testing::ValuesIn(damages),
                                            ::testing::Values(2u, 4u, 7u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::to_string(std::get<1>(info.param)) + "_threads";
                         });

// A full disk while blocks are expanded ahead: the file fails as with one
// thread and leaves nothing, and the next file comes out whole.
TEST_F(extraction_test, write_failure_leaves_nothing) {
    test_cabinet cabinet = tree();
    std::string path = scratch.write("tree.cab", build_cabinet(cabinet));
    const std::vector<std::string> names = {"big25", "d0/f0", "d2/f26", "big75"};
    std::map<std::string, outcome> results[2];
    for (unsigned threads : {1u, 4u}) {
        std::vector<std::string> leftovers;
        file_size_limit limit(150000);
        results[threads == 1 ? 0 : 1] = extract(path, names, threads, leftovers);
        EXPECT_TRUE(leftovers.empty()) << leftovers.front();
    }
    EXPECT_EQ(results[1], results[0]);
    EXPECT_EQ(results[0]["big25"].status, CAB_ERROR_WRITE);
    EXPECT_EQ(results[0]["d2/f26"].status, 0);
}

// Threads start when blocks are first read ahead, never for a file in one
// block, and end with close and destruction; readers share none.
TEST_F(extraction_test, threads_start_late_and_end_with_the_reader) {
    const std::size_t alone = process_threads_alone();
    test_cabinet cabinet = tree();
    std::string path = scratch.write("tree.cab", build_cabinet(cabinet));
    fs::create_directory(scratch.file("out"));
    fs::current_path(scratch.file("out"));
    for (bool close : {false, true}) {
        cabinet_reader reader;
        reader.set_threads(3);
        ASSERT_EQ(reader.open(path.c_str()), 0);
        ASSERT_EQ(reader.extract("d1/f1"), 0);
        ASSERT_EQ(reader.extract("s/two"), 0);
        EXPECT_EQ(process_threads(), alone) << "no thread for less than two blocks";
        ASSERT_EQ(reader.extract("big25"), 0);
        EXPECT_EQ(process_threads(), alone + 3);
        if (close) {
            EXPECT_EQ(reader.close(), 0);
            EXPECT_EQ(process_threads(), alone) << "close";
        }
    }
    EXPECT_EQ(process_threads(), alone) << "destruction";

    std::vector<std::thread> readers;
    int statuses[3] = {-1, -1, -1};
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&, i] {
            cabinet_reader reader;
            reader.set_threads(2);
            statuses[i] = reader.open(path.c_str());
            for (std::size_t f = i; statuses[i] == 0 && f < cabinet.files.size(); f += 3)
                statuses[i] = reader.extract(cabinet.files[f].name.c_str());
        });
    }
    for (std::thread& reader : readers)
        reader.join();
    for (int status : statuses)
        EXPECT_EQ(status, 0);
    for (const test_file& file : cabinet.files)
        EXPECT_EQ(scratch_dir::read(file.name).size(), file.cbFile) << file.name;
}

} // namespace
