// kistle::writer: what it stores, where its folders begin, which names it
// refuses, and that nothing appears, not even a temporary file, without commit.
#include <kistle/archive.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "cabinet_parse.h"
#include "process_threads.h"

namespace fs = std::filesystem;

namespace {

using writer_test = archive_test;

// Sets a file's modification time.
void touch(const std::string& path, std::time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Files and memory, a stored folder between deflate ones: every entry reads
// back with its bytes, folder, time and read-only bit.
TEST_F(writer_test, round_trip_through_folders_of_both_kinds) {
    const std::string a = sample_bytes(70000, 1), b = sample_bytes(5000, 2),
                      c = sample_bytes(40000, 3), d = sample_bytes(100, 4);
    std::string source_a = scratch.write("a.txt", a), source_b = scratch.write("b.bin", b);
    touch(source_a, 1626356758); // 2021-07-15 13:45:58
    ASSERT_EQ(chmod(source_b.c_str(), 0444), 0);
    std::string path = scratch.file("out.cab");
    fs::path previous = fs::current_path();
    fs::current_path(scratch.path());
    {
        kistle::writer out(path);
        out.add_file(source_a, "docs/a.txt");
        out.add_file("b.bin"); // stored as given
        out.new_folder(kistle::compression::stored);
        out.add_bytes("mem/c", c, modified, true);
        out.new_folder();
        out.add_bytes("d", d, modified);
        EXPECT_EQ(out.size(), 4u);
        EXPECT_FALSE(fs::exists(path)) << "the cabinet appears only at commit";
        out.commit();
        EXPECT_FALSE(out.is_open());
    }
    fs::current_path(previous);

    kistle::reader in(path);
    const std::vector<kistle::entry>& entries = in.entries();
    ASSERT_EQ(entries.size(), 4u);
    const struct {
        const char* name;
        const std::string& bytes;
        uint16_t folder;
        bool read_only;
        std::time_t modified;
    } expected[] = {{"docs/a.txt", a, 0, false, 1626356758},
                    {"b.bin", b, 0, true, entries[1].modified},
                    {"mem/c", c, 1, true, modified},
                    {"d", d, 2, false, modified}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].name, expected[i].name);
        EXPECT_EQ(entries[i].size, expected[i].bytes.size()) << i;
        EXPECT_EQ(entries[i].folder, expected[i].folder) << i;
        EXPECT_EQ(entries[i].read_only(), expected[i].read_only) << i;
        EXPECT_EQ(entries[i].modified, expected[i].modified) << i;
        EXPECT_TRUE(in.read(entries[i]) == expected[i].bytes) << i;
    }
    std::vector<kistle::folder_info> folders = in.folders();
    ASSERT_EQ(folders.size(), 4u) << "three of files, then the record's";
    EXPECT_EQ(in.info().record_folder, std::optional<uint16_t>(3));
    EXPECT_EQ(folders[0].type, 1);
    EXPECT_EQ(folders[0].uncompressed_size, a.size() + b.size());
    EXPECT_EQ(folders[0].blocks, 3);
    EXPECT_EQ(folders[1].type, 0);
    EXPECT_EQ(folders[1].compressed_size, 2 * 16 + c.size()); // two stored blocks
    EXPECT_EQ(folders[2].uncompressed_size, d.size());
    EXPECT_TRUE(in.test().empty());
    kistle::cabinet_info info = in.info();
    EXPECT_EQ(info.size, info.actual_size);
    EXPECT_EQ(info.files, 4);
}

