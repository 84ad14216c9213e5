#include <kistle/archive.h>

#include "command_line.h"
#include "commands.h"
#include "console.h"

int run_test(const options& o, console& out) {
    kistle::reader cabinet(o.cabinet);
    std::vector<kistle::problem> problems = cabinet.test();
    for (const kistle::problem& p : problems)
        out.note(p.name.empty() ? o.cabinet : p.name, p.code.message());
    if (!problems.empty())
        return exit_failure;
    std::size_t files = cabinet.entries().size();
    unsigned folders = cabinet.info().folders;
    out.out_line(o.cabinet + ": OK (" + std::to_string(files) +
                 (files == 1 ? " file, " : " files, ") + std::to_string(folders) +
                 (folders == 1 ? " folder)" : " folders)"));
    return exit_success;
}
