// The programs' interrupt handling: a named temporary file (as on a file
// system without O_TMPFILE) is removed, and the program still ends by the
// signal.
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include <gtest/gtest.h>

#include <kistle/archive.h>
#include <kistle/cabinet_status.h>

#include "child_process.h"
#include "scratch_dir.h"
#include "temporary_file.h"

using namespace kistle::internal;

namespace {

class interrupt_cleanup_test : public ::testing::TestWithParam<int> {};

TEST_P(interrupt_cleanup_test, removes_named_temporary_files) {
    scratch_dir scratch;
    child_end end = run_child(
        [&](const std::function<void()>& ready) {
            kistle::clean_up_on_interrupt();
            temporary_file::allow_unnamed_files(false);
            int directory = open(scratch.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            temporary_file file;
            if (file.create(directory, 0666) != CAB_STATUS_OK || file.name()[0] == '\0')
                _exit(1);
            ready();
        },
        GetParam());
    EXPECT_EQ(end.signal, GetParam());
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
}

INSTANTIATE_TEST_SUITE_P(signals, interrupt_cleanup_test,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

} // namespace
