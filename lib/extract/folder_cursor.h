// A cursor over one folder's uncompressed stream (internal): writes any range
// of it, beginning at the block that holds the range's first byte.
#ifndef KISTLE_FOLDER_CURSOR_H
#define KISTLE_FOLDER_CURSOR_H

#include <cstdint>
#include <istream>
#include <ostream>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_folder_manager.h>
#include <kistle/cabinet_header.h>
#include <kistle/cabinet_status.h>

namespace kistle::internal {

// Where a block's bytes lie in the folder's stream follows from the sizes of
// the blocks before it, so the cursor learns where blocks start only from
// blocks it has read whole and whose checksums it has verified: no byte is
// ever placed by a block header that failed its checksum. It learns as it
// goes, from the blocks that ranges pass through; blocks before a range are
// verified but not expanded. The rest of the last block a range ends in is
// kept, since the next file of a folder mostly begins there.
//
// The folder, the stream and the header are borrowed and must outlive the
// cursor; the folder's decompressor is used for a range and released after
// it. One cursor serves one folder; another folder needs another cursor.
class folder_cursor {
public:
    folder_cursor(cabinet_folder_manager& folder, std::istream& in, const cabinet_header& header)
        : folder(folder), in(in), header(header) {}
    ~folder_cursor();
    folder_cursor(const folder_cursor&) = delete;
    folder_cursor& operator=(const folder_cursor&) = delete;

    bool serves(const cabinet_folder_manager& other) const { return &other == &folder; }

    // Writes bytes offset to offset + length - 1 of the folder's stream to out.
    // 0 when all of them were written. Otherwise:
    // - a range that begins in or after the first block that failed to be
    //   read or verified fails with that block's status (CAB_ERROR_CHECKSUM,
    //   CAB_ERROR_UNEXPECTED_EOF, CAB_ERROR_READ) and writes nothing; one
    //   that begins before it writes its bytes up to that block first;
    // - a range that begins at or past the end of the folder's data gets the
    //   status of the folder manager's extract_data for it
    //   (CAB_ERROR_RANGE_PAST_END unless that walk fails first);
    // - CAB_ERROR_FOLDER_DATA_ENDED when the folder ends inside the range,
    //   CAB_ERROR_SEEK when a block cannot be reached, CAB_ERROR_OUT_OF_MEMORY,
    //   and the statuses of the folder manager's write_data (writing to out,
    //   expanding a block, an unsupported compression type).
    // After a failure the cursor can be used again for any range.
    [[nodiscard]] int write_range(std::ostream& out, uint64_t offset, uint64_t length);

private:
    // Where a block starts in the cabinet file and in the folder's stream.
    struct block_entry {
        uint64_t position;
        uint64_t start;
    };

    uint32_t block_holding(uint64_t offset) const;
    [[nodiscard]] int seek_to(uint64_t position);
    [[nodiscard]] int read_block(uint32_t number, cabinet_datablock& block);
    [[nodiscard]] int walk(std::ostream& out, uint32_t number, uint64_t offset, uint64_t length,
                           bool begun);
    [[nodiscard]] int write_last(std::ostream& out, const cabinet_datablock& block, uint16_t first,
                                 uint16_t length, uint64_t end);

    cabinet_folder_manager& folder;
    std::istream& in;
    const cabinet_header& header;

    // cCFData + 1 entries once a range is asked for. Entries 0 to verified
    // are sound: each follows from the blocks before it, all verified.
    block_entry* index = nullptr;
    uint32_t verified = 0;
    // The status of block `verified` when it has failed to be read or
    // verified; nothing at or after its start can be placed.
    int failure = CAB_STATUS_OK;

    // Expanded bytes tail_start to tail_start + tail_size - 1 of the folder.
    uint8_t* tail = nullptr; // 65535 bytes once needed
    uint64_t tail_start = 0;
    uint16_t tail_size = 0;
};

} // namespace kistle::internal

#endif
