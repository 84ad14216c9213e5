// Laying files out over the cabinets of a set: every cabinet within its
// limits, every file's bytes in its parts exactly once and in order, and
// the entries of a file that continues marked as the format says.
#include "set_plan.h"

#include <map>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace kistle::internal;

namespace {

constexpr uint16_t from_previous = 0xFFFD, to_next = 0xFFFE, both = 0xFFFF;

// Folders of blocks that each expand to 1000 bytes and take compressed
// bytes on disk; files laid end to end over them as sizes say.
struct layout {
    std::vector<std::vector<uint32_t>> blocks; // by folder
    std::vector<planned_folder> folders;
    std::vector<planned_file> files;

    layout(std::vector<unsigned> block_counts, uint16_t compressed, std::vector<uint64_t> sizes) {
        uint64_t at = 0;
        for (unsigned count : block_counts) {
            blocks.emplace_back(count, uint32_t{compressed} << 16 | 1000);
            planned_folder folder;
            folder.data_offset = at;
            folder.blocks = blocks.back().data();
            folder.block_count = count;
            folders.push_back(folder);
            at += uint64_t{count} * (16 + compressed);
        }
        uint32_t folder = 0;
        uint64_t offset = 0;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            planned_file file;
            file.name = "f" + std::to_string(i);
            file.size = sizes[i];
            uint64_t left = sizes[i];
            do {
                const uint64_t room = uint64_t{block_counts[folder]} * 1000 - offset;
                if (room == 0 && left > 0) {
                    ++folder;
                    offset = 0;
                    continue;
                }
                const uint64_t piece = std::min(left, room);
                file.pieces.push_back({folder, offset, piece});
                offset += piece;
                left -= piece;
            } while (left > 0);
            files.push_back(file);
        }
    }
};

// Checks what holds for every plan; returns each file's entries, in
// cabinet order.
std::vector<std::vector<volume_entry>> check(const set_outcome& laid, const layout& l,
                                             const set_limits& limits) {
    std::vector<std::vector<volume_entry>> of_file(l.files.size());
    for (std::size_t v = 0; v < laid.volumes.size(); ++v) {
        const planned_volume& volume = laid.volumes[v];
        EXPECT_LE(volume.plan.entries.size(), limits.entries) << "cabinet " << v;
        EXPECT_LE(volume.plan.folders.size(), limits.folders) << "cabinet " << v;
        EXPECT_LE(directory_size(volume.plan, limits.reserve_size, true) + limits.fixed_cost +
                      limits.chain_names +
                      std::accumulate(
                          volume.plan.folders.begin(), volume.plan.folders.end(), uint64_t{0},
                          [](uint64_t sum, const volume_folder& f) { return sum + f.data_size; }),
                  limits.volume_size)
            << "cabinet " << v;
        EXPECT_EQ(volume.files.size(), volume.plan.entries.size());
        for (std::size_t e = 0; e < volume.files.size(); ++e)
            of_file[volume.files[e]].push_back(volume.plan.entries[e]);
    }
    for (std::size_t f = 0; f < l.files.size(); ++f) {
        const std::vector<volume_entry>& entries = of_file[f];
        EXPECT_FALSE(entries.empty()) << l.files[f].name;
        for (const volume_entry& e : entries) {
            EXPECT_EQ(e.name, l.files[f].name);
            EXPECT_EQ(e.fields.cbFile, l.files[f].size);
        }
        if (entries.size() > 1) {
            EXPECT_EQ(entries.front().fields.iFolder, to_next) << l.files[f].name;
            EXPECT_EQ(entries.back().fields.iFolder, from_previous) << l.files[f].name;
            for (std::size_t k = 1; k + 1 < entries.size(); ++k)
                EXPECT_EQ(entries[k].fields.iFolder, both) << l.files[f].name;
            for (std::size_t k = 1; k < entries.size(); ++k)
                EXPECT_EQ(entries[k].fields.uoffFolderStart, 0u);
        }
    }
    return of_file;
}

