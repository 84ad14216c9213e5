// Compares compressors for a cabinet's blocks: the files given (directories
// walked recursively, in name order, regular files only, links not followed)
// are put end to end and cut into 32767-byte blocks, and every block becomes
// one complete zlib stream of its own, as in a cabinet, with zlib at levels
// 1, 6 and 9 and with libdeflate at levels 1 to 12. Prints per method the
// total compressed bytes, their ratio to zlib 6's, the speed on one core (CPU
// time, best of the rounds, and how far the slowest round was from it) and
// how many of its streams zlib's inflate turned back into the same bytes.
// Rounds take the methods in turn, so that a change in the machine's load
// falls on all of them.
//
// usage: bench_compressors [-r ROUNDS] PATH...
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

#include "bench_support.h"

namespace fs = std::filesystem;
using bench::fail;

namespace {

constexpr std::size_t block_size = 0x7FFF;

struct input_data {
    std::vector<unsigned char> bytes;
    std::size_t files = 0;
};

void add_path(const fs::path& path, input_data& input) {
    std::error_code ec;
    fs::file_status status = fs::symlink_status(path, ec);
    if (ec)
        fail(("cannot look at " + path.string()).c_str());
    if (fs::is_regular_file(status)) {
        if (!bench::append_file(path.c_str(), input.bytes))
            fail(("cannot read " + path.string()).c_str());
        ++input.files;
        return;
    }
    if (!fs::is_directory(status))
        return;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    if (ec)
        fail(("cannot list " + path.string()).c_str());
    std::sort(entries.begin(), entries.end());
    for (const fs::path& entry : entries)
        add_path(entry, input);
}

// Every block's stream at a fixed slot of the output, so that a method needs
// nothing but the slot's size to lay them out.
struct streams {
    std::size_t slot = 0;
    std::vector<unsigned char> bytes;
    std::vector<std::size_t> sizes;

    unsigned char* at(std::size_t block) { return bytes.data() + block * slot; }
    std::size_t total() const {
        std::size_t sum = 0;
        for (std::size_t size : sizes)
            sum += size;
        return sum;
    }
};

std::size_t block_length(const input_data& input, std::size_t block) {
    return std::min(block_size, input.bytes.size() - block * block_size);
}

void zlib_compress(const input_data& input, int level, streams& out) {
    z_stream stream = {};
    if (deflateInit(&stream, level) != Z_OK)
        fail("deflateInit failed");
    for (std::size_t i = 0; i < out.sizes.size(); ++i) {
        stream.next_in = const_cast<Bytef*>(input.bytes.data() + i * block_size);
        stream.avail_in = static_cast<uInt>(block_length(input, i));
        stream.next_out = out.at(i);
        stream.avail_out = static_cast<uInt>(out.slot);
        if (deflate(&stream, Z_FINISH) != Z_STREAM_END)
            fail("deflate did not finish a block");
        out.sizes[i] = out.slot - stream.avail_out;
        if (deflateReset(&stream) != Z_OK)
            fail("deflateReset failed");
    }
    deflateEnd(&stream);
}

void libdeflate_compress(const input_data& input, int level, streams& out) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    if (compressor == nullptr)
        fail("libdeflate_alloc_compressor failed");
    for (std::size_t i = 0; i < out.sizes.size(); ++i) {
        // 0 means the stream did not fit the slot, which its bound rules out.
        out.sizes[i] = libdeflate_zlib_compress(compressor, input.bytes.data() + i * block_size,
                                                block_length(input, i), out.at(i), out.slot);
        if (out.sizes[i] == 0)
            fail("libdeflate_zlib_compress did not fit its bound");
    }
    libdeflate_free_compressor(compressor);
}

// The number of streams that zlib's inflate reads to their end, consuming
// every byte, and that give back their block exactly.
std::size_t count_intact(const input_data& input, streams& in) {
    z_stream stream = {};
    if (inflateInit(&stream) != Z_OK)
        fail("inflateInit failed");
    std::vector<unsigned char> block(block_size);
    std::size_t intact = 0;
    for (std::size_t i = 0; i < in.sizes.size(); ++i) {
        std::size_t length = block_length(input, i);
        stream.next_in = in.at(i);
        stream.avail_in = static_cast<uInt>(in.sizes[i]);
        stream.next_out = block.data();
        stream.avail_out = static_cast<uInt>(block.size());
        int result = inflate(&stream, Z_FINISH);
        if (result == Z_STREAM_END && stream.avail_in == 0 &&
            block.size() - stream.avail_out == length &&
            std::memcmp(block.data(), input.bytes.data() + i * block_size, length) == 0)
            ++intact;
        if (inflateReset(&stream) != Z_OK)
            fail("inflateReset failed");
    }
    inflateEnd(&stream);
    return intact;
}

