// Where a cabinet's parts go: one computation for the whole cabinet and for
// each folder's share of it.
#include "cabinet_layout.h"

#include <sstream>

#include <gtest/gtest.h>

#include <kistle/cabinet_header.h>
#include <kistle/cfc_folderinfo.h>

using namespace kistle::internal;

namespace {

TEST(cabinet_layout, parts_in_order) {
    cabinet_parts parts;
    parts.header_size = 72;
    parts.folders = 3;
    parts.folder_reserve = 2;
    parts.entries_size = 100;
    parts.leading_size = 50;
    parts.data_size = 1000;
    const cabinet_layout layout = lay_out(parts);
    EXPECT_EQ(layout.coffFiles, 72u + 3 * 18);
    EXPECT_EQ(layout.data_start, layout.coffFiles + 100);
    EXPECT_EQ(layout.folders_data, layout.data_start + 50);
    EXPECT_EQ(layout.cbCabinet, layout.folders_data + 1000);
}

// The header's size is what it writes: with a reserve area and the chain
// names of a cabinet in a set, whatever its set and number.
TEST(cabinet_layout, header_size_is_what_the_header_writes) {
    struct header_case {
        uint16_t flags;
        uint16_t reserve;
        const char* names[4];
    };
    for (const header_case& c :
         {header_case{0, 0, {}}, header_case{cfhdrRESERVE_PRESENT, 20, {}},
          header_case{cfhdrPREV_CABINET, 0, {"a.cab", "disk 1", nullptr, nullptr}},
          header_case{cfhdrNEXT_CABINET | cfhdrRESERVE_PRESENT, 3, {nullptr, nullptr, "c.cab", ""}},
          header_case{cfhdrPREV_CABINET | cfhdrNEXT_CABINET, 0, {"a", "", "ccc", "d"}}}) {
        cabinet_header header;
        header.flags = c.flags;
        header.setID = 0x1234;
        header.iCabinet = 2;
        header.cbCFHeader = c.reserve;
        uint8_t area[32] = {};
        header.abReserve = c.reserve != 0 ? area : nullptr;
        b_string* names[4] = {&header.szCabinetPrev, &header.szDiskPrev, &header.szCabinetNext,
                              &header.szDiskNext};
        for (int i = 0; i < 4; ++i)
            if (c.names[i] != nullptr)
                *names[i] = c.names[i];
        std::ostringstream out;
        ASSERT_EQ(header.write(out), 0);
        header.abReserve = nullptr;
        EXPECT_EQ(header_size_of(header), out.str().size()) << c.flags;
    }
}

// A folder's share is its entry, its file entries (those continued from or
// to another cabinet too) and its blocks; close adds exactly that.
TEST(cabinet_layout, a_folders_share_is_what_close_adds) {
    std::ostringstream data;
    cfc_folderinfo folder;
    ASSERT_EQ(folder.open(data, 0, 0, 0, 0, nullptr), 0);
    ASSERT_EQ(folder.add_entry("a.txt", 0, 0, 10, 0, 0, 0), 0);
    ASSERT_EQ(folder.add_entry("continued/b", 0xFFFD, 0, 5, 0, 0, 0), 0);
    ASSERT_EQ(folder.process_block(reinterpret_cast<const uint8_t*>("0123456789"), 10), 0);
    const cabinet_parts parts = folder_parts(folder);
    EXPECT_EQ(parts.entries_size, (24u + 6) + (24u + 12));
    EXPECT_EQ(parts.data_size, 26u);
    QueueOf<cfc_fileinfo> entries;
    uint64_t size = 0, start = 0;
    folder.close(entries, size, start);
    const cabinet_layout share = lay_out(parts);
    EXPECT_EQ(start, share.data_start);
    EXPECT_EQ(size, share.cbCabinet);
    EXPECT_EQ(entries.count, 2u);
}

} // namespace