TEST(set_plan_test, one_cabinet_when_everything_fits) {
    layout l({10}, 100, {2500, 3000, 0, 4500});
    set_limits limits;
    set_outcome laid = plan_set(l.folders, l.files, 0, limits);
    ASSERT_EQ(laid.volumes.size(), 1u);
    EXPECT_TRUE(laid.reasons.empty());
    auto entries = check(laid, l, limits);
    EXPECT_EQ(entries[1][0].fields.uoffFolderStart, 2500u);
    EXPECT_EQ(entries[3][0].fields.iFolder, 0u);
}

// A file larger than what is left of a cabinet begins in it, passes through
// the next ones whole and ends in a later one.
TEST(set_plan_test, a_file_continues_over_cabinets_cut_at_blocks) {
    layout l({40}, 900, {1500, 30000, 700});
    set_limits limits;
    limits.volume_size = 10000; // room for a few blocks of 916 bytes each
    set_outcome laid = plan_set(l.folders, l.files, 0, limits);
    ASSERT_GE(laid.volumes.size(), 3u);
    for (const std::string& why : laid.reasons)
        EXPECT_EQ(why, "size");
    auto entries = check(laid, l, limits);
    ASSERT_GE(entries[1].size(), 3u);
    EXPECT_EQ(entries[1][0].fields.uoffFolderStart, 1500u);
    for (const planned_volume& volume : laid.volumes)
        for (const volume_folder& folder : volume.plan.folders)
            EXPECT_EQ(folder.data_size % 916, 0u) << "cabinets end at a block boundary";
}

// A cabinet ends where it would hold more entries than it may, also where
// the files have no bytes (which once all went into the first).
TEST(set_plan_test, entries_past_the_limit_go_on_in_the_next_cabinet) {
    struct case_ {
        std::vector<uint64_t> sizes;
        std::size_t volumes;
    };
    // At most two files with bytes begin in any one block here.
    for (const case_& c : {case_{{0, 0, 0, 0, 0, 0, 0}, 3},
                           case_{{900, 0, 0, 1500, 0, 0, 2000, 0}, 3}, case_{{3000, 0, 0, 0}, 2}}) {
        layout l({10}, 100, c.sizes);
        set_limits limits;
        limits.entries = 3;
        set_outcome laid = plan_set(l.folders, l.files, 0, limits);
        EXPECT_GE(laid.volumes.size(), c.volumes) << c.sizes.size();
        check(laid, l, limits);
        for (const std::string& why : laid.reasons)
            EXPECT_EQ(why, "files");
    }
}

// A file no folder holds goes on in the writer's next folder; a cabinet
// keeps a file in one folder, so the next folder begins a cabinet.
TEST(set_plan_test, a_file_larger_than_a_folder_begins_a_cabinet_at_the_next_folder) {
    layout l({4, 4}, 100, {500, 6000, 200});
    ASSERT_EQ(l.files[1].pieces.size(), 2u);
    set_limits limits;
    set_outcome laid = plan_set(l.folders, l.files, 0, limits);
    ASSERT_EQ(laid.volumes.size(), 2u);
    EXPECT_EQ(laid.reasons, std::vector<std::string>{"a file larger than a folder"});
    auto entries = check(laid, l, limits);
    ASSERT_EQ(entries[1].size(), 2u);
    EXPECT_EQ(entries[1][0].fields.uoffFolderStart, 500u);
    EXPECT_EQ(entries[2][0].fields.iFolder, 0u);
    EXPECT_EQ(entries[2][0].fields.uoffFolderStart, 2500u);
}

TEST(set_plan_test, a_volume_without_room_for_a_block_is_too_small) {
    layout l({3}, 900, {2500});
    set_limits limits;
    limits.volume_size = 600;
    EXPECT_TRUE(plan_set(l.folders, l.files, 0, limits).too_small);
}

} // namespace
