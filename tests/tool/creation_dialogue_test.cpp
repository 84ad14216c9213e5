// The creation dialogue end to end: the real cabinet_tool with a piped
// standard input, its exact output, messages and exit status, and the
// cabinet it wrote read back.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cabinet_parse.h"
#include "child_process.h"
#include "run_program.h"
#include "scratch_dir.h"

namespace {

const std::string file_prompt = "Enter filename: ";
const std::string cabinet_prompt = "Enter filename for cabinet: ";

std::string file_prompts(int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += file_prompt;
    return text;
}

// The tool runs in a scratch directory holding a.txt, b.txt and the
// directory sub, with its temporary files going to tmp/, which must be empty
// after every run.
class dialogue_test : public ::testing::Test {
protected:
    scratch_dir scratch;
    std::string temp_dir = scratch.file("tmp");
    std::string a_bytes = sample_bytes(100, 1);
    std::string b_bytes = sample_bytes(40000, 2);

    void SetUp() override {
        ASSERT_FALSE(scratch.path().empty());
        ASSERT_EQ(mkdir(temp_dir.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(scratch.file("sub").c_str(), 0700), 0);
        scratch.write("a.txt", a_bytes);
        scratch.write("b.txt", b_bytes);
    }
    void TearDown() override {
        EXPECT_TRUE(scratch_dir::names_in(temp_dir).empty()) << "a temporary file was left behind";
    }

    program_result run(const std::string& input, const std::string& tmpdir = "") {
        program_options options;
        options.input = input;
        options.directory = scratch.path();
        options.environment = {"TMPDIR=" + (tmpdir.empty() ? temp_dir : tmpdir), "TZ=UTC"};
        return run_program({CABINET_TOOL_PATH}, options);
    }

    // Runs a dialogue that must succeed after file_prompt_count file-name
    // prompts, and reads back the cabinet it wrote to out.cab.
    parsed_cabinet run_to_cabinet(const std::string& input, int file_prompt_count) {
        program_result result = run(input);
        EXPECT_EQ(result.out, file_prompts(file_prompt_count) + cabinet_prompt);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 0);
        return parse_cabinet(scratch.file("out.cab"));
    }
};

struct failure_case {
    const char* name;
    std::string input;
    std::string out;
    std::string err;
    bool missing_tmpdir = false;
};

void PrintTo(const failure_case& c, std::ostream* out) {
    *out << c.name;
}

class dialogue_failure_test : public dialogue_test,
                              public ::testing::WithParamInterface<failure_case> {};

TEST_P(dialogue_failure_test, reports_and_writes_no_cabinet) {
    const failure_case& c = GetParam();
    std::vector<std::string> before = scratch_dir::names_in(scratch.path());
    program_result result = run(c.input, c.missing_tmpdir ? scratch.file("missing") : "");
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(scratch_dir::names_in(scratch.path()), before);
}

const std::string long_name(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    tool, dialogue_failure_test,
    ::testing::Values(
        failure_case{"no_temporary_file", "a.txt\n", "", "Open Error: -26\n", true},
        failure_case{
            "missing_file", "a.txt\nnope\n", file_prompts(2),
            "read: No such file or directory\nAdd file Error: -31\nUnable to open: nope\n"},
        failure_case{"directory", "sub\n", file_prompts(1),
                     "read: Is a directory\nAdd file Error: -3\nUnable to open: sub\n"},
        failure_case{"trailing_blank_kept", "a.txt \n", file_prompts(1),
                     "read: No such file or directory\nAdd file Error: -31\n"
                     "Unable to open: a.txt \n"},
        // A line longer than the reply buffer comes in pieces of 255.
        failure_case{"long_line", long_name + "\n", file_prompts(1),
                     "read: No such file or directory\nAdd file Error: -31\nUnable to open: " +
                         long_name.substr(0, 255) + "\n"},
        failure_case{"empty_cabinet_name", "a.txt\n\n\n", file_prompts(2) + cabinet_prompt,
                     "Close Error: -31\n"},
        failure_case{"missing_directory", "a.txt\n\nmissing/out.cab\n",
                     file_prompts(2) + cabinet_prompt, "Close Error: -31\n"},
        // End of input ends the list and names no cabinet; a name read
        // before it is added once, never again.
        failure_case{"end_of_input", "", file_prompts(1) + cabinet_prompt, "Close Error: -31\n"},
        failure_case{"end_of_input_after_a_name", "a.txt", file_prompts(2) + cabinet_prompt,
                     "Close Error: -31\n"}),
    [](const ::testing::TestParamInfo<failure_case>& info) { return info.param.name; });

TEST_F(dialogue_test, writes_the_cabinet) {
    struct timespec when[2] = {{1709647629, 0}, {1709647629, 0}}; // 2024-03-05 14:07:09 UTC
    ASSERT_EQ(utimensat(AT_FDCWD, scratch.file("a.txt").c_str(), when, 0), 0);
    parsed_cabinet cabinet = run_to_cabinet("a.txt\nb.txt\na.txt\n\nout.cab\n", 4);
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.folders.size(), 1u);
    EXPECT_EQ(cabinet.folders[0].typeCompress, 1);
    ASSERT_EQ(cabinet.files.size(), 3u); // a name given twice is added twice
    const char* names[] = {"a.txt", "b.txt", "a.txt"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(cabinet.files[i].name, names[i]);
        EXPECT_TRUE(cabinet.content(cabinet.files[i]) == (i == 1 ? b_bytes : a_bytes));
    }
    EXPECT_EQ(cabinet.files[0].date, 0x5865);
    EXPECT_EQ(cabinet.files[0].time, 0x70E4);
}

