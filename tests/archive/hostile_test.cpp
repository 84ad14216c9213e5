// Cabinets built to cost more than they hold: entries that overlap, folders
// that share blocks, names that land on one path, a directory that runs
// into the data. Each is reported, extraction refuses what overlaps, and
// every operation reads a bounded multiple of the cabinet's bytes (counted
// from the process's own reads, not timed). And a block no compressor
// writes, whose bytes only the record's checksum can judge.
#include <kistle/archive.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <xxhash.h>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_header.h>

#include "archive_fixture.h"
#include "cabinet_image.h"
#include "deflate_streams.h"

namespace fs = std::filesystem;

namespace {

// Bytes this process has read from files so far.
uint64_t bytes_read() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

// What operation reads, in multiples of the cabinet's size.
template <class F> double cost(const std::string& cabinet, F operation) {
    const uint64_t before = bytes_read();
    operation();
    return static_cast<double>(bytes_read() - before) / static_cast<double>(fs::file_size(cabinet));
}

class hostile_test : public archive_test {
protected:
    std::string write(const test_cabinet& cabinet) {
        return scratch.write("hostile.cab", build_cabinet(cabinet));
    }
};

constexpr std::size_t zero_blocks = 300;

// One folder of zero blocks, every entry claiming all of it.
TEST_F(hostile_test, entries_that_overlap_are_reported_and_not_extracted) {
    test_cabinet cabinet;
    cabinet.folders.push_back(folder_of(1, std::string(zero_blocks * 32767, '\0')));
    for (int i = 0; i < 2000; ++i) {
        test_file file("copy" + std::to_string(i));
        file.cbFile = zero_blocks * 32767;
        cabinet.files.push_back(file);
    }
    const std::string path = write(cabinet);
    kistle::reader in(path);
    std::vector<kistle::problem> problems;
    EXPECT_LT(cost(path, [&] { problems = in.test(); }), 4.0);
    ASSERT_EQ(problems.size(), 2000u);
    EXPECT_EQ(problems[0].code, kistle::errc::overlap);
    EXPECT_FALSE(problems[0].other.empty());

    const std::string out = scratch.file("out");
    fs::create_directory(out);
    int refused = 0;
    kistle::extract_options options;
    options.each = [&](const kistle::entry&, const kistle::error* failure, bool) {
        refused += failure != nullptr && failure->code() == kistle::errc::overlap;
        return true;
    };
    EXPECT_LT(cost(path, [&] { in.extract_all(out, options); }), 4.0);
    EXPECT_EQ(refused, 2000);
    EXPECT_TRUE(scratch_dir::names_in(out).empty());
    std::error_code ec;
    in.extract_all(out, ec);
    EXPECT_EQ(ec, kistle::errc::overlap) << "the first refusal ends a run without a report";

    // Asked for, two of them come out.
    options.allow_overlap = true;
    options.select = [](const kistle::entry& e) { return e.name == "copy7" || e.name == "copy9"; };
    refused = 0;
    in.extract_all(out, options);
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(fs::file_size(out + "/copy9"), zero_blocks * 32767);
}

// Folders that begin at one place, or whose blocks run into the next
// folder's, are found with one walk of the headers.
TEST_F(hostile_test, folders_that_share_blocks) {
    test_cabinet cabinet;
    cabinet.folders.push_back(folder_of(1, std::string(zero_blocks * 32767, '\0')));
    cabinet.files.push_back(test_file("first"));
    cabinet.files.back().cbFile = 10;
    for (int i = 1; i < 500; ++i) {
        // Every other folder claims the first one's blocks, from its start
        // or from one of its later blocks.
        test_folder alias;
        alias.blocks = {};
        alias.cCFData = zero_blocks;
        alias.coffCabStart = 0; // fixed below, once the layout is known
        cabinet.folders.push_back(alias);
        test_file file("alias" + std::to_string(i));
        file.iFolder = static_cast<uint16_t>(i);
        file.cbFile = 10;
        cabinet.files.push_back(file);
    }
    // Where the first folder's blocks begin: behind the directory.
    test_cabinet probe = cabinet;
    for (std::size_t i = 1; i < probe.folders.size(); ++i)
        probe.folders[i].coffCabStart = 1;
    uint64_t start = 0;
    {
        const std::string laid = build_cabinet(probe);
        // The first folder entry's coffCabStart, at byte 64.
        for (int b = 7; b >= 0; --b)
            start = start << 8 | static_cast<uint8_t>(laid[64 + static_cast<std::size_t>(b)]);
    }
    const uint64_t second_block = start + 16 + cabinet.folders[0].blocks[0].payload.size();
    for (std::size_t i = 1; i < cabinet.folders.size(); ++i) {
        cabinet.folders[i].coffCabStart = i % 2 == 0 ? start : second_block;
        cabinet.folders[i].cCFData = i % 2 == 0 ? zero_blocks : zero_blocks - 1;
    }
    const std::string path = write(cabinet);
    kistle::reader in(path);
    std::vector<kistle::folder_info> folders;
    EXPECT_LT(cost(path, [&] { folders = in.folders(); }), 2.0);
    ASSERT_EQ(folders.size(), 500u);
    EXPECT_TRUE(folders[0].overlaps.has_value());
    EXPECT_TRUE(folders[499].overlaps.has_value());
    std::vector<kistle::problem> problems;
    EXPECT_LT(cost(path, [&] { problems = in.test(); }), 4.0);
    int entries_refused = 0, folder_reports = 0;
    for (const kistle::problem& p : problems) {
        entries_refused += p.code == kistle::errc::overlap;
        folder_reports += p.code == kistle::errc::folders_overlap;
    }
    EXPECT_EQ(entries_refused, 500);
    EXPECT_GE(folder_reports, 1);
}

// Names that land on one path: the first entry is the one, everywhere, and
// the others are reported.
TEST_F(hostile_test, names_that_land_on_one_path) {
    test_cabinet cabinet;
    cabinet.add_folder(0, {{"doc/readme", "first"},
                           {"./doc/readme", "second"},
                           {"doc\\readme", "third"},
                           {"doc/readme", "fourth"}});
    const std::string path = write(cabinet);
    kistle::reader in(path);
    const std::string out = scratch.file("out");
    fs::create_directory(out);
    in.extract_all(out);
    EXPECT_EQ(scratch_dir::read(out + "/doc/readme"), "first");
    std::vector<kistle::problem> problems = in.test();
    ASSERT_EQ(problems.size(), 3u);
    for (const kistle::problem& p : problems) {
        EXPECT_EQ(p.code, kistle::errc::same_path) << p.name;
        EXPECT_EQ(p.other, "doc/readme") << p.name;
    }
    ASSERT_NE(in.find_path("./doc//readme"), nullptr);
    EXPECT_EQ(in.read(*in.find_path("./doc//readme")), "first");
    EXPECT_EQ(in.read(*in.find("doc\\readme")), "third") << "find stays byte for byte";
}

TEST_F(hostile_test, a_directory_that_runs_into_the_data) {
    test_cabinet cabinet;
    cabinet.add_folder(0, {{"a", "aaaa"}, {"b", "bbbb"}});
    // The folder's blocks said to begin inside the file entries.
    cabinet.folders[0].coffCabStart = 64 + 16 + 4;
    const std::string path = write(cabinet);
    kistle::reader in(path);
    std::vector<kistle::problem> problems = in.test();
    bool reported = false;
    for (const kistle::problem& p : problems)
        reported = reported || p.code == kistle::errc::directory_overlaps;
    EXPECT_TRUE(reported);
}

// Replaces the payload of the one block of a kistle cabinet's first folder,
// which the writer puts last, and seals the cabinet again: the block's
// checksum, the cabinet's size and the directory digest all hold, so that
// only the stream itself is judged.
std::string with_payload(const std::string& cabinet, const std::string& payload,
                         uint16_t cbUncomp) {
    std::istringstream in(cabinet);
    cabinet_header header;
    EXPECT_EQ(header.read(in), 0);
    cabinet_folder_header folder;
    EXPECT_EQ(folder.read(in, header), 0);
    EXPECT_EQ(folder.cCFData, 1);
    in.seekg(static_cast<std::streamoff>(header.coffFiles));
    for (uint32_t i = 0; i < header.cFiles; ++i) {
        cabinet_file_header file;
        EXPECT_EQ(file.read(in), 0);
    }
    const std::size_t directory_end = static_cast<std::size_t>(in.tellg());

    std::string bytes = cabinet.substr(0, static_cast<std::size_t>(folder.coffCabStart));
    cabinet_datablock block;
    block.set_compressed_data(reinterpret_cast<const uint8_t*>(payload.data()),
                              static_cast<uint16_t>(payload.size()), cbUncomp);
    std::ostringstream written;
    EXPECT_EQ(block.write(written), 0);
    bytes += written.str();

    header.cbCabinet = bytes.size();
    std::fill(header.abReserve + 32, header.abReserve + 40, 0); // the digest, taken as zero
    std::ostringstream front;
    EXPECT_EQ(header.write(front), 0);
    bytes.replace(0, front.str().size(), front.str());
    uint64_t digest = XXH3_64bits(bytes.data(), directory_end);
    const std::size_t digest_at = front.str().size() - header.cbCFHeader + 32;
    for (int i = 0; i < 8; ++i)
        bytes[digest_at + i] = static_cast<char>(digest >> (8 * i));
    return bytes;
}

// A stream that zlib refuses but libdeflate reads (a length symbol the fixed
// codes lack), in a file the record keeps a checksum of: what the reader
// gives is the stored bytes or a failure, never other bytes.
TEST_F(archive_test, a_stream_only_libdeflate_reads_is_judged_by_the_record) {
    std::string libdeflate_reads;
    const std::string stream = fixed_copy(286, 0, 0, 258, 1, &libdeflate_reads);
    std::string other = libdeflate_reads;
    other.back() ^= 1;
    const struct {
        const char* label;
        std::string stored;
    } cases[] = {{"what_libdeflate_reads", libdeflate_reads}, {"other_bytes", other}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string cabinet = scratch.read(make_cabinet({{"f", c.stored}}));
        scratch.write("crafted.cab",
                      with_payload(cabinet, stream, static_cast<uint16_t>(c.stored.size())));
        kistle::reader in(scratch.file("crafted.cab"));
        ASSERT_TRUE(in.damage().empty());
        ASSERT_EQ(in.entries().size(), 1u);
        std::error_code ec;
        const std::string got = in.read(in.entries()[0], ec);
        if (!ec) {
            EXPECT_TRUE(got == c.stored) << "other bytes than were stored, reported as success";
        }
        std::vector<kistle::problem> problems = in.test(ec);
        EXPECT_EQ(problems.empty(), c.stored == libdeflate_reads);
        fs::remove_all(scratch.file("out"));
        fs::create_directory(scratch.file("out"));
        const bool written = in.extract(in.entries()[0], scratch.file("out"), ec);
        EXPECT_EQ(written, !ec);
        if (written) {
            EXPECT_TRUE(scratch.read(scratch.file("out/f")) == c.stored);
        } else {
            EXPECT_FALSE(fs::exists(scratch.file("out/f")));
        }
    }
}

} // namespace
