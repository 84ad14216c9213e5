// Every failure of the interface, once thrown as kistle::error and once set
// in a std::error_code; what() and the category.
#include <kistle/archive.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "cabinet_image.h"

namespace fs = std::filesystem;

namespace {

// What a failing call works on: a sound cabinet (a, b), a damaged one, one
// with a hostile name, and a cut one.
class error_context : public archive_scratch {
public:
    std::string good, damaged, hostile, cut, missing = scratch.file("missing.cab");

    error_context() {
        good = make_cabinet({{"a", "alpha"}, {"b", "beta"}});
        test_cabinet cabinet;
        cabinet.add_folder(1, {{"a", "alpha"}, {"../evil", "x"}});
        hostile = scratch.write("hostile.cab", build_cabinet(cabinet));
        cabinet.folders[0].blocks[0].bad_checksum = true;
        damaged = scratch.write("damaged.cab", build_cabinet(cabinet));
        std::string image = scratch_dir::read(good);
        cut = scratch.write("cut.cab", image.substr(0, 70));
    }
};

// A call in one of its two forms: throwing when ec is null.
using error_call = std::function<void(error_context&, std::error_code* ec)>;

struct error_case {
    const char* name;
    kistle::errc expected;
    error_call call;
};

void PrintTo(const error_case& c, std::ostream* out) {
    *out << c.name;
}

class error_path_test : public ::testing::TestWithParam<error_case> {};

TEST_P(error_path_test, throws_or_sets_the_error_code) {
    const error_case& c = GetParam();
    {
        error_context context;
        try {
            c.call(context, nullptr);
            ADD_FAILURE() << "nothing was thrown";
        } catch (const kistle::error& e) {
            EXPECT_EQ(e.code(), c.expected) << e.what();
            EXPECT_EQ(&e.code().category(), &kistle::category());
        }
    }
    error_context context;
    std::error_code ec = std::make_error_code(std::errc::interrupted);
    EXPECT_NO_THROW(c.call(context, &ec));
    EXPECT_EQ(ec, c.expected) << ec.message();
    EXPECT_TRUE(scratch_dir::names_in(context.temp_dir).empty());
}

// Opens path in a reader, throwing or not.
void open_reader(kistle::reader& in, const std::string& path, std::error_code* ec) {
    if (ec)
        in.open(path, *ec);
    else
        in.open(path);
}

// The first entry of the cabinet at path, opened in in.
const kistle::entry& first_entry(kistle::reader& in, const std::string& path) {
    in.open(path);
    return in.entries().at(0);
}

INSTANTIATE_TEST_SUITE_P(
    archive, error_path_test,
    ::testing::Values(error_case{"open_missing", kistle::errc::open_stream,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::reader in;
                                     open_reader(in, c.missing, ec);
                                 }},
                      error_case{"open_cut", kistle::errc::unexpected_eof,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::reader in;
                                     open_reader(in, c.cut, ec);
                                 }},
                      error_case{"extract_when_closed", kistle::errc::closed,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::reader in(c.good);
                                     in.close();
                                     if (ec)
                                         in.extract_all(c.scratch.path(), *ec);
                                     else
                                         in.extract_all(c.scratch.path());
                                 }},
                      error_case{"extract_a_foreign_entry", kistle::errc::not_found,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::reader in(c.good);
                                     kistle::entry copy = in.entries()[0];
                                     if (ec)
                                         in.extract(copy, c.scratch.path(), *ec);
                                     else
                                         in.extract(copy, c.scratch.path());
                                 }},
                      error_case{"extract_a_damaged_block", kistle::errc::checksum,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::reader in;
                                     const kistle::entry& e = first_entry(in, c.damaged);
                                     std::ostringstream out;
                                     if (ec)
                                         in.extract(e, out, *ec);
                                     else
                                         in.extract(e, out);
                                 }},
                      error_case{"extract_into_a_missing_directory", kistle::errc::open_stream,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::reader in;
                                     const kistle::entry& e = first_entry(in, c.good);
                                     if (ec)
                                         in.extract(e, c.scratch.file("nowhere"), *ec);
                                     else
                                         in.extract(e, c.scratch.file("nowhere"));
                                 }},
                      error_case{"extract_a_hostile_name", kistle::errc::access_denied,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::reader in(c.hostile);
                                     fs::create_directory(c.scratch.file("out"));
                                     if (ec)
                                         in.extract_all(c.scratch.file("out"), *ec);
                                     else
                                         in.extract_all(c.scratch.file("out"));
                                 }},
                      error_case{"read_a_damaged_block", kistle::errc::checksum,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::reader in;
                                     const kistle::entry& e = first_entry(in, c.damaged);
                                     if (ec)
                                         in.read(e, *ec);
                                     else
                                         in.read(e);
                                 }},
                      error_case{"info_when_closed", kistle::errc::closed,
                                 [](error_context&, std::error_code* ec) {
                                     kistle::reader in;
                                     if (ec)
                                         in.info(*ec);
                                     else
                                         in.info();
                                 }},
                      error_case{"folders_of_a_cut_cabinet", kistle::errc::unexpected_eof,
                                 [](error_context& c, std::error_code* ec) {
                                     std::string image = scratch_dir::read(c.good);
                                     kistle::reader in(c.scratch.write(
                                         "short.cab", image.substr(0, image.size() - 1)));
                                     if (ec)
                                         in.folders(*ec);
                                     else
                                         in.folders();
                                 }},
                      error_case{"test_when_closed", kistle::errc::closed,
                                 [](error_context&, std::error_code* ec) {
                                     kistle::reader in;
                                     if (ec)
                                         in.test(*ec);
                                     else
                                         in.test();
                                 }},
                      error_case{"open_without_a_temporary_directory", kistle::errc::temp_file,
                                 [](error_context& c, std::error_code* ec) {
                                     setenv("TMPDIR", c.scratch.file("no-such-dir").c_str(), 1);
                                     kistle::writer out;
                                     std::string path = c.scratch.file("out.cab");
                                     if (ec)
                                         out.open(path, *ec);
                                     else
                                         out.open(path);
                                 }},
                      error_case{"add_a_missing_file", kistle::errc::open_file,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::writer out(c.scratch.file("out.cab"));
                                     if (ec)
                                         out.add_file(c.missing, "x", *ec);
                                     else
                                         out.add_file(c.missing, "x");
                                 }},
                      error_case{"add_a_directory", kistle::errc::open_file,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::writer out(c.scratch.file("out.cab"));
                                     if (ec)
                                         out.add_file(c.scratch.path(), "x", *ec);
                                     else
                                         out.add_file(c.scratch.path(), "x");
                                 }},
                      error_case{"add_a_refused_name", kistle::errc::access_denied,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::writer out(c.scratch.file("out.cab"));
                                     if (ec)
                                         out.add_bytes("a/../../b", "x", 0, false, *ec);
                                     else
                                         out.add_bytes("a/../../b", "x", 0);
                                 }},
                      error_case{"add_bytes_without_a_time", kistle::errc::date_time,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::writer out(c.scratch.file("out.cab"));
                                     const kistle::entry_options no_time;
                                     if (ec)
                                         out.add_bytes("x", "x", no_time, *ec);
                                     else
                                         out.add_bytes("x", "x", no_time);
                                 }},
                      error_case{"add_when_closed", kistle::errc::closed,
                                 [](error_context&, std::error_code* ec) {
                                     kistle::writer out;
                                     if (ec)
                                         out.add_bytes("x", "x", 0, false, *ec);
                                     else
                                         out.add_bytes("x", "x", 0);
                                 }},
                      error_case{"too_many_folders", kistle::errc::too_many_folders,
                                 [](error_context& c, std::error_code* ec) {
                                     // A plain cabinet is one cabinet: at most 65533
                                     // folders (with a record, a set holds more).
                                     kistle::writer out;
                                     out.set_plain(true);
                                     out.open(c.scratch.file("out.cab"));
                                     for (int i = 0; i < 65533; ++i)
                                         out.new_folder(kistle::compression::stored);
                                     if (ec)
                                         out.new_folder(kistle::compression::stored, *ec);
                                     else
                                         out.new_folder(kistle::compression::stored);
                                 }},
                      error_case{"open_into_a_missing_directory", kistle::errc::open_file,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::writer out;
                                     std::string path = c.scratch.file("nowhere/out.cab");
                                     if (ec)
                                         out.open(path, *ec);
                                     else
                                         out.open(path);
                                 }},
                      error_case{"open_over_a_file_that_is_not_a_cabinet",
                                 kistle::errc::not_a_cabinet,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::writer out;
                                     std::string path = c.scratch.write("notes.txt", "notes");
                                     if (ec)
                                         out.open(path, *ec);
                                     else
                                         out.open(path);
                                 }},
                      error_case{"extract_over_the_cabinet_itself", kistle::errc::cabinet_itself,
                                 [](error_context& c, std::error_code* ec) {
                                     kistle::reader in(c.good);
                                     const kistle::entry& e = in.entries()[0];
                                     fs::path cabinet(c.good);
                                     fs::rename(cabinet, cabinet.parent_path() / e.name);
                                     if (ec)
                                         in.extract(e, cabinet.parent_path(), *ec);
                                     else
                                         in.extract(e, cabinet.parent_path());
                                 }},
                      error_case{"commit_when_closed", kistle::errc::closed,
                                 [](error_context&, std::error_code* ec) {
                                     kistle::writer out;
                                     if (ec)
                                         out.commit(*ec);
                                     else
                                         out.commit();
                                 }}),
    [](const ::testing::TestParamInfo<error_case>& info) { return info.param.name; });

