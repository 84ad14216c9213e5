// Runs a program a few times and prints the wall time of its fastest run, the
// peak resident memory of its largest run and the CPU time (user and system)
// of its most frugal run: "SECONDS PEAK_KIB CPU_SECONDS". The peak and the
// CPU time come from the kernel's account of the child (wait4), which takes
// in the processes it started and waited for (a compressor that tar runs);
// the peak includes the few pages of this program that the child held
// between fork and exec. Every
// run starts after a sync, so no run pays for the writes of the one before.
//
// usage: bench_measure [-n RUNS] [-i INPUT] [-o OUTPUT] [-r FILE] [-w DIR] -- PROGRAM [ARG...]
//   -n  number of runs (default 1)
//   -i  standard input read from INPUT (default /dev/null)
//   -o  standard output written to OUTPUT (default /dev/null)
//   -r  FILE removed before every run, so that no run replaces an earlier one's
//   -w  run in DIR, emptied before every run
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

[[noreturn]] void fail(const char* what, const char* detail) {
    std::fprintf(stderr, "bench_measure: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    std::exit(1);
}

int remove_below_top(const char* path, const struct stat*, int, FTW* where) {
    if (where->level > 0 && std::remove(path) != 0)
        return -1;
    return 0;
}

// Standard input and output of the child; the file names are taken relative
// to the starting directory.
void redirect(int target, const char* path, int flags) {
    int fd = open(path, flags, 0666);
    if (fd < 0 || dup2(fd, target) < 0)
        _exit(126);
    close(fd);
}

struct run_result {
    double seconds;
    long peak_kib;
    double cpu_seconds;
};

double seconds_of(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

struct run_options {
    const char* input = "/dev/null";
    const char* output = "/dev/null";
    const char* removed = nullptr;
    const char* directory = nullptr;
};

run_result run_once(char** program, const run_options& options) {
    const char* directory = options.directory;
    if (options.removed != nullptr && std::remove(options.removed) != 0 && errno != ENOENT)
        fail("cannot remove", options.removed);
    if (directory != nullptr && nftw(directory, remove_below_top, 16, FTW_DEPTH | FTW_PHYS) != 0)
        fail("cannot empty", directory);
    sync();
    double start = now();
    pid_t child = fork();
    if (child < 0)
        fail("fork failed", std::strerror(errno));
    if (child == 0) {
        redirect(STDIN_FILENO, options.input, O_RDONLY);
        redirect(STDOUT_FILENO, options.output, O_WRONLY | O_CREAT | O_TRUNC);
        if (directory != nullptr && chdir(directory) != 0)
            _exit(126);
        execv(program[0], program);
        _exit(127);
    }
    int status = 0;
    rusage usage = {};
    if (wait4(child, &status, 0, &usage) != child)
        fail("wait4 failed", std::strerror(errno));
    double seconds = now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_measure: %s ended with status %d\n", program[0],
                     WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        std::exit(1);
    }
    return {seconds, usage.ru_maxrss, seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime)};
}

} // namespace

int main(int argc, char** argv) {
    int runs = 1;
    run_options options;
    int option;
    while ((option = getopt(argc, argv, "+n:i:o:r:w:")) != -1) {
        switch (option) {
        case 'n':
            runs = std::atoi(optarg);
            break;
        case 'i':
            options.input = optarg;
            break;
        case 'o':
            options.output = optarg;
            break;
        case 'r':
            options.removed = optarg;
            break;
        case 'w':
            options.directory = optarg;
            break;
        default:
            return 2;
        }
    }
    if (optind >= argc || runs < 1) {
        std::fputs("usage: bench_measure [-n RUNS] [-i INPUT] [-o OUTPUT] [-r FILE] [-w DIR] -- "
                   "PROGRAM [ARG...]\n",
                   stderr);
        return 2;
    }
    run_result best = run_once(argv + optind, options);
    for (int i = 1; i < runs; ++i) {
        run_result next = run_once(argv + optind, options);
        if (next.seconds < best.seconds)
            best.seconds = next.seconds;
        if (next.peak_kib > best.peak_kib)
            best.peak_kib = next.peak_kib;
        if (next.cpu_seconds < best.cpu_seconds)
            best.cpu_seconds = next.cpu_seconds;
    }
    std::printf("%.4f %ld %.4f\n", best.seconds, best.peak_kib, best.cpu_seconds);
    return 0;
}
