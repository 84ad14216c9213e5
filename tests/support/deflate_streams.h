// Deflate streams written bit by bit, for tests of what a reader makes of
// streams no compressor writes.
#ifndef KISTLE_TESTS_DEFLATE_STREAMS_H
#define KISTLE_TESTS_DEFLATE_STREAMS_H

#include <cstddef>
#include <string>
#include <zlib.h>

// Bits least significant first, as deflate packs them.
class bit_writer {
public:
    void bits(unsigned value, unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            held |= ((value >> i) & 1u) << used;
            if (++used == 8) {
                bytes += static_cast<char>(held);
                held = used = 0;
            }
        }
    }
    // A prefix code word goes out most significant bit first.
    void code(unsigned word, unsigned length) {
        for (unsigned i = length; i-- > 0;)
            bits((word >> i) & 1u, 1);
    }
    std::string finish() {
        if (used != 0)
            bytes += static_cast<char>(held);
        held = used = 0;
        return bytes;
    }

private:
    std::string bytes;
    unsigned held = 0, used = 0;
};

// A zlib stream around deflate data whose expansion is expected.
inline std::string zlib_wrap(const std::string& deflate_data, const std::string& expected) {
    uLong adler = adler32(1, reinterpret_cast<const Bytef*>(expected.data()),
                          static_cast<uInt>(expected.size()));
    std::string stream = "\x78\x01" + deflate_data;
    for (int shift = 24; shift >= 0; shift -= 8)
        stream += static_cast<char>(adler >> shift);
    return stream;
}

// The fixed codes' word for a length/literal symbol.
inline void fixed_symbol(bit_writer& out, unsigned symbol) {
    if (symbol < 144)
        out.code(0x30 + symbol, 8);
    else if (symbol < 256)
        out.code(0x190 + symbol - 144, 9);
    else if (symbol < 280)
        out.code(symbol - 256, 7);
    else
        out.code(0xC0 + symbol - 280, 8);
}

// A fixed-code block: "abcabc...", then one copy with the given length and
// distance symbols (no extra bits), then the end. libdeflate reads length
// symbols 286 and 287 as 258 and distance symbols 30 and 31 as 24577 on;
// zlib refuses them.
inline void put_fixed_copy(bit_writer& out, bool last, std::string& expected,
                           unsigned length_symbol, unsigned distance_symbol, unsigned distance_bits,
                           std::size_t copied, std::size_t distance) {
    out.bits(last ? 1 : 0, 1);
    out.bits(1, 2); // fixed codes
    const std::size_t start = expected.size();
    while (expected.size() - start < 30000) {
        char c = static_cast<char>('a' + expected.size() % 26);
        fixed_symbol(out, static_cast<unsigned char>(c));
        expected += c;
    }
    fixed_symbol(out, length_symbol);
    out.code(distance_symbol, 5);
    out.bits(0, distance_bits);
    for (std::size_t i = 0; i < copied; ++i)
        expected += expected[expected.size() - distance];
    fixed_symbol(out, 256);
}

// The zlib stream of one such block; read (when given) gets what
// libdeflate reads from it.
inline std::string fixed_copy(unsigned length_symbol, unsigned distance_symbol,
                              unsigned distance_bits, std::size_t copied, std::size_t distance,
                              std::string* read = nullptr) {
    bit_writer out;
    std::string expected;
    put_fixed_copy(out, true, expected, length_symbol, distance_symbol, distance_bits, copied,
                   distance);
    if (read != nullptr)
        *read = expected;
    return zlib_wrap(out.finish(), expected);
}

#endif