// Before an entry that would not fit, a new folder of the same compression
// begins; the first add begins a deflate folder.
TEST_F(writer_test, new_folders_begin_where_a_file_would_not_fit) {
    std::string path = scratch.file("out.cab");
    kistle::writer out(path);
    out.set_folder_size(100000);
    const std::pair<const char*, std::size_t> files[] = {{"first", 60000},  {"fits", 40000},
                                                         {"next", 1},       {"stored", 10},
                                                         {"large", 150000}, {"after", 1}};
    for (const auto& [name, size] : files) {
        if (std::string(name) == "stored")
            out.new_folder(kistle::compression::stored);
        out.add_bytes(name, std::string(size, 'x'), modified);
    }
    out.commit();
    kistle::reader in(path);
    std::vector<uint16_t> folder_of;
    for (const kistle::entry& e : in.entries())
        folder_of.push_back(e.folder);
    EXPECT_EQ(folder_of, (std::vector<uint16_t>{0, 0, 1, 2, 3, 4}));
    std::vector<uint16_t> types;
    for (const kistle::folder_info& folder : in.folders())
        types.push_back(folder.type);
    EXPECT_EQ(types, (std::vector<uint16_t>{1, 1, 0, 0, 0, 1})) << "the record's last";
}

// A file larger than any folder is refused before a byte of it is read, and
// starts no folder.
// A plain cabinet is one cabinet: a file no folder holds is refused at
// once, and the cabinet goes on without it.
TEST_F(writer_test, plain_cabinet_refuses_a_file_larger_than_a_folder) {
    std::string huge = scratch.file("huge");
    int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    // Sparse: one byte more than 65535 blocks of 32767 bytes.
    ASSERT_EQ(ftruncate(fd, 65535LL * 32767 + 1), 0);
    close(fd);
    std::string path = scratch.file("out.cab");
    kistle::writer out;
    out.set_plain(true);
    out.open(path);
    out.add_bytes("small", "x", modified);
    std::error_code ec;
    out.add_file(huge, "huge", ec);
    EXPECT_EQ(ec, kistle::errc::too_many_files);
    out.add_bytes("after", "y", modified);
    out.commit();
    kistle::reader in(path);
    ASSERT_EQ(in.entries().size(), 2u);
    EXPECT_EQ(in.folders().size(), 1u);
}

// What is not a regular file is refused at once: a FIFO is never waited on.
TEST_F(writer_test, add_file_refuses_a_fifo_without_waiting) {
    std::string fifo = scratch.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    kistle::writer out(scratch.file("out.cab"));
    std::error_code ec;
    out.add_file(fifo, "fifo", ec);
    EXPECT_EQ(ec, kistle::errc::open_file);
    EXPECT_EQ(out.size(), 0u);
}

// Without commit nothing appears: not when the writer is destroyed,
// reopened, discarded or moved from; its data file has no name in $TMPDIR
// (the fixture checks that directory).
TEST_F(writer_test, no_commit_no_file) {
    std::string first = scratch.file("first.cab"), second = scratch.file("second.cab");
    {
        kistle::writer out(first);
        out.add_bytes("a", sample_bytes(100000, 1), modified);
        EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty());
    }
    kistle::writer out(first);
    out.add_bytes("a", "bytes", modified);
    out.open(second);
    EXPECT_EQ(out.size(), 0u);
    out.add_bytes("b", "bytes", modified);
    kistle::writer moved(std::move(out));
    EXPECT_FALSE(out.is_open());
    EXPECT_TRUE(out.path().empty());
    EXPECT_EQ(moved.path(), second);
    moved.discard();
    EXPECT_FALSE(moved.is_open());
    std::error_code ec;
    moved.commit(ec);
    EXPECT_EQ(ec, kistle::errc::closed);
    EXPECT_EQ(scratch_dir::names_in(scratch.path()), std::vector<std::string>{"tmp"});
}

// A failed commit changes nothing at the path and keeps the cabinet.
TEST_F(writer_test, failed_commit_can_be_repeated) {
    std::string path = scratch.file("later/out.cab");
    fs::create_directory(scratch.file("later"));
    kistle::writer out(path);
    out.add_bytes("a", "kept", modified);
    fs::remove(scratch.file("later"));
    std::error_code ec;
    out.commit(ec);
    EXPECT_EQ(ec, kistle::errc::open_file);
    EXPECT_TRUE(out.is_open());
    fs::create_directory(scratch.file("later"));
    out.commit();
    kistle::reader in(path);
    ASSERT_EQ(in.entries().size(), 1u);
    EXPECT_EQ(in.read(in.entries()[0]), "kept");
}

