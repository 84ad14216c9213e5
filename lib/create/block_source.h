// A folder's stream of bytes cut into blocks (internal). The inputs given
// to one source, one after another, make one stream: a block may hold the
// end of one input and the start of the next, and only the last block,
// handed over by take_partial, may be short.
#ifndef KISTLE_BLOCK_SOURCE_H
#define KISTLE_BLOCK_SOURCE_H

#include <cstdint>
#include <istream>

namespace kistle::internal {

class block_source {
public:
    // Uncompressed bytes in every block but a stream's last.
    static constexpr uint16_t block_size = 0x7FFF;

    block_source() = default;
    ~block_source() { drop(); }
    block_source(const block_source&) = delete;
    block_source& operator=(const block_source&) = delete;

    // Reads from in up to the end of the next full block, and hands that
    // block back (block, malloc'd, which the caller then owns, and size);
    // none while the bytes read wait in the partial block for more, or at
    // the end of in. room is the number of blocks the stream may still
    // have: with none left, a byte more fails.
    // - CAB_STATUS_OK.
    // - CAB_ERROR_READ: the read left in bad; the bytes read before the
    //   failure (earlier inputs' included) wait in the partial block.
    // - CAB_ERROR_TOO_MANY_FILES: no room for a byte that in still has;
    //   nothing was read.
    // - CAB_ERROR_OUT_OF_MEMORY: nothing was read.
    [[nodiscard]] int read_block(std::istream& in, uint32_t room, uint8_t*& block, int32_t& size);

    // The bytes waiting for more: none when size is 0.
    const uint8_t* partial() const { return pending; }
    uint16_t partial_size() const { return pending_size; }
    // Hands the partial block over (malloc'd; the caller owns it), leaving
    // none; block is none when nothing waits.
    void take_partial(uint8_t*& block, uint16_t& size);
    // Frees the partial block.
    void drop();
    // Takes block (malloc'd, size bytes of it used; none when size is 0)
    // as the partial block, in place of the one it has, which is let go
    // unless it is the same (an owner whose record of it is its own).
    void adopt(uint8_t* block, uint16_t size) {
        pending = block;
        pending_size = size;
    }

private:
    uint8_t* pending = nullptr;
    uint16_t pending_size = 0;
};

} // namespace kistle::internal

#endif
