// The threads this process runs, for tests of when threads start and end.
#ifndef KISTLE_TESTS_PROCESS_THREADS_H
#define KISTLE_TESTS_PROCESS_THREADS_H

#include <cstddef>
#include <dirent.h>
#include <thread>

inline std::size_t process_threads() {
    std::size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks))
            count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

// The count with no thread of the library running. A sanitizer's runtime
// may start a thread of its own with the first one, so one runs first.
inline std::size_t process_threads_alone() {
    std::thread([] {}).join();
    return process_threads();
}

#endif
