// kistle::reader: extraction into a directory and into streams, the lookup
// of names, and test() finding what extraction would fail on.
#include <kistle/archive.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "cabinet_image.h"
#include "cabinet_parse.h"

namespace fs = std::filesystem;

namespace {

using reader_test = archive_test;

// Every entry lands below the directory with its bytes, time and read-only
// bit; a name stored twice gets the first entry's bytes.
TEST_F(reader_test, extract_all_matches_the_originals) {
    struct original {
        std::string stored, bytes;
        bool read_only;
    };
    const original files[] = {{"top.txt", "top", false},
                              {"dir/sub/deep.bin", sample_bytes(100000, 1), false},
                              {"/leading/ro.txt", sample_bytes(3000, 2), true}};
    std::string path = scratch.file("tree.cab");
    {
        kistle::writer out(path);
        for (const original& file : files)
            out.add_bytes(file.stored, file.bytes, modified, file.read_only);
        out.add_bytes("top.txt", "a later copy", modified);
        out.commit();
    }
    std::string restored = scratch.file("restored");
    fs::create_directory(restored);
    kistle::reader in(path);
    in.extract_all(restored);

    const char* on_disk[] = {"top.txt", "dir/sub/deep.bin", "leading/ro.txt"};
    for (std::size_t i = 0; i < 3; ++i) {
        std::string target = restored + "/" + on_disk[i];
        EXPECT_TRUE(scratch_dir::read(target) == files[i].bytes) << target;
        struct stat status = scratch_dir::status_of(target);
        EXPECT_EQ(status.st_mtime, modified) << target;
        EXPECT_EQ((status.st_mode & 0222) == 0, files[i].read_only) << target;
    }
    EXPECT_EQ(scratch_dir::names_in(restored),
              (std::vector<std::string>{"dir", "leading", "top.txt"}));
    EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty());
}

// existing::keep leaves what is there and says so; replace writes.
TEST_F(reader_test, keep_or_replace_an_existing_file) {
    kistle::reader in(make_cabinet({{"a", "from the cabinet"}, {"b", "new"}}));
    std::string dir = scratch.file("out");
    fs::create_directory(dir);
    scratch.write("out/a", "mine");
    EXPECT_FALSE(in.extract(in.entries()[0], dir, kistle::reader::existing::keep));
    EXPECT_EQ(scratch_dir::read(dir + "/a"), "mine");
    EXPECT_TRUE(in.extract(in.entries()[1], dir, kistle::reader::existing::keep));
    in.extract_all(dir, kistle::reader::existing::keep);
    EXPECT_EQ(scratch_dir::read(dir + "/a"), "mine");
    EXPECT_TRUE(in.extract(in.entries()[0], dir));
    EXPECT_EQ(scratch_dir::read(dir + "/a"), "from the cabinet");
}

TEST_F(reader_test, extract_into_a_stream_and_read) {
    const std::string big = sample_bytes(80000, 3);
    kistle::reader in(make_cabinet({{"small", "abc"}, {"big", big}, {"empty", ""}}));
    for (const kistle::entry& e : in.entries()) {
        std::ostringstream out;
        in.extract(e, out);
        EXPECT_TRUE(out.str() == in.read(e)) << e.name;
    }
    EXPECT_TRUE(in.read(*in.find("big")) == big);
    EXPECT_EQ(in.read(*in.find("empty")), "");

    // Only this reader's entries: a copy, or another reader's, is not one.
    kistle::entry copy = in.entries()[0];
    kistle::reader other(make_cabinet({{"small", "abc"}}, "other.cab"));
    const kistle::entry* foreigners[] = {&copy, &other.entries().front()};
    for (const kistle::entry* foreign : foreigners) {
        std::error_code ec;
        EXPECT_EQ(in.read(*foreign, ec), "");
        EXPECT_EQ(ec, kistle::errc::not_found);
    }
}

