// kistle::writer::add_tree and the record: a Unix tree stored whole, read
// back entry by entry, and still a plain cabinet to readers of the format.
#include <kistle/archive.h>

#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include <kistle/cabinet_reader.h>
#include <kistle/dos_date_time.h>

#include "archive_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t june_1970 = 13046400;    // 1970-06-01 00:00:00 UTC
constexpr std::int64_t year_2200 = 7258118400;  // 2200-01-01 00:00:00 UTC
constexpr std::int64_t march_2024 = 1709647628; // 2024-03-05 14:07:08 UTC

void set_time(const std::string& path, std::int64_t seconds, long nanoseconds = 0) {
    const timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds},
                               {static_cast<time_t>(seconds), nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class tree_test : public archive_test {
protected:
    std::string root = scratch.file("tree");

    // The synthetic tree of the done-when list: modes, links of every kind,
    // an empty directory, a hard link, odd times and a name that is not
    // UTF-8.
    void make_tree() {
        fs::create_directories(root + "/sub/empty");
        const struct {
            const char* name;
            mode_t mode;
            std::int64_t seconds;
            long nanoseconds;
        } files[] = {{"run.sh", 0755, march_2024, 0},         {"private", 0600, march_2024, 0},
                     {"shadow", 0640, june_1970, 0},          {"setuid", 04755, year_2200, 0},
                     {"exact", 0644, march_2024, 123456789},  {"caf\xE9", 0644, march_2024, 0},
                     {"sub/caf\xC3\xA9", 0444, march_2024, 0}};
        for (const auto& f : files) {
            std::string path = scratch.write("tree/" + std::string(f.name), f.name);
            ASSERT_EQ(chmod(path.c_str(), f.mode), 0);
            set_time(path, f.seconds, f.nanoseconds);
        }
        ASSERT_EQ(link((root + "/exact").c_str(), (root + "/sub/hard").c_str()), 0);
        fs::create_symlink("../run.sh", root + "/sub/relative");
        fs::create_symlink("/etc/passwd", root + "/sub/absolute");
        fs::create_symlink("nowhere", root + "/sub/dangling");
        ASSERT_EQ(chmod((root + "/sub/empty").c_str(), 0700), 0);
        ASSERT_EQ(chmod((root + "/sub").c_str(), 01777), 0);
        set_time(root + "/sub/empty", june_1970);
        set_time(root + "/sub", year_2200, 5);
    }

    std::string store(const kistle::tree_options& options = {}, const std::string& name = "t.cab") {
        std::string path = scratch.file(name);
        kistle::writer out(path);
        out.add_tree(root, "tree", options);
        out.commit();
        return path;
    }
};

const kistle::entry* find(const kistle::reader& in, const std::string& name) {
    const kistle::entry* e = in.find(name);
    EXPECT_NE(e, nullptr) << name;
    return e;
}

TEST_F(tree_test, every_entry_reads_back_as_it_was) {
    make_tree();
    kistle::reader in(store());
    EXPECT_TRUE(in.damage().empty());
    EXPECT_TRUE(in.test().empty());
    EXPECT_EQ(in.info().record, kistle::record_status::verified);

    std::vector<std::string> names;
    for (const kistle::entry& e : in.entries())
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{
                         "tree", "tree/caf\xE9", "tree/exact", "tree/private", "tree/run.sh",
                         "tree/setuid", "tree/shadow", "tree/sub", "tree/sub/absolute",
                         "tree/sub/caf\xC3\xA9", "tree/sub/dangling", "tree/sub/empty",
                         "tree/sub/hard", "tree/sub/relative"}))
        << "sorted, each directory before what it holds";

    const struct {
        const char* name;
        kistle::entry_type type;
        std::uint32_t mode;
        std::int64_t seconds;
        std::uint32_t nanoseconds;
        const char* target;
    } expected[] = {
        {"tree/run.sh", kistle::entry_type::file, 0755, march_2024, 0, ""},
        {"tree/private", kistle::entry_type::file, 0600, march_2024, 0, ""},
        {"tree/shadow", kistle::entry_type::file, 0640, june_1970, 0, ""},
        {"tree/setuid", kistle::entry_type::file, 04755, year_2200, 0, ""},
        {"tree/exact", kistle::entry_type::file, 0644, march_2024, 123456789, ""},
        {"tree/sub", kistle::entry_type::directory, 01777, year_2200, 5, ""},
        {"tree/sub/empty", kistle::entry_type::directory, 0700, june_1970, 0, ""},
        {"tree/sub/hard", kistle::entry_type::hardlink, 0644, march_2024, 123456789, "tree/exact"},
        {"tree/sub/relative", kistle::entry_type::symlink, 0777, -1, 0, "../run.sh"},
        {"tree/sub/absolute", kistle::entry_type::symlink, 0777, -1, 0, "/etc/passwd"},
        {"tree/sub/dangling", kistle::entry_type::symlink, 0777, -1, 0, "nowhere"},
    };
    for (const auto& x : expected) {
        const kistle::entry* e = find(in, x.name);
        if (e == nullptr)
            continue;
        EXPECT_EQ(e->type, x.type) << x.name;
        EXPECT_EQ(e->mode, x.mode) << x.name;
        if (x.seconds >= 0) {
            EXPECT_EQ(e->modified, x.seconds) << x.name;
            EXPECT_EQ(e->modified_nanoseconds, x.nanoseconds) << x.name;
        }
        EXPECT_EQ(e->link_target, x.target) << x.name;
        EXPECT_TRUE(e->verified) << x.name;
        ASSERT_TRUE(e->owner.has_value()) << x.name;
        EXPECT_EQ(e->owner->id, geteuid()) << x.name;
        EXPECT_EQ(e->group->id, getegid()) << x.name;
    }
    EXPECT_EQ(in.read(*find(in, "tree/sub/hard")), "exact") << "a hard link's bytes";
    EXPECT_EQ(find(in, "tree/sub/hard")->folder, find(in, "tree/exact")->folder);
    EXPECT_EQ(in.read(*find(in, "tree/caf\xE9")), "caf\xE9");
    std::error_code ec;
    in.read(*find(in, "tree/sub"), ec);
    EXPECT_EQ(ec, kistle::errc::not_a_file);
}

