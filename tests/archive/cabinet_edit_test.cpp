// kistle::writer::edit, and pipes: a cabinet changed in place (folders that
// keep every entry copied block for block, the others rebuilt, the record's
// facts kept, damage refused), and cabinets written to and read from
// streams.
#include <kistle/archive.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "cabinet_parse.h"

namespace {

class cabinet_edit_test : public archive_test {
protected:
    // Five files of 40000 bytes in folders of at most 100000: a.bin and
    // b.bin share folder 0, c.bin and d.bin folder 1, e.bin folder 2.
    std::string make_folders(bool plain = false) {
        const std::string path = scratch.file("edit.cab");
        kistle::writer out;
        out.set_plain(plain);
        out.set_folder_size(100000);
        out.open(path);
        for (char c = 'a'; c <= 'e'; ++c)
            out.add_bytes(std::string(1, c) + ".bin", bytes_of(c), modified);
        out.commit();
        return path;
    }
    static std::string bytes_of(char c) { return sample_bytes(40000, static_cast<unsigned>(c)); }

    std::map<std::string, std::string> contents(const std::string& path) {
        kistle::reader in(path);
        EXPECT_TRUE(in.test().empty());
        std::map<std::string, std::string> found;
        for (const kistle::entry& e : in.entries())
            found[e.name] = e.type == kistle::entry_type::directory ? "/" : in.read(e);
        return found;
    }
};

// Only the folder that loses an entry is compressed again: a different
// level changes its blocks and no other folder's.
TEST_F(cabinet_edit_test, folders_that_keep_every_entry_are_copied_block_for_block) {
    const std::string path = make_folders();
    std::vector<kistle::folder_info> before = kistle::reader(path).folders();
    std::vector<std::pair<kistle::change, std::string>> told;
    kistle::writer out;
    out.set_level(1);
    out.set_changes([&](kistle::change what, const std::string& name) {
        told.push_back({what, name});
    });
    out.edit(path);
    EXPECT_EQ(out.remove([](const kistle::entry& e) { return e.name == "c.bin"; }), 1u);
    out.add_bytes("f.bin", "new", modified);
    out.add_bytes("a.bin", "replaced", modified);
    EXPECT_EQ(out.size(), 5u);
    out.commit();

    const std::vector<std::pair<kistle::change, std::string>> expected = {
        {kistle::change::removed, "c.bin"},
        {kistle::change::added, "f.bin"},
        {kistle::change::replaced, "a.bin"}};
    EXPECT_EQ(told, expected);
    kistle::reader in(path);
    std::vector<std::string> names;
    for (const kistle::entry& e : in.entries())
        names.push_back(e.name);
    // A replacement takes the old entry's place; what is new comes last.
    EXPECT_EQ(names, (std::vector<std::string>{"a.bin", "b.bin", "d.bin", "e.bin", "f.bin"}));
    EXPECT_EQ(contents(path), (std::map<std::string, std::string>{{"a.bin", "replaced"},
                                                                  {"b.bin", bytes_of('b')},
                                                                  {"d.bin", bytes_of('d')},
                                                                  {"e.bin", bytes_of('e')},
                                                                  {"f.bin", "new"}}));
    // Folder 2 (e.bin) is copied; folder 1 lost c.bin and is rebuilt at
    // level 1; folder 0 lost a.bin and keeps only b.bin.
    std::vector<kistle::folder_info> after = in.folders();
    auto with_size = [&](uint64_t uncompressed, uint64_t compressed) {
        for (const kistle::folder_info& f : after)
            if (f.uncompressed_size == uncompressed && f.compressed_size == compressed)
                return true;
        return false;
    };
    EXPECT_TRUE(with_size(before[2].uncompressed_size, before[2].compressed_size));
    EXPECT_FALSE(with_size(before[1].uncompressed_size, before[1].compressed_size));
}

// A hard link whose first name goes becomes the file; the record's facts
// of what stays (mode, owner, time, link target) survive; a link to a
// first name that stays still links.
TEST_F(cabinet_edit_test, record_facts_and_hard_links_survive) {
    namespace fs = std::filesystem;
    const fs::path tree = scratch.file("tree");
    fs::create_directories(tree / "sub");
    std::ofstream(tree / "first") << "shared bytes";
    std::ofstream(tree / "other") << "other";
    fs::create_hard_link(tree / "first", tree / "sub/link");
    fs::create_hard_link(tree / "other", tree / "sub/other_link");
    fs::create_symlink("first", tree / "sym");
    fs::permissions(tree / "other", fs::perms(0750));
    const std::string path = scratch.file("links.cab");
    {
        kistle::writer out(path);
        out.add_tree(tree, "t");
        out.commit();
    }
    const kistle::entry old_other = *kistle::reader(path).find("t/other");
    kistle::writer out;
    out.edit(path);
    out.remove([](const kistle::entry& e) { return e.name == "t/first"; });
    out.commit();

    kistle::reader in(path);
    EXPECT_TRUE(in.damage().empty());
    EXPECT_TRUE(in.test().empty());
    EXPECT_EQ(in.find("t/first"), nullptr);
    const kistle::entry* link = in.find("t/sub/link");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->type, kistle::entry_type::file);
    EXPECT_EQ(in.read(*link), "shared bytes");
    const kistle::entry* other_link = in.find("t/sub/other_link");
    ASSERT_NE(other_link, nullptr);
    EXPECT_EQ(other_link->type, kistle::entry_type::hardlink);
    EXPECT_EQ(other_link->link_target, "t/other");
    const kistle::entry* other = in.find("t/other");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->mode, old_other.mode);
    EXPECT_EQ(other->modified_nanoseconds, old_other.modified_nanoseconds);
    EXPECT_EQ(other->owner->id, old_other.owner->id);
    EXPECT_EQ(in.find("t/sym")->link_target, "first");
}