// Stripping keeps every rule of a stored name: what climbs out after it is
// refused, names that then land on one path extract once, and a plain
// cabinet's files keep their dates and read-only bits.
TEST_F(reader_test, stripped_names_follow_the_rules_of_stored_ones) {
    test_cabinet plain;
    plain.add_folder(1, {{"top/a/../../evil", "climbs"},
                         {"one\\x", "first"},
                         {"two/x", "second"},
                         {"lone", "no components left"},
                         {"top/ro", "read-only"}});
    for (test_file& file : plain.files) {
        file.date = 0x5865; // 2024-03-05 14:07:08, local time
        file.time = 0x70E4;
    }
    plain.files.back().attribs = kistle::attribute::read_only;
    scratch.write("plain.cab", build_cabinet(plain));
    kistle::reader in(scratch.file("plain.cab"));
    const std::string out = scratch.file("out");
    fs::create_directory(out);

    kistle::extract_options options;
    options.strip_components = 1;
    std::vector<std::pair<std::string, std::error_code>> told;
    options.each = [&](const kistle::entry& e, const kistle::error* failure, bool) {
        told.emplace_back(e.name, failure ? failure->code() : std::error_code());
        return true;
    };
    in.extract_all(out, options);
    EXPECT_EQ(told, (std::vector<std::pair<std::string, std::error_code>>{
                        {"top/a/../../evil", kistle::errc::access_denied},
                        {"one\\x", {}},
                        {"two/x", kistle::errc::same_path},
                        {"top/ro", {}}}));
    EXPECT_EQ(scratch_dir::names_in(out), (std::vector<std::string>{"ro", "x"}));
    EXPECT_EQ(scratch_dir::read(out + "/x"), "first");
    const struct stat ro = scratch_dir::status_of(out + "/ro");
    EXPECT_EQ(ro.st_mode & 0222, 0u);
    EXPECT_EQ(ro.st_mtime, in.find("top/ro")->modified);
}

TEST_F(reader_test, find_gives_the_first_entry_of_a_name) {
    kistle::reader in(make_cabinet({{"b", "1"}, {"a", "2"}, {"b", "3"}}));
    ASSERT_NE(in.find("b"), nullptr);
    EXPECT_EQ(in.find("b"), &in.entries()[0]);
    EXPECT_EQ(in.find("a"), &in.entries()[1]);
    EXPECT_EQ(in.find("c"), nullptr);
    EXPECT_EQ(in.find(std::string_view("b\0", 2)), nullptr);

    kistle::reader moved(std::move(in));
    EXPECT_FALSE(in.is_open());
    EXPECT_TRUE(in.entries().empty());
    EXPECT_EQ(in.find("b"), nullptr);
    EXPECT_EQ(moved.find("a"), &moved.entries()[1]);
    moved.close();
    EXPECT_TRUE(moved.entries().empty());
}

// test() reports each damaged entry with the status its extraction fails
// with, and damage no entry reveals with an empty name.
struct damage_case {
    const char* name;
    std::function<void(test_cabinet&)> damage;
    std::size_t cut; // bytes taken off the end
    std::vector<std::pair<std::string, kistle::errc>> problems;
};

void PrintTo(const damage_case& c, std::ostream* out) {
    *out << c.name;
}

class reader_damage_test : public archive_test,
                           public ::testing::WithParamInterface<damage_case> {};

// Two folders of 10-byte blocks: a (10), b (12, across two blocks), then c
// (5) and d (5) in a stored folder.
test_cabinet two_folders() {
    test_cabinet cabinet;
    cabinet.add_folder(1, {{"a", std::string(10, 'a')}, {"b", std::string(12, 'b')}}, 10);
    cabinet.add_folder(0, {{"c", std::string(5, 'c')}, {"d", std::string(5, 'd')}}, 10);
    return cabinet;
}

