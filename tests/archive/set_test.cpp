// Sets of cabinets through the interface: a writer given a volume size
// writes cabinets no larger, each a cabinet of its own, that a reader reads
// back as one; a cabinet that is missing or of another set costs the files
// that need it, and says which.
#include <kistle/archive.h>
#include <kistle/cabinet_reader.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive_fixture.h"

namespace fs = std::filesystem;

namespace {

using set_test = archive_test;

// Bytes deflate cannot shrink, so that sizes on disk are known.
std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

struct stored {
    std::string name, bytes;
};

// A set of files, one larger than three cabinets of volume_size, written
// with that volume size; returns the files.
std::vector<stored> write_set(const std::string& path, uint64_t volume_size, unsigned seed) {
    std::vector<stored> files = {{"a.txt", "small and first"},
                                 {"big/one.bin", noise(700 * 1024, seed)},
                                 {"big/empty", ""},
                                 {"mid.bin", noise(150 * 1024, seed + 1)},
                                 {"z.txt", std::string(20000, 'z')}};
    kistle::writer out;
    out.set_volume_size(volume_size);
    out.open(path);
    for (const stored& f : files)
        out.add_bytes(f.name, f.bytes, archive_test::modified);
    out.commit();
    return files;
}

TEST_F(set_test, cabinets_within_the_size_read_back_as_one) {
    const uint64_t limit = 200 * 1024;
    const std::string path = scratch.file("set.cab");
    const std::vector<stored> files = write_set(path, limit, 1);

    kistle::reader in(path);
    const std::vector<kistle::volume_info>& volumes = in.volumes();
    ASSERT_GE(volumes.size(), 5u);
    EXPECT_EQ(volumes[1].path, scratch.file("set.2.cab"));
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        EXPECT_FALSE(volumes[v].status) << v;
        EXPECT_EQ(volumes[v].index, v);
        EXPECT_EQ(volumes[v].set_id, volumes[0].set_id);
        EXPECT_LE(fs::file_size(volumes[v].path), limit) << v;
        // Each is a cabinet of its own for any reader of the format.
        cabinet_reader alone;
        EXPECT_EQ(alone.open(volumes[v].path.c_str()), 0) << v;
    }
    EXPECT_NE(volumes[0].set_id, 0);
    EXPECT_FALSE(fs::exists(scratch.file("set." + std::to_string(volumes.size() + 1) + ".cab")));

    ASSERT_EQ(in.entries().size(), files.size());
    for (const stored& f : files) {
        const kistle::entry* e = in.find(f.name);
        ASSERT_NE(e, nullptr) << f.name;
        EXPECT_EQ(e->size, f.bytes.size());
        EXPECT_TRUE(e->verified);
        EXPECT_TRUE(in.read(*e) == f.bytes) << f.name;
    }
    EXPECT_EQ(in.find("a.txt")->volume, 0u);
    EXPECT_GE(in.find("z.txt")->volume, 3u);
    EXPECT_TRUE(in.test().empty());
    EXPECT_TRUE(in.damage().empty());

    // Extraction takes the parts from every cabinet too.
    fs::create_directory(scratch.file("out"));
    in.extract_all(scratch.file("out"));
    for (const stored& f : files)
        EXPECT_TRUE(scratch_dir::read(scratch.file("out/" + f.name)) == f.bytes) << f.name;
}

// The same files give the same set, byte for byte; other files another
// set identifier.
TEST_F(set_test, the_set_follows_from_its_contents) {
    for (const char* directory : {"one", "two", "three"})
        fs::create_directory(scratch.file(directory));
    write_set(scratch.file("one/set.cab"), 200 * 1024, 1);
    write_set(scratch.file("two/set.cab"), 200 * 1024, 1);
    write_set(scratch.file("three/set.cab"), 200 * 1024, 2);
    for (const char* part : {"set.cab", "set.2.cab", "set.3.cab"}) {
        EXPECT_TRUE(scratch_dir::read(scratch.file(std::string("one/") + part)) ==
                    scratch_dir::read(scratch.file(std::string("two/") + part)))
            << part;
    }
    EXPECT_NE(kistle::reader(scratch.file("one/set.cab")).volumes()[0].set_id,
              kistle::reader(scratch.file("three/set.cab")).volumes()[0].set_id);
    // What fits in one cabinet is one cabinet, of no set.
    kistle::writer small;
    small.set_volume_size(200 * 1024);
    small.open(scratch.file("small.cab"));
    small.add_bytes("a", "a", modified);
    small.commit();
    kistle::reader single(scratch.file("small.cab"));
    ASSERT_EQ(single.volumes().size(), 1u);
    EXPECT_EQ(single.volumes()[0].set_id, 0);
    EXPECT_FALSE(fs::exists(scratch.file("small.2.cab")));
}