struct name_case {
    const char* label;
    std::string name;
    bool accepted;
};

void PrintTo(const name_case& c, std::ostream* out) {
    *out << c.label;
}

class stored_name_test : public archive_test, public ::testing::WithParamInterface<name_case> {};

// A name that extraction would refuse is refused when it is added, from
// memory and from a file alike; one it takes is stored as given.
TEST_P(stored_name_test, refused_exactly_where_extraction_refuses) {
    const name_case& c = GetParam();
    std::string source = scratch.write("source", "from a file");
    std::string path = scratch.file("out.cab");
    kistle::writer out(path);
    std::error_code from_memory, from_file;
    out.add_bytes(c.name, "from memory", modified, false, from_memory);
    // An empty name in add_file stores the source path as given, which is
    // judged the same way, before the source is even looked at.
    if (c.name.empty())
        out.add_file("../" + source, c.name, from_file);
    else
        out.add_file(source, c.name, from_file);
    if (!c.accepted) {
        EXPECT_EQ(from_memory, kistle::errc::access_denied);
        EXPECT_EQ(from_file, kistle::errc::access_denied);
        EXPECT_EQ(out.size(), 0u);
        EXPECT_THROW(out.add_bytes(c.name, "", modified), kistle::error);
        return;
    }
    ASSERT_FALSE(from_memory) << from_memory.message();
    ASSERT_FALSE(from_file) << from_file.message();
    out.commit();
    kistle::reader in(path);
    ASSERT_EQ(in.entries().size(), 2u);
    EXPECT_EQ(in.entries()[1].name, c.name);
    fs::create_directory(scratch.file("out"));
    in.extract_all(scratch.file("out"));
}

INSTANTIATE_TEST_SUITE_P(
    writer, stored_name_test,
    ::testing::Values(name_case{"empty", "", false}, name_case{"dot_dot", "..", false},
                      name_case{"leading_dot_dot", "../x", false},
                      name_case{"inner_dot_dot", "a/../b", false},
                      name_case{"backslash_dot_dot", "a\\..\\b", false},
                      name_case{"no_file_name", "dir/", false},
                      name_case{"dot_at_the_end", "dir/.", false},
                      name_case{"nul_inside", std::string("x\0y", 3), false},
                      name_case{"absolute", "/abs/x", true}, name_case{"doubled", "a//b", true},
                      name_case{"dots_in_names", "./a/..b/c..", true}),
    [](const ::testing::TestParamInfo<name_case>& info) { return info.param.label; });

// The level reaches the compressor and changes nothing but the size; zlib's
// own range is checked at once.
TEST_F(writer_test, deflate_level) {
    const std::string data = sample_bytes(200000, 7);
    std::vector<uintmax_t> sizes;
    for (int level : {1, 9}) {
        std::string path = scratch.file("level" + std::to_string(level) + ".cab");
        kistle::writer out(path);
        out.set_level(level);
        out.add_bytes("data", data, modified);
        out.commit();
        kistle::reader in(path);
        EXPECT_TRUE(in.read(in.entries()[0]) == data) << level;
        sizes.push_back(fs::file_size(path));
    }
    EXPECT_GT(sizes[0], sizes[1]);
    kistle::writer out;
    EXPECT_THROW(out.set_level(10), std::invalid_argument);
    EXPECT_THROW(out.set_level(-2), std::invalid_argument);
}

// The library that deflates changes the blocks' bytes alone, and libdeflate
// is the default; a plain cabinet is zlib's (cabinet_tool's) whatever the
// setting.
TEST_F(writer_test, deflater) {
    const std::string data = sample_bytes(200000, 8);
    auto cabinet = [&](bool plain, const kistle::deflater* library) {
        std::string path = scratch.file("deflater.cab");
        kistle::writer out(path);
        out.set_plain(plain);
        if (library != nullptr)
            out.set_deflater(*library);
        out.add_bytes("data", data, modified);
        out.commit();
        kistle::reader in(path);
        EXPECT_TRUE(in.read(in.entries()[0]) == data);
        return scratch.read(path);
    };
    const kistle::deflater zlib = kistle::deflater::zlib, libdeflate = kistle::deflater::libdeflate;
    EXPECT_TRUE(cabinet(false, nullptr) == cabinet(false, &libdeflate));
    EXPECT_FALSE(cabinet(false, &zlib) == cabinet(false, &libdeflate));
    EXPECT_TRUE(cabinet(true, &libdeflate) == cabinet(true, &zlib));
}