TEST_P(reader_damage_test, test_finds_what_extraction_fails_on) {
    const damage_case& c = GetParam();
    test_cabinet cabinet = two_folders();
    if (c.damage)
        c.damage(cabinet);
    std::string image = build_cabinet(cabinet);
    std::string path = scratch.write("damaged.cab", image.substr(0, image.size() - c.cut));
    kistle::reader in(path);
    std::vector<kistle::problem> problems = in.test();
    ASSERT_EQ(problems.size(), c.problems.size());
    for (std::size_t i = 0; i < problems.size(); ++i) {
        EXPECT_EQ(problems[i].name, c.problems[i].first) << i;
        EXPECT_EQ(problems[i].code, c.problems[i].second)
            << i << ": " << problems[i].code.message();
    }
    // Each entry's extraction agrees.
    for (const kistle::entry& e : in.entries()) {
        std::error_code ec;
        in.read(e, ec);
        std::error_code reported;
        for (const kistle::problem& p : problems) {
            if (p.name == e.name)
                reported = p.code;
        }
        EXPECT_EQ(ec, reported) << e.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    reader, reader_damage_test,
    ::testing::Values(
        damage_case{"sound", nullptr, 0, {}},
        // The second block of the first folder holds the end of b.
        damage_case{"block_of_an_entry",
                    [](test_cabinet& t) { t.folders[0].blocks[1].bad_checksum = true; },
                    0,
                    {{"b", kistle::errc::checksum}}},
        // A block behind every entry: only a walk of the whole folder sees it.
        damage_case{"block_no_entry_reaches",
                    [](test_cabinet& t) {
                        t.folders[1].blocks.push_back(stored_block("tail"));
                        t.folders[1].blocks.back().bad_checksum = true;
                    },
                    0,
                    {{"", kistle::errc::checksum}}},
        damage_case{"ranges_beyond_the_data",
                    [](test_cabinet& t) {
                        t.files[2].uoffFolderStart = 11; // past the end of the folder's data
                        t.files[3].cbFile = 6;           // one byte past it
                    },
                    0,
                    {{"c", kistle::errc::range_past_end}, {"d", kistle::errc::folder_data_ended}}},
        // Sizes no folder holds must fail as any range past the data, not
        // decide what read() allocates.
        damage_case{
            "sizes_past_any_memory",
            [](test_cabinet& t) {
                t.files[1].cbFile = ~uint64_t(0);
                t.files[3].cbFile = uint64_t(1) << 42;
            },
            0,
            {{"b", kistle::errc::folder_data_ended}, {"d", kistle::errc::folder_data_ended}}},
        damage_case{"cut",
                    nullptr,
                    3,
                    {{"", kistle::errc::unexpected_eof},
                     {"c", kistle::errc::unexpected_eof},
                     {"d", kistle::errc::unexpected_eof}}}),
    [](const ::testing::TestParamInfo<damage_case>& info) { return info.param.name; });

// A file that does not begin with a cabinet's signature is refused when it is
// opened, in both forms, rather than listed as an empty cabinet or failing on
// whatever its bytes happen to say; a pipe with no writer does not hang it.
TEST_F(reader_test, open_refuses_what_is_not_a_cabinet) {
    test_cabinet unsigned_cabinet = two_folders();
    unsigned_cabinet.signature = 0;
    const std::pair<const char*, std::string> files[] = {
        {"unsigned.cab", build_cabinet(unsigned_cabinet)},
        {"zeros.cab", std::string(200, '\0')},
        {"text.cab", "root:x:0:0:root:/root:/bin/bash\n"},
        {"empty.cab", ""},
        {"short.cab", build_cabinet(two_folders()).substr(0, 3)},
    };
    std::vector<std::pair<std::string, kistle::errc>> paths;
    for (const auto& [name, bytes] : files)
        paths.emplace_back(scratch.write(name, bytes), kistle::errc::bad_data);
    // A FIFO is refused, not waited on, and so is a device.
    paths.emplace_back(scratch.file("pipe.cab"), kistle::errc::not_seekable);
    ASSERT_EQ(mkfifo(paths.back().first.c_str(), 0600), 0);
    paths.emplace_back("/dev/null", kistle::errc::not_seekable);

    for (const auto& [path, expected] : paths) {
        kistle::reader in;
        std::error_code ec;
        in.open(path, ec);
        EXPECT_EQ(ec, expected) << path << ": " << ec.message();
        EXPECT_FALSE(in.is_open()) << path;
        try {
            in.open(path);
            ADD_FAILURE() << path << " opened";
        } catch (const kistle::error& e) {
            EXPECT_EQ(e.code(), expected) << path;
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
}

// A buffer that fails, or throws, under a stream set to throw: the form
// that takes an error_code sets it and throws nothing.
TEST_F(reader_test, error_code_form_throws_nothing_whatever_the_stream_throws) {
    std::string plain = scratch.file("plain.cab");
    {
        kistle::writer out(plain);
        out.set_plain(true);
        out.add_bytes("a", sample_bytes(100000, 4), modified);
        out.commit();
    }
    struct failing : std::streambuf {
        bool throws;
        explicit failing(bool throws) : throws(throws) {}
        std::streamsize xsputn(const char*, std::streamsize) override {
            if (throws)
                throw std::runtime_error("the buffer's own failure");
            return 0;
        }
        int_type overflow(int_type) override { return traits_type::eof(); }
    };
    for (const std::string& path : {plain, make_cabinet({{"a", sample_bytes(100000, 4)}})}) {
        kistle::reader in(path);
        for (bool throws : {false, true}) {
            failing buffer(throws);
            std::ostream out(&buffer);
            out.exceptions(std::ios::badbit | std::ios::failbit);
            std::error_code ec;
            EXPECT_NO_THROW(in.extract(in.entries()[0], out, ec)) << path << throws;
            EXPECT_EQ(ec, kistle::errc::write) << path << throws;
            EXPECT_THROW(in.extract(in.entries()[0], out), kistle::error) << path << throws;
        }
    }
}

// A cabinet arriving through a pipe is refused at once, never parsed from
// anywhere but its first byte: neither a cut one nor a whole one passes
// for an empty cabinet.
TEST_F(reader_test, a_cabinet_in_a_pipe_is_refused_not_misread) {
    const std::string cabinet = scratch_dir::read(make_cabinet({{"a", sample_bytes(200000, 9)}}));
    for (std::size_t size : {cabinet.size(), std::size_t{100000}}) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        pid_t writer = fork();
        if (writer == 0) {
            close(ends[0]);
            ssize_t ignored = write(ends[1], cabinet.data(), size);
            static_cast<void>(ignored);
            _exit(0);
        }
        close(ends[1]);
        kistle::reader in;
        std::error_code ec;
        in.open("/proc/self/fd/" + std::to_string(ends[0]), ec);
        EXPECT_EQ(ec, kistle::errc::not_seekable) << size;
        EXPECT_TRUE(in.entries().empty());
        close(ends[0]);
        waitpid(writer, nullptr, 0);
    }
}

TEST_F(reader_test, info_tells_the_header) {
    test_cabinet cabinet = two_folders();
    cabinet.flags = cfhdrPREV_CABINET | cfhdrRESERVE_PRESENT;
    cabinet.prev_cabinet = "before.cab";
    cabinet.prev_disk = "disk 1";
    cabinet.header_reserve = "rsv";
    cabinet.cbCFFolder = 2;
    std::string image = build_cabinet(cabinet);
    kistle::reader in(scratch.write("set.cab", image + "junk"));
    kistle::cabinet_info info = in.info();
    EXPECT_EQ(info.size, image.size());
    EXPECT_EQ(info.actual_size, image.size() + 4);
    EXPECT_EQ(info.version_major, 1u);
    EXPECT_EQ(info.version_minor, 3u);
    EXPECT_EQ(info.folders, 2);
    EXPECT_EQ(info.files, 4);
    EXPECT_EQ(info.previous_cabinet, "before.cab");
    EXPECT_EQ(info.previous_disk, "disk 1");
    EXPECT_EQ(info.next_cabinet, "");
    EXPECT_EQ(info.header_reserve, 3);
    EXPECT_EQ(info.folder_reserve, 2);
    EXPECT_EQ(info.block_reserve, 0);
    std::vector<kistle::problem> problems = in.test();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].code, kistle::errc::bad_data) << "longer than its header states";
}

