#include <kistle/archive.h>

#include "cabinet_input.h"
#include "command_line.h"
#include "commands.h"
#include "console.h"
#include "selection.h"

namespace {

// "3 files" or "1 file".
std::string counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

int run_test(const options& o, console& out) {
    kistle::reader cabinet;
    open_cabinet(cabinet, o.cabinet);
    note_later_volume(cabinet, o.cabinet, out);
    std::vector<kistle::problem> problems = cabinet.test();
    for (const kistle::problem& p : problems)
        out.note(p.name.empty() ? o.cabinet : p.name,
                 p.other.empty() ? p.code.message() : p.code.message() + " (" + p.other + ")");
    if (!problems.empty())
        return exit_failure;
    std::size_t files = 0, directories = 0, links = 0;
    for (const kistle::entry& e : cabinet.entries()) {
        switch (e.type) {
        case kistle::entry_type::directory:
            ++directories;
            break;
        case kistle::entry_type::symlink:
            ++links;
            break;
        default:
            ++files;
        }
    }
    // Folders of files: a set's cabinets each keep one for their record.
    const kistle::cabinet_info header = cabinet.info();
    std::size_t folders = 0;
    for (const kistle::volume_info& v : cabinet.volumes())
        folders += v.folders - (header.record_folder && v.folders > 0 ? 1 : 0);
    std::string summary = counted(files, "file", "files");
    if (directories != 0)
        summary += ", " + counted(directories, "directory", "directories");
    if (links != 0)
        summary += ", " + counted(links, "symbolic link", "symbolic links");
    summary += ", " + counted(folders, "folder", "folders");
    if (cabinet.volumes().size() > 1)
        summary += ", " + counted(cabinet.volumes().size(), "cabinet", "cabinets");
    out.out_line(o.cabinet + ": OK (" + summary + ")");
    return exit_success;
}
