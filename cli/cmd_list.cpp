#include <kistle/archive.h>

#include "cabinet_input.h"
#include "command_line.h"
#include "commands.h"
#include "console.h"
#include "listing.h"
#include "pattern.h"
#include "selection.h"

int run_list(const options& o, console& out) {
    kistle::reader cabinet;
    open_cabinet(cabinet, o.cabinet);
    note_later_volume(cabinet, o.cabinet, out);
    bool failed = note_damage(cabinet, o.cabinet, out);
    std::vector<const kistle::entry*> chosen =
        select_entries(cabinet, o.operands, exclusion_set({}), out, failed);
    if (o.json) {
        write_json(chosen, out.out());
    } else if (o.long_format) {
        write_long(chosen, out);
        // Of names that land on one path, only the first is extracted.
        for (const kistle::entry* e : chosen) {
            const kistle::entry* first = cabinet.find_path(e->name);
            if (first != nullptr && first != e)
                out.note(e->name, "lands on the path of " + first->name + ", which is extracted");
        }
    } else
        write_names(chosen, out);
    return failed ? exit_failure : exit_success;
}