// Unchanged paths stay unread; a changed, a new and a missing one are
// replaced, added and removed.
TEST_F(cabinet_edit_test, update_keeps_what_did_not_change) {
    namespace fs = std::filesystem;
    const fs::path tree = scratch.file("tree");
    fs::create_directories(tree);
    std::ofstream(tree / "same") << "same";
    std::ofstream(tree / "changed") << "old";
    std::ofstream(tree / "gone") << "gone";
    const std::string path = scratch.file("update.cab");
    {
        kistle::writer out(path);
        out.add_tree(tree, "t");
        out.commit();
    }
    std::ofstream(tree / "changed") << "new, longer";
    std::ofstream(tree / "added") << "added";
    fs::remove(tree / "gone");
    std::vector<std::pair<kistle::change, std::string>> told;
    kistle::writer out;
    out.set_changes([&](kistle::change what, const std::string& name) {
        if (name != "t") // the directory's time changed too
            told.push_back({what, name});
    });
    out.edit(path);
    kistle::tree_options options;
    options.keep_unchanged = true;
    options.remove_missing = true;
    out.add_tree(tree, "t", options);
    out.commit();
    const std::vector<std::pair<kistle::change, std::string>> expected = {
        {kistle::change::added, "t/added"},
        {kistle::change::replaced, "t/changed"},
        {kistle::change::removed, "t/gone"}};
    EXPECT_EQ(told, expected);
    EXPECT_EQ(
        contents(path),
        (std::map<std::string, std::string>{
            {"t", "/"}, {"t/added", "added"}, {"t/changed", "new, longer"}, {"t/same", "same"}}));
}

// A plain cabinet stays plain.
TEST_F(cabinet_edit_test, a_plain_cabinet_stays_plain) {
    const std::string path = make_folders(true);
    kistle::writer out;
    out.edit(path);
    out.add_bytes("z.txt", "z", modified);
    out.commit();
    kistle::reader in(path);
    EXPECT_EQ(in.info().record, kistle::record_status::none);
    EXPECT_EQ(in.entries().size(), 6u);
    EXPECT_EQ(in.read(*in.find("z.txt")), "z");
    EXPECT_EQ(in.read(*in.find("e.bin")), bytes_of('e'));
}

// Damage in a folder that would be copied is found as it is copied; the
// old cabinet is left as it was.
TEST_F(cabinet_edit_test, a_damaged_block_is_refused_and_the_cabinet_kept) {
    const std::string path = make_folders();
    std::string image;
    {
        std::ifstream in(path, std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(in), {});
    }
    // The last byte belongs to the last block of e.bin's folder.
    image[image.size() - 1] ^= 0x55;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << image;
    kistle::writer out;
    out.edit(path);
    out.add_bytes("f.bin", "new", modified);
    std::error_code ec;
    out.commit(ec);
    EXPECT_EQ(ec, kistle::errc::checksum);
    EXPECT_FALSE(out.is_open());
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), image);
}

// A cabinet written to a stream reads back from a stream; what is not a
// cabinet is refused at once.
// A cabinet cut by someone else while it is being changed: the copy of its
// folders fails with an error, never a fault, and nothing replaces it.
TEST_F(cabinet_edit_test, a_cabinet_cut_meanwhile_fails_the_change) {
    const std::string path = make_folders();
    kistle::writer out;
    out.edit(path);
    out.add_bytes("new.txt", "new", modified);
    ASSERT_EQ(truncate(path.c_str(), 3000), 0);
    std::error_code ec;
    out.commit(ec);
    EXPECT_TRUE(ec);
    EXPECT_EQ(std::filesystem::file_size(path), 3000u);
}

TEST_F(cabinet_edit_test, cabinets_go_through_streams) {
    std::stringstream pipe;
    {
        kistle::writer out;
        out.open(pipe);
        out.add_bytes("big.bin", bytes_of('x'), modified);
        out.add_bytes("small.txt", "small", modified);
        out.commit();
    }
    kistle::reader in;
    in.open(pipe);
    EXPECT_EQ(in.path(), "-");
    EXPECT_TRUE(in.test().empty());
    EXPECT_EQ(in.read(*in.find("big.bin")), bytes_of('x'));
    EXPECT_EQ(in.read(*in.find("small.txt")), "small");
    in.close();

    std::istringstream not_a_cabinet("this is not a cabinet");
    std::error_code ec;
    in.open(not_a_cabinet, ec);
    EXPECT_EQ(ec, kistle::errc::bad_data);
    EXPECT_FALSE(in.is_open());
}

} // namespace