// Stripped names land every kind of entry, a hard link on its stripped
// first name, as tar --strip-components does; what has no components left
// is passed over before select sees it.
TEST_F(tree_test, strip_components_moves_every_kind_of_entry) {
    make_tree();
    kistle::reader in(store());
    const std::string out = scratch.file("out");
    fs::create_directory(out);
    kistle::extract_options options;
    options.strip_components = 1;
    std::vector<std::string> offered;
    options.select = [&](const kistle::entry& e) {
        offered.push_back(e.name);
        return true;
    };
    in.extract_all(out, options);
    EXPECT_EQ(offered.size(), in.entries().size() - 1) << "all but tree itself";
    EXPECT_EQ(scratch_dir::read(out + "/run.sh"), "run.sh");
    EXPECT_EQ(scratch_dir::status_of(out + "/run.sh").st_mode & 0700, 0700u);
    EXPECT_EQ(scratch_dir::status_of(out + "/exact").st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(scratch_dir::status_of(out + "/sub/hard").st_ino,
              scratch_dir::status_of(out + "/exact").st_ino);
    EXPECT_EQ(fs::read_symlink(out + "/sub/relative"), "../run.sh") << "targets stay as stored";
    EXPECT_TRUE(fs::is_directory(out + "/sub/empty"));
    EXPECT_FALSE(fs::exists(out + "/tree"));

    // Two components: the hard link's first name is passed over, so the
    // link gets its bytes.
    const std::string deeper = scratch.file("deeper");
    fs::create_directory(deeper);
    options.strip_components = 2;
    options.select = nullptr;
    in.extract_all(deeper, options);
    EXPECT_EQ(scratch_dir::names_in(deeper),
              (std::vector<std::string>{"absolute", "caf\xC3\xA9", "dangling", "empty", "hard",
                                        "relative"}));
    EXPECT_EQ(scratch_dir::read(deeper + "/hard"), "exact");
    EXPECT_EQ(scratch_dir::status_of(deeper + "/hard").st_nlink, 1u);
}

// One entry to a path of the caller's choosing, with its mode and time.
TEST_F(tree_test, extract_to_a_chosen_path) {
    make_tree();
    kistle::reader in(store());
    const std::string out = scratch.file("chosen");
    fs::create_directory(out);
    EXPECT_TRUE(in.extract_to(*find(in, "tree/exact"), out + "/copy"));
    EXPECT_EQ(scratch_dir::read(out + "/copy"), "exact");
    EXPECT_EQ(scratch_dir::status_of(out + "/copy").st_mtim.tv_sec, march_2024);
    EXPECT_EQ(scratch_dir::status_of(out + "/copy").st_mtim.tv_nsec, 123456789);
    EXPECT_TRUE(in.extract_to(*find(in, "tree/run.sh"), out + "/copy"));
    EXPECT_EQ(scratch_dir::read(out + "/copy"), "run.sh") << "replaced";
    EXPECT_EQ(scratch_dir::status_of(out + "/copy").st_mode & 0700, 0700u);
    EXPECT_FALSE(
        in.extract_to(*find(in, "tree/exact"), out + "/copy", kistle::reader::existing::keep));
    EXPECT_EQ(scratch_dir::read(out + "/copy"), "run.sh") << "kept";

    // A hard link is a file of its own; links and directories are made as such.
    EXPECT_TRUE(in.extract_to(*find(in, "tree/sub/hard"), out + "/hard"));
    EXPECT_EQ(scratch_dir::read(out + "/hard"), "exact");
    EXPECT_TRUE(in.extract_to(*find(in, "tree/sub/relative"), out + "/link"));
    EXPECT_EQ(fs::read_symlink(out + "/link"), "../run.sh");
    EXPECT_TRUE(in.extract_to(*find(in, "tree/sub/empty"), out + "/dir"));
    EXPECT_EQ(scratch_dir::status_of(out + "/dir").st_mtim.tv_sec, june_1970);

    struct refusal {
        std::string target;
        kistle::errc code;
    };
    const refusal refusals[] = {{out + "/missing/copy", kistle::errc::open_stream},
                                {out + "/", kistle::errc::access_denied},
                                {in.path().native(), kistle::errc::cabinet_itself}};
    for (const refusal& r : refusals) {
        std::error_code ec;
        EXPECT_FALSE(in.extract_to(*find(in, "tree/exact"), r.target,
                                   kistle::reader::existing::replace, ec));
        EXPECT_EQ(ec, r.code) << r.target;
    }
    EXPECT_EQ(scratch_dir::read(in.path()).substr(0, 4), "MSCF");
}

// Readers of the format see regular files only, with DOS fields clamped
// into their range, the execute bit as E and UTF-8 names as U.
TEST_F(tree_test, file_entries_serve_every_reader) {
    make_tree();
    const std::string path = store();
    cabinet_reader core;
    ASSERT_EQ(core.open(path.c_str()), 0);
    std::map<std::string, const cabinet_file_header*> by_name;
    for (uint32_t i = 0; i < core.file_headers.count; ++i)
        by_name[core.file_headers[i]->szName.str()] = core.file_headers[i];
    EXPECT_EQ(by_name.size(), 8u) << "seven files and the hard link";
    EXPECT_EQ(core.header.flags, cfhdrRESERVE_PRESENT);

    auto attributes = [&](const char* name) { return by_name.at(name)->attribs; };
    EXPECT_EQ(attributes("tree/run.sh"), kistle::attribute::execute);
    EXPECT_EQ(attributes("tree/setuid"), kistle::attribute::execute);
    EXPECT_EQ(attributes("tree/private"), 0);
    EXPECT_EQ(attributes("tree/caf\xE9"), 0) << "not UTF-8";
    EXPECT_EQ(attributes("tree/sub/caf\xC3\xA9"),
              kistle::attribute::read_only | kistle::attribute::name_is_utf8);

    const kistle::dos_date_time early = kistle::decode_dos_date_time(
        by_name.at("tree/shadow")->date, by_name.at("tree/shadow")->time);
    EXPECT_EQ(early.year, 1980u);
    EXPECT_EQ(early.month, 1u);
    EXPECT_EQ(early.day, 1u);
    const kistle::dos_date_time late = kistle::decode_dos_date_time(
        by_name.at("tree/setuid")->date, by_name.at("tree/setuid")->time);
    EXPECT_EQ(late.year, 2107u);
    EXPECT_EQ(late.month, 12u);
    EXPECT_EQ(late.day, 31u);

    // Every file extracts through the record-level reader, byte for byte.
    std::string out = scratch.file("core");
    fs::create_directory(out);
    for (uint32_t i = 0; i < core.file_headers.count; ++i)
        EXPECT_EQ(core.extract_file(i, out.c_str(), cabinet_reader::EXISTING_REPLACE), 0) << i;
    EXPECT_EQ(scratch_dir::read(out + "/tree/sub/hard"), "exact");
    EXPECT_EQ(scratch_dir::read(out + "/tree/setuid"), "setuid");
}

// Given times, owners and a clamp make the cabinet independent of the
// files' own; with UTC dates, of the time zone too.
TEST_F(tree_test, options_decide_times_and_owners) {
    make_tree();
    kistle::tree_options options;
    options.newest = kistle::file_time{march_2024, 0};
    options.owner = kistle::owner_id{4242, "builder"};
    options.group = kistle::owner_id{4343, "staff"};
    kistle::reader clamped(store(options));
    EXPECT_EQ(find(clamped, "tree/setuid")->modified, march_2024) << "2200 clamped";
    EXPECT_EQ(find(clamped, "tree/shadow")->modified, june_1970) << "earlier times stay";
    EXPECT_EQ(find(clamped, "tree/sub")->owner->name, "builder");
    EXPECT_EQ(find(clamped, "tree/sub")->group->id, 4343u);

    options.numeric_owner = true;
    options.mtime = kistle::file_time{june_1970, 7};
    kistle::reader fixed(store(options, "fixed.cab"));
    for (const kistle::entry& e : fixed.entries()) {
        EXPECT_EQ(e.modified, june_1970) << e.name;
        EXPECT_EQ(e.owner->name, "") << e.name;
        EXPECT_EQ(e.owner->id, 4242u) << e.name;
    }

    auto in_zone = [&](const char* zone, const std::string& name) {
        time_zone setting(zone);
        kistle::writer out(scratch.file(name));
        out.set_utc(true);
        out.add_tree(root, "tree", options);
        out.commit();
        return scratch_dir::read(scratch.file(name));
    };
    EXPECT_TRUE(in_zone("UTC", "utc.cab") == in_zone("Asia/Tokyo", "tokyo.cab"));
}

// What cannot be stored is told and left out; the rest is stored.
TEST_F(tree_test, notices_name_what_was_left_out) {
    fs::create_directories(root);
    scratch.write("tree/keep", "keep");
    scratch.write("tree/swap", "swap");
    ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);
    std::vector<std::pair<kistle::notice::kind, std::string>> told;
    std::string path = scratch.file("t.cab");
    kistle::writer out(path);
    out.set_notices(
        [&](const kistle::notice& n) { told.emplace_back(n.what, n.source.filename()); });
    kistle::tree_options options;
    // Between the walk finding it and the writer opening it, swap turns into
    // a link to what the walk never saw.
    options.filter = [&](std::string_view name, kistle::entry_type, const fs::path&) {
        if (name == "tree/swap") {
            fs::remove(root + "/swap");
            fs::create_symlink("/etc/passwd", root + "/swap");
        }
        return true;
    };
    out.add_tree(root, "tree", options);
    out.add_tree(root + "/keep", "tree/keep");
    // A file whose size says nothing of its bytes has changed as it was read.
    out.add_tree("/proc/self/status", "status");
    out.commit();
    using kind = kistle::notice::kind;
    EXPECT_EQ(told, (std::vector<std::pair<kind, std::string>>{{kind::special_file, "fifo"},
                                                               {kind::replaced, "swap"},
                                                               {kind::duplicate, "keep"},
                                                               {kind::changed, "status"}}));
    kistle::reader in(path);
    std::vector<std::string> names;
    for (const kistle::entry& e : in.entries())
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"tree", "tree/keep", "status"}));
    EXPECT_NE(in.read(*in.find("status")).find("Name:"), std::string::npos);
}

