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
    app.add_flag("-q,--no-progress", o.quiet,
                 "Show no progress line (one appears on a terminal after about a second)");
    // Hidden (no group): lets the tests see the line without waiting for it.
    app.add_option("--progress-delay", o.progress_delay)->type_name("MILLISECONDS")->group("");
}

void add_cabinet(CLI::App& app, options& o) {
    app.add_option("CABINET", o.cabinet, "The cabinet file")->required()->type_name("");
}

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

constexpr const char* command_names[] = {"create", "list", "extract", "test", "cat", "info"};

// The first argument, when it is neither an option nor a command.
std::optional<std::string> unknown_command(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-')
        return std::nullopt;
    for (const char* name : command_names)
        if (std::string_view(argv[1]) == name)
            return std::nullopt;
    return std::string(argv[1]);
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
               "  kistle extract -C restored backup.cab 'Documents/*.odt'\n");
    app.get_formatter()->column_width(28);

    CLI::App* create = app.add_subcommand("create", "Make a cabinet of files and directories");
    create->add_option("-C,--directory", o.directory, "Take the PATHs relative to DIR")
        ->type_name("DIR");
    create->add_flag("--store", o.store, "Store the files uncompressed");
    create->add_flag("--plain", o.plain,
                     "Write a plain cabinet: regular files only, with their date and read-only "
                     "bit, as cabinet_tool writes");
    create
        ->add_option("--mtime", o.mtime,
                     "Store TIME as every entry's time (@SECONDS, or "
                     "YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM])")
        ->type_name("TIME");
    create->add_option("--owner", o.owner, "Store NAME (or ID, or NAME:ID) as every entry's owner")
        ->type_name("NAME");
    create->add_option("--group", o.group, "Store NAME (or ID, or NAME:ID) as every entry's group")
        ->type_name("NAME");
    create->add_flag("--numeric-owner", o.numeric_owner,
                     "Store owner and group IDs without their names");
    create
        ->add_option("--level", o.level, "Deflate level, 1 (fastest) to 9 (smallest); by default 6")
        ->type_name("N")
        ->check(CLI::Range(1, 9).description(""));
    create
        ->add_option_function<std::string>(
            "--folder-size",
            [&o](std::string text) {
                unmark(text);
                auto size = parse_size(text);
                if (!size)
                    throw CLI::ValidationError("--folder-size",
                                               "not a size: " + text + " (try 64M or 1G)");
                o.folder_size = *size;
            },
            "Most input per folder (suffixes K, M, G); default: its limit, about 2 GiB")
        ->type_name("SIZE");
    create->add_flag("--in-place", o.in_place,
                     "Where CABINET's directory refuses a new file, write over CABINET itself; "
                     "a failure part way (a full disk) then leaves it damaged");
    create->add_flag("--force", o.force, "Replace CABINET even when it is not a cabinet");
    add_threads(*create, o);
    create->add_flag("-v,--verbose", o.verbose, "Name each file as it is added");
    add_quiet(*create, o);
    add_cabinet(*create, o);
    create->add_option("PATH", o.operands, "Files and directories to store")
        ->required()
        ->type_name("");
    create->footer(
        "Directories are walked recursively in sorted order. Names are stored as the paths\n"
        "were given, relative, with '/' between directories; a leading '/' is removed, and a\n"
        "path with a '..' component is refused. The cabinet keeps what tar keeps: regular\n"
        "files with all their permission bits, directories, hard links, owners and groups\n"
        "(IDs and names), and times in UTC to the nanosecond, with a checksum of each file.\n"
        "Symbolic links are stored as links, never followed. Devices, FIFOs and sockets are\n"
        "skipped with a warning, and so is a file that cannot be read (the exit status is\n"
        "then 1). Every reader of the format still extracts the files. --plain keeps\n"
        "regular files with their date and read-only bit only, as cabinet_tool writes them.\n"
        "With SOURCE_DATE_EPOCH set, later times are stored as it and dates are written in\n"
        "UTC, so the cabinet depends on the files alone. A cabinet holds at most 65535\n"
        "files of at most 2147385345 bytes each. The cabinet appears only once complete;\n"
        "a failure leaves what was at CABINET as it was. Only an empty file or a cabinet\n"
        "is replaced, unless --force. Where CABINET's directory refuses a new file, create\n"
        "fails before compressing anything; --in-place then writes over CABINET itself,\n"
        "and a failure part way leaves it damaged. Arguments after '--' are PATHs even\n"
        "when they begin with '-'.\n"
        "\nExamples:\n"
        "  kistle create backup.cab Documents notes.txt\n"
        "  kistle create -C /srv/www site.cab .\n"
        "  kistle create --level 9 --folder-size 64M -j 2 photos.cab Pictures\n");

    CLI::App* list = app.add_subcommand("list", "List the files of a cabinet");
    list->add_flag("-l,--long", o.long_format,
                   "Show attributes, size, date and time (local), and folder");
    list->add_flag("--json", o.json, "Write a JSON array of the files");
    add_cabinet(*list, o);
    list->add_option("PATTERN", o.operands, "Only the files whose names match")->type_name("");
    list->footer("PATTERNs are shell wildcards matched against the whole stored name; '*'\n"
                 "matches '/' too. A PATTERN that matches nothing is an error.\n"
                 "\nExamples:\n"
                 "  kistle list -l backup.cab\n"
                 "  kistle list backup.cab 'Documents/*.txt'\n"
                 "  kistle list --json backup.cab | jq '.[].size'\n");

    CLI::App* extract = app.add_subcommand("extract", "Unpack files from a cabinet");
    extract
        ->add_option("-C,--directory", o.directory,
                     "Write the files below DIR (made if missing) instead of the "
                     "current directory")
        ->type_name("DIR");
    extract->add_flag("-k,--keep", o.keep, "Keep files that exist and name them; no failure");
    extract->add_flag("--allow-overlap", o.allow_overlap,
                      "Extract entries whose bytes overlap another's (refused by default)");
    add_threads(*extract, o);
    extract->add_flag("-v,--verbose", o.verbose, "Name each file as it is extracted");
    add_quiet(*extract, o);
    add_cabinet(*extract, o);
    extract->add_option("PATTERN", o.operands, "Only the files whose names match")->type_name("");
    extract->footer(
        "Every file, or each one whose name matches a PATTERN, is written below DIR. Nothing\n"
        "is written outside it: a name with a '..' component is refused and no symbolic link\n"
        "is followed. Each file appears complete or not at all, with its stored date, time\n"
        "and read-only bit. A file that fails does not stop the others; the failures are\n"
        "listed at the end and the exit status is 1.\n"
        "\nExamples:\n"
        "  kistle extract backup.cab\n"
        "  kistle extract -k -C restored backup.cab 'Documents/*'\n");

    CLI::App* test = app.add_subcommand("test", "Check every block and every file of a cabinet");
    add_cabinet(*test, o);
    test->footer("Reads the whole cabinet and writes nothing. Names each damaged file, or says\n"
                 "in one line that all is well; the exit status is 1 on any damage.\n"
                 "\nExample:\n"
                 "  kistle test backup.cab\n");

    CLI::App* cat = app.add_subcommand("cat", "Write files' bytes to standard output");
    add_cabinet(*cat, o);
    cat->add_option("NAME", o.operands, "Stored names, exactly")->required()->type_name("");
    cat->footer("\nExample:\n  kistle cat backup.cab notes.txt | less\n");

    CLI::App* info = app.add_subcommand("info", "Describe a cabinet's header and folders");
    add_cabinet(*info, o);
    info->footer("\nExample:\n  kistle info backup.cab\n");

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
            for (const char* name : command_names)
                message += std::string(name == command_names[0] ? " " : ", ") + name;
            message += ")";
        }
        err << "kistle: " << message << "\nTry '" << command << " --help' for more information.\n";
        err.flush();
        return exit_usage;
    }

    for (std::string* value : {&o.cabinet, &o.directory, &o.mtime, &o.owner, &o.group})
        unmark(*value);
    for (std::string& operand : o.operands)
        unmark(operand);

    // Checked here rather than by CLI11, whose help would show them on every line.
    const char* clash = o.store && o.level != -1  ? "--store and --level"
                        : o.long_format && o.json ? "--long and --json"
                        : o.plain && (!o.owner.empty() || !o.group.empty() || o.numeric_owner)
                            ? "--plain and --owner, --group or --numeric-owner"
                            : nullptr;
    if (clash != nullptr) {
        err << "kistle: " << clash << " cannot be used together\nTry 'kistle "
            << (o.long_format ? "list" : "create") << " --help' for more information.\n";
        err.flush();
        return exit_usage;
    }

    const std::pair<CLI::App*, command> commands[] = {
        {create, command::create}, {list, command::list}, {extract, command::extract},
        {test, command::test},     {cat, command::cat},   {info, command::info}};
    for (const auto& [app_of, what] : commands)
        if (app_of->parsed())
            o.what = what;
    return -1;
}