// A cabinet gone, renamed, or of another set: the files it holds a part of
// fail with why and which cabinet; the cabinets after it are found by the
// naming rule, and every file that does not need it reads as ever.
TEST_F(set_test, a_missing_or_foreign_cabinet_costs_only_the_files_that_need_it) {
    struct case_ {
        const char* what;
        kistle::errc expected;
        void (*spoil)(const scratch_dir&);
    };
    const case_ cases[] = {
        {"missing", kistle::errc::volume_missing,
         [](const scratch_dir& s) { fs::remove(s.file("set.2.cab")); }},
        {"renamed", kistle::errc::volume_missing,
         [](const scratch_dir& s) { fs::rename(s.file("set.2.cab"), s.file("set-two.cab")); }},
        {"foreign", kistle::errc::foreign_volume,
         [](const scratch_dir& s) {
             fs::copy_file(s.file("other.2.cab"), s.file("set.2.cab"),
                           fs::copy_options::overwrite_existing);
         }},
        {"out of place", kistle::errc::foreign_volume,
         [](const scratch_dir& s) {
             fs::copy_file(s.file("set.4.cab"), s.file("set.2.cab"),
                           fs::copy_options::overwrite_existing);
         }},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.what);
        for (const fs::directory_entry& e : fs::directory_iterator(scratch.path()))
            if (e.path().extension() == ".cab")
                fs::remove(e.path());
        const std::vector<stored> files = write_set(scratch.file("set.cab"), 200 * 1024, 1);
        write_set(scratch.file("other.cab"), 200 * 1024, 5);
        const std::size_t count = kistle::reader(scratch.file("set.cab")).volumes().size();
        c.spoil(scratch);

        kistle::reader in(scratch.file("set.cab"));
        ASSERT_EQ(in.volumes().size(), count);
        EXPECT_EQ(in.volumes()[1].status, c.expected);
        EXPECT_EQ(in.volumes()[1].path, scratch.file("set.2.cab"));
        for (std::size_t v = 2; v < count; ++v)
            EXPECT_FALSE(in.volumes()[v].status) << v;
        // Before it and after it: read as ever.
        EXPECT_TRUE(in.read(*in.find("a.txt")) == files[0].bytes);
        ASSERT_NE(in.find("z.txt"), nullptr);
        EXPECT_TRUE(in.read(*in.find("z.txt")) == files[4].bytes);
        std::error_code ec;
        in.read(*in.find("big/one.bin"), ec);
        EXPECT_EQ(ec, c.expected);
        try {
            in.read(*in.find("big/one.bin"));
            ADD_FAILURE() << "read a file without its second cabinet";
        } catch (const kistle::error& e) {
            EXPECT_NE(std::string(e.what()).find("set.2.cab"), std::string::npos) << e.what();
        }
        EXPECT_EQ(std::count_if(in.entries().begin(), in.entries().end(),
                                [](const kistle::entry& e) { return e.name == "big/one.bin"; }),
                  1);
        bool told = false;
        for (const kistle::problem& p : in.test())
            told = told || (p.name == "big/one.bin" && p.code == c.expected);
        EXPECT_TRUE(told);
    }
}

// A later cabinet whose entry of a continued file is damaged: the file
// fails, and each problem is told once.
TEST_F(set_test, a_damaged_entry_in_a_later_cabinet_fails_its_file_once) {
    write_set(scratch.file("set.cab"), 200 * 1024, 1);
    std::string image = scratch_dir::read(scratch.file("set.3.cab"));
    const std::size_t at = image.find("big/one.bin");
    ASSERT_NE(at, std::string::npos);
    image[at] = 'B';
    scratch.write("set.3.cab", image);

    kistle::reader in(scratch.file("set.cab"));
    std::error_code ec;
    in.read(*in.find("big/one.bin"), ec);
    EXPECT_EQ(ec, kistle::errc::entry_mismatch);
    EXPECT_TRUE(in.read(*in.find("a.txt")) == "small and first");
    const std::vector<kistle::problem> problems = in.test();
    EXPECT_FALSE(problems.empty());
    for (std::size_t i = 0; i < problems.size(); ++i)
        for (std::size_t j = i + 1; j < problems.size(); ++j)
            EXPECT_FALSE(problems[i].name == problems[j].name &&
                         problems[i].code == problems[j].code &&
                         problems[i].other == problems[j].other)
                << problems[i].name << " told twice";
}

