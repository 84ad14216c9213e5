// Children that are stopped by a signal at a chosen point, for tests of what
// an interrupted run leaves behind.
#ifndef KISTLE_TESTS_CHILD_PROCESS_H
#define KISTLE_TESTS_CHILD_PROCESS_H

#include <functional>
#include <string>
#include <vector>

#include "run_program.h"

struct child_end {
    int signal = 0;       // the signal that ended the child, 0 when it exited
    int exit_status = -1; // its exit status when it exited
};

// Forks a child that runs work(ready) and then exits with status 0. Once the
// child calls ready(), the parent sends it signal (none for 0) and waits for
// its end; a child that ends without calling ready() is simply waited for.
child_end run_child(const std::function<void(const std::function<void()>& ready)>& work,
                    int signal);

// Starts a program with options.input on its standard input, which stays
// open, waits until its standard output holds wait_for, sends it signal and
// waits for its end. Its output and error are in result.
child_end interrupt_program(const std::vector<std::string>& argv, const program_options& options,
                            const std::string& wait_for, int signal, program_result& result);

#endif