TEST_F(reader_test, progress_counts_what_was_extracted) {
    kistle::reader in(make_cabinet({{"a", std::string(10, 'a')}, {"b", std::string(5, 'b')}}));
    std::vector<uint64_t> reported;
    in.set_progress([&](uint64_t done) { reported.push_back(done); });
    std::ostringstream out;
    in.extract(in.entries()[1], out);
    std::string dir = scratch.file("out");
    fs::create_directory(dir);
    in.extract_all(dir);
    EXPECT_EQ(reported, (std::vector<uint64_t>{5, 15, 20}));
}

// A large entry is counted block by block as it is written, into a
// directory, a stream or a string, with one thread or more.
TEST_F(reader_test, progress_counts_a_large_entry_block_by_block) {
    const std::string data = sample_bytes(5 * block_bytes + 1000, 5);
    const std::string path = make_cabinet({{"small", "tiny"}, {"large", data}});
    const std::string dir = scratch.file("out");
    fs::create_directory(dir);
    using operation = std::function<void(kistle::reader&, const kistle::entry&)>;
    const operation operations[] = {
        [&](kistle::reader& in, const kistle::entry& e) { in.extract(e, dir); },
        [](kistle::reader& in, const kistle::entry& e) {
            std::ostringstream out;
            in.extract(e, out);
        },
        [](kistle::reader& in, const kistle::entry& e) { in.read(e); },
    };
    for (unsigned threads : {1u, 2u}) {
        for (std::size_t i = 0; i < std::size(operations); ++i) {
            SCOPED_TRACE(testing::Message() << threads << " threads, operation " << i);
            std::vector<uint64_t> reported;
            kistle::reader in;
            in.set_threads(threads);
            in.set_progress([&](uint64_t done) { reported.push_back(done); });
            in.open(path);
            operations[i](in, in.entries()[1]);
            expect_block_by_block(reported, 0, data.size());
        }
    }
}

