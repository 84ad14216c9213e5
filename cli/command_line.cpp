#include "command_line.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <kistle/archive.h>

#include "size_suffix.h"

namespace {

#define KISTLE_STRINGIFY2(x) #x
#define KISTLE_STRINGIFY(x) KISTLE_STRINGIFY2(x)

std::string version_text() {
    return std::string("kistle " KISTLE_STRINGIFY(KISTLE_VERSION_MAJOR) "." KISTLE_STRINGIFY(
               KISTLE_VERSION_MINOR) "." KISTLE_STRINGIFY(KISTLE_VERSION_PATCH) " (library ") +
           kistle::version() + ")";
}

void add_threads(CLI::App& app, options& o) {
    app.add_option("-j,--threads", o.threads, "Worker threads; 0, the default, means one per core")
        ->type_name("N");
}

void add_quiet(CLI::App& app, options& o) {
    app.add_flag("-q,--quiet", o.quiet,
                 "No progress line, and one line per kind of warning in place of one per file; "
                 "what fails is still named");
    app.add_flag("--no-progress", o.no_progress,
                 "Show no progress line (one appears on a terminal after about a second)");
    // Hidden (no group): lets the tests see the line without waiting for it.
    app.add_option("--progress-delay", o.progress_delay)->type_name("MILLISECONDS")->group("");
}

void add_cabinet(CLI::App& app, options& o,
                 const char* what = "The cabinet file, or - for standard input") {
    app.add_option("CABINET", o.cabinet, what)->required()->type_name("");
}

void add_exclude(CLI::App& app, options& o, const char* what) {
    app.add_option("--exclude", o.excludes, what)
        ->type_name("PATTERN")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// How the operands of list, extract, cat and delete choose entries.
constexpr const char* selection_help =
    "A PATTERN is a shell wildcard matched against the whole stored name; '*' matches\n"
    "'/' too. Write '*', '?', '[' and '\\' in a name with a backslash before each, as\n"
    "in the shell ('a\\[1\\].txt'). An operand that names a stored directory, or a part\n"
    "of a name that ends where a '/' follows, selects everything below it too, as tar\n"
    "does. An operand that selects nothing is an error.\n";

// CLI11 reads an argument written as [a,b] as a list of values ([] as
// none), and after "--" it gives up on a command whose operands are already
// satisfied. A NUL, which no argument can hold, put before an argument keeps
// it whole and makes it an operand: before each argument of that form, and
// before each one after the first "--", which is dropped. unmark takes the
// NUL off once the arguments are parsed. The result is in the reverse order
// that CLI11 parses.
std::vector<std::string> marked_arguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    bool operands_only = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (!operands_only && argument == "--") {
            operands_only = true;
            continue;
        }
        if (operands_only ||
            (argument.size() >= 2 && argument.front() == '[' && argument.back() == ']'))
            argument.insert(argument.begin(), '\0');
        arguments.push_back(std::move(argument));
    }
    std::reverse(arguments.begin(), arguments.end());
    return arguments;
}

void unmark(std::string& value) {
    if (!value.empty() && value.front() == '\0')
        value.erase(0, 1);
}

// The subcommands, as the table below adds them.
struct command_entry {
    const char* name;
    command what;
    CLI::App* (*add)(CLI::App& app, options& o);
};

