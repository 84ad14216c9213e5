#include "folder_cursor.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include <kistle/io_helpers.h>

#include "byte_counter.h"
#include "parallel_inflate.h"
#include "progress_callback.h"

namespace kistle::internal {

namespace {

// The most bytes a block expands to, and one more so that an empty block
// has a real buffer too.
constexpr std::size_t expanded_size = 0xFFFF + 1;

} // namespace

// Where the block after one read at entry lies, by the sizes its header gives.
folder_cursor::block_entry folder_cursor::successor(const block_entry& entry,
                                                    const cabinet_datablock& block) {
    return {entry.position + cabinet_datablock_fixed_header::image_size + block.cbReserve +
                block.cbData,
            entry.start + block.cbUncomp};
}

struct folder_cursor::slot {
    enum step { unexpanded, expanding, expanded };

    cabinet_datablock block;
    int status = CAB_STATUS_OK; // of reaching, reading and verifying it
    parallel_inflate::expansion expansion;
    uint8_t* bytes = nullptr; // expanded_size bytes once a deflate block needs them
    step state = unexpanded;

    ~slot() { std::free(bytes); }
};

folder_cursor::~folder_cursor() {
    while (count > 0)
        drop_first();
    delete[] slots;
    std::free(index);
    delete own_decompressors;
}

bool folder_cursor::prepare() {
    if (decompressors == nullptr) {
        own_decompressors = new (std::nothrow) parallel_inflate(1);
        decompressors = own_decompressors;
        if (decompressors == nullptr)
            return false;
    }
    if (index == nullptr) {
        // At most 65536 entries, whatever the cabinet claims elsewhere.
        index = static_cast<block_entry*>(
            std::malloc((static_cast<std::size_t>(folder.cCFData) + 1) * sizeof(block_entry)));
        if (index == nullptr)
            return false;
        index[0] = {folder.coffCabStart, 0};
    }
    if (slots == nullptr) {
        // The block being written, and two a thread behind it.
        unsigned threads = decompressors->threads();
        unsigned wanted = threads > 1 ? 2 * threads + 1 : 1;
        slots = new (std::nothrow) slot[wanted];
        if (slots == nullptr)
            return false;
        capacity = wanted;
    }
    return true;
}

int folder_cursor::write_range(std::ostream& out, uint64_t offset, uint64_t length,
                               const progress_callback* progress) {
    if (!prepare())
        return CAB_ERROR_OUT_OF_MEMORY;
    // An earlier range may have left the stream at its end or failed.
    in.clear();
    if (failure == CAB_STATUS_OK && offset >= index[verified].start)
        learn_up_to(offset);
    const uint32_t blocks = folder.cCFData;
    uint32_t first;
    if (offset < index[verified].start)
        first = block_holding(offset, verified);
    else if (failure == CAB_STATUS_OK)
        first = verified; // past every block, or the next cannot be read
    else if (!behind_damage(offset))
        return failure;
    else if (offset < index[blocks].start)
        first = block_holding(offset, blocks);
    else
        first = blocks;
    int status = walk(out, first, offset, length, progress);
    following_from = length <= UINT64_MAX - offset ? offset + length : UINT64_MAX;
    return status;
}

int folder_cursor::verify(uint64_t& expanded) {
    expanded = 0;
    if (!prepare())
        return CAB_ERROR_OUT_OF_MEMORY;
    in.clear();
    if (expands_whole) {
        expanded = index[verified].start;
        return failure;
    }
    int status = expand_from_first(folder.cCFData, &expanded);
    expands_whole = status == CAB_STATUS_OK;
    return status;
}

uint32_t folder_cursor::block_holding(uint64_t offset, uint32_t blocks) const {
    // The first block whose successor starts beyond offset.
    uint32_t low = 0, high = blocks - 1;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (index[middle + 1].start > offset)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

void folder_cursor::learn_up_to(uint64_t offset) {
    go_to(verified);
    while (failure == CAB_STATUS_OK && verified < folder.cCFData) {
        if (count == 0)
            read_next();
        // Once read, a block says where the next one starts; the one that
        // holds offset stays for the walk.
        if (slot_at(0).status != CAB_STATUS_OK || index[verified].start > offset)
            return;
        drop_first();
    }
}

bool folder_cursor::behind_damage(uint64_t offset) {
    // Its claims place the next block; a range before that touches it.
    if (failure != CAB_ERROR_CHECKSUM || offset < index[verified + 1].start)
        return false;
    if (claims_are == claims::untried) {
        int status = confirm_claims();
        // Short of memory now, the claims may yet be checked later.
        if (status != CAB_ERROR_OUT_OF_MEMORY)
            claims_are = status == CAB_STATUS_OK ? claims::confirmed : claims::refused;
    }
    return claims_are == claims::confirmed;
}

int folder_cursor::confirm_claims() {
    // Without an expected end nothing can confirm them; blocks of another
    // type fail every range anyway.
    if (expected_end == unknown_end || (folder.typeCompress != COMPRESSION_TYPE_STORED &&
                                        folder.typeCompress != COMPRESSION_TYPE_DEFLATE))
        return CAB_ERROR_CHECKSUM;
    placed = verified + 1;
    int status = expand_blocks(placed, folder.cCFData, true, nullptr);
    if (status == CAB_STATUS_OK && index[folder.cCFData].start != expected_end)
        status = CAB_ERROR_CHECKSUM;
    if (status != CAB_STATUS_OK)
        placed = verified; // what the claims placed is forgotten
    return status;
}

int folder_cursor::seek_to(uint64_t position) {
    // A seek throws the stream's buffer away, and consecutive blocks find the
    // stream where they need it.
    if (stream_known && reading_at == position)
        return CAB_STATUS_OK;
    stream_known = false;
    // A position beyond the widest stream offset cannot be reached.
    if (position > static_cast<uint64_t>(INT64_MAX))
        return CAB_ERROR_SEEK;
    in.clear();
    in.seekg(static_cast<std::streamoff>(position));
    if (in.fail())
        return CAB_ERROR_SEEK;
    reading_at = position;
    stream_known = true;
    return CAB_STATUS_OK;
}

int folder_cursor::read_block(uint32_t number, cabinet_datablock& block) {
    // A block that failed is not read again, and nothing comes from it.
    if (number == verified && failure != CAB_STATUS_OK)
        return failure;
    ++reads;
    int status = block.read(in, header);
    if (number < placed)
        return status;
    if (status == CAB_STATUS_OK) {
        index[number + 1] = successor(index[number], block);
        ++placed;
        if (number == verified)
            ++verified;
    } else if (number == verified) {
        failure = status;
        // What its header claims, which nothing has vouched for yet.
        if (status == CAB_ERROR_CHECKSUM)
            index[number + 1] = successor(index[number], block);
    }
    return status;
}

folder_cursor::slot& folder_cursor::slot_at(unsigned i) const {
    return slots[(head + i) % capacity];
}

void folder_cursor::go_to(uint32_t number) {
    if (number < first_block || number >= first_block + count) {
        while (count > 0)
            drop_first();
        first_block = number;
        return;
    }
    while (first_block < number)
        drop_first();
}

void folder_cursor::drop_first() {
    slot& first = slot_at(0);
    if (first.state == slot::expanding)
        decompressors->finish(first.expansion);
    first.state = slot::unexpanded;
    head = (head + 1) % capacity;
    --count;
    ++first_block;
}

void folder_cursor::read_next() {
    const uint32_t number = first_block + count;
    slot& next = slot_at(count);
    ++count;
    next.state = slot::unexpanded;
    next.status = seek_to(index[number].position);
    if (next.status == CAB_STATUS_OK)
        next.status = read_block(number, next.block);
    stream_known = next.status == CAB_STATUS_OK;
    reading_at = index[number].position + cabinet_datablock_fixed_header::image_size +
                 next.block.cbReserve + next.block.cbData;
}

void folder_cursor::read_ahead(uint64_t end, bool following) {
    // Blocks go to the workers a few at a time: waking a worker costs more
    // than a block's expansion takes to hand over.
    const unsigned batch = std::min(capacity - 1, decompressors->threads());
    if (count > 1 && capacity - count < batch)
        return;
    bool started = false;
    while (count < capacity && first_block + count < folder.cCFData &&
           slot_at(count - 1).status == CAB_STATUS_OK) {
        const uint32_t number = first_block + count;
        if (!following && index[number].start >= end)
            break;
        read_next();
        slot& next = slot_at(count - 1);
        if (next.status == CAB_STATUS_OK)
            started = start_expanding(next) || started;
    }
    if (started)
        decompressors->wake();
}

bool folder_cursor::set_up_expansion(slot& block) {
    if (block.bytes == nullptr)
        block.bytes = static_cast<uint8_t*>(std::malloc(expanded_size));
    if (block.bytes == nullptr)
        return false;
    parallel_inflate::expansion& job = block.expansion;
    job.payload = block.block.abData;
    job.cbData = block.block.cbData;
    job.out = block.bytes;
    job.cbUncomp = block.block.cbUncomp;
    job.screen = !decompressors->checks_contents();
    return true;
}

bool folder_cursor::start_expanding(slot& block) {
    // Without memory for it now, it is expanded when it is needed.
    if (folder.typeCompress != COMPRESSION_TYPE_DEFLATE || decompressors->threads() == 1 ||
        !set_up_expansion(block))
        return false;
    decompressors->start(block.expansion, false);
    block.state = slot::expanding;
    return true;
}

int folder_cursor::write_part(std::ostream& out, slot& block, uint16_t first, uint16_t length) {
    if (folder.typeCompress == COMPRESSION_TYPE_STORED) {
        // A stored block must hold every byte it claims; never read past the payload.
        if (block.block.cbData < block.block.cbUncomp)
            return CAB_ERROR_BAD_DATA;
        return io_write(out, block.block.abData + first, length);
    }
    if (folder.typeCompress != COMPRESSION_TYPE_DEFLATE)
        return CAB_ERROR_UNSUPPORTED_COMPRESSION;
    if (block.state == slot::expanding) {
        decompressors->finish_now(block.expansion);
    } else if (block.state == slot::unexpanded) {
        if (!set_up_expansion(block))
            return CAB_ERROR_OUT_OF_MEMORY;
        decompressors->run(block.expansion);
    }
    block.state = slot::expanded;
    if (block.expansion.status != CAB_STATUS_OK)
        return block.expansion.status;
    return io_write(out, block.bytes + first, length);
}

int folder_cursor::walk(std::ostream& out, uint32_t number, uint64_t offset, uint64_t length,
                        const progress_callback* progress) {
    const bool following = offset == following_from;
    const uint64_t end = length <= UINT64_MAX - offset ? offset + length : UINT64_MAX;
    const bool ahead = length >= decompressors->caller_expands_below();
    go_to(number);
    int status = CAB_STATUS_OK;
    bool begun = false;
    for (; number < folder.cCFData && (length != 0 || !begun); ++number) {
        if (count == 0)
            read_next();
        slot& block = slot_at(0);
        if ((status = block.status) != CAB_STATUS_OK)
            break;
        const uint64_t start = index[number].start, block_end = start + block.block.cbUncomp;
        if (!begun) {
            if (offset >= block_end) {
                drop_first(); // verified, and needs no expanding
                continue;
            }
            begun = true;
            if (length == 0)
                break;
        }
        if (ahead)
            read_ahead(end, following);
        const uint16_t taken = static_cast<uint16_t>(std::min(length, block_end - offset));
        status = write_part(out, block, static_cast<uint16_t>(offset - start), taken);
        if (status != CAB_STATUS_OK)
            break;
        // The block stays where a stop leaves it, as after a failed write.
        if (!report_progress(progress, taken)) {
            status = CAB_ERROR_STOPPED;
            break;
        }
        offset += taken;
        length -= taken;
        if (length == 0)
            break; // the block stays: the next file mostly begins in it
        drop_first();
    }
    if (status == CAB_STATUS_OK && !begun)
        return end_status(); // every block verified, none holds offset
    if (status == CAB_STATUS_OK && length != 0)
        status = CAB_ERROR_FOLDER_DATA_ENDED;
    return status;
}

int folder_cursor::expand_blocks(uint32_t number, uint32_t end, bool exact, uint64_t* expanded) {
    byte_counter discarded;
    std::ostream out(&discarded);
    go_to(number);
    for (; number < end; ++number) {
        if (count == 0)
            read_next();
        slot& block = slot_at(0);
        if (block.status != CAB_STATUS_OK)
            return block.status;
        read_ahead(UINT64_MAX, true);
        const cabinet_datablock& data = block.block;
        if (exact && folder.typeCompress == COMPRESSION_TYPE_STORED && data.cbData != data.cbUncomp)
            return CAB_ERROR_BAD_DATA;
        if (int status = write_part(out, block, 0, data.cbUncomp))
            return status;
        if (expanded != nullptr)
            *expanded += data.cbUncomp;
        drop_first();
    }
    return CAB_STATUS_OK;
}

int folder_cursor::expand_from_first(uint32_t end, uint64_t* expanded) {
    // No block to read, but blocks that could not be reached say so.
    if (folder.cCFData == 0)
        return seek_to(folder.coffCabStart);
    return expand_blocks(0, end, false, expanded);
}

int folder_cursor::end_status() {
    // As a walk from the first block finds it, once: the blocks behind a
    // damaged one whose claims hold were all expanded when they were checked.
    if (!expands_whole) {
        const uint32_t end = claims_are == claims::confirmed ? verified : folder.cCFData;
        if (int status = expand_from_first(end, nullptr))
            return status;
        expands_whole = true;
    }
    return CAB_ERROR_RANGE_PAST_END;
}

} // namespace kistle::internal
