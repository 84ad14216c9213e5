#include "selection.h"

#include <kistle/archive.h>

#include "console.h"
#include "pattern.h"

std::vector<const kistle::entry*> select_entries(const kistle::reader& cabinet,
                                                 const std::vector<std::string>& patterns,
                                                 bool first_of_each_name, console& out,
                                                 bool& failed) {
    pattern_set wanted(patterns);
    std::vector<const kistle::entry*> chosen;
    for (const kistle::entry& e : cabinet.entries()) {
        if (!wanted.selects(e.name))
            continue;
        if (first_of_each_name && cabinet.find(e.name) != &e)
            continue;
        chosen.push_back(&e);
    }
    for (const std::string& pattern : wanted.unused()) {
        out.note(pattern, "no file in the cabinet matches");
        failed = true;
    }
    return chosen;
}

bool note_damage(const kistle::reader& cabinet, const std::string& path, console& out) {
    for (const kistle::problem& p : cabinet.damage())
        out.note(p.name.empty() ? path : p.name, p.code.message());
    return !cabinet.damage().empty();
}
