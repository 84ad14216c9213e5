#include "block_source.h"

#include <cerrno>
#include <cstdlib>

#include <kistle/cabinet_status.h>

namespace kistle::internal {

namespace {

// A read that stopped short of the end of the input.
bool read_failed(const std::istream& in) {
    return in.bad() || (in.fail() && !in.eof());
}

} // namespace

int block_source::read_block(std::istream& in, uint32_t room, uint8_t*& block, int32_t& size) {
    block = nullptr;
    size = 0;
    if (in.eof())
        return CAB_STATUS_OK;
    if (room == 0) {
        // No block is left for another byte, not even a short last one.
        if (in.peek() != std::char_traits<char>::eof())
            return CAB_ERROR_TOO_MANY_FILES;
        return in.bad() ? CAB_ERROR_READ : CAB_STATUS_OK;
    }
    uint8_t* buffer = pending;
    uint16_t filled = pending_size;
    pending = nullptr;
    pending_size = 0;
    if (buffer == nullptr) {
        buffer = static_cast<uint8_t*>(std::malloc(block_size));
        if (buffer == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
    }
    in.read(reinterpret_cast<char*>(buffer) + filled, block_size - filled);
    filled = static_cast<uint16_t>(filled + in.gcount());
    if (read_failed(in)) {
        // The bytes already in the block, earlier inputs' included, stay.
        if (filled == 0) {
            const int saved = errno;
            std::free(buffer);
            errno = saved;
        } else {
            pending = buffer;
        }
        pending_size = filled;
        return CAB_ERROR_READ;
    }
    if (filled == 0) {
        std::free(buffer);
    } else if (filled == block_size) {
        block = buffer;
        size = filled;
    } else {
        // A short block waits for the next input.
        pending = buffer;
        pending_size = filled;
    }
    return CAB_STATUS_OK;
}

void block_source::take_partial(uint8_t*& block, uint16_t& size) {
    block = pending;
    size = pending_size;
    pending = nullptr;
    pending_size = 0;
}

void block_source::drop() {
    std::free(pending);
    pending = nullptr;
    pending_size = 0;
}

} // namespace kistle::internal
