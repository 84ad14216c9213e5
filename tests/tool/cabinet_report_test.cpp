#include "cabinet_report.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <utime.h>

#include <kistle/cabinet_status.h>

#include "cabinet_image.h"
#include "run_program.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

// Everything written to std::cout while it lives.
class cout_capture {
public:
    cout_capture() : previous(std::cout.rdbuf(buffer.rdbuf())) {}
    ~cout_capture() { std::cout.rdbuf(previous); }
    std::string text() const { return buffer.str(); }

private:
    std::ostringstream buffer;
    std::streambuf* previous;
};

std::string pad(const std::string& text, std::size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

std::string right(const std::string& text, std::size_t width) {
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

const std::string gap(5, ' ');
const std::string heading =
    pad("Name", 31) + pad("Size", 15) + pad("Date", 15) + pad("Time", 9) + "Attributes";
const std::string ruler(80, '-');

std::string row(const std::string& name, const std::string& size, const std::string& date,
                const std::string& time, const std::string& letters) {
    return pad(name, 26) + gap + right(size, 10) + gap + date + gap + time + gap + letters;
}

// 2021-07-15 13:45:58
constexpr uint16_t july_date = (41 << 9) | (7 << 5) | 15;
constexpr uint16_t july_time = (13 << 11) | (45 << 5) | 29;

const std::string plain_header_report = "This cabinet file is valid.\n"
                                        "This cabinet file is: 1234 bytes.\n"
                                        "This cabinet file's version is: 1.3\n"
                                        "This cabinet file has 1 folders.\n"
                                        "This cabinet file has 2 files.\n"
                                        "This cabinet is the first cabinet in this series.\n"
                                        "This cabinet is the last cabinet in this series.\n";

struct header_case {
    const char* name;
    uint32_t signature;
    uint16_t flags;
    std::string area; // the header reserve area; none when empty
    std::string expected;
};

// Test names, not byte dumps, in the test list.
void PrintTo(const header_case& c, std::ostream* out) {
    *out << c.name;
}

const header_case header_cases[] = {
    {"plain", CABINET_SIGNATURE, 0, "",
     plain_header_report + "This cabinet does not has reserved fields.\n"},
    {"wrong_signature", 0x4643534E, 0, "",
     "This cabinet file is not valid.\n" + plain_header_report.substr(28) +
         "This cabinet does not has reserved fields.\n"},
    {"reserve_up_to_zero", CABINET_SIGNATURE, cfhdrRESERVE_PRESENT, std::string("ab\0cd", 5),
     plain_header_report +
         "This cabinet does has reserved fields.\nThe reserved information is: ab\n"},
    {"reserve_without_zero", CABINET_SIGNATURE, cfhdrRESERVE_PRESENT, "abcd",
     plain_header_report +
         "This cabinet does has reserved fields.\nThe reserved information is: abcd\n"},
    {"reserve_flag_without_area", CABINET_SIGNATURE, cfhdrRESERVE_PRESENT, "",
     plain_header_report +
         "This cabinet does has reserved fields.\nThe reserved information is: \n"},
    {"whole_chain", CABINET_SIGNATURE, 7, "r",
     "This cabinet file is valid.\n"
     "This cabinet file is: 1234 bytes.\n"
     "This cabinet file's version is: 1.3\n"
     "This cabinet file has 1 folders.\n"
     "This cabinet file has 2 files.\n"
     "This cabinet is not the first cabinet in this series.\n"
     "This cabinet is not the last cabinet in this series.\n"
     "This cabinet does has reserved fields.\n"
     "The reserved information is: r\n"
     "The previous cabinet is: p.cab\n"
     "The previous disk is: \n"
     "The next cabinet is: n.cab\n"
     "The next disk is: Disk n\n"},
};

class header_report_test : public ::testing::TestWithParam<header_case> {};

TEST_P(header_report_test, writes_the_exact_lines) {
    const header_case& c = GetParam();
    cabinet_header header;
    header.signature = c.signature;
    header.cbCabinet = 1234;
    header.versionMajor = 1;
    header.versionMinor = 3;
    header.cFolders = 1;
    header.cFiles = 2;
    header.flags = c.flags;
    header.cbCFHeader = static_cast<uint16_t>(c.area.size());
    if (!c.area.empty()) {
        header.abReserve = static_cast<uint8_t*>(std::malloc(c.area.size()));
        std::memcpy(header.abReserve, c.area.data(), c.area.size());
    }
    header.szCabinetPrev = "p.cab";
    header.szCabinetNext = "n.cab";
    header.szDiskNext = "Disk n";
    cout_capture capture;
    print_cabinet_header(header);
    EXPECT_EQ(capture.text(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(cases, header_report_test, ::testing::ValuesIn(header_cases),
                         [](const auto& info) { return std::string(info.param.name); });

void set_file(cabinet_file_header& file, const char* name, uint64_t size, uint16_t date,
              uint16_t time, uint16_t attribs, uint16_t folder = 0) {
    file.szName = name;
    file.cbFile = size;
    file.date = date;
    file.time = time;
    file.attribs = attribs;
    file.iFolder = folder;
}

TEST(file_row_test, fixed_columns_without_line_end) {
    struct {
        const char* name;
        uint64_t size;
        uint16_t date, time, attribs;
        std::string expected;
    } cases[] = {
        {"readme.txt", 1234, july_date, july_time, 0x0021,
         row("readme.txt", "1234", "07-15-2021", "13:45:58", "R--A--")},
        {"a_name_of_more_than_26_characters", 0, 0, 0, 0,
         row("a_name_of_more_than_26_cha", "0", "00-00-1980", "00:00:00", "------")},
        {"all", 12345678901, 0, 0, 0xFFFF,
         row("all", "12345678901", "00-00-1980", "00:00:00", "RHSAEU")},
    };
    for (const auto& c : cases) {
        cabinet_file_header file;
        set_file(file, c.name, c.size, c.date, c.time, c.attribs);
        std::ostringstream out;
        print_file_row(file, out);
        EXPECT_EQ(out.str(), c.expected);
    }
    EXPECT_EQ(row("readme.txt", "1234", "07-15-2021", "13:45:58", "R--A--").size(), 80u);
}

TEST(folder_entry_test, labelled_lines) {
    cabinet_folder_header plain;
    plain.cCFData = 3;
    plain.typeCompress = 1;
    cabinet_header header;
    header.flags = cfhdrRESERVE_PRESENT;
    header.cbCFFolder = 2;
    cabinet_folder_header reserved;
    reserved.init(header);
    reserved.typeCompress = 0x1A;
    cout_capture capture;
    print_folder_entry(plain, 0);
    print_folder_entry(reserved, 65535);
    EXPECT_EQ(capture.text(), "Folder 0:\n\tnumber of data blocks: 3\n\tcompression type: 1\n"
                              "\thas reserved field: No\n"
                              "Folder 65535:\n\tnumber of data blocks: 0\n\tcompression type: 1a\n"
                              "\thas reserved field: Yes\n");
}

TEST(file_entry_test, labelled_lines) {
    struct {
        uint16_t folder;
        const char *from_previous, *in_next, *both;
    } cases[] = {{0, "No", "No", "No"},
                 {ifoldCONTINUED_FROM_PREV, "Yes", "No", "No"},
                 {ifoldCONTINUED_TO_NEXT, "No", "Yes", "No"},
                 {ifoldCONTINUED_PREV_AND_NEXT, "No", "No", "Yes"}};
    for (const auto& c : cases) {
        cabinet_file_header file;
        set_file(file, "a_name_of_more_than_26_characters", 42, 0, 0, 0x0021, c.folder);
        cout_capture capture;
        print_file_entry(file, 7);
        EXPECT_EQ(capture.text(),
                  "File 7:\n"
                  "\tname: a_name_of_more_than_26_characters\n"
                  "\tsize: 42\n"
                  "\tin folder: " +
                      std::to_string(c.folder) +
                      "\n"
                      "\tdate: 0-0-1980\n"
                      "\ttime: 0:0:0\n"
                      "\tContinued From Previous Cabinet: " +
                      c.from_previous + "\n\tContinued In Next Cabinet: " + c.in_next +
                      "\n\tContinued From Previous Cabinet and In Next Cabinet: " + c.both +
                      "\n\tattributes: RA\n");
    }
    cabinet_file_header file;
    set_file(file, "x", 0, july_date, july_time, 0);
    cout_capture capture;
    print_file_entry(file, 0);
    EXPECT_NE(capture.text().find("\tdate: 7-15-2021\n\ttime: 13:45:58\n"), std::string::npos);
    EXPECT_NE(capture.text().find("\tattributes: \n"), std::string::npos);
}

// The tool run end to end, in a scratch directory that receives the files.
class report_mode_test : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(scratch.file("work")); }

    program_result run(const std::vector<std::string>& names) {
        std::vector<std::string> argv = {CABINET_TOOL_PATH, cabinet_path};
        argv.insert(argv.end(), names.begin(), names.end());
        return run_program(argv, {"", scratch.file("work"), {"TZ=UTC"}});
    }

    void write(const test_cabinet& cabinet) {
        image = build_cabinet(cabinet);
        cabinet_path = scratch.write("archive.cab", image);
    }

    scratch_dir scratch;
    std::string image;
    std::string cabinet_path;
};

test_cabinet sample_cabinet() {
    test_cabinet cabinet;
    cabinet.add_folder(1, {{"a", "first file"}, {"sub\\b", "second"}});
    cabinet.files[0].date = july_date;
    cabinet.files[0].time = july_time;
    cabinet.files[1].attribs = 0x0021;
    return cabinet;
}

std::string report_start(std::size_t size, unsigned files) {
    return "Using new codebase...\n"
           "This cabinet file is valid.\n"
           "This cabinet file is: " +
           std::to_string(size) +
           " bytes.\n"
           "This cabinet file's version is: 1.3\n"
           "This cabinet file has 1 folders.\n"
           "This cabinet file has " +
           std::to_string(files) +
           " files.\n"
           "This cabinet is the first cabinet in this series.\n"
           "This cabinet is the last cabinet in this series.\n"
           "This cabinet does not has reserved fields.\n"
           "Number of files within archive: " +
           std::to_string(files) + "\n" + heading + ruler;
}

TEST_F(report_mode_test, reports_lists_and_extracts) {
    write(sample_cabinet());
    program_result result = run({"a", "sub\\b"});
    EXPECT_EQ(result.out, report_start(image.size(), 2) +
                              row("a", "10", "07-15-2021", "13:45:58", "------") +
                              row("sub\\b", "6", "00-00-1980", "00:00:00", "R--A--"));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(scratch_dir::read(scratch.file("work/a")), "first file");
    EXPECT_EQ(scratch_dir::read(scratch.file("work/sub/b")), "second");
    struct stat status;
    ASSERT_EQ(stat(scratch.file("work/a").c_str(), &status), 0);
    EXPECT_EQ(status.st_mtime, 1626356758);
}

TEST_F(report_mode_test, without_names_or_files) {
    test_cabinet empty;
    empty.folders.push_back(test_folder{});
    write(empty);
    program_result result = run({});
    EXPECT_EQ(result.out, report_start(image.size(), 0));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
}

// Without file entries nothing is read at coffFiles, wherever it points.
TEST_F(report_mode_test, no_files_and_coff_files_anywhere) {
    for (uint64_t coffFiles : {uint64_t{1000000}, uint64_t{1} << 63, UINT64_MAX}) {
        test_cabinet empty;
        empty.folders.push_back(test_folder{});
        empty.coffFiles = coffFiles;
        write(empty);
        program_result result = run({});
        EXPECT_EQ(result.out, report_start(image.size(), 0)) << coffFiles;
        EXPECT_EQ(result.err, "") << coffFiles;
        EXPECT_EQ(result.exit_status, 0) << coffFiles;
    }
}

// A report that cannot be written fails the run before anything is
// extracted; the message says why.
TEST_F(report_mode_test, unwritable_standard_output) {
    write(sample_cabinet());
    for (const char* redirection : {">/dev/full", ">&-"}) {
        program_result result =
            run_program({"/bin/sh", "-c", std::string("exec \"$0\" \"$@\" ") + redirection,
                         CABINET_TOOL_PATH, cabinet_path, "a"},
                        {"", scratch.file("work"), {}});
        EXPECT_EQ(result.err, std::string(get_cabinet_error_string(CAB_ERROR_WRITE)) + "\n")
            << redirection;
        EXPECT_EQ(result.exit_status, 1) << redirection;
        EXPECT_FALSE(fs::exists(scratch.file("work/a"))) << redirection;
    }
}

TEST_F(report_mode_test, wrong_signature_is_reported_and_the_run_goes_on) {
    test_cabinet cabinet = sample_cabinet();
    cabinet.signature = 0x12345678;
    write(cabinet);
    program_result result = run({"a"});
    EXPECT_EQ(result.out.substr(0, 54), "Using new codebase...\nThis cabinet file is not valid.\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(scratch_dir::read(scratch.file("work/a")), "first file");
}

TEST_F(report_mode_test, open_failure) {
    struct {
        std::string path;
        int status;
    } cases[] = {{scratch.file("missing.cab"), CAB_ERROR_OPEN_STREAM},
                 {scratch.file("work"), CAB_ERROR_READ}}; // a directory opens but cannot be read
    for (const auto& c : cases) {
        cabinet_path = c.path;
        program_result result = run({"a"});
        EXPECT_EQ(result.out, "Using new codebase...\n");
        EXPECT_EQ(result.err, "Unable to open cabinet file: " + c.path + ": " +
                                  std::to_string(c.status) + "\n");
        EXPECT_EQ(result.exit_status, 1);
    }
}

TEST_F(report_mode_test, first_failed_extraction_ends_the_run) {
    test_cabinet cabinet = sample_cabinet();
    cabinet.add_folder(1, {{"../escape", "x"}});
    write(cabinet);
    struct {
        std::vector<std::string> names;
        std::string err;
    } cases[] = {
        {{"nope", "a"},
         "Failed to extract: nope\nReason for failure: Requested file was not found\n"},
        {{"../escape", "a"},
         "Failed to extract: ../escape\nReason for failure: Access was denied\n"},
    };
    for (const auto& c : cases) {
        program_result result = run(c.names);
        std::string last_row = row("../escape", "1", "00-00-1980", "00:00:00", "------");
        EXPECT_EQ(result.out.substr(result.out.size() - last_row.size()), last_row);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_FALSE(fs::exists(scratch.file("work/a")));
        EXPECT_FALSE(fs::exists(scratch.file("escape")));
    }
}

// A cabinet made by the creation dialogue, reported on and extracted by a
// second run of the tool: the table shows what was stored, and every file
// comes back byte for byte, also over files already there.
TEST_F(report_mode_test, cabinet_from_the_dialogue_round_trips) {
    fs::create_directories(scratch.file("in/docs"));
    std::string big(100000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>("cabinet "[i % 8] + i / 4096);
    const struct {
        std::string name;
        std::string bytes;
    } files[] = {{"notes.txt", "hello\n"}, {"docs/big.bin", big}, {"empty", ""}};
    std::string names;
    for (const auto& f : files) {
        scratch.write("in/" + f.name, f.bytes);
        utimbuf times{1626356758, 1626356758}; // 2021-07-15 13:45:58 UTC
        ASSERT_EQ(utime(scratch.file("in/" + f.name).c_str(), &times), 0);
        names += f.name + "\n";
    }
    ASSERT_EQ(chmod(scratch.file("in/empty").c_str(), 0444), 0);
    program_result created = run_program(
        {CABINET_TOOL_PATH},
        {names + "\n../c.cab\n", scratch.file("in"), {"TZ=UTC", "TMPDIR=" + scratch.path()}});
    ASSERT_EQ(created.err, "");
    ASSERT_EQ(created.exit_status, 0);
    cabinet_path = scratch.file("c.cab");
    std::size_t size = fs::file_size(cabinet_path);

    for (int run_number = 0; run_number < 2; ++run_number) {
        program_result result = run({"empty", "docs/big.bin", "notes.txt"});
        EXPECT_EQ(result.out,
                  report_start(size, 3) +
                      row("notes.txt", "6", "07-15-2021", "13:45:58", "------") +
                      row("docs/big.bin", "100000", "07-15-2021", "13:45:58", "------") +
                      row("empty", "0", "07-15-2021", "13:45:58", "R-----"));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 0);
        for (const auto& f : files)
            EXPECT_TRUE(scratch_dir::read(scratch.file("work/" + f.name)) == f.bytes) << f.name;
    }
}

} // namespace