// A plain cabinet holds the regular files alone, as cabinet_tool writes
// them; a time outside the DOS range is clamped and told.
TEST_F(tree_test, plain_cabinets_keep_regular_files) {
    make_tree();
    std::vector<std::string> clamped, not_stored;
    std::string path = scratch.file("plain.cab");
    kistle::writer out(path);
    out.set_plain(true);
    out.set_notices([&](const kistle::notice& n) {
        if (n.what == kistle::notice::kind::time_clamped)
            clamped.push_back(n.name);
        if (n.what == kistle::notice::kind::not_stored)
            not_stored.push_back(n.name);
    });
    out.add_tree(root, "tree");
    out.commit();
    EXPECT_EQ(clamped, (std::vector<std::string>{"tree/setuid", "tree/shadow"}));
    EXPECT_EQ(not_stored, (std::vector<std::string>{"tree/sub/absolute", "tree/sub/dangling",
                                                    "tree/sub/empty", "tree/sub/relative"}));
    kistle::reader in(path);
    EXPECT_EQ(in.info().record, kistle::record_status::none);
    EXPECT_EQ(in.info().flags, 0);
    EXPECT_EQ(in.entries().size(), 8u);
    for (const kistle::entry& e : in.entries()) {
        EXPECT_EQ(e.type, kistle::entry_type::file) << e.name;
        EXPECT_FALSE(e.verified) << e.name;
        EXPECT_FALSE(e.owner.has_value()) << e.name;
        EXPECT_EQ(e.attributes & ~kistle::attribute::read_only, 0) << e.name;
    }
    EXPECT_EQ(in.read(*in.find("tree/sub/hard")), "exact") << "a hard link stored as a copy";
}

