#include <kistle/archive.h>
#include <vector>

#include "cabinet_input.h"
#include "command_line.h"
#include "commands.h"
#include "console.h"
#include "pattern.h"
#include "selection.h"

int run_delete(const options& o, console& out) {
    // The operands select as list's do; the writer then removes by position.
    std::vector<bool> chosen;
    bool failed = false;
    {
        kistle::reader cabinet;
        open_cabinet(cabinet, o.cabinet);
        const std::vector<kistle::entry>& entries = cabinet.entries();
        chosen.assign(entries.size(), false);
        for (const kistle::entry* e :
             select_entries(cabinet, o.operands, exclusion_set({}), out, failed))
            chosen[static_cast<std::size_t>(e - entries.data())] = true;
    }
    kistle::writer changed;
    changed.edit(o.cabinet);
    if (o.verbose)
        changed.set_changes(
            [&out](kistle::change what, const std::string& name) { say_change(what, name, out); });
    // Every entry is still kept, so they are offered in the cabinet's order.
    std::size_t position = 0;
    const std::size_t removed = changed.remove([&](const kistle::entry&) {
        const std::size_t at = position++;
        return at < chosen.size() && chosen[at];
    });
    if (removed == 0) {
        changed.discard();
        return failed ? exit_failure : exit_success;
    }
    changed.commit();
    return failed ? exit_failure : exit_success;
}