struct method {
    std::string name;
    bool libdeflate;
    int level;
    std::size_t bytes = 0;
    std::size_t intact = 0;
    double best = 0;
    double worst = 0;
};

double mb_per_s(const input_data& input, double seconds) {
    return static_cast<double>(input.bytes.size()) / 1e6 / seconds;
}

} // namespace

int main(int argc, char** argv) {
    bench::program_name = "bench_compressors";
    int rounds = bench::rounds_option(argc, argv);
    if (rounds == 0 || optind >= argc) {
        std::fputs("usage: bench_compressors [-r ROUNDS] PATH...\n", stderr);
        return 2;
    }
    input_data input;
    for (int i = optind; i < argc; ++i)
        add_path(argv[i], input);
    std::size_t count = (input.bytes.size() + block_size - 1) / block_size;
    if (count == 0)
        fail("no data in the files given");

    std::vector<method> methods;
    for (int level : {1, 6, 9})
        methods.push_back({"zlib " + std::to_string(level), false, level});
    for (int level = 1; level <= 12; ++level)
        methods.push_back({"libdeflate " + std::to_string(level), true, level});

    streams out;
    {
        z_stream stream = {};
        if (deflateInit(&stream, 9) != Z_OK)
            fail("deflateInit failed");
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(12);
        if (compressor == nullptr)
            fail("libdeflate_alloc_compressor failed");
        out.slot = std::max<std::size_t>(deflateBound(&stream, block_size),
                                         libdeflate_zlib_compress_bound(compressor, block_size));
        libdeflate_free_compressor(compressor);
        deflateEnd(&stream);
    }
    out.bytes.resize(count * out.slot);
    out.sizes.resize(count);

    for (int round = 0; round < rounds; ++round) {
        for (method& m : methods) {
            double start = bench::cpu_seconds();
            if (m.libdeflate)
                libdeflate_compress(input, m.level, out);
            else
                zlib_compress(input, m.level, out);
            double seconds = bench::cpu_seconds() - start;
            if (round == 0) {
                m.bytes = out.total();
                m.intact = count_intact(input, out);
                m.best = m.worst = seconds;
            } else {
                if (out.total() != m.bytes)
                    fail("a method gave a different size in another round");
                m.best = std::min(m.best, seconds);
                m.worst = std::max(m.worst, seconds);
            }
        }
    }

    const method& reference = methods[1]; // zlib 6, the creator's default
    std::printf("%zu files, %zu bytes, %zu blocks of 32767 bytes; ratio: bytes out / in;\n"
                "MB/s: input MB (10^6 bytes) per CPU second on one core, best of %d; spread:\n"
                "slowest / best - 1; intact: streams that zlib's inflate turned back into their "
                "block\n",
                input.files, input.bytes.size(), count, rounds);
    std::printf("%-14s %12s %9s %8s %7s %9s %7s\n", "method", "bytes", "vs zlib 6", "ratio", "MB/s",
                "spread", "intact");
    for (const method& m : methods)
        std::printf("%-14s %12zu %9.4f %8.4f %7.1f %8.1f%% %7zu\n", m.name.c_str(), m.bytes,
                    static_cast<double>(m.bytes) / static_cast<double>(reference.bytes),
                    static_cast<double>(m.bytes) / static_cast<double>(input.bytes.size()),
                    mb_per_s(input, m.best), 100 * (m.worst / m.best - 1), m.intact);

    const method* pick = nullptr;
    for (const method& m : methods)
        if (m.libdeflate && static_cast<double>(m.bytes) <= 1.01 * reference.bytes &&
            (pick == nullptr || m.best < pick->best))
            pick = &m;
    if (pick == nullptr)
        std::printf("no libdeflate level within +1 %% of zlib 6's bytes\n");
    else
        std::printf("fastest within +1 %% of zlib 6's bytes: %s, %+.2f %% bytes, %.2f x zlib 6's "
                    "speed\n",
                    pick->name.c_str(),
                    100 * (static_cast<double>(pick->bytes) / reference.bytes - 1),
                    reference.best / pick->best);
    for (const method& m : methods)
        if (m.intact != count)
            fail("some streams did not inflate back to their blocks");
    return 0;
}
