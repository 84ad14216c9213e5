// Where a folder's blocks go, in order (internal): each block as its 16-byte
// header and its payload, counted. A block may come from an encoder, or
// already encoded (header and payload as another cabinet holds them), so
// that a folder can be carried over without being compressed again.
#ifndef KISTLE_BLOCK_SINK_H
#define KISTLE_BLOCK_SINK_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ostream>

namespace kistle::internal {

// Each block's cbData << 16 | cbUncomp, in order. Memory that cannot be had
// marks it failed, and it notes nothing more.
struct block_size_log {
    uint32_t* sizes = nullptr;
    std::size_t count = 0, capacity = 0;
    bool failed = false;

    block_size_log() = default;
    block_size_log(const block_size_log&) = delete;
    block_size_log& operator=(const block_size_log&) = delete;
    ~block_size_log() { std::free(sizes); }

    void add(uint32_t size) {
        if (failed)
            return;
        if (count == capacity) {
            const std::size_t more = capacity == 0 ? 64 : capacity * 2;
            void* grown = std::realloc(sizes, more * sizeof *sizes);
            if (grown == nullptr) {
                failed = true;
                return;
            }
            sizes = static_cast<uint32_t*>(grown);
            capacity = more;
        }
        sizes[count++] = size;
    }
};

class block_sink {
public:
    // Writes to out, which must outlive the sink's writing.
    explicit block_sink(std::ostream& out) : out(&out) {}

    // Writes a block of size uncompressed bytes whose payload is
    // payload_size bytes, with checksum csum. CAB_STATUS_OK, or
    // CAB_ERROR_WRITE when the stream has failed. A block whose header was
    // written is counted, whatever became of its payload.
    [[nodiscard]] int write(const uint8_t* payload, uint16_t payload_size, uint16_t size,
                            uint64_t csum);
    // Writes a block as encoded elsewhere: its 16-byte header (with no
    // reserve area) followed by the payload that the header's cbData
    // counts. CAB_ERROR_WRITE as write; CAB_ERROR_BAD_DATA_BLOCK for an
    // image whose size is not its header's, and nothing is written.
    [[nodiscard]] int write_encoded(const uint8_t* image, std::size_t image_size);
    // The block being written is lost: the stream fails, so that nothing
    // behind the gap can pass for a complete folder.
    void fail();

    // Goes on writing to out, as if blocks blocks of bytes bytes were
    // written already (an owner whose record of them is its own).
    void resume(std::ostream& to, uint32_t blocks, uint64_t bytes) {
        out = &to;
        block_count = blocks;
        byte_count = bytes;
    }

    // Where each block written is noted, when given: its cbData << 16 |
    // cbUncomp, in order (not owned). The writer of a set lays its cabinets
    // out from it.
    void keep_sizes(block_size_log* sizes) { log = sizes; }

    // Whether the stream has failed, so that no block will be written.
    bool failed() const { return out->fail(); }
    uint32_t blocks() const { return block_count; }
    uint64_t bytes() const { return byte_count; } // headers and payloads

private:
    std::ostream* out;
    block_size_log* log = nullptr;
    uint32_t block_count = 0;
    uint64_t byte_count = 0;
};

} // namespace kistle::internal

#endif
