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

namespace {

// root holds input.cab and outer/, which holds work/, the current directory
// while an input runs: a name that climbed one or two levels out of work/
// would land in outer/ or root.
std::string root;
std::string work;

// Extraction costs what a file claims, and every file may claim the whole
// folder; past this total the remaining files are only reported.
constexpr uint64_t extraction_budget = uint64_t{64} << 20;

// Removes everything inside top. A cabinet may nest directories as deep as
// its names are long, so this keeps no recursion and one descriptor at a
// time: it goes down to a directory without subdirectories, empties it, and
// climbs back to remove it. Directories made read-only are opened up first.
void empty_directory(int top) {
    std::vector<std::string> below; // names from top down to current
    int current = dup(top);
    while (current >= 0) {
        DIR* listing = fdopendir(dup(current));
        if (listing == nullptr)
            std::abort();
        std::string subdirectory;
        while (dirent* entry = readdir(listing)) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            struct stat status;
            if (fstatat(current, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                std::abort();
            if (S_ISDIR(status.st_mode))
                subdirectory = name;
            else if (unlinkat(current, name, 0) != 0)
                std::abort();
        }
        closedir(listing);
        int next;
        if (!subdirectory.empty()) {
            fchmodat(current, subdirectory.c_str(), 0700, 0);
            next = openat(current, subdirectory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (next < 0)
                std::abort();
            below.push_back(subdirectory);
        } else if (!below.empty()) {
            next = openat(current, "..", O_RDONLY | O_DIRECTORY);
            if (next < 0 || unlinkat(next, below.back().c_str(), AT_REMOVEDIR) != 0)
                std::abort();
            below.pop_back();
        } else {
            next = -1;
        }
        close(current);
        current = next;
    }
}

// True when directory holds nothing but the expected entries.
bool holds_only(const std::string& directory, std::initializer_list<const char*> expected) {
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr)
        return false;
    bool only = true;
    while (dirent* entry = readdir(listing)) {
        const char* name = entry->d_name;
        bool known = std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
        for (const char* each : expected)
            known = known || std::strcmp(name, each) == 0;
        only = only && known;
    }
    closedir(listing);
    return only;
}

// Swallows everything the reports write.
class null_buffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kistle-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        std::abort();
    root = pattern;
    work = root + "/outer/work";
    if (mkdir((root + "/outer").c_str(), 0700) != 0 || mkdir(work.c_str(), 0700) != 0)
        std::abort();
    static null_buffer sink;
    std::cout.rdbuf(&sink);
    // The scratch directory goes with the process when it ends normally.
    std::atexit([] {
        int directory = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        if (directory >= 0) {
            empty_directory(directory);
            close(directory);
            rmdir(root.c_str());
        }
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input = root + "/input.cab";
    FILE* file = std::fopen(input.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        std::abort();

    // Only while the input runs: the fuzzer's own paths may be relative.
    int previous = open(".", O_RDONLY | O_DIRECTORY);
    if (previous < 0 || chdir(work.c_str()) != 0)
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

    if (!holds_only(root, {"input.cab", "outer"}) || !holds_only(root + "/outer", {"work"}))
        std::abort();
    int directory = open(".", O_RDONLY | O_DIRECTORY);
    empty_directory(directory);
    close(directory);
    if (fchdir(previous) != 0)
        std::abort();
    close(previous);
    return 0;
}
