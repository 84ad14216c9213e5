// A cursor over one folder's uncompressed stream (internal): writes any range
// of it, beginning at the block that holds the range's first byte, and checks
// the whole folder. It is the reading side's one walker of a folder's blocks.
#ifndef KISTLE_FOLDER_CURSOR_H
#define KISTLE_FOLDER_CURSOR_H

#include <cstdint>
#include <istream>
#include <ostream>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_header.h>
#include <kistle/cabinet_status.h>

namespace kistle::internal {

class parallel_inflate;
struct progress_callback;

// Where a block's bytes lie in the folder's stream follows from the sizes of
// the blocks before it, so the cursor learns where blocks start from blocks
// it has read whole and whose checksums it has verified. It learns as it
// goes, from the blocks that ranges pass through; blocks before a range are
// verified but not expanded. The last block a range ends in is kept, since
// the next file of a folder mostly begins there.
//
// Damage costs only what it touches. A block that fails its checksum still
// claims where the next block lies and how many bytes it held, but nothing
// vouches for either claim. When the folder's expected end is known (where
// its last file entry ends), the cursor checks the claims once, the first
// time a range behind the damaged block is asked for: every later block must
// verify and expand to exactly its cbUncomp where the claims put it, and the
// sizes of all blocks, the damaged one's claim included, must add up to the
// expected end. Only then are ranges wholly behind the damaged block served;
// a range that touches it never is, and no byte ever comes from it.
//
// With more than one thread, the cursor reads the blocks of a range ahead,
// and beyond its end when ranges follow one another, at most two per thread:
// it verifies them as it reads them, and worker threads expand them while
// the caller writes the blocks before. What reaches out, and every status,
// is what one thread gives.
//
// The folder entry, the stream, the header and the decompressors are
// borrowed and must outlive the cursor. The cursor continues where it left
// the stream: whatever else moves it must call stream_moved. One cursor
// serves one folder; another folder needs another cursor.
class folder_cursor {
public:
    // No expected end: a damaged block fails every range at or after it.
    static constexpr uint64_t unknown_end = UINT64_MAX;

    // Without decompressors, the cursor makes its own for the calling thread.
    folder_cursor(const cabinet_folder_header& folder, std::istream& in,
                  const cabinet_header& header, parallel_inflate* decompressors = nullptr,
                  uint64_t expected_end = unknown_end)
        : folder(folder), in(in), header(header), decompressors(decompressors),
          expected_end(expected_end) {}
    // Waits for the expansions it started.
    ~folder_cursor();
    folder_cursor(const folder_cursor&) = delete;
    folder_cursor& operator=(const folder_cursor&) = delete;

    bool serves(const cabinet_folder_header& other) const { return &other == &folder; }

    // Writes bytes offset to offset + length - 1 of the folder's stream to out.
    // 0 when all of them were written. Otherwise:
    // - a range that touches a block that failed to be read or verified
    //   fails with that block's status (CAB_ERROR_CHECKSUM,
    //   CAB_ERROR_UNEXPECTED_EOF, CAB_ERROR_READ) and writes its bytes up to
    //   that block; so does every range behind the block, unless the block
    //   only failed its checksum and its claims were confirmed (see above);
    // - a range that begins at or past the end of the folder's data gets
    //   CAB_ERROR_RANGE_PAST_END once every block has been read, verified and
    //   expanded in turn, or the status of the first block that fails that;
    // - CAB_ERROR_FOLDER_DATA_ENDED when the folder ends inside the range,
    //   CAB_ERROR_SEEK when a block cannot be reached, CAB_ERROR_OUT_OF_MEMORY,
    //   CAB_ERROR_WRITE, CAB_ERROR_BAD_DATA for a stored block that holds
    //   fewer bytes than it claims, CAB_ERROR_UNSUPPORTED_COMPRESSION for a
    //   type other than stored and deflate, CAB_ERROR_DECOMPRESSION or a
    //   status from convert_z_error_code for a deflate block that does not
    //   expand to exactly cbUncomp bytes;
    // - CAB_ERROR_STOPPED when progress (if given), told of the bytes
    //   written after each block's part, asks to stop.
    // After a failure the cursor can be used again for any range.
    [[nodiscard]] int write_range(std::ostream& out, uint64_t offset, uint64_t length,
                                  const progress_callback* progress = nullptr);
    // Reads, verifies and expands every block from the first, writing
    // nothing: 0 when all are sound (a folder without blocks too), else the
    // status of the first that is not; expanded gets the bytes of the blocks
    // before it. CAB_ERROR_SEEK when the blocks cannot be reached.
    [[nodiscard]] int verify(uint64_t& expanded);
    // The stream was moved by someone else: the next block read seeks.
    void stream_moved() { stream_known = false; }

