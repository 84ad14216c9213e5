#include <algorithm>
#include <cerrno>
#include <kistle/archive.h>
#include <memory>
#include <sys/stat.h>

#include "command_line.h"
#include "commands.h"
#include "console.h"
#include "create_settings.h"
#include "pattern.h"
#include "progress.h"
#include "warnings.h"

namespace {

// The tree options that the command line gives; false after a message
// when one of them cannot be taken.
bool tree_settings(const options& o, console& out, kistle::tree_options& tree, bool& utc) {
    bool valid = true;
    tree.newest = source_date_epoch(valid);
    if (!valid) {
        out.note("SOURCE_DATE_EPOCH", "not a number of seconds");
        return false;
    }
    utc = tree.newest.has_value();
    if (!o.mtime.empty() && !(tree.mtime = parse_time(o.mtime))) {
        out.note(o.mtime, "not a time (try @1700000000 or 2024-03-05T14:07:08Z)");
        return false;
    }
    if (!o.owner.empty() && !(tree.owner = parse_owner(o.owner, true, o.numeric_owner))) {
        out.note(o.owner, "no such user (give NAME:ID or an ID)");
        return false;
    }
    if (!o.group.empty() && !(tree.group = parse_owner(o.group, false, o.numeric_owner))) {
        out.note(o.group, "no such group (give NAME:ID or an ID)");
        return false;
    }
    tree.numeric_owner = o.numeric_owner;
    if (!o.excludes.empty())
        tree.filter = [excluded = std::make_shared<exclusion_set>(o.excludes)](
                          std::string_view name, kistle::entry_type, const std::filesystem::path&) {
            return !excluded->excludes(name);
        };
    return true;
}

const char* refusal(const std::string& name) {
    const char* why = kistle::refusal_of(name);
    return why != nullptr ? why : "a name that cannot be stored";
}

// Why a cabinet of a set began, as the writer names it.
std::string volume_reason(const std::string& why) {
    if (why == "size")
        return "next cabinet of the set: the volume size was reached";
    if (why == "files")
        return "next cabinet of the set: a cabinet holds at most " +
               std::to_string(kistle::max_entries) + " files";
    if (why == "folders")
        return "next cabinet of the set: a cabinet holds at most 65533 folders";
    return "next cabinet of the set: a file goes on past what a folder holds";
}

// What the writer left out or changed, said as it happens (what costs
// nothing, through told). failed is set for what costs an entry, which is
// always named.
void tell(const kistle::notice& n, console& out, warnings& told, bool& failed, bool& slash_told) {
    using kind = kistle::notice::kind;
    const std::string path = n.source.native();
    switch (n.what) {
    case kind::special_file:
        told.warn(path, "special file not stored", "special file skipped", "special files skipped");
        break;
    case kind::cabinet_itself:
        told.warn(path, "the cabinet itself; not stored", "path was the cabinet itself; not stored",
                  "paths were the cabinet itself; not stored");
        break;
    case kind::leading_slash:
        if (!slash_told)
            out.note("removing leading '/' from stored names");
        slash_told = true;
        break;
    case kind::not_stored:
        if (n.type == kistle::entry_type::directory)
            told.warn(path, "empty directory not stored in a plain cabinet",
                      "empty directory not stored in a plain cabinet",
                      "empty directories not stored in a plain cabinet");
        else
            told.warn(path, "symbolic link not stored in a plain cabinet",
                      "symbolic link not stored in a plain cabinet",
                      "symbolic links not stored in a plain cabinet");
        break;
    case kind::time_clamped:
        told.warn(path, "time outside 1980-2107; the nearest date stored",
                  "time outside 1980-2107 stored as the nearest date",
                  "times outside 1980-2107 stored as the nearest date");
        break;
    case kind::changed:
        out.note(path, "file changed as we read it");
        failed = true;
        break;
    case kind::replaced:
        out.note(path, "replaced while the tree was stored; not stored");
        failed = true;
        break;
    case kind::unreadable:
        out.note(path, n.code ? n.code.message() + "; not stored" : "cannot be read; not stored");
        failed = true;
        break;
    case kind::bad_name:
        out.note(path, refusal(n.name));
        failed = true;
        break;
    case kind::duplicate:
        told.warn(path, "given twice; stored once", "path given twice; stored once",
                  "paths given twice; stored once");
        break;
    case kind::volume:
        out.note(path, volume_reason(n.name));
        break;
    }
}

// The writer's message, and the option that would do what was refused.
std::string refusal_of_place(const kistle::error& e, const options& o) {
    std::string text = e.what();
    const int system = e.system_code().value();
    struct stat status;
    if (e.code() == kistle::errc::not_a_cabinet)
        text += " (--force replaces it)";
    else if (e.code() == kistle::errc::open_file && (system == EACCES || system == EPERM) &&
             e.path() != o.cabinet && !o.in_place && stat(o.cabinet.c_str(), &status) == 0 &&
             S_ISREG(status.st_mode))
        text += " (--in-place writes over " + o.cabinet + " instead)";
    return text;
}

// Folders of this much input keep what add, update and delete rebuild
// small, at almost no cost in size (blocks are independent anyway); a tree
// too large for this many of them gets larger ones.
constexpr std::uint64_t default_folder_size = std::uint64_t(1) << 20;
constexpr std::uint64_t folders_planned = 60000;

std::uint64_t folder_size_for(const options& o, std::uint64_t total) {
    if (o.folder_size_given)
        return o.folder_size;
    return std::max(default_folder_size, total / folders_planned);
}

} // namespace

