#include <kistle/archive.h>

#include "command_line.h"
#include "commands.h"
#include "console.h"
#include "selection.h"

int run_cat(const options& o, console& out) {
    kistle::reader cabinet(o.cabinet);
    bool failed = note_damage(cabinet, o.cabinet, out);
    for (const std::string& name : o.operands) {
        const kistle::entry* e = cabinet.find_path(name);
        if (e == nullptr) {
            out.note(kistle::error(kistle::errc::not_found, name).what());
            failed = true;
            continue;
        }
        try {
            cabinet.extract(*e, out.out());
        } catch (const kistle::error& error) {
            // A lost standard output is reported once, when the run ends.
            if (out.out_failed())
                return exit_failure;
            out.note(error.what());
            failed = true;
        }
    }
    return failed ? exit_failure : exit_success;
}
