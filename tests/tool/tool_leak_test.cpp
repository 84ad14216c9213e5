// cabinet_tool under valgrind on every way through it, successes and
// failures of both modes: no memory error, nothing definitely or indirectly
// lost.
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "cabinet_image.h"
#include "run_program.h"
#include "scratch_dir.h"

namespace {

struct leak_case {
    const char* name;
    std::vector<std::string> arguments; // after the tool's path
    std::string input;
    int exit_status;
    std::string err; // what the tool itself writes to standard error
};

void PrintTo(const leak_case& c, std::ostream* out) {
    *out << c.name;
}

// The tool runs in a scratch directory holding two plain files and three
// cabinets: a sound one, one with a damaged block and one cut short.
class tool_under_valgrind_test : public ::testing::TestWithParam<leak_case> {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch.path().empty());
        ASSERT_EQ(mkdir(scratch.file("tmp").c_str(), 0700), 0);
        scratch.write("a.txt", std::string(5000, 'a'));
        scratch.write("b.txt", std::string(40000, 'b'));
        test_cabinet cabinet;
        cabinet.add_folder(1, {{"a", "first file"}, {"sub/b", std::string(40000, 'b')}}, 16384);
        cabinet.add_folder(0, {{"c", "stored"}});
        std::string image = build_cabinet(cabinet);
        scratch.write("archive.cab", image);
        scratch.write("cut.cab", image.substr(0, 100));
        cabinet.folders[0].blocks[1].bad_checksum = true;
        scratch.write("damaged.cab", build_cabinet(cabinet));
    }

    scratch_dir scratch;
};

TEST_P(tool_under_valgrind_test, leaks_nothing) {
    const leak_case& c = GetParam();
    std::string log = scratch.file("valgrind.log");
    // A distinct status for valgrind's findings: the tool's failures exit 1.
    std::vector<std::string> argv = {
        VALGRIND_PATH,         "--quiet",
        "--leak-check=full",   "--errors-for-leak-kinds=definite,indirect",
        "--error-exitcode=99", "--log-file=" + log,
        CABINET_TOOL_PATH};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    // valgrind makes files in TMPDIR too, so the creator's failure to make
    // one cannot be provoked here; the sanitizer build's dialogue tests
    // catch a leak on that path.
    program_result result =
        run_program(argv, {c.input, scratch.path(), {"TMPDIR=" + scratch.file("tmp"), "TZ=UTC"}});
    // Errors and leaks come as ==pid== lines; --pid-- lines are valgrind's
    // own notes, such as a system call it does not know (openat2 before
    // valgrind 3.22), which the library then does without.
    std::string findings;
    std::istringstream lines(scratch_dir::read(log));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("--", 0) != 0)
            findings += line + "\n";
    }
    EXPECT_EQ(result.exit_status, c.exit_status) << findings;
    EXPECT_EQ(result.err, c.err);
    // --quiet leaves only errors in the log, leaks among them.
    EXPECT_EQ(findings, "");
}

const std::string failed_to_extract = "Failed to extract: ";

INSTANTIATE_TEST_SUITE_P(
    tool, tool_under_valgrind_test,
    ::testing::Values(
        leak_case{"creation", {}, "a.txt\nb.txt\n\nout.cab\n", 0, ""},
        leak_case{"creation_of_a_missing_file",
                  {},
                  "a.txt\nnope\n",
                  1,
                  "read: No such file or directory\nAdd file Error: -31\nUnable to open: nope\n"},
        leak_case{"creation_into_a_missing_directory",
                  {},
                  "b.txt\n\nmissing/out.cab\n",
                  1,
                  "Close Error: -31\n"},
        leak_case{
            "creation_onto_a_full_device", {}, "b.txt\n\n/dev/full\n", 1, "Close Error: -4\n"},
        leak_case{"creation_at_end_of_input", {}, "", 1, "Close Error: -31\n"},
        leak_case{"report_and_extraction", {"archive.cab", "a", "sub/b", "c"}, "", 0, ""},
        leak_case{"report_of_a_missing_cabinet",
                  {"missing.cab"},
                  "",
                  1,
                  "Unable to open cabinet file: missing.cab: -6\n"},
        leak_case{"report_of_a_cut_cabinet",
                  {"cut.cab"},
                  "",
                  1,
                  "Unable to open cabinet file: cut.cab: -15\n"},
        leak_case{"extraction_of_an_unknown_name",
                  {"archive.cab", "a", "nope"},
                  "",
                  1,
                  failed_to_extract + "nope\nReason for failure: Requested file was not found\n"},
        leak_case{"extraction_from_a_damaged_block",
                  {"damaged.cab", "sub/b"},
                  "",
                  1,
                  failed_to_extract +
                      "sub/b\nReason for failure: A checksum error has been encountered\n"}),
    [](const ::testing::TestParamInfo<leak_case>& info) { return info.param.name; });

} // namespace
