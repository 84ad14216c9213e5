#include "folder_cursor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <streambuf>

#include <kistle/io_helpers.h>

namespace kistle::internal {

namespace {

// The most bytes a block expands to.
constexpr std::size_t max_block_bytes = 0xFFFF;

// Passes the first `wanted` bytes written to it on to out and keeps the
// rest, at most `room` bytes, in kept.
class split_output : public std::streambuf {
public:
    split_output(std::ostream& out, uint64_t wanted, uint8_t* kept, std::size_t room)
        : out(out), wanted(wanted), kept(kept), room(room) {}

    std::size_t kept_size() const { return size; }

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        std::streamsize passed =
            static_cast<std::streamsize>(std::min<uint64_t>(wanted, static_cast<uint64_t>(count)));
        if (passed > 0) {
            out.write(bytes, passed);
            if (out.fail())
                return 0;
            wanted -= static_cast<uint64_t>(passed);
        }
        std::size_t rest = static_cast<std::size_t>(count - passed);
        if (rest > room - size)
            return passed;
        std::memcpy(kept + size, bytes + passed, rest);
        size += rest;
        return count;
    }

    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }

private:
    std::ostream& out;
    uint64_t wanted;
    uint8_t* kept;
    std::size_t room;
    std::size_t size = 0;
};

} // namespace

folder_cursor::~folder_cursor() {
    std::free(index);
    std::free(tail);
}

int folder_cursor::write_range(std::ostream& out, uint64_t offset, uint64_t length) {
    if (index == nullptr) {
        // At most 65536 entries, whatever the cabinet claims elsewhere.
        index = static_cast<block_entry*>(
            std::malloc((static_cast<std::size_t>(folder.cCFData) + 1) * sizeof(block_entry)));
        if (index == nullptr)
            return CAB_ERROR_OUT_OF_MEMORY;
        index[0] = {folder.coffCabStart, 0};
    }
    // An earlier range may have left the stream at its end or failed.
    in.clear();

    bool begun = false;
    if (offset - tail_start < tail_size) {
        uint16_t skipped = static_cast<uint16_t>(offset - tail_start);
        uint16_t taken = static_cast<uint16_t>(std::min<uint64_t>(length, tail_size - skipped));
        if (int status = io_write(out, tail + skipped, taken))
            return status;
        offset += taken;
        length -= taken;
        if (length == 0)
            return CAB_STATUS_OK;
        begun = true; // the rest begins where the tail's block ends
    }

    uint32_t first;
    if (offset < index[verified].start)
        first = block_holding(offset);
    else if (failure != CAB_STATUS_OK)
        return failure;
    else
        first = verified;
    return walk(out, first, offset, length, begun);
}

uint32_t folder_cursor::block_holding(uint64_t offset) const {
    // The first block whose successor starts beyond offset; offset lies
    // before the start of block `verified`.
    uint32_t low = 0, high = verified - 1;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (index[middle + 1].start > offset)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

int folder_cursor::seek_to(uint64_t position) {
    // A position beyond the widest stream offset cannot be reached.
    if (position > static_cast<uint64_t>(INT64_MAX))
        return CAB_ERROR_SEEK;
    std::streampos target(static_cast<std::streamoff>(position));
    // A seek throws the stream's buffer away, and consecutive ranges mostly
    // find the stream where they need it.
    if (in.tellg() == target)
        return CAB_STATUS_OK;
    in.clear();
    in.seekg(target);
    return in.fail() ? CAB_ERROR_SEEK : CAB_STATUS_OK;
}

int folder_cursor::read_block(uint32_t number, cabinet_datablock& block) {
    if (number < verified)
        return block.read(in, header);
    if (failure != CAB_STATUS_OK)
        return failure;
    int status = block.read(in, header);
    if (status != CAB_STATUS_OK) {
        failure = status;
        return status;
    }
    const block_entry& entry = index[number];
    index[number + 1] = {entry.position + cabinet_datablock_fixed_header::image_size +
                             block.cbReserve + block.cbData,
                         entry.start + block.cbUncomp};
    ++verified;
    return CAB_STATUS_OK;
}

int folder_cursor::walk(std::ostream& out, uint32_t number, uint64_t offset, uint64_t length,
                        bool begun) {
    using flag = cabinet_folder_manager::COMPRESSION_STATE_FLAG;
    int status = CAB_STATUS_OK;
    if (number < folder.cCFData)
        status = seek_to(index[number].position);
    cabinet_datablock block;
    bool expanding = false;
    for (; status == CAB_STATUS_OK && number < folder.cCFData && (length != 0 || !begun);
         ++number) {
        if ((status = read_block(number, block)) != CAB_STATUS_OK)
            break;
        const uint64_t start = index[number].start, end = start + block.cbUncomp;
        if (!begun) {
            if (offset >= end)
                continue; // verified, and needs no expanding
            begun = true;
            if (length == 0)
                break;
        }
        if (!expanding) {
            status = folder.write_data(out, block, 0, 0, flag::COMPRESSION_STATE_INIT);
            expanding = status == CAB_STATUS_OK;
            if (!expanding)
                break;
        }
        const uint16_t first = static_cast<uint16_t>(offset - start);
        if (length <= end - offset) {
            status = write_last(out, block, first, static_cast<uint16_t>(length), offset + length);
            length = 0;
        } else {
            const uint16_t taken = static_cast<uint16_t>(end - offset);
            status = folder.write_data(out, block, first, taken, flag::COMPRESSION_STATE_WRITE);
            offset += taken;
            length -= taken;
        }
    }
    if (status == CAB_STATUS_OK && !begun) {
        // At or past the end of the folder's data, every block verified: the
        // folder's own walk decides the status.
        return folder.extract_data(out, in, offset, length, header);
    }
    if (status == CAB_STATUS_OK && length != 0)
        status = CAB_ERROR_FOLDER_DATA_ENDED;
    // A folder keeps no decompressor between ranges.
    int ended = folder.write_data(out, block, 0, 0, flag::COMPRESSION_STATE_END);
    if (status == CAB_STATUS_OK || status == CAB_ERROR_FOLDER_DATA_ENDED)
        status = ended != CAB_STATUS_OK ? ended : status;
    return status;
}

int folder_cursor::write_last(std::ostream& out, const cabinet_datablock& block, uint16_t first,
                              uint16_t length, uint64_t end) {
    using flag = cabinet_folder_manager::COMPRESSION_STATE_FLAG;
    // The buffer is written again: what it held is gone from now on.
    tail_size = 0;
    const uint16_t rest = static_cast<uint16_t>(block.cbUncomp - first - length);
    if (rest != 0 && tail == nullptr)
        tail = static_cast<uint8_t*>(std::malloc(max_block_bytes));
    if (rest == 0 || tail == nullptr)
        return folder.write_data(out, block, first, length, flag::COMPRESSION_STATE_WRITE);
    split_output split(out, length, tail, max_block_bytes);
    std::ostream stretched(&split);
    int status = folder.write_data(stretched, block, first, static_cast<uint16_t>(length + rest),
                                   flag::COMPRESSION_STATE_WRITE);
    if (status == CAB_STATUS_OK) {
        tail_start = end;
        tail_size = static_cast<uint16_t>(split.kept_size());
    }
    return status;
}

} // namespace kistle::internal
