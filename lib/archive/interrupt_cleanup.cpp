#include <kistle/archive.h>

#include <csignal>

#include "temporary_file.h"

namespace kistle {

namespace {

const int interrupts[] = {SIGINT, SIGTERM, SIGHUP};

void on_interrupt(int number) {
    internal::remove_temporary_files();
    // The default action, so the program ends by this signal as it would have.
    std::signal(number, SIG_DFL);
    std::raise(number);
}

} // namespace

void remove_temporary_files() noexcept {
    internal::remove_temporary_files();
}

void clean_up_on_interrupt() noexcept {
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    // One cleanup at a time.
    sigemptyset(&action.sa_mask);
    for (int number : interrupts)
        sigaddset(&action.sa_mask, number);
    for (int number : interrupts) {
        struct sigaction previous;
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        sigaction(number, &action, nullptr);
    }
}

} // namespace kistle