// The options that create, add and update share: where the PATHs are,
// what to leave out, what entries record and how they are compressed.
void add_storing(CLI::App& command, options& o) {
    command.add_option("-C,--directory", o.directory, "Take the PATHs relative to DIR")
        ->type_name("DIR");
    add_exclude(command, o, "Leave out what PATTERN matches, and all below a directory it matches");
    command
        .add_option("--mtime", o.mtime,
                    "Store TIME as every entry's time (@SECONDS, or "
                    "YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM])")
        ->type_name("TIME");
    command.add_option("--owner", o.owner, "Store NAME (or ID, or NAME:ID) as every entry's owner")
        ->type_name("NAME");
    command.add_option("--group", o.group, "Store NAME (or ID, or NAME:ID) as every entry's group")
        ->type_name("NAME");
    command.add_flag("--numeric-owner", o.numeric_owner,
                     "Store owner and group IDs without their names");
    command
        .add_option("--level", o.level, "Deflate level, 1 (fastest) to 9 (smallest); by default 6")
        ->type_name("N")
        ->check(CLI::Range(1, 9).description(""));
    command
        .add_option_function<std::string>(
            "--folder-size",
            [&o](std::string text) {
                unmark(text);
                auto size = parse_size(text);
                if (!size)
                    throw CLI::ValidationError("--folder-size",
                                               "not a size: " + text + " (try 64M or 1G)");
                o.folder_size = *size;
                o.folder_size_given = true;
            },
            "Most input per folder (suffixes K, M, G; 0: its limit, about 2 GiB); "
            "default: 1M, more for trees over 60G")
        ->type_name("SIZE");
    command
        .add_option_function<std::string>(
            "--volume-size",
            [&o](std::string text) {
                unmark(text);
                auto size = parse_size(text);
                if (!size || *size == 0)
                    throw CLI::ValidationError("--volume-size",
                                               "not a size: " + text + " (try 100M or 4G)");
                o.volume_size = *size;
            },
            "Most bytes a cabinet takes (suffixes K, M, G); beyond, further cabinets "
            "CABINET.2, CABINET.3, ... follow")
        ->type_name("SIZE");
}

CLI::App* add_create(CLI::App& app, options& o) {
    CLI::App* create = app.add_subcommand("create", "Make a cabinet of files and directories");
    add_storing(*create, o);
    create->add_flag("--store", o.store, "Store the files uncompressed");
    create->add_flag("--plain", o.plain,
                     "Write a plain cabinet: regular files only, with their date and read-only "
                     "bit, as cabinet_tool writes");
    create->add_flag("--in-place", o.in_place,
                     "Where CABINET's directory refuses a new file, write over CABINET itself; "
                     "a failure part way (a full disk) then leaves it damaged");
    create->add_flag("--force", o.force, "Replace CABINET even when it is not a cabinet");
    add_threads(*create, o);
    create->add_flag("-v,--verbose", o.verbose, "Name each file as it is added");
    add_quiet(*create, o);
    create->add_option("CABINET", o.cabinet, "The cabinet file, or - for standard output")
        ->required()
        ->type_name("");
    create->add_option("PATH", o.operands, "Files and directories to store")
        ->required()
        ->type_name("");
    create->footer(
        "Directories are walked recursively in sorted order. Names are stored as the\n"
        "paths were given, relative, with '/' between directories; a leading '/' is\n"
        "removed, and a path with a '..' component is refused. --exclude takes tar's\n"
        "meaning: a PATTERN without '/' is matched against each name component, one with\n"
        "'/' against the whole stored name; an excluded directory is not entered.\n"
        "\n"
        "Kept, as tar keeps them: regular files with all their permission bits,\n"
        "directories, hard links, owners and groups (IDs and names), and modification\n"
        "times in UTC to the nanosecond, with a checksum of each file. Symbolic links\n"
        "are stored as links, never followed. Lost: devices, FIFOs and sockets (skipped\n"
        "with a warning), access and change times, extended attributes and ACLs. A file\n"
        "that cannot be read is skipped too, and the exit status is then 1. Every reader\n"
        "of the format still extracts the files. --plain keeps regular files with their\n"
        "date (local time, two-second steps, 1980 to 2107) and read-only bit only, as\n"
        "cabinet_tool writes them. With SOURCE_DATE_EPOCH set, later times are stored as\n"
        "it and dates are written in UTC, so the cabinet depends on the files alone.\n"
        "\n"
        "What one cabinet cannot hold (65535 files, hard links counted; 65533 folders of\n"
        "2147385345 bytes at most) goes on in further cabinets, a set: backup.cab,\n"
        "backup.2.cab, ...; a file continues from one to the next. --volume-size makes\n"
        "the cabinets no larger than SIZE (a few hundred K at the least). extract, list\n"
        "and test read a set from its first cabinet, with the others beside it. --plain\n"
        "writes one cabinet, within those limits.\n"
        "\n"
        "The cabinet appears only once complete; a failure leaves what was at CABINET as\n"
        "it was. Only an empty file or a cabinet is replaced, unless --force. Where\n"
        "CABINET's directory refuses a new file, create fails before compressing\n"
        "anything; --in-place then writes over CABINET itself, and a failure part way\n"
        "leaves it damaged. Arguments after '--' are PATHs even when they begin with\n"
        "'-'. CABINET '-' writes the cabinet to standard output (never to a terminal).\n"
        "\n"
        "Each folder takes at most 1M of input by default (more when the tree holds\n"
        "over 60G), so that add, update and delete rebuild little; its blocks are\n"
        "independent, so small folders cost almost nothing in size.\n"
        "\nExamples:\n"
        "  kistle create backup.cab Documents notes.txt\n"
        "  kistle create -C /srv/www site.cab .\n"
        "  kistle create --exclude '*.o' --exclude .git src.cab src\n"
        "  kistle create --level 9 --folder-size 64M -j 2 photos.cab Pictures\n"
        "  kistle create - src | ssh host kistle extract -C dst -\n");
    return create;
}

