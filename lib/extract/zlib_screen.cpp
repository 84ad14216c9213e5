#include "zlib_screen.h"

#include <algorithm>
#include <iterator>

#include "little_endian.h"

namespace kistle::internal {

namespace {

// Bits of a deflate stream, least significant first.
class bit_reader {
public:
    bit_reader(const uint8_t* bytes, std::size_t size) : next(bytes), end(bytes + size) {}

    // count at most 32. False when the stream ends first.
    bool take(unsigned count, unsigned& value) {
        if (held < count) {
            refill();
            if (held < count)
                return false;
        }
        value = static_cast<unsigned>(bits & ((uint64_t{1} << count) - 1));
        bits >>= count;
        held -= count;
        return true;
    }

    // Up to count (at most 32) bits ahead without taking them; fewer where
    // the stream ends first. Returns how many are there.
    unsigned peek(unsigned count, uint64_t& value) {
        if (held < count)
            refill();
        value = bits;
        return held;
    }
    void drop(unsigned count) {
        bits >>= count;
        held -= count;
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
    // At least 56 bits held afterwards, or all the stream has left.
    void refill() {
        if (end - next >= 8) {
            // Whole bytes only: those beyond held's new count are not taken.
            const unsigned bytes = (63 - held) / 8;
            bits |= get_le64(next) << held;
            next += bytes;
            held += bytes * 8;
            bits &= (uint64_t{1} << held) - 1;
            return;
        }
        while (held <= 56 && next != end) {
            bits |= static_cast<uint64_t>(*next++) << held;
            held += 8;
        }
    }

    const uint8_t* next;
    const uint8_t* end;
    uint64_t bits = 0;
    unsigned held = 0;
};

constexpr unsigned max_length_codes = 286; // length symbols 0 to 285
constexpr unsigned max_distance_codes = 30;
constexpr unsigned end_of_block = 256;

// A canonical prefix code of lengths up to 15 bits: the words of up to
// table_bits bits through a table, longer ones bit by bit.
class prefix_code {
public:
    // lengths must fill the code space exactly (complete()).
    void build(const unsigned* lengths, unsigned symbols) {
        std::fill(std::begin(count), std::end(count), 0u);
        std::fill(std::begin(table), std::end(table), uint16_t{0});
        for (unsigned i = 0; i < symbols; ++i)
            ++count[lengths[i]];
        count[0] = 0;
        unsigned offset[16] = {};
        for (unsigned length = 1; length < 15; ++length)
            offset[length + 1] = offset[length] + count[length];
        unsigned next_word[16] = {};
        unsigned word = 0;
        for (unsigned length = 1; length <= 15; ++length) {
            word = (word + count[length - 1]) << 1;
            next_word[length] = word;
        }
        for (unsigned value = 0; value < symbols; ++value) {
            const unsigned length = lengths[value];
            if (length == 0)
                continue;
            symbol[offset[length]++] = static_cast<uint16_t>(value);
            const unsigned code = next_word[length]++;
            if (length > table_bits)
                continue;
            // The stream holds the word most significant bit first.
            unsigned reversed = 0;
            for (unsigned bit = 0; bit < length; ++bit)
                reversed |= ((code >> bit) & 1u) << (length - 1 - bit);
            for (unsigned index = reversed; index < table_size; index += 1u << length)
                table[index] = static_cast<uint16_t>(length << 9 | value);
        }
    }

    bool decode(bit_reader& in, unsigned& value) const {
        uint64_t ahead;
        if (in.peek(table_bits, ahead) >= table_bits) {
            const uint16_t found = table[ahead & (table_size - 1)];
            if (found != 0) {
                in.drop(found >> 9);
                value = found & 0x1FF;
                return true;
            }
        }
        unsigned code = 0, first = 0, index = 0;
        for (unsigned length = 1; length <= 15; ++length) {
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

private:
    static constexpr unsigned table_bits = 10;
    static constexpr unsigned table_size = 1u << table_bits;
    unsigned count[16] = {};
    uint16_t symbol[288] = {};
    uint16_t table[table_size] = {}; // length << 9 | symbol; 0: a longer word
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

// The header of a block with its own codes, up to its first symbol: the
// code lengths go to lengths (literal/length codes, then distance codes).
bool sound_code_header(bit_reader& in, unsigned (&lengths)[max_length_codes + max_distance_codes],
                       unsigned& lengths_count, unsigned& distances_count) {
    unsigned hlit, hdist, hclen;
    if (!in.take(5, hlit) || !in.take(5, hdist) || !in.take(4, hclen))
        return false;
    lengths_count = hlit + 257;
    distances_count = hdist + 1;
    if (lengths_count > max_length_codes || distances_count > max_distance_codes)
        return false;
    static const unsigned order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    unsigned code_lengths[19] = {};
    for (unsigned i = 0; i < hclen + 4; ++i) {
        if (!in.take(3, code_lengths[order[i]]))
            return false;
    }
    // The code-length code: lengths up to 7 bits, which must fill its space.
    if (!complete(code_lengths, 19))
        return false;
    prefix_code code;
    code.build(code_lengths, 19);

    std::fill(std::begin(lengths), std::end(lengths), 0u);
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

// Walks a block's symbols, with its sound codes, to its end of block.
bool walk_block(bit_reader& in, const prefix_code& literals, const prefix_code& distances) {
    static const uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
        unsigned symbol, extra;
        if (!literals.decode(in, symbol))
            return false;
        if (symbol < end_of_block)
            continue;
        if (symbol == end_of_block)
            return true;
        symbol -= end_of_block + 1;
        if (symbol >= 29 || !in.take(length_extra[symbol], extra))
            return false;
        if (!distances.decode(in, symbol) || symbol >= 30 ||
            !in.take(distance_extra[symbol], extra))
            return false;
    }
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
            unsigned lengths[max_length_codes + max_distance_codes];
            unsigned lengths_count, distances_count;
            if (type != 2 || !sound_code_header(in, lengths, lengths_count, distances_count))
                return false;
            if (last)
                return true;
            // Where a block of codes ends is known only by decoding it.
            prefix_code literals, distances;
            literals.build(lengths, lengths_count);
            distances.build(lengths + lengths_count, distances_count);
            if (!walk_block(in, literals, distances))
                return false;
        }
    }
}

} // namespace kistle::internal
