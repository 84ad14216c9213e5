// The calls a test program makes to umask(). The umask belongs to the whole
// process (other threads create files meanwhile), and umask() cannot even
// read it without setting it, so the library must never call it. A program
// that uses umask_calls gets a umask() that counts its calls.
#ifndef KISTLE_TESTS_UMASK_CALLS_H
#define KISTLE_TESTS_UMASK_CALLS_H

#include <atomic>

extern std::atomic<int> umask_calls;

#endif
