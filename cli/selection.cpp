#include "selection.h"

#include <kistle/archive.h>
#include <unordered_set>

#include "console.h"
#include "pattern.h"

namespace {

void note_unused(const pattern_set& operands, console& out, bool& failed) {
    for (const std::string& operand : operands.unused()) {
        out.note(operand, "no file in the cabinet matches");
        failed = true;
    }
}

} // namespace

std::vector<const kistle::entry*> select_entries(const kistle::reader& cabinet,
                                                 const std::vector<std::string>& operands,
                                                 const exclusion_set& excluded, console& out,
                                                 bool& failed) {
    pattern_set wanted(operands);
    std::vector<const kistle::entry*> chosen;
    for (const kistle::entry& e : cabinet.entries())
        if (wanted.selects(e.name) && !excluded.excludes(e.name))
            chosen.push_back(&e);
    note_unused(wanted, out, failed);
    return chosen;
}

std::vector<const kistle::entry*> select_in_operand_order(const kistle::reader& cabinet,
                                                          const std::vector<std::string>& operands,
                                                          console& out, bool& failed) {
    pattern_set wanted(operands);
    std::vector<const kistle::entry*> chosen;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        std::unordered_set<const kistle::entry*> taken;
        for (const kistle::entry& e : cabinet.entries()) {
            if (!wanted.selects(i, e.name))
                continue;
            const kistle::entry* landing = cabinet.find_path(e.name);
            if (landing == nullptr)
                landing = &e; // a name extraction refuses: extracting it says why
            if (taken.insert(landing).second)
                chosen.push_back(landing);
        }
    }
    note_unused(wanted, out, failed);
    return chosen;
}

bool note_damage(const kistle::reader& cabinet, const std::string& path, console& out) {
    for (const kistle::problem& p : cabinet.damage())
        out.note(p.name.empty() ? path : p.name,
                 p.other.empty() ? p.code.message() : p.code.message() + " (" + p.other + ")");
    bool failed = !cabinet.damage().empty();
    // A cabinet of the set that could not be read; the files that need it
    // fail when they are read.
    for (const kistle::volume_info& v : cabinet.volumes())
        if (v.status && v.status != kistle::errc::set_continued) {
            out.note(v.path.native(), v.status.message());
            failed = true;
        }
    return failed;
}

void note_later_volume(const kistle::reader& cabinet, const std::string& path, console& out) {
    const std::vector<kistle::volume_info>& volumes = cabinet.volumes();
    if (volumes.empty() || volumes.front().status != kistle::errc::set_continued)
        return;
    const std::string before = cabinet.info().previous_cabinet;
    out.note(path, "part of a set: only what it holds whole is read; the set is read from its "
                   "first cabinet" +
                       (before.empty() ? std::string() : " (the one before it is " + before + ")"));
}
