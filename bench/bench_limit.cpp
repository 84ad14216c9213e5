// The format's limit on one core: zlib alone compressing a file as the
// library does (independent 32767-byte blocks, level -1, deflateReset between
// blocks, one deflate call with Z_FINISH per block), entirely in memory, then
// inflating every block back, with zlib and with libdeflate's whole-buffer
// decompressor. Prints the best time of each over a few rounds.
//
// usage: bench_limit FILE [ROUNDS]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

namespace {

constexpr std::size_t block_size = 0x7FFF;
constexpr std::size_t block_bound = block_size + block_size / 10 + 12;

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_limit: %s\n", what);
    std::exit(1);
}

std::vector<unsigned char> read_file(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        fail("cannot open the input");
    std::vector<unsigned char> bytes;
    unsigned char piece[1 << 16];
    std::size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0)
        bytes.insert(bytes.end(), piece, piece + got);
    std::fclose(file);
    return bytes;
}

// The compressed blocks back to back, as in a cabinet; block i is bytes
// ends[i - 1] (0 for the first) up to ends[i].
struct compressed_blocks {
    std::vector<unsigned char> bytes;
    std::vector<std::size_t> ends;
};

double deflate_blocks(const std::vector<unsigned char>& input, compressed_blocks& blocks) {
    z_stream stream = {};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK)
        fail("deflateInit failed");
    double start = now();
    std::size_t used = 0;
    for (std::size_t i = 0, offset = 0; offset < input.size(); ++i, offset += block_size) {
        std::size_t size = std::min(block_size, input.size() - offset);
        stream.next_in = const_cast<Bytef*>(input.data() + offset);
        stream.avail_in = static_cast<uInt>(size);
        stream.next_out = blocks.bytes.data() + used;
        stream.avail_out = static_cast<uInt>(block_bound);
        if (deflate(&stream, Z_FINISH) != Z_STREAM_END || deflateReset(&stream) != Z_OK)
            fail("deflate failed");
        used += block_bound - stream.avail_out;
        blocks.ends[i] = used;
    }
    double seconds = now() - start;
    deflateEnd(&stream);
    return seconds;
}

double inflate_blocks(const compressed_blocks& blocks, std::vector<unsigned char>& output) {
    z_stream stream = {};
    if (inflateInit(&stream) != Z_OK)
        fail("inflateInit failed");
    double start = now();
    for (std::size_t i = 0, offset = 0; offset < output.size(); ++i, offset += block_size) {
        std::size_t begin = i == 0 ? 0 : blocks.ends[i - 1];
        std::size_t size = std::min(block_size, output.size() - offset);
        stream.next_in = const_cast<Bytef*>(blocks.bytes.data() + begin);
        stream.avail_in = static_cast<uInt>(blocks.ends[i] - begin);
        stream.next_out = output.data() + offset;
        stream.avail_out = static_cast<uInt>(size);
        if (inflate(&stream, Z_FINISH) != Z_STREAM_END || inflateReset(&stream) != Z_OK)
            fail("inflate failed");
    }
    double seconds = now() - start;
    inflateEnd(&stream);
    return seconds;
}

double libdeflate_blocks(const compressed_blocks& blocks, std::vector<unsigned char>& output) {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (decompressor == nullptr)
        fail("libdeflate_alloc_decompressor failed");
    double start = now();
    for (std::size_t i = 0, offset = 0; offset < output.size(); ++i, offset += block_size) {
        std::size_t begin = i == 0 ? 0 : blocks.ends[i - 1];
        std::size_t size = std::min(block_size, output.size() - offset);
        if (libdeflate_zlib_decompress(decompressor, blocks.bytes.data() + begin,
                                       blocks.ends[i] - begin, output.data() + offset, size,
                                       nullptr) != LIBDEFLATE_SUCCESS)
            fail("libdeflate failed");
    }
    double seconds = now() - start;
    libdeflate_free_decompressor(decompressor);
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fputs("usage: bench_limit FILE [ROUNDS]\n", stderr);
        return 2;
    }
    int rounds = argc == 3 ? std::atoi(argv[2]) : 3;
    if (rounds < 1)
        fail("ROUNDS must be at least 1");
    std::vector<unsigned char> input = read_file(argv[1]);
    std::size_t count = (input.size() + block_size - 1) / block_size;
    compressed_blocks blocks{std::vector<unsigned char>(count * block_bound),
                             std::vector<std::size_t>(count)};
    std::vector<unsigned char> output(input.size());

    double best_deflate = 0, best_inflate = 0, best_libdeflate = 0;
    for (int round = 0; round < rounds; ++round) {
        double d = deflate_blocks(input, blocks);
        double i = inflate_blocks(blocks, output);
        if (output != input)
            fail("the blocks did not inflate back to the input");
        std::fill(output.begin(), output.end(), 0);
        double l = libdeflate_blocks(blocks, output);
        if (output != input)
            fail("libdeflate did not inflate the blocks back to the input");
        if (round == 0 || d < best_deflate)
            best_deflate = d;
        if (round == 0 || i < best_inflate)
            best_inflate = i;
        if (round == 0 || l < best_libdeflate)
            best_libdeflate = l;
    }
    // Each block stands behind its 16-byte header in a cabinet.
    std::size_t stored = (count == 0 ? 0 : blocks.ends[count - 1]) + 16 * count;
    std::printf("bytes %zu\nblocks %zu\nstored %zu\ndeflate %.3f\ninflate %.3f\nlibdeflate %.3f\n",
                input.size(), count, stored, best_deflate, best_inflate, best_libdeflate);
    return 0;
}
