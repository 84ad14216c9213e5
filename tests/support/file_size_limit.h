// Lowers the size that this process may give any file while it lives, so
// that writes past it fail as on a full disk (EFBIG instead of a signal).
#ifndef KISTLE_TESTS_FILE_SIZE_LIMIT_H
#define KISTLE_TESTS_FILE_SIZE_LIMIT_H

#include <csignal>
#include <sys/resource.h>

class file_size_limit {
public:
    explicit file_size_limit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        previous_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~file_size_limit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous_handler);
    }
    file_size_limit(const file_size_limit&) = delete;
    file_size_limit& operator=(const file_size_limit&) = delete;

private:
    rlimit saved;
    void (*previous_handler)(int);
};

#endif
