#include "scratch_space.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
scratch_space space;
} // namespace

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

const scratch_space& make_scratch_space() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kistle-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        std::abort();
    space.root = pattern;
    space.work = space.root + "/outer/work";
    space.input = space.root + "/input.cab";
    if (mkdir((space.root + "/outer").c_str(), 0700) != 0 || mkdir(space.work.c_str(), 0700) != 0)
        std::abort();
    // The scratch directory goes with the process when it ends normally.
    std::atexit([] {
        int directory = open(space.root.c_str(), O_RDONLY | O_DIRECTORY);
        if (directory >= 0) {
            empty_directory(directory);
            close(directory);
            rmdir(space.root.c_str());
        }
    });
    return space;
}

void write_input(const scratch_space& where, const uint8_t* data, std::size_t size) {
    FILE* file = std::fopen(where.input.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        std::abort();
}

void check_and_empty(const scratch_space& where) {
    if (!holds_only(where.root,
                    {"input.cab", "input.2.cab", "input.3.cab", "input.4.cab", "outer"}) ||
        !holds_only(where.root + "/outer", {"work"}))
        std::abort();
    int directory = open(where.work.c_str(), O_RDONLY | O_DIRECTORY);
    if (directory < 0)
        std::abort();
    empty_directory(directory);
    close(directory);
}