// What add, update and delete say of how they change a cabinet.
constexpr const char* change_help =
    "The new cabinet replaces the old one only once it is complete: a failure leaves\n"
    "CABINET as it was. Folders whose entries all stay are copied block for block\n"
    "(their checksums verified), never compressed again; only a folder that loses\n"
    "an entry is rebuilt, its kept files checked against their checksums first.\n"
    "Kept entries keep their modes, owners, times and links; a hard link whose\n"
    "first name goes becomes the file. A plain cabinet stays plain. -v names each\n"
    "entry added, replaced or deleted.\n";

// What add and update take after their own options: threads, -v, -q,
// the cabinet and the PATHs.
void add_change_operands(CLI::App& command, options& o, const char* verbose, const char* paths) {
    add_threads(command, o);
    command.add_flag("-v,--verbose", o.verbose, verbose);
    add_quiet(command, o);
    add_cabinet(command, o, "The cabinet file");
    command.add_option("PATH", o.operands, paths)->required()->type_name("");
}

CLI::App* add_add(CLI::App& app, options& o) {
    CLI::App* add =
        app.add_subcommand("add", "Add files to a cabinet, replacing those of the same name");
    add_storing(*add, o);
    add_change_operands(*add, o, "Name each entry added or replaced",
                        "Files and directories to add");
    add->footer("PATHs are stored as create stores them; an entry stored under the same name\n"
                "is replaced. A CABINET that does not exist is made, as create makes it.\n\n" +
                std::string(change_help) +
                "\nExamples:\n"
                "  kistle add backup.cab notes.txt\n"
                "  kistle add -C /srv/www site.cab .\n");
    return add;
}

CLI::App* add_update(CLI::App& app, options& o) {
    CLI::App* update =
        app.add_subcommand("update", "Add what is new to a cabinet and replace what changed");
    add_storing(*update, o);
    update->add_flag("--delete-missing", o.delete_missing,
                     "Remove the entries below each PATH whose files are gone (zip's -FS)");
    add_change_operands(*update, o, "Name each entry added, replaced or deleted",
                        "Files and directories to bring up to date");
    update->footer("A path is read again only when its entry is missing or differs in type, size,\n"
                   "modification time (as precisely as the cabinet stores it), mode or link\n"
                   "target; the others stay as stored, unread. PATHs are named as for create.\n\n" +
                   std::string(change_help) +
                   "\nExamples:\n"
                   "  kistle update backup.cab Documents\n"
                   "  kistle update --delete-missing -C /srv/www site.cab .\n");
    return update;
}

CLI::App* add_delete(CLI::App& app, options& o) {
    CLI::App* remove = app.add_subcommand("delete", "Remove entries from a cabinet");
    remove->add_flag("-v,--verbose", o.verbose, "Name each entry deleted");
    add_quiet(*remove, o);
    add_cabinet(*remove, o, "The cabinet file");
    remove->add_option("PATTERN", o.operands, "The entries to remove (PATTERN or DIR)")
        ->required()
        ->type_name("");
    remove->footer(std::string(selection_help) + "\n" + change_help +
                   "\nExamples:\n"
                   "  kistle delete backup.cab notes.txt 'logs/*.log'\n"
                   "  kistle delete site.cab cache\n");
    return remove;
}

