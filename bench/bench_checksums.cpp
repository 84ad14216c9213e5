// Compares checksums on one core, in memory: XXH3 (64 and 128 bits; the
// plain calls of libxxhash and those that choose the widest vector unit of
// the processor at run time), libdeflate's and zlib's CRC-32 and Adler-32,
// and the format's own block checksum for reference. Each is taken over
// 64 MiB of data as one buffer, as 32767-byte blocks and as 4 KiB buffers,
// each piece checked on its own, and over 32767-byte blocks of 256 KiB that
// stay in the cache, as a block just expanded would.
// Speed is GB (10^9 bytes) per CPU second, best of the rounds; a round goes
// over the data until it has taken a quarter of a second. Rounds take the
// methods in turn, so that a change in the machine's load falls on all.
//
// usage: bench_checksums [-r ROUNDS]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <kistle/cabinet_datablock.h>
#include <libdeflate.h>
#include <xxhash.h>
// Both the plain calls and the ones that choose at run time, side by side.
#define XXH_DISPATCH_DISABLE_REPLACE
#include <xxh_x86dispatch.h>
#include <zlib.h>

#include "bench_support.h"

namespace {

using checksum_fn = std::uint64_t (*)(const unsigned char*, std::size_t);

std::uint64_t xxh3_64(const unsigned char* p, std::size_t n) {
    return XXH3_64bits(p, n);
}

std::uint64_t xxh3_128(const unsigned char* p, std::size_t n) {
    XXH128_hash_t h = XXH3_128bits(p, n);
    return h.low64 ^ h.high64;
}

std::uint64_t xxh3_64_dispatch(const unsigned char* p, std::size_t n) {
    return XXH3_64bits_dispatch(p, n);
}

std::uint64_t xxh3_128_dispatch(const unsigned char* p, std::size_t n) {
    XXH128_hash_t h = XXH3_128bits_dispatch(p, n);
    return h.low64 ^ h.high64;
}

std::uint64_t libdeflate_crc(const unsigned char* p, std::size_t n) {
    return libdeflate_crc32(0, p, n);
}

std::uint64_t libdeflate_adler(const unsigned char* p, std::size_t n) {
    return libdeflate_adler32(1, p, n);
}

std::uint64_t zlib_crc(const unsigned char* p, std::size_t n) {
    return crc32_z(0, p, n);
}

std::uint64_t zlib_adler(const unsigned char* p, std::size_t n) {
    return adler32_z(1, p, n);
}

std::uint64_t block_checksum(const unsigned char* p, std::size_t n) {
    return cabinet_datablock::CSUMCompute(p, static_cast<std::uint32_t>(n), 0);
}

struct method {
    const char* name;
    checksum_fn fn;
};

struct shape {
    const char* name;
    std::size_t piece;
    std::size_t span; // the bytes from the start of the data that it goes over
};

// Keeps the results alive, so that no call is optimised away.
volatile std::uint64_t sink;

// GB per CPU second over the data of the shape, cut into its pieces.
double measure(checksum_fn fn, const std::vector<unsigned char>& data, const shape& s) {
    std::uint64_t folded = 0;
    std::size_t bytes = 0;
    double start = bench::cpu_seconds();
    double seconds = 0;
    do {
        for (std::size_t offset = 0; offset < s.span; offset += s.piece)
            folded ^= fn(data.data() + offset, std::min(s.piece, s.span - offset));
        bytes += s.span;
        seconds = bench::cpu_seconds() - start;
    } while (seconds < 0.25);
    sink = sink ^ folded;
    return static_cast<double>(bytes) / 1e9 / seconds;
}

} // namespace

int main(int argc, char** argv) {
    bench::program_name = "bench_checksums";
    int rounds = bench::rounds_option(argc, argv);
    if (rounds == 0 || optind != argc) {
        std::fputs("usage: bench_checksums [-r ROUNDS]\n", stderr);
        return 2;
    }
    // The sums take the same time whatever the bytes; these are not zeros,
    // so that nothing can pass over them.
    std::vector<unsigned char> data(64u << 20);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (unsigned char& byte : data) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<unsigned char>(state);
    }

    const method methods[] = {
        {"XXH3-64", xxh3_64},
        {"XXH3-128", xxh3_128},
        {"XXH3-64, chosen", xxh3_64_dispatch},
        {"XXH3-128, chosen", xxh3_128_dispatch},
        {"libdeflate crc32", libdeflate_crc},
        {"zlib crc32", zlib_crc},
        {"libdeflate adler32", libdeflate_adler},
        {"zlib adler32", zlib_adler},
        {"block checksum", block_checksum},
    };
    const shape shapes[] = {{"64 MiB", data.size(), data.size()},
                            {"32767 B", 0x7FFF, data.size()},
                            {"4 KiB", 4096, data.size()},
                            {"32767 B, cached", 0x7FFF, 8 * 0x7FFF}};
    constexpr std::size_t method_count = sizeof methods / sizeof methods[0];
    constexpr std::size_t shape_count = sizeof shapes / sizeof shapes[0];
    double best[method_count][shape_count] = {};
    double worst[method_count][shape_count] = {};
    for (int round = 0; round < rounds; ++round)
        for (std::size_t s = 0; s < shape_count; ++s)
            for (std::size_t m = 0; m < method_count; ++m) {
                double speed = measure(methods[m].fn, data, shapes[s]);
                best[m][s] = round == 0 ? speed : std::max(best[m][s], speed);
                worst[m][s] = round == 0 ? speed : std::min(worst[m][s], speed);
            }

    std::printf("GB/s on one core (CPU time), best of %d; in brackets: best / slowest - 1\n",
                rounds);
    std::printf("%-20s", "checksum");
    for (const shape& s : shapes)
        std::printf(" %17s", s.name);
    std::printf("\n");
    for (std::size_t m = 0; m < method_count; ++m) {
        std::printf("%-20s", methods[m].name);
        for (std::size_t s = 0; s < shape_count; ++s)
            std::printf(" %8.2f (%4.1f%%)", best[m][s], 100 * (best[m][s] / worst[m][s] - 1));
        std::printf("\n");
    }
    return 0;
}