// A later cabinet read alone lists what it holds; the file whose first
// bytes are in the cabinet before says so.
TEST_F(set_test, a_later_cabinet_alone_is_part_of_a_set) {
    write_set(scratch.file("set.cab"), 200 * 1024, 1);
    kistle::reader in(scratch.file("set.2.cab"));
    ASSERT_EQ(in.volumes().size(), 1u);
    EXPECT_EQ(in.volumes()[0].status, kistle::errc::set_continued);
    const kistle::entry* big = in.find("big/one.bin");
    ASSERT_NE(big, nullptr);
    std::error_code ec;
    in.read(*big, ec);
    EXPECT_EQ(ec, kistle::errc::set_continued);
}

// A later cabinet's name is checked as the first one's: a file there that
// is not a cabinet stays, and so does everything else.
TEST_F(set_test, a_file_at_a_later_cabinets_name_stays) {
    scratch.write("set.2.cab", "my notes");
    EXPECT_THROW(write_set(scratch.file("set.cab"), 200 * 1024, 1), kistle::error);
    EXPECT_EQ(scratch_dir::read(scratch.file("set.2.cab")), "my notes");
    EXPECT_FALSE(fs::exists(scratch.file("set.cab")));
    EXPECT_FALSE(fs::exists(scratch.file("set.3.cab")));
    try {
        write_set(scratch.file("set.cab"), 200 * 1024, 1);
    } catch (const kistle::error& e) {
        EXPECT_EQ(e.code(), kistle::errc::not_a_cabinet);
        EXPECT_EQ(e.path(), scratch.file("set.2.cab"));
    }
}

// A set is files side by side: not a stream, and not a change made in
// place to one of its cabinets.
TEST_F(set_test, a_set_is_not_written_to_a_stream) {
    std::ostringstream streamed;
    kistle::writer out;
    out.set_volume_size(200 * 1024);
    out.open(streamed);
    out.add_bytes("noise", noise(500 * 1024, 4), modified);
    std::error_code ec;
    out.commit(ec);
    EXPECT_EQ(ec, kistle::errc::set_to_stream);
    EXPECT_TRUE(streamed.str().empty());
}

// A set is changed from its first cabinet as one archive: what stays is
// stored again in the old order, the cabinets the new set no longer needs
// go, and a later cabinet alone is refused.
TEST_F(set_test, a_set_is_changed_as_a_whole) {
    const std::string path = scratch.file("set.cab");
    std::vector<stored> files = write_set(path, 200 * 1024, 1);
    const std::size_t old_count = kistle::reader(path).volumes().size();
    ASSERT_GE(old_count, 5u);

    std::error_code ec;
    kistle::writer later;
    later.edit(scratch.file("set.2.cab"), ec);
    EXPECT_EQ(ec, kistle::errc::set_unchangeable);

    kistle::writer change;
    change.edit(path);
    EXPECT_EQ(change.remove([](const kistle::entry& e) { return e.name == "big/one.bin"; }), 1u);
    change.add_bytes("new.txt", "added last", modified);
    change.add_bytes("z.txt", "replaced in place", modified);
    change.commit();
    files.erase(files.begin() + 1);
    files[3].bytes = "replaced in place";
    files.push_back({"new.txt", "added last"});

    // What is left fits one cabinet: the others are gone.
    for (std::size_t v = 2; v <= old_count; ++v)
        EXPECT_FALSE(fs::exists(scratch.file("set." + std::to_string(v) + ".cab"))) << v;
    kistle::reader in(path);
    EXPECT_EQ(in.volumes().size(), 1u);
    ASSERT_EQ(in.entries().size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const kistle::entry& e = in.entries()[i];
        EXPECT_EQ(e.name, files[i].name);
        EXPECT_EQ(e.modified, modified) << e.name;
        EXPECT_TRUE(in.read(e) == files[i].bytes) << e.name;
    }
    EXPECT_TRUE(in.test().empty());
    EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty());
}