// The thread count reaches the creator and the reader: the cabinet and what
// is read back are the same for one thread and for three, which start.
TEST_F(writer_test, threads_change_nothing_but_the_time) {
    const std::size_t alone = process_threads_alone();
    const std::string data = sample_bytes(300000, 5), small = sample_bytes(100, 6);
    std::string cabinets[2];
    for (unsigned threads : {1u, 3u}) {
        std::string& path = cabinets[threads == 1 ? 0 : 1];
        path = scratch.file("threads" + std::to_string(threads) + ".cab");
        kistle::writer out(path);
        out.set_threads(threads);
        out.add_bytes("data", data, modified);
        EXPECT_EQ(process_threads(), threads == 1 ? alone : alone + threads);
        out.add_bytes("small", small, modified);
        out.commit();
        kistle::reader in;
        in.set_threads(threads);
        in.open(path);
        EXPECT_TRUE(in.read(in.entries()[0]) == data) << threads;
        EXPECT_TRUE(in.read(in.entries()[1]) == small) << threads;
    }
    EXPECT_TRUE(scratch.read(cabinets[0]) == scratch.read(cabinets[1]));
}

TEST_F(writer_test, progress_counts_what_was_added) {
    std::vector<uint64_t> reported;
    kistle::writer out;
    out.set_progress([&](uint64_t done) { reported.push_back(done); });
    out.open(scratch.file("out.cab"));
    out.add_bytes("a", std::string(10, 'a'), modified);
    out.add_file(scratch.write("b", std::string(5, 'b')), "b");
    std::error_code ec;
    out.add_bytes("../refused", "x", modified, false, ec);
    EXPECT_EQ(reported, (std::vector<uint64_t>{10, 15}));
}

// A large entry is counted block by block as it is taken, from memory and
// from a file, with one thread or more; the cabinet is the one written
// without progress.
TEST_F(writer_test, progress_counts_a_large_entry_block_by_block) {
    const std::string data = sample_bytes(5 * block_bytes + 1000, 7);
    const std::string source = scratch.write("large", data);
    const std::string plain = scratch.file("plain.cab");
    {
        kistle::writer out(plain);
        out.add_bytes("first", data, modified);
        out.add_file(source, "second");
        out.commit();
    }
    for (unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        std::vector<uint64_t> from_memory, from_file;
        std::vector<uint64_t>* reported = &from_memory;
        const std::string path = scratch.file("counted.cab");
        kistle::writer out;
        out.set_threads(threads);
        out.set_progress([&](uint64_t done) { reported->push_back(done); });
        out.open(path);
        out.add_bytes("first", data, modified);
        reported = &from_file;
        out.add_file(source, "second");
        out.commit();
        expect_block_by_block(from_memory, 0, data.size());
        expect_block_by_block(from_file, data.size(), data.size());
        EXPECT_TRUE(scratch.read(path) == scratch.read(plain));
    }
}

// Yields the bytes of sample_bytes(size, seed) as they are asked for, and
// throws once fail_at of them were given.
class generated_input : public std::streambuf {
public:
    generated_input(std::size_t size, unsigned seed, std::size_t fail_at = SIZE_MAX)
        : data(sample_bytes(size, seed)), fail_at(fail_at) {}
    const std::string data;

protected:
    int_type underflow() override {
        if (given >= data.size())
            return traits_type::eof();
        if (given >= fail_at)
            throw std::runtime_error("the source broke");
        piece = data.substr(given, std::min<std::size_t>(4096, data.size() - given));
        given += piece.size();
        setg(&piece[0], &piece[0], &piece[0] + piece.size());
        return traits_type::to_int_type(piece[0]);
    }

private:
    std::size_t fail_at, given = 0;
    std::string piece;
};