using error_message_test = archive_test;

// what() names the path and, where a system call failed, the system's reason.
TEST_F(error_message_test, names_the_path_and_the_system_reason) {
    std::string missing = scratch.file("missing.cab");
    try {
        kistle::reader in(missing);
        FAIL();
    } catch (const kistle::error& e) {
        EXPECT_EQ(std::string(e.what()),
                  missing + ": Unable to open a file stream: " + std::strerror(ENOENT));
        EXPECT_EQ(e.path(), missing);
        EXPECT_EQ(e.system_code(), std::error_code(ENOENT, std::system_category()));
    }
    test_cabinet cabinet;
    cabinet.add_folder(0, {{"bad", "bytes"}});
    cabinet.folders[0].blocks[0].bad_checksum = true;
    kistle::reader in(scratch.write("damaged.cab", build_cabinet(cabinet)));
    try {
        in.read(in.entries()[0]);
        FAIL();
    } catch (const kistle::error& e) {
        EXPECT_EQ(std::string(e.what()), "bad: A checksum error has been encountered");
        EXPECT_FALSE(e.system_code());
    }
}

// what() says the real cause where no system call failed, and names the
// path it concerns.
TEST_F(error_message_test, names_the_real_cause) {
    test_cabinet hostile;
    hostile.add_folder(1, {{"../evil", "x"}, {"dir/", "y"}});
    kistle::reader in(scratch.write("hostile.cab", build_cabinet(hostile)));
    const std::string out = scratch.file("out");
    fs::create_directory(out);
    kistle::writer writer(scratch.file("new.cab"));
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { in.extract(in.entries()[0], out); },
         out + "/../evil: Access was denied: a name with a '..' component would lead outside "
               "the directory"},
        {[&] { in.extract(in.entries()[1], out); },
         out + "/dir/: Access was denied: no file name to extract this entry to"},
        {[&] { writer.add_bytes("a/../../b", "x", 0); },
         "a/../../b: Access was denied: a name with a '..' component cannot be stored"},
        {[&] { writer.add_file(out, "x"); },
         out + ": Unable to open a file: " + std::strerror(EISDIR)},
    };
    for (const auto& [call, what] : cases) {
        try {
            call();
            ADD_FAILURE() << what;
        } catch (const kistle::error& e) {
            EXPECT_EQ(std::string(e.what()), what);
        }
    }
    // Told to the function that extract_all calls for each entry, too.
    kistle::extract_options options;
    std::vector<std::string> told;
    options.each = [&](const kistle::entry&, const kistle::error* failure, bool) {
        if (failure != nullptr)
            told.push_back(failure->what());
        return true;
    };
    in.extract_all(out, options);
    EXPECT_EQ(told, (std::vector<std::string>{std::get<1>(cases[0]), std::get<1>(cases[1])}));

    kistle::error given(kistle::errc::access_denied, "x", "a reason");
    EXPECT_EQ(std::string(given.what()), "x: Access was denied: a reason");
    EXPECT_FALSE(given.system_code());
}