void say_change(kistle::change what, const std::string& name, console& out) {
    const char* said = what == kistle::change::added      ? "added: "
                       : what == kistle::change::replaced ? "replaced: "
                                                          : "deleted: ";
    out.out_line(said + name);
}

int run_create(const options& o, console& out) {
    const bool changing = o.what == command::add || o.what == command::update;
    const bool to_output = !changing && o.cabinet == "-";
    kistle::tree_options tree;
    bool utc = false;
    if (!tree_settings(o, out, tree, utc))
        return exit_failure;

    tree.keep_unchanged = o.what == command::update;
    tree.remove_missing = o.delete_missing;
    if (to_output && out.output_is_terminal()) {
        out.note("-", "refusing to write a cabinet to a terminal");
        return exit_failure;
    }

    kistle::writer cabinet;
    if (o.level != -1)
        cabinet.set_level(o.level);
    cabinet.set_volume_size(o.volume_size);
    cabinet.set_threads(o.threads);
    cabinet.set_plain(o.plain);
    cabinet.set_utc(utc);
    cabinet.set_in_place(o.in_place);
    cabinet.set_replace_any(o.force);
    // Where the cabinet cannot go is said before anything is read.
    try {
        // As zip does, a cabinet that is not there yet is made.
        struct stat existing;
        if (changing && lstat(o.cabinet.c_str(), &existing) == 0)
            cabinet.edit(o.cabinet);
        else if (to_output)
            cabinet.open(out.out());
        else
            cabinet.open(o.cabinet);
    } catch (const kistle::error& e) {
        out.note(refusal_of_place(e, o));
        return exit_failure;
    }
    if (to_output)
        out.lines_to_error();
    const auto source_of = [&o](const std::string& path) {
        return o.directory.empty() ? std::filesystem::path(path)
                                   : std::filesystem::path(o.directory) / path;
    };

    // A path that cannot be found, a name extraction would refuse and what
    // the format cannot hold are refused before anything is compressed.
    std::uint64_t files = 0, total = 0;
    bool refused = false;
    // update reads little of a tree it mostly keeps: a second walk of the
    // whole tree would cost more than the rest (names it refuses are still
    // named as it meets them).
    const bool surveyed = o.what != command::update;
    for (const std::string& path : surveyed ? o.operands : std::vector<std::string>()) {
        kistle::survey_result found;
        try {
            found = cabinet.survey(source_of(path), path, tree);
        } catch (const kistle::error& e) {
            if (e.code() == kistle::errc::access_denied)
                out.note(path, refusal(path));
            else
                out.note(e.path().native(),
                         e.system_code() ? e.system_code().message() : e.code().message());
            return exit_failure;
        }
        for (const kistle::notice& n : found.refused)
            out.note(n.source.native(), refusal(n.name));
        refused = refused || !found.refused.empty();
        files += found.files;
        total += found.bytes;
        if ((o.plain || to_output) && found.largest > kistle::max_entry_size) {
            out.note(found.largest_source.native(),
                     std::string("larger than ") +
                         (o.plain ? "a plain cabinet" : "a cabinet on standard output") +
                         " can hold (at most " + std::to_string(kistle::max_entry_size) +
                         " bytes a file)");
            return exit_failure;
        }
    }
    if (refused)
        return exit_failure;
    cabinet.set_folder_size(folder_size_for(o, total));
    // Past one cabinet's limits a set goes on in further files: not for a
    // plain cabinet, nor on standard output.
    if ((o.plain || to_output) && files > kistle::max_entries) {
        out.note(o.cabinet, std::to_string(files) + " files; " +
                                (o.plain ? "a plain cabinet" : "a cabinet on standard output") +
                                " holds at most " + std::to_string(kistle::max_entries));
        return exit_failure;
    }

    progress_line progress(out.error_is_terminal() && !o.quiet && !o.no_progress, total,
                           std::chrono::milliseconds(o.progress_delay));
    console::progress_scope shown(out, progress);
    cabinet.set_progress([&progress](std::uint64_t done) { progress.update(done); });
    bool failed = false, slash_told = false;
    warnings told(out, o.quiet);
    cabinet.set_notices([&](const kistle::notice& n) { tell(n, out, told, failed, slash_told); });
    if (o.store)
        cabinet.new_folder(kistle::compression::stored);
    if (changing && o.verbose)
        cabinet.set_changes(
            [&out](kistle::change what, const std::string& name) { say_change(what, name, out); });
    if (!changing && o.verbose)
        tree.filter = [&out, excluded = tree.filter](std::string_view name, kistle::entry_type type,
                                                     const std::filesystem::path& source) {
            if (excluded && !excluded(name, type, source))
                return false;
            if (!name.empty())
                out.out_line(std::string(name) +
                             (type == kistle::entry_type::directory ? "/" : ""));
            return true;
        };
    // A path that fails costs itself; without anything stored there is no
    // cabinet.
    for (const std::string& path : o.operands) {
        try {
            cabinet.add_tree(source_of(path), path, tree);
        } catch (const kistle::error& e) {
            out.note(e.what());
            failed = true;
        }
    }
    if (failed && cabinet.size() == 0) {
        cabinet.discard();
        told.summarise();
        return exit_failure;
    }
    progress.set_stage("writing the cabinet");
    try {
        cabinet.commit();
    } catch (const kistle::error& e) {
        told.summarise();
        out.note(refusal_of_place(e, o));
        return exit_failure;
    }
    progress.finish();
    told.summarise();
    return failed ? exit_failure : exit_success;
}