CLI::App* add_list(CLI::App& app, options& o) {
    CLI::App* list = app.add_subcommand("list", "List the files of a cabinet");
    list->add_flag("-l,--long", o.long_format,
                   "Show type and mode, owner and group, size, date and time (local)");
    list->add_flag("--json", o.json, "Write a JSON array of the files");
    add_cabinet(*list, o);
    list->add_option("PATTERN", o.operands, "Only the entries these select (PATTERN or DIR)")
        ->type_name("");
    list->footer(std::string(selection_help) + "\nExamples:\n"
                                               "  kistle list -l backup.cab\n"
                                               "  kistle list backup.cab Documents 'notes/*.txt'\n"
                                               "  kistle list --json backup.cab | jq '.[].size'\n");
    return list;
}

CLI::App* add_extract(CLI::App& app, options& o) {
    CLI::App* extract = app.add_subcommand("extract", "Unpack files from a cabinet");
    extract
        ->add_option("-C,--directory", o.directory,
                     "Write the files below DIR (made if missing) instead of the "
                     "current directory")
        ->type_name("DIR");
    add_exclude(*extract, o, "Leave out the entries PATTERN matches, and all below them");
    extract
        ->add_option("--strip-components", o.strip_components,
                     "Remove N leading components from each name; skip what has no more")
        ->type_name("N");
    extract->add_flag("-k,--keep", o.keep, "Keep files that exist and name them; no failure");
    extract->add_flag("--allow-overlap", o.allow_overlap,
                      "Extract entries whose bytes overlap another's (refused by default)");
    add_threads(*extract, o);
    extract->add_flag("-v,--verbose", o.verbose, "Name each file as it is extracted");
    add_quiet(*extract, o);
    add_cabinet(*extract, o);
    extract->add_option("PATTERN", o.operands, "Only the entries these select (PATTERN or DIR)")
        ->type_name("");
    extract->footer(
        "Every entry, or each one an operand selects and no --exclude leaves out, is\n"
        "written below DIR. Nothing is written outside it: a name with a '..' component\n"
        "is refused and no symbolic link is followed. Each file appears complete or not\n"
        "at all. As tar does, extraction restores modes (less the umask, unless run as\n"
        "root, which also restores owners) and modification times to the nanosecond;\n"
        "directories get theirs once their contents are in place. Access times are not\n"
        "kept. A plain cabinet gives its dates (local time, two-second steps) and\n"
        "read-only bits. A file that fails does not stop the others; the failures are\n"
        "listed at the end and the exit status is 1.\n"
        "\n" +
        std::string(selection_help) +
        "\nExamples:\n"
        "  kistle extract backup.cab\n"
        "  kistle extract -k -C restored backup.cab Documents 'notes/*.txt'\n"
        "  kistle extract --strip-components 1 --exclude '*.tmp' site.cab\n");
    return extract;
}

CLI::App* add_test(CLI::App& app, options& o) {
    CLI::App* test = app.add_subcommand("test", "Check every block and every file of a cabinet");
    add_cabinet(*test, o);
    test->footer("Reads the whole cabinet and writes nothing. Names each damaged file, or says\n"
                 "in one line that all is well; the exit status is 1 on any damage.\n"
                 "\nExample:\n"
                 "  kistle test backup.cab\n");
    return test;
}

CLI::App* add_cat(CLI::App& app, options& o) {
    CLI::App* cat = app.add_subcommand("cat", "Write files' bytes to standard output");
    add_cabinet(*cat, o);
    cat->add_option("NAME", o.operands, "The files these select (NAME, PATTERN or DIR)")
        ->required()
        ->type_name("");
    cat->footer("Writes what each operand selects, operand by operand in the order given, and\n"
                "in the cabinet's order within one; directories and links have no bytes.\n"
                "\n" +
                std::string(selection_help) +
                "\nExamples:\n"
                "  kistle cat backup.cab notes.txt | less\n"
                "  kistle cat backup.cab 'logs/*.log' | grep error\n");
    return cat;
}

