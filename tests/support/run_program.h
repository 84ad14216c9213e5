// Runs a program as a child process with a given standard input and captures
// its standard output, standard error and exit status.
#ifndef KISTLE_TESTS_RUN_PROGRAM_H
#define KISTLE_TESTS_RUN_PROGRAM_H

#include <string>
#include <sys/types.h>
#include <vector>

struct program_result {
    std::string out;
    std::string err;
    int exit_status = -1; // -1 when the program did not exit normally
};

struct program_options {
    std::string input;                    // fed to standard input, then closed
    std::string directory;                // working directory; empty keeps the current one
    std::vector<std::string> environment; // extra NAME=VALUE settings
};

// In a child process: moves to options.directory, adds options.environment
// and runs argv[0] with argv; exits with status 127 when it cannot.
[[noreturn]] void exec_program(const std::vector<std::string>& argv,
                               const program_options& options);

// argv[0] is the program's path.
program_result run_program(const std::vector<std::string>& argv,
                           const program_options& options = {});

// Starts argv[0] with argv as a child whose standard input, output and error
// are pipes; the parent's ends come back in in_fd, out_fd and err_fd. The
// child's pid, or -1.
pid_t start_program(const std::vector<std::string>& argv, const program_options& options,
                    int& in_fd, int& out_fd, int& err_fd);

#endif
