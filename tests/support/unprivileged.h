// Work done with the rights of an ordinary user, for tests of what the
// library does without privileges, whoever runs the tests.
#ifndef KISTLE_TESTS_UNPRIVILEGED_H
#define KISTLE_TESTS_UNPRIVILEGED_H

#include <functional>
#include <string>

enum class unprivileged_run { passed, failed, impossible };

// The user and group root drops to.
constexpr unsigned unprivileged_id = 65534;

// Runs work(directory), where directory is a fresh scratch directory the
// user may write, removed afterwards; passed when work returns true. A
// process that is not root runs it itself. Root forks a child that gives the
// directory to unprivileged_id, drops to it (user, group and supplementary
// groups) and runs work there; what work checks with the test framework is
// reported by the child, so work should return whether it found no failure
// (!::testing::Test::HasFailure()). impossible when root cannot drop its
// rights or the user cannot reach the directory.
unprivileged_run run_unprivileged(const std::function<bool(const std::string& directory)>& work);

#endif
