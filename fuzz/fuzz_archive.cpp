// The application interface's reading path on arbitrary bytes: open (the
// record and the directory's digest), test, every entry read into memory
// and every entry extracted into a private directory, which must be the
// only place that anything is written to. What it calls sound must hold:
// an entry the record vouches for reads back with the size it states. A
// further signature in the input begins the next cabinet of a set, written
// beside the first under the numbered names (input.2.cab, ...), so that
// sets are read too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include <kistle/archive.h>

#include "scratch_space.h"

namespace {

const scratch_space* space = nullptr;

// Extraction costs what an entry claims, and every entry may claim the
// whole folder; past this total the remaining entries are left alone.
constexpr uint64_t budget = uint64_t{64} << 20;
// read() reserves what an entry states up to 64 MiB, as it should; here
// only entries that the fuzzer's allocation limit allows are read.
constexpr uint64_t read_limit = uint64_t{1} << 20;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    space = &make_scratch_space();
    return 0;
}

// Writes the input as cabinets of a set, one at each signature after the
// first byte, at most max_volumes; removes the numbered ones not written.
void write_volumes(const uint8_t* data, size_t size) {
    static constexpr unsigned max_volumes = 4;
    std::vector<size_t> starts = {0};
    for (size_t at = 1; at + 4 <= size && starts.size() < max_volumes; ++at)
        if (std::memcmp(data + at, "MSCF", 4) == 0)
            starts.push_back(at);
    starts.push_back(size);
    write_input(*space, data, starts[1]);
    for (unsigned v = 2; v <= max_volumes; ++v) {
        const std::string name = space->root + "/input." + std::to_string(v) + ".cab";
        if (v + 1 > starts.size()) {
            std::remove(name.c_str());
            continue;
        }
        FILE* file = std::fopen(name.c_str(), "wb");
        const size_t length = starts[v] - starts[v - 1];
        if (file == nullptr || std::fwrite(data + starts[v - 1], 1, length, file) != length ||
            std::fclose(file) != 0)
            std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_volumes(data, size);
    kistle::reader in;
    in.set_threads(1);
    std::error_code ec;
    in.open(space->input, ec);
    if (ec)
        return 0;
    static_cast<void>(in.damage());
    static_cast<void>(in.info(ec));
    static_cast<void>(in.test(ec));

    uint64_t spent = 0;
    auto affordable = [&spent](const kistle::entry& e) {
        if (e.size > budget - spent)
            return false;
        spent += e.size;
        return true;
    };
    for (const kistle::entry& e : in.entries()) {
        if (e.size > read_limit || !affordable(e))
            continue;
        std::string bytes = in.read(e, ec);
        if (!ec && e.verified && bytes.size() != e.size)
            std::abort();
    }
    spent = 0;
    kistle::extract_options options;
    options.select = affordable;
    options.each = [](const kistle::entry&, const kistle::error*, bool) { return true; };
    in.extract_all(space->work, options, ec);
    check_and_empty(*space);
    return 0;
}