CLI::App* add_info(CLI::App& app, options& o) {
    CLI::App* info = app.add_subcommand("info", "Describe a cabinet's header and folders");
    add_cabinet(*info, o);
    info->footer("\nExample:\n  kistle info backup.cab\n");
    return info;
}

// Every command, in the order --help shows them. A command is one entry here
// and one function above.
constexpr command_entry commands[] = {
    {"create", command::create, add_create},
    {"list", command::list, add_list},
    {"extract", command::extract, add_extract},
    {"test", command::test, add_test},
    {"cat", command::cat, add_cat},
    {"info", command::info, add_info},
    {"add", command::add, add_add},
    {"update", command::update, add_update},
    {"delete", command::remove, add_delete},
};

// The first argument, when it is neither an option nor a command.
std::optional<std::string> unknown_command(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-')
        return std::nullopt;
    for (const command_entry& c : commands)
        if (std::string_view(argv[1]) == c.name)
            return std::nullopt;
    return std::string(argv[1]);
}

// Options that cannot be used together, checked here rather than by CLI11,
// whose help would show them on every line: the clash and the command whose
// help tells more, or nothing.
std::optional<std::pair<const char*, const char*>> clash_of(const options& o) {
    if (o.store && o.level != -1)
        return std::make_pair("--store and --level", "create");
    if (o.plain && o.volume_size != 0)
        return std::make_pair("--plain and --volume-size", "create");
    // A set is files beside one another, which a pipe is not.
    if (o.volume_size != 0 && o.cabinet == "-")
        return std::make_pair("--volume-size and '-'", "create");
    if (o.long_format && o.json)
        return std::make_pair("--long and --json", "list");
    if (o.plain && (!o.owner.empty() || !o.group.empty() || o.numeric_owner))
        return std::make_pair("--plain and --owner, --group or --numeric-owner", "create");
    return std::nullopt;
}

} // namespace

int parse_command_line(int argc, char** argv, options& o, std::ostream& out, std::ostream& err) {
    CLI::App app("kistle: make, list, check and unpack cabinet archives", "kistle");
    app.set_version_flag("--version", version_text(), "Show the version and exit");
    app.require_subcommand(1);
    app.footer("Run 'kistle COMMAND --help' for the options of a command; see also kistle(1).\n"
               "\nExamples:\n"
               "  kistle create backup.cab Documents notes.txt\n"
               "  kistle list -l backup.cab\n"
               "  kistle extract -C restored backup.cab Documents 'notes/*.odt'\n");
    app.get_formatter()->column_width(28);
    std::vector<std::pair<CLI::App*, command>> added;
    for (const command_entry& c : commands)
        added.emplace_back(c.add(app, o), c.what);

    try {
        std::vector<std::string> arguments = marked_arguments(argc, argv);
        app.parse(arguments);
    } catch (const CLI::Success& e) {
        // --help or --version: app.exit() writes the one asked for.
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        std::string command = "kistle";
        for (const CLI::App* chosen : app.get_subcommands())
            command += " " + chosen->get_name();
        std::string message = e.what();
        message.erase(std::remove(message.begin(), message.end(), '\0'), message.end());
        if (std::optional<std::string> unknown = unknown_command(argc, argv)) {
            message = *unknown + ": unknown command (the commands are";
            for (const command_entry& c : commands)
                message += std::string(&c == commands ? " " : ", ") + c.name;
            message += ")";
        }
        err << "kistle: " << message << "\nTry '" << command << " --help' for more information.\n";
        err.flush();
        return exit_usage;
    }

    for (std::string* value : {&o.cabinet, &o.directory, &o.mtime, &o.owner, &o.group})
        unmark(*value);
    for (std::vector<std::string>* values : {&o.operands, &o.excludes})
        for (std::string& value : *values)
            unmark(value);

    if (auto clash = clash_of(o)) {
        err << "kistle: " << clash->first << " cannot be used together\nTry 'kistle "
            << clash->second << " --help' for more information.\n";
        err.flush();
        return exit_usage;
    }
    for (const auto& [app_of, what] : added)
        if (app_of->parsed())
            o.what = what;
    return -1;
}