// add_bytes and add_file take times and modes, and never wrap a time.
TEST_F(tree_test, entry_options_and_times_past_the_dos_range) {
    std::string path = scratch.file("t.cab");
    {
        kistle::writer out(path);
        kistle::entry_options options;
        options.modified = kistle::file_time{LLONG_MAX, 999999999};
        options.mode = 0750;
        out.add_bytes("far", "x", options);
        out.add_bytes("epoch", "y", 0);
        out.commit();
    }
    kistle::reader in(path);
    EXPECT_EQ(in.find("far")->modified, LLONG_MAX);
    EXPECT_EQ(in.find("far")->modified_nanoseconds, 999999999u);
    EXPECT_EQ(in.find("far")->mode, 0750u);
    EXPECT_EQ(in.find("epoch")->modified, 0) << "1970, not 2098";
    EXPECT_EQ(in.find("epoch")->mode, 0644u);
}

} // namespace

namespace {

// Damage to any one part that marks a kistle cabinet (the header's flag,
// the pointer's marker, the record itself) is reported as damage, never
// taken for another writer's plain cabinet; a newer record is said to be
// newer.
struct marking_case {
    const char* label;
    std::function<void(std::string& cabinet)> damage;
    kistle::record_status status;
    kistle::errc reported;
};

void PrintTo(const marking_case& c, std::ostream* out) {
    *out << c.label;
}

class record_marking_test : public archive_test,
                            public testing::WithParamInterface<marking_case> {};

TEST_P(record_marking_test, is_reported_not_mistaken) {
    std::string path = scratch.file("t.cab");
    {
        kistle::writer out(path);
        out.add_bytes("a.txt", std::string(1000, 'a'), modified);
        out.commit();
    }
    std::string bytes = scratch_dir::read(path);
    GetParam().damage(bytes);
    scratch.write("t.cab", bytes);
    kistle::reader in(path);
    EXPECT_EQ(in.info().record, GetParam().status);
    ASSERT_FALSE(in.damage().empty());
    EXPECT_EQ(in.damage()[0].code, GetParam().reported);
    EXPECT_FALSE(in.test().empty());
}

// The header's reserve area lies behind the 64-byte header and the 4-byte
// reserve-size block; the record's blocks come first in the data.
constexpr std::size_t reserve_at = 68;

INSTANTIATE_TEST_SUITE_P(
    cases, record_marking_test,
    testing::Values(marking_case{"flag_cleared", [](std::string& b) { b[54] = 0; },
                                 kistle::record_status::damaged, kistle::errc::record_damaged},
                    marking_case{"pointer_marker",
                                 [](std::string& b) { b[reserve_at + 1] ^= 0x20; },
                                 kistle::record_status::verified, kistle::errc::directory_damaged},
                    marking_case{"pointer_folder", [](std::string& b) { b[reserve_at + 10] ^= 1; },
                                 kistle::record_status::verified, kistle::errc::directory_damaged},
                    marking_case{"record_block",
                                 [](std::string& b) {
                                     // The first block header after the directory: its checksum.
                                     std::size_t first = b.find(std::string("a.txt\0", 6)) + 6;
                                     b[first] ^= 1;
                                 },
                                 kistle::record_status::damaged, kistle::errc::record_damaged},
                    marking_case{"newer_major_version",
                                 [](std::string& b) { b[reserve_at + 8] = 2; },
                                 kistle::record_status::newer, kistle::errc::record_newer}));

} // namespace
