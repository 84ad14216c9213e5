// What the record costs: the same files written by kistle::writer as a plain
// cabinet and as one with its record (checksums of every file and of the
// directory, the tree's entries), both with zlib at level 6, one folder
// filled to its limit and one thread, so that only the record differs; and
// read back whole by extract_all. Then the record's size for 65535 entries.
//
// usage: bench_record [-r ROUNDS] FILE TREE
// Writes its cabinets and extracted files in the current directory.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>

#include <kistle/archive.h>

#include "bench_support.h"

namespace fs = std::filesystem;

namespace {

struct best {
    double wall = 1e300, cpu = 1e300;
    void take(double w, double c) {
        wall = std::min(wall, w);
        cpu = std::min(cpu, c);
    }
};

double process_cpu() {
    return bench::seconds_of(CLOCK_PROCESS_CPUTIME_ID);
}

template <class Work> void measure(best& into, Work work) {
    const double wall = bench::wall_seconds(), cpu = process_cpu();
    work();
    into.take(bench::wall_seconds() - wall, process_cpu() - cpu);
}

void create(const fs::path& cabinet, const fs::path& source, bool record) {
    kistle::writer out;
    out.set_threads(1);
    out.set_plain(!record);
    out.set_deflater(kistle::deflater::zlib);
    out.set_level(6);
    out.set_folder_size(0);
    out.open(cabinet);
    if (fs::is_directory(source))
        out.add_tree(source, source.filename().string());
    else
        out.add_file(source, source.filename().string());
    out.commit();
}

void extract(const fs::path& cabinet, const fs::path& directory) {
    fs::remove_all(directory);
    fs::create_directory(directory);
    kistle::reader in(cabinet);
    in.set_threads(1);
    in.extract_all(directory);
}

void row(const char* what, const best& plain, const best& record) {
    std::printf("%-32s %8.3f %8.3f %8.3f %8.3f %+7.1f %%\n", what, plain.wall, record.wall,
                plain.cpu, record.cpu, 100.0 * (record.cpu / plain.cpu - 1));
}

void compare(const char* label, const fs::path& source, int rounds) {
    best made[2], read[2];
    for (int round = 0; round < rounds; ++round)
        for (int record = 0; record < 2; ++record) {
            const fs::path cabinet = record ? "record.cab" : "plain.cab";
            measure(made[record], [&] { create(cabinet, source, record != 0); });
            measure(read[record], [&] { extract(cabinet, "out"); });
        }
    const uintmax_t plain_size = fs::file_size("plain.cab");
    const uintmax_t record_size = fs::file_size("record.cab");
    std::string what = std::string("create, ") + label;
    row(what.c_str(), made[0], made[1]);
    what = std::string("extract, ") + label;
    row(what.c_str(), read[0], read[1]);
    std::printf("  cabinet: %ju bytes plain, %ju with the record (%+.2f %%)\n", plain_size,
                record_size, 100.0 * (static_cast<double>(record_size) / plain_size - 1));
    fs::remove_all("out");
    fs::remove("plain.cab");
    fs::remove("record.cab");
}

// 65535 files of 64 bytes in 256 directories: the record's folder, and what
// the cabinet weighs besides the plain one of the same files.
void record_size() {
    const std::string bytes(64, 'x');
    for (int record = 0; record < 2; ++record) {
        kistle::writer out;
        out.set_plain(record == 0);
        out.set_deflater(kistle::deflater::zlib);
        out.set_folder_size(0);
        out.open(record ? "many_record.cab" : "many_plain.cab");
        char name[32];
        for (int i = 0; i < 65535; ++i) {
            std::snprintf(name, sizeof name, "d%03d/f%05d", i % 256, i);
            out.add_bytes(name, bytes, std::time_t{1700000000});
        }
        out.commit();
    }
    kistle::reader in("many_record.cab");
    const kistle::cabinet_info info = in.info();
    if (!info.record_folder)
        bench::fail("the cabinet has no record");
    const kistle::folder_info folder = in.folders()[*info.record_folder];
    const uintmax_t plain = fs::file_size("many_plain.cab");
    const uintmax_t with = fs::file_size("many_record.cab");
    std::printf("record of 65535 entries (64-byte files in 256 directories): %" PRIu64
                " bytes, %" PRIu64 " compressed (%.1f bytes an entry); cabinet %ju bytes"
                " against %ju plain (%+.1f %%)\n",
                folder.uncompressed_size, folder.compressed_size,
                static_cast<double>(folder.compressed_size) / 65535, with, plain,
                100.0 * (static_cast<double>(with) / plain - 1));
    fs::remove("many_plain.cab");
    fs::remove("many_record.cab");
}

} // namespace

int main(int argc, char** argv) {
    bench::program_name = "bench_record";
    const int rounds = bench::rounds_option(argc, argv);
    if (rounds == 0 || argc - optind != 2) {
        std::fputs("usage: bench_record [-r ROUNDS] FILE TREE\n", stderr);
        return 2;
    }
    try {
        std::printf("%-32s %8s %8s %8s %8s %9s\n", "", "wall s", "", "CPU s", "", "CPU");
        std::printf("%-32s %8s %8s %8s %8s %9s\n", "", "plain", "record", "plain", "record",
                    "cost");
        compare("64 MiB file", argv[optind], rounds);
        compare("tree of 3000 files", argv[optind + 1], rounds);
        record_size();
    } catch (const std::exception& e) {
        bench::fail(e.what());
    }
    return 0;
}
