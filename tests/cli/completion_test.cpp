// kistle's bash completion, sourced into bash and asked as bash asks it:
// COMP_WORDS and COMP_CWORD set, _kistle called, COMPREPLY read.
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"
#include "scratch_dir.h"

namespace {

class completion_test : public testing::Test {
protected:
    scratch_dir scratch;

    // What completing the last of words offers, each as the shell reads it
    // back (the quoting undone), one per line.
    std::string complete(const std::vector<std::string>& words) {
        std::string script = "source \"$COMPLETION\" && COMP_WORDS=(\"$KISTLE\"";
        for (std::size_t i = 1; i < words.size(); ++i)
            script += " " + quoted(words[i]);
        script += ") && COMP_CWORD=" + std::to_string(words.size() - 1) +
                  " && _kistle; for word in \"${COMPREPLY[@]}\"; do"
                  " eval \"set -- $word\"; printf '%s\\n' \"$1\"; done";
        return bash(script).out;
    }

    program_result bash(const std::string& script) {
        program_options options;
        options.directory = scratch.path();
        options.environment = {"COMPLETION=" KISTLE_COMPLETION_PATH, "KISTLE=" KISTLE_PATH};
        return run_program({"/bin/bash", "--norc", "-c", script}, options);
    }

    static std::string quoted(const std::string& word) {
        std::string result = "'";
        for (char c : word)
            result += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return result + "'";
    }
};

TEST_F(completion_test, commands_options_and_values) {
    EXPECT_EQ(complete({"kistle", "ex"}), "extract\n");
    EXPECT_EQ(complete({"kistle", "--v"}), "--version\n");
    EXPECT_EQ(complete({"kistle", "extract", "--str"}), "--strip-components\n");
    EXPECT_EQ(complete({"kistle", "create", "--level", "9", "--ex"}), "--exclude\n");
    EXPECT_EQ(complete({"kistle", "create", "--level", ""}), "1\n2\n3\n4\n5\n6\n7\n8\n9\n");
    EXPECT_EQ(complete({"kistle", "extract", "--exclude", ""}), "") << "a pattern: nothing";
}

// After the cabinet, extract, list, cat and delete offer its stored names, written
// as operands: a wildcard character behind a backslash.
TEST_F(completion_test, stored_names_after_the_cabinet) {
    std::filesystem::create_directories(scratch.file("src/sub"));
    scratch.write("src/a[1].txt", "a");
    scratch.write("src/b c.txt", "b");
    scratch.write("src/sub/d.txt", "d");
    ASSERT_EQ(run_program({KISTLE_PATH, "create", "tree.cab", "src"}, {"", scratch.path(), {}})
                  .exit_status,
              0);
    EXPECT_EQ(complete({"kistle", "list", "tree.cab", "src/a"}), "src/a\\[1].txt\n");
    EXPECT_EQ(complete({"kistle", "cat", "-h", "tree.cab", "src/sub"}),
              "src/sub/\nsrc/sub/d.txt\n");
    EXPECT_EQ(complete({"kistle", "extract", "-C", "out", "--strip-components", "1", "tree.cab",
                        "src/b"}),
              "src/b c.txt\n");
    EXPECT_EQ(complete({"kistle", "delete", "-v", "tree.cab", "src/b"}), "src/b c.txt\n");
    EXPECT_EQ(complete({"kistle", "create", "tree.cab", "sr"}), "src\n") << "files to store";
    EXPECT_EQ(complete({"kistle", "update", "tree.cab", "sr"}), "src\n") << "files to store";
    EXPECT_EQ(complete({"kistle", "list", "tr"}), "tree.cab\n") << "the cabinet";
}

// Every option a command's --help shows is completed, so the two cannot
// drift apart.
TEST_F(completion_test, every_option_of_the_help) {
    for (const char* command :
         {"create", "list", "extract", "test", "cat", "info", "add", "update", "delete"}) {
        program_result help = run_program({KISTLE_PATH, command, "--help"});
        ASSERT_EQ(help.exit_status, 0);
        std::string offered =
            " " + bash("source \"$COMPLETION\" && _kistle_options " + std::string(command)).out;
        std::replace(offered.begin(), offered.end(), '\n', ' ');
        std::istringstream lines(help.out);
        std::string line;
        int options = 0;
        while (std::getline(lines, line)) {
            if (line.rfind("  -", 0) != 0)
                continue;
            std::istringstream names(line.substr(2, line.find(' ', 2) - 2));
            for (std::string name; std::getline(names, name, ',');) {
                ++options;
                EXPECT_NE(offered.find(" " + name + " "), std::string::npos)
                    << command << " " << name;
            }
        }
        EXPECT_GE(options, 2) << command;
    }
}

} // namespace