// Hard links of a set keep their bytes when their first name goes, and a
// set changed within a volume size stays a set.
TEST_F(set_test, a_sets_hard_links_survive_a_change) {
    fs::create_directories(scratch.file("tree/sub"));
    const std::string shared = noise(300 * 1024, 9);
    scratch.write("tree/first", shared);
    fs::create_hard_link(scratch.file("tree/first"), scratch.file("tree/sub/second"));
    fs::create_hard_link(scratch.file("tree/first"), scratch.file("tree/third"));
    scratch.write("tree/other", noise(250 * 1024, 10));
    const std::string path = scratch.file("links.cab");
    {
        kistle::writer out;
        out.set_volume_size(200 * 1024);
        out.open(path);
        out.add_tree(scratch.file("tree"), "tree");
        out.commit();
    }
    kistle::writer change;
    change.set_volume_size(200 * 1024);
    change.edit(path);
    change.remove([](const kistle::entry& e) { return e.name == "tree/first"; });
    change.commit();

    kistle::reader in(path);
    EXPECT_GE(in.volumes().size(), 3u);
    EXPECT_EQ(in.find("tree/first"), nullptr);
    const kistle::entry* second = in.find("tree/sub/second");
    const kistle::entry* third = in.find("tree/third");
    ASSERT_NE(second, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(second->type, kistle::entry_type::file);
    EXPECT_EQ(third->type, kistle::entry_type::hardlink);
    EXPECT_EQ(third->link_target, "tree/sub/second");
    EXPECT_TRUE(in.read(*second) == shared);
    EXPECT_TRUE(in.read(*third) == shared);
    ASSERT_NE(in.find("tree/sub"), nullptr);
    EXPECT_EQ(in.find("tree/sub")->type, kistle::entry_type::directory);
    EXPECT_TRUE(in.test().empty());
}

// A change that takes a cabinet past the volume size makes a set of it:
// the folders that stay whole are copied into the set's cabinets, and every
// entry reads back from them.
TEST_F(set_test, a_change_past_the_volume_size_makes_the_cabinet_a_set) {
    const std::string path = scratch.file("one.cab");
    std::vector<stored> files = {{"a.txt", "replaced later"},
                                 {"keep/one.bin", noise(150 * 1024, 5)},
                                 {"keep/two.bin", noise(120 * 1024, 6)},
                                 {"keep/z.txt", std::string(30000, 'z')}};
    {
        kistle::writer out;
        out.set_folder_size(100 * 1024);
        out.open(path);
        for (const stored& f : files)
            out.add_bytes(f.name, f.bytes, modified);
        out.commit();
    }
    ASSERT_FALSE(fs::exists(scratch.file("one.2.cab")));

    const uint64_t limit = 150 * 1024;
    kistle::writer change;
    change.set_volume_size(limit);
    change.edit(path);
    files[0].bytes = "the new a";
    files.push_back({"new.bin", noise(200 * 1024, 7)});
    change.add_bytes(files[0].name, files[0].bytes, modified);
    change.add_bytes(files.back().name, files.back().bytes, modified);
    change.commit();

    kistle::reader in(path);
    ASSERT_GE(in.volumes().size(), 4u);
    for (const kistle::volume_info& volume : in.volumes()) {
        EXPECT_FALSE(volume.status) << volume.path;
        EXPECT_LE(fs::file_size(volume.path), limit) << volume.path;
    }
    ASSERT_EQ(in.entries().size(), files.size());
    for (const stored& f : files) {
        const kistle::entry* e = in.find(f.name);
        ASSERT_NE(e, nullptr) << f.name;
        EXPECT_TRUE(in.read(*e) == f.bytes) << f.name;
    }
    EXPECT_TRUE(in.test().empty());
}

TEST_F(set_test, a_volume_size_without_room_for_a_block_fails_and_leaves_nothing) {
    kistle::writer out;
    out.set_volume_size(4096);
    out.open(scratch.file("tiny.cab"));
    out.add_bytes("noise", noise(100000, 3), modified);
    std::error_code ec;
    out.commit(ec);
    EXPECT_EQ(ec, kistle::errc::volume_too_small);
    EXPECT_FALSE(fs::exists(scratch.file("tiny.cab")));
    EXPECT_FALSE(fs::exists(scratch.file("tiny.2.cab")));
    EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty());
}

} // namespace
