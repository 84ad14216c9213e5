// The whole reading path of cabinet_tool on arbitrary bytes: open, every
// report, and the extraction of every file into a private directory, which
// must be the only place that anything is written to.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <kistle/cabinet_reader.h>

#include "cabinet_report.h"
#include "scratch_space.h"

namespace {

// work/ is the current directory while an input runs.
const scratch_space* space = nullptr;

// Extraction costs what a file claims, and every file may claim the whole
// folder; past this total the remaining files are only reported.
constexpr uint64_t extraction_budget = uint64_t{64} << 20;

// Swallows everything the reports write.
class null_buffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    space = &make_scratch_space();
    static null_buffer sink;
    std::cout.rdbuf(&sink);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_input(*space, data, size);
    const std::string& input = space->input;

    // Only while the input runs: the fuzzer's own paths may be relative.
    int previous = open(".", O_RDONLY | O_DIRECTORY);
    if (previous < 0 || chdir(space->work.c_str()) != 0)
        std::abort();
    {
        // A failed open keeps what it read; the reports must cope with that too.
        cabinet_reader reader;
        static_cast<void>(reader.open(input.c_str()));
        print_cabinet_header(reader.header);
        for (uint64_t i = 0; i < reader.file_headers.count; ++i)
            print_file_row(*reader.file_headers[i], std::cout);
        for (uint64_t i = 0; i < reader.folder_managers.count; ++i)
            print_folder_entry(*reader.folder_managers[i], static_cast<uint16_t>(i));
        uint64_t claimed = 0;
        for (uint64_t i = 0; i < reader.file_headers.count; ++i) {
            const cabinet_file_header& entry = *reader.file_headers[i];
            print_file_entry(entry, static_cast<uint16_t>(i));
            uint64_t cost = entry.uoffFolderStart + entry.cbFile;
            if (cost < entry.cbFile || cost > extraction_budget - claimed)
                continue;
            claimed += cost;
            static_cast<void>(reader.extract(entry.szName.str())); // any status will do
        }
        static_cast<void>(reader.close());
    }

    check_and_empty(*space);
    if (fchdir(previous) != 0)
        std::abort();
    close(previous);
    return 0;
}
