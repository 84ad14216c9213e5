#include "zlib_screen.h"

namespace kistle::internal {

namespace {

// Bits of a deflate stream, least significant first.
class bit_reader {
public:
    bit_reader(const uint8_t* bytes, std::size_t size) : next(bytes), end(bytes + size) {}

    // False when the stream ends first.
    bool take(unsigned count, unsigned& value) {
        while (held < count) {
            if (next == end)
                return false;
            bits |= static_cast<uint64_t>(*next++) << held;
            held += 8;
        }
        value = static_cast<unsigned>(bits & ((uint64_t{1} << count) - 1));
        bits >>= count;
        held -= count;
        return true;
    }

    // Passes over the rest of the byte and then count whole bytes.
    bool skip_bytes(std::size_t count) {
        bits >>= held % 8;
        held -= held % 8;
        for (; count > 0 && held > 0; --count) {
            bits >>= 8;
            held -= 8;
        }
        if (static_cast<std::size_t>(end - next) < count)
            return false;
        next += count;
        return true;
    }

private:
    const uint8_t* next;
    const uint8_t* end;
    uint64_t bits = 0;
    unsigned held = 0;
};

constexpr unsigned max_length_codes = 286; // length symbols 0 to 285
constexpr unsigned max_distance_codes = 30;
constexpr unsigned end_of_block = 256;

// A canonical prefix code of code lengths up to 7 bits (the code-length
// code), decoded bit by bit.
struct small_code {
    unsigned count[8] = {};   // codes of each length
    unsigned symbol[19] = {}; // symbols by code length, then by value

    // False unless the lengths fill the code space exactly.
    bool build(const unsigned (&lengths)[19]) {
        unsigned space = 0;
        for (unsigned length : lengths) {
            ++count[length];
            if (length != 0)
                space += 1u << (7 - length);
        }
        if (space != 1u << 7)
            return false;
        unsigned offset[8] = {};
        for (unsigned length = 1; length < 7; ++length)
            offset[length + 1] = offset[length] + count[length];
        for (unsigned value = 0; value < 19; ++value) {
            if (lengths[value] != 0)
                symbol[offset[lengths[value]]++] = value;
        }
        return true;
    }

    bool decode(bit_reader& in, unsigned& value) const {
        unsigned code = 0, first = 0, index = 0;
        for (unsigned length = 1; length <= 7; ++length) {
            unsigned bit;
            if (!in.take(1, bit))
                return false;
            code |= bit;
            if (code - first < count[length]) {
                value = symbol[index + code - first];
                return true;
            }
            index += count[length];
            first = (first + count[length]) << 1;
            code <<= 1;
        }
        return false;
    }
};

// Whether code lengths 1 to 15 fill the code space exactly.
bool complete(const unsigned* lengths, unsigned symbols) {
    uint32_t space = 0;
    for (unsigned i = 0; i < symbols; ++i) {
        if (lengths[i] != 0)
            space += 1u << (15 - lengths[i]);
    }
    return space == 1u << 15;
}

// The header of a block with its own codes, up to its first symbol.
bool sound_code_header(bit_reader& in) {
    unsigned hlit, hdist, hclen;
    if (!in.take(5, hlit) || !in.take(5, hdist) || !in.take(4, hclen))
        return false;
    const unsigned lengths_count = hlit + 257, distances_count = hdist + 1;
    if (lengths_count > max_length_codes || distances_count > max_distance_codes)
        return false;
    static const unsigned order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    unsigned code_lengths[19] = {};
    for (unsigned i = 0; i < hclen + 4; ++i) {
        if (!in.take(3, code_lengths[order[i]]))
            return false;
    }
    small_code code;
    if (!code.build(code_lengths))
        return false;

    unsigned lengths[max_length_codes + max_distance_codes] = {};
    const unsigned total = lengths_count + distances_count;
    for (unsigned i = 0; i < total;) {
        unsigned symbol;
        if (!code.decode(in, symbol))
            return false;
        if (symbol < 16) {
            lengths[i++] = symbol;
            continue;
        }
        unsigned repeat, value = 0;
        if (symbol == 16) {
            if (i == 0 || !in.take(2, repeat))
                return false;
            value = lengths[i - 1];
            repeat += 3;
        } else if (symbol == 17) {
            if (!in.take(3, repeat))
                return false;
            repeat += 3;
        } else {
            if (!in.take(7, repeat))
                return false;
            repeat += 11;
        }
        if (repeat > total - i)
            return false;
        while (repeat-- > 0)
            lengths[i++] = value;
    }
    return lengths[end_of_block] != 0 && complete(lengths, lengths_count) &&
           complete(lengths + lengths_count, distances_count);
}

} // namespace

bool libdeflate_reads_like_zlib(const uint8_t* stream, std::size_t size) {
    // The zlib header: deflate, a window zlib's default takes, no dictionary.
    if (size < 2 || (stream[0] & 0x0F) != 8 || (stream[0] >> 4) > 7 || (stream[1] & 0x20) != 0 ||
        (stream[0] * 256u + stream[1]) % 31 != 0)
        return false;
    bit_reader in(stream + 2, size - 2);
    for (;;) {
        unsigned last, type;
        if (!in.take(1, last) || !in.take(2, type))
            return false;
        if (type == 0) {
            unsigned length, complement;
            if (!in.skip_bytes(0) || !in.take(16, length) || !in.take(16, complement) ||
                length != (~complement & 0xFFFF) || !in.skip_bytes(length))
                return false;
            if (last)
                return true;
        } else {
            // Where a block of codes ends is known only by decoding it.
            return type == 2 && last && sound_code_header(in);
        }
    }
}

} // namespace kistle::internal
