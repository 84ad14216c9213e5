#include <kistle/archive.h>

#include "cabinet_input.h"
#include "command_line.h"
#include "commands.h"
#include "console.h"
#include "selection.h"

int run_cat(const options& o, console& out) {
    kistle::reader cabinet;
    open_cabinet(cabinet, o.cabinet);
    note_later_volume(cabinet, o.cabinet, out);
    bool failed = note_damage(cabinet, o.cabinet, out);
    for (const kistle::entry* e : select_in_operand_order(cabinet, o.operands, out, failed)) {
        // Directories and symbolic links have no bytes to write.
        if (e->type == kistle::entry_type::directory || e->type == kistle::entry_type::symlink)
            continue;
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
