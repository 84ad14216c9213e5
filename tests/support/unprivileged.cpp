#include "unprivileged.h"

#include <cstdio>
#include <grp.h>
#include <unistd.h>

#include "child_process.h"
#include "scratch_dir.h"

namespace {

// The child's exit status when it cannot become the user.
constexpr int cannot_drop = 77;

} // namespace

unprivileged_run run_unprivileged(const std::function<bool(const std::string& directory)>& work) {
    scratch_dir scratch;
    if (scratch.path().empty())
        return unprivileged_run::impossible;
    if (geteuid() != 0)
        return work(scratch.path()) ? unprivileged_run::passed : unprivileged_run::failed;
    if (chown(scratch.path().c_str(), unprivileged_id, unprivileged_id) != 0)
        return unprivileged_run::impossible;
    // Output still buffered would be written twice, once by the child.
    std::fflush(nullptr);
    child_end end = run_child(
        [&](const std::function<void()>&) {
            if (setgroups(0, nullptr) != 0 || setgid(unprivileged_id) != 0 ||
                setuid(unprivileged_id) != 0 || access(scratch.path().c_str(), W_OK | X_OK) != 0)
                _exit(cannot_drop);
            bool passed = work(scratch.path());
            std::fflush(nullptr);
            _exit(passed ? 0 : 1);
        },
        0);
    if (end.exit_status == cannot_drop)
        return unprivileged_run::impossible;
    return end.exit_status == 0 ? unprivileged_run::passed : unprivileged_run::failed;
}