    // How many blocks the cursor has read from the stream, for tests.
    uint64_t blocks_read() const { return reads; }

private:
    // Where a block starts in the cabinet file and in the folder's stream.
    struct block_entry {
        uint64_t position;
        uint64_t start;
    };
    // A block read (and verified) ahead, with its expansion.
    struct slot;
    enum class claims { untried, confirmed, refused };

    static block_entry successor(const block_entry& entry, const cabinet_datablock& block);
    [[nodiscard]] bool prepare();
    // The block among the first `blocks` that holds offset, which lies
    // before the start of block `blocks`.
    uint32_t block_holding(uint64_t offset, uint32_t blocks) const;
    // Reads and verifies blocks from the first not yet verified until one
    // holds offset, one fails or the folder ends.
    void learn_up_to(uint64_t offset);
    // Whether offset lies wholly behind a damaged block whose claims hold.
    bool behind_damage(uint64_t offset);
    // Checks the damaged block's claims: 0 when they hold.
    [[nodiscard]] int confirm_claims();
    [[nodiscard]] int seek_to(uint64_t position);
    [[nodiscard]] int read_block(uint32_t number, cabinet_datablock& block);
    [[nodiscard]] int walk(std::ostream& out, uint32_t number, uint64_t offset, uint64_t length,
                           const progress_callback* progress);
    // Reads, verifies and expands blocks number to end - 1 in turn; exact
    // asks stored blocks to hold exactly what they claim. The status of the
    // first that fails; expanded (when given) adds up the bytes of the
    // blocks before it.
    [[nodiscard]] int expand_blocks(uint32_t number, uint32_t end, bool exact, uint64_t* expanded);
    // Expands the blocks from the first up to end - 1 (a folder without
    // blocks: reaches where they would start).
    [[nodiscard]] int expand_from_first(uint32_t end, uint64_t* expanded);
    // The status of a range at or past the end of the folder's data.
    [[nodiscard]] int end_status();

    slot& slot_at(unsigned i) const;
    // Keeps the blocks from number on, if the cursor holds number.
    void go_to(uint32_t number);
    void drop_first();
    void read_next();
    // Reads more blocks while there is room: those that start before end,
    // and with following true all that come.
    void read_ahead(uint64_t end, bool following);
    // Gives the block's expansion its buffer; false without memory for it.
    [[nodiscard]] bool set_up_expansion(slot& block);
    // Has a worker expand a deflate block read ahead, once woken; false
    // when it is left to be expanded when needed.
    bool start_expanding(slot& block);
    [[nodiscard]] int write_part(std::ostream& out, slot& block, uint16_t first, uint16_t length);

    const cabinet_folder_header& folder;
    std::istream& in;
    const cabinet_header& header;
    parallel_inflate* decompressors;
    parallel_inflate* own_decompressors = nullptr;
    const uint64_t expected_end;

    // cCFData + 1 entries once a range is asked for. Entries 0 to verified
    // are sound: each follows from the blocks before it, all verified.
    // Entries up to placed are known: beyond verified, they follow from a
    // damaged block's claims and the blocks after it.
    block_entry* index = nullptr;
    uint32_t verified = 0;
    uint32_t placed = 0;
    // The status of block `verified` when it has failed to be read or
    // verified. When it failed its checksum, index[verified + 1] holds what
    // its claims make of the next block, and claims_are says whether they
    // were confirmed.
    int failure = CAB_STATUS_OK;
    claims claims_are = claims::untried;
    // Every block from the first was read, verified and expanded in turn,
    // up to a damaged block whose claims hold.
    bool expands_whole = false;

    // Blocks first_block to first_block + count - 1, in a ring of capacity.
    slot* slots = nullptr;
    unsigned capacity = 0;
    unsigned head = 0;
    unsigned count = 0;
    uint32_t first_block = 0;

    // Where the cursor left the stream, unless something else moved it since.
    uint64_t reading_at = 0;
    bool stream_known = false;
    // Where the last range ended: the next that begins there reads ahead.
    uint64_t following_from = UINT64_MAX;
    uint64_t reads = 0;
};

} // namespace kistle::internal

#endif