// A refusal that no system call caused has no perror line: the library's
// limit on file entries, at the 65536th name.
TEST_F(dialogue_test, refusal_without_a_failed_call_has_no_perror_line) {
    scratch.write("e", "");
    std::string input;
    for (int i = 0; i < 65536; ++i)
        input += "e\n";
    program_result result = run(input);
    EXPECT_TRUE(result.out == file_prompts(65536));
    EXPECT_EQ(result.err, "Add file Error: -29\nUnable to open: e\n");
    EXPECT_EQ(result.exit_status, 1);
}

class dialogue_interrupt_test : public dialogue_test, public ::testing::WithParamInterface<int> {};

// Stopped at a prompt, the tool ends by the signal and leaves nothing: the
// data it had compressed sat in a file without a name.
TEST_P(dialogue_interrupt_test, leaves_nothing) {
    std::vector<std::string> before = scratch_dir::names_in(scratch.path());
    program_options options;
    options.input = "b.txt\n";
    options.directory = scratch.path();
    options.environment = {"TMPDIR=" + temp_dir};
    program_result result;
    child_end end =
        interrupt_program({CABINET_TOOL_PATH}, options, file_prompts(2), GetParam(), result);
    EXPECT_EQ(end.signal, GetParam());
    EXPECT_EQ(result.out, file_prompts(2));
    EXPECT_EQ(scratch_dir::names_in(scratch.path()), before);
}

INSTANTIATE_TEST_SUITE_P(tool, dialogue_interrupt_test, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// A name of exactly 255 characters fills the reply; its line end, read alone
// at the next prompt, ends the list.
TEST_F(dialogue_test, name_that_fills_the_reply) {
    std::string name(255, 'n');
    scratch.write(name, a_bytes);
    parsed_cabinet cabinet = run_to_cabinet(name + "\nout.cab\n", 2);
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.files.size(), 1u);
    EXPECT_EQ(cabinet.files[0].name, name);
}

// A device is written directly: a full one fails the close with the write
// error and stays what it was; standard output receives the cabinet behind
// the prompts.
TEST_F(dialogue_test, cabinet_to_a_device) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    program_result result = run("b.txt\n\n/dev/full\n");
    EXPECT_EQ(result.out, file_prompts(2) + cabinet_prompt);
    EXPECT_EQ(result.err, "Close Error: -4\n");
    EXPECT_EQ(result.exit_status, 1);
    struct stat info;
    ASSERT_EQ(stat("/dev/full", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));

    result = run("a.txt\n\n/dev/stdout\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
    std::string prompts = file_prompts(2) + cabinet_prompt;
    ASSERT_EQ(result.out.substr(0, prompts.size()), prompts);
    parsed_cabinet cabinet =
        parse_cabinet(scratch.write("from_stdout.cab", result.out.substr(prompts.size())));
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.files.size(), 1u);
    EXPECT_TRUE(cabinet.content(cabinet.files[0]) == a_bytes);
}

// A FIFO has no size to stat: its entry holds what was read from it, and the
// file after it stays where it belongs.
TEST_F(dialogue_test, file_without_a_size) {
    std::string fifo = scratch.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string fed = sample_bytes(50000, 3);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        int fd = open(fifo.c_str(), O_WRONLY);
        bool ok = fd >= 0 && write(fd, fed.data(), fed.size()) == static_cast<ssize_t>(fed.size());
        _exit(ok ? 0 : 1);
    }
    parsed_cabinet cabinet = run_to_cabinet("pipe\na.txt\n\nout.cab\n", 3);
    int status = 0;
    waitpid(writer, &status, 0);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(cabinet.error, "");
    ASSERT_EQ(cabinet.files.size(), 2u);
    EXPECT_EQ(cabinet.files[0].cbFile, fed.size());
    EXPECT_TRUE(cabinet.content(cabinet.files[0]) == fed);
    EXPECT_TRUE(cabinet.content(cabinet.files[1]) == a_bytes);
}

} // namespace