TEST_F(error_message_test, success_clears_the_error_code) {
    std::string path = make_cabinet({{"a", "alpha"}});
    std::error_code ec = std::make_error_code(std::errc::interrupted);
    kistle::reader in;
    in.open(path, ec);
    EXPECT_FALSE(ec);
}

TEST(error_category_test, messages_and_conditions) {
    EXPECT_STREQ(kistle::category().name(), "kistle");
    std::error_code checksum(-12, kistle::category());
    EXPECT_EQ(checksum, kistle::errc::checksum);
    EXPECT_EQ(checksum.message(), "A checksum error has been encountered");
    EXPECT_NE(std::error_code(-12, std::generic_category()), kistle::errc::checksum);
    // Statuses without a message of their own still say what happened.
    EXPECT_EQ(make_error_code(kistle::errc::folder_data_ended).message(),
              "The folder's data ends inside the file");
    EXPECT_EQ(make_error_code(kistle::errc::not_a_cabinet).message(),
              "The file is not a cabinet, so it is not replaced");
    EXPECT_EQ(make_error_code(kistle::errc::cabinet_itself).message(),
              "The file is the cabinet being read, so it is not replaced");
    kistle::error copy = kistle::error(kistle::errc::write, "x");
    EXPECT_EQ(std::string(copy.what()), "x: Error encountered during a write");
}

TEST(library_version_test, is_the_one_compiled_against) {
    EXPECT_EQ(std::string(kistle::version()), std::to_string(KISTLE_VERSION_MAJOR) + "." +
                                                  std::to_string(KISTLE_VERSION_MINOR) + "." +
                                                  std::to_string(KISTLE_VERSION_PATCH));
}

} // namespace