// A stream's bytes are stored as they come, with the options' facts; its
// size, where given, decides the folder as a file's does; a source that
// fails adds nothing.
TEST_F(writer_test, add_stream_takes_bytes_as_they_come) {
    const std::string path = scratch.file("stream.cab");
    kistle::writer out(path);
    out.set_folder_size(100000);
    kistle::entry_options options;
    options.modified = kistle::file_time{modified, 250};
    options.mode = 0640;

    generated_input large(3 * block_bytes + 5, 1), sized(50000, 2), unsized(60000, 3);
    std::istream large_in(&large), sized_in(&sized), unsized_in(&unsized);
    out.add_stream("large", large_in, options);
    out.add_stream("sized", sized_in, options, sized.data.size());
    out.add_stream("unsized", unsized_in, options);

    generated_input broken(100000, 4, 40000);
    std::istream broken_in(&broken);
    std::error_code ec;
    out.add_stream("broken", broken_in, options, std::nullopt, ec);
    EXPECT_EQ(ec, kistle::errc::read);
    std::istringstream any("x");
    out.add_stream("timeless", any, {}, std::nullopt, ec);
    EXPECT_EQ(ec, kistle::errc::date_time);
    out.commit();

    kistle::reader in(path);
    ASSERT_EQ(in.entries().size(), 3u);
    const std::pair<const generated_input*, uint16_t> expected[] = {
        {&large, 0}, {&sized, 1}, {&unsized, 1}};
    for (std::size_t i = 0; i < 3; ++i) {
        const kistle::entry& e = in.entries()[i];
        EXPECT_TRUE(in.read(e) == expected[i].first->data) << e.name;
        EXPECT_EQ(e.folder, expected[i].second) << e.name;
        EXPECT_EQ(e.mode, 0640u);
        EXPECT_EQ(e.time().seconds, modified);
        EXPECT_EQ(e.time().nanoseconds, 250u);
        EXPECT_TRUE(e.verified);
    }
    EXPECT_TRUE(in.test().empty());
}

// A progress function that throws stops the add at once: the exception
// reaches the caller of either form, no entry is added, no cabinet appears,
// and the writer goes on.
TEST_F(writer_test, progress_that_throws_stops_the_add) {
    const std::string data = sample_bytes(5 * block_bytes, 8);
    const std::string source = scratch.write("large", data);
    const std::string small = "kept";
    const uint64_t limit = small.size() + 2 * block_bytes;
    for (unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        const std::string path = scratch.file("stopped" + std::to_string(threads) + ".cab");
        std::vector<uint64_t> reported;
        kistle::writer out;
        out.set_threads(threads);
        out.open(path);
        out.add_bytes("before", small, modified);
        out.set_progress(stop_at(limit, reported));
        EXPECT_THROW(out.add_file(source, "thrown"), progress_stop);
        EXPECT_EQ(std::count_if(reported.begin(), reported.end(),
                                [&](uint64_t done) { return done >= limit; }),
                  1)
            << "no call after the one that threw";
        reported.clear();
        std::error_code ec;
        EXPECT_THROW(out.add_bytes("thrown too", data, modified, false, ec), progress_stop);
        EXPECT_EQ(reported.size(), 1u);
        EXPECT_EQ(out.size(), 1u);
        EXPECT_TRUE(out.is_open());
        EXPECT_FALSE(fs::exists(path));

        out.set_progress(nullptr);
        out.add_bytes("after", small, modified);
        out.commit();
        kistle::reader in(path);
        ASSERT_EQ(in.entries().size(), 2u);
        EXPECT_EQ(in.entries()[1].name, "after");
        EXPECT_EQ(in.read(in.entries()[0]), small);
        EXPECT_EQ(in.read(in.entries()[1]), small);
    }
}

} // namespace