// A progress function that throws stops the extraction at once: the
// exception reaches the caller of either form, no file is published and no
// temporary one is left, and the reader goes on.
TEST_F(reader_test, progress_that_throws_stops_the_extraction) {
    const std::string data = sample_bytes(5 * block_bytes, 6);
    const std::string path = make_cabinet({{"large", data}});
    for (unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        const std::string dir = scratch.file("out" + std::to_string(threads));
        fs::create_directory(dir);
        std::vector<uint64_t> reported;
        kistle::reader in;
        in.set_threads(threads);
        in.open(path);
        const kistle::entry& large = in.entries()[0];
        in.set_progress(stop_at(2 * block_bytes, reported));
        EXPECT_THROW(in.extract(large, dir), progress_stop);
        EXPECT_EQ(reported, (std::vector<uint64_t>{block_bytes, 2 * block_bytes}))
            << "no call after the one that threw";
        std::error_code ec;
        EXPECT_THROW(in.extract_all(dir, ec), progress_stop);
        EXPECT_THROW(in.read(large), progress_stop);
        EXPECT_TRUE(scratch_dir::names_in(dir).empty());

        in.set_progress(nullptr);
        EXPECT_TRUE(in.read(large) == data);
        in.extract(large, dir);
        EXPECT_TRUE(scratch_dir::read(dir + "/large") == data);
    }
}

} // namespace
