// No change to any byte of a kistle cabinet leads to a wrong name, size,
// time, mode, link target or byte reported as success: every single-byte
// change, and pairs that a stored block's checksum cannot see.
#include <kistle/archive.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "cabinet_parse.h"

namespace fs = std::filesystem;

namespace {

class damage_sweep_test : public archive_test {
protected:
    std::string cabinet_path = scratch.file("good.cab");
    std::string damaged_path = scratch.file("damaged.cab");
    std::vector<kistle::entry> truth;
    std::vector<std::string> contents;

    // A deflate folder and a stored one, a directory and a link.
    void make_cabinet() {
        fs::create_directories(scratch.file("tree/dir"));
        scratch.write("tree/dir/a.txt", std::string(300, 'a') + "end");
        scratch.write("tree/b.bin", sample_bytes(5000, 3));
        fs::create_symlink("dir/a.txt", scratch.file("tree/link"));
        kistle::writer out(cabinet_path);
        out.add_tree(scratch.file("tree"), "tree");
        out.new_folder(kistle::compression::stored);
        kistle::entry_options options;
        options.modified = kistle::file_time{1709647628, 5};
        options.mode = 0751;
        out.add_bytes("stored.txt", "stored bytes, each word checked" + std::string(64, 's'),
                      options);
        out.commit();
        kistle::reader in(cabinet_path);
        truth = in.entries();
        for (const kistle::entry& e : in.entries())
            contents.push_back(e.type == kistle::entry_type::directory ||
                                       e.type == kistle::entry_type::symlink
                                   ? std::string()
                                   : in.read(e));
    }

    // The truth's entry named name, or null.
    const kistle::entry* original(const std::string& name) const {
        for (const kistle::entry& e : truth)
            if (e.name == name)
                return &e;
        return nullptr;
    }

    // Checks what a reader says of the damaged cabinet; counts what it
    // called sound.
    void judge(const std::string& bytes, const std::string& what, int& passed) {
        scratch.write("damaged.cab", bytes);
        std::error_code ec;
        kistle::reader in;
        in.open(damaged_path, ec);
        if (ec)
            return;
        std::vector<kistle::problem> problems = in.test(ec);
        const bool sound = !ec && problems.empty() && in.damage().empty();
        if (sound) {
            ++passed;
            ASSERT_EQ(in.entries().size(), truth.size()) << what;
        }
        for (std::size_t i = 0; i < in.entries().size(); ++i) {
            const kistle::entry& e = in.entries()[i];
            // What the reader vouches for must be what was stored.
            if (sound || e.verified) {
                const kistle::entry* was = original(e.name);
                ASSERT_NE(was, nullptr) << what << ": a name never stored: " << e.name;
                EXPECT_EQ(e.type, was->type) << what << ": " << e.name;
                EXPECT_EQ(e.size, was->size) << what << ": " << e.name;
                EXPECT_EQ(e.mode, was->mode) << what << ": " << e.name;
                EXPECT_EQ(e.modified, was->modified) << what << ": " << e.name;
                EXPECT_EQ(e.modified_nanoseconds, was->modified_nanoseconds) << what;
                EXPECT_EQ(e.link_target, was->link_target) << what << ": " << e.name;
            }
            if (e.type == kistle::entry_type::directory || e.type == kistle::entry_type::symlink)
                continue;
            std::string read = in.read(e, ec);
            if (!ec && (sound || e.verified)) {
                const kistle::entry* was = original(e.name);
                ASSERT_NE(was, nullptr);
                EXPECT_TRUE(read == contents[static_cast<std::size_t>(was - truth.data())])
                    << what << ": wrong bytes of " << e.name;
            }
        }
    }
};

TEST_F(damage_sweep_test, single_bytes_never_pass_for_something_else) {
    make_cabinet();
    const std::string good = scratch_dir::read(cabinet_path);
    int passed = 0;
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (int flip : {0x01, 0x80}) {
            std::string bytes = good;
            bytes[at] = static_cast<char>(bytes[at] ^ flip);
            judge(bytes, "byte " + std::to_string(at) + " ^ " + std::to_string(flip), passed);
            if (HasFatalFailure())
                return;
        }
    }
    // Only bytes that nothing reads may change unnoticed: the padding of
    // the block headers, four bytes each, flipped two ways.
    kistle::reader in(cabinet_path);
    int blocks = 0;
    for (const kistle::folder_info& folder : in.folders())
        blocks += folder.blocks;
    EXPECT_LE(passed, blocks * 4 * 2) << "changes that passed for sound";
}

// The same bit flipped in two words of a stored block cancels out in the
// block's checksum; the file's own checksum still sees it.
TEST_F(damage_sweep_test, paired_changes_in_a_stored_block) {
    make_cabinet();
    const std::string good = scratch_dir::read(cabinet_path);
    const std::size_t payload = good.find("stored bytes");
    ASSERT_NE(payload, std::string::npos);
    int passed = 0;
    for (std::size_t at = payload; at + 4 < payload + 90; ++at) {
        std::string bytes = good;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
        bytes[at + 4] = static_cast<char>(bytes[at + 4] ^ 0x10);
        judge(bytes, "bytes " + std::to_string(at) + " and +4", passed);
        if (HasFatalFailure())
            return;
    }
    EXPECT_EQ(passed, 0);
}

} // namespace
