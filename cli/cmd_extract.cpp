#include <filesystem>
#include <kistle/archive.h>
#include <set>

#include "cabinet_input.h"
#include "command_line.h"
#include "commands.h"
#include "console.h"
#include "pattern.h"
#include "progress.h"
#include "selection.h"
#include "warnings.h"

namespace {

// What could not be restored, once per kind with a count.
void note_shortfalls(const kistle::restore_shortfalls& missed, console& out) {
    if (missed.owners != 0)
        out.note(std::to_string(missed.owners) +
                 (missed.owners == 1 ? " entry keeps" : " entries keep") +
                 " your owner or group: only root restores them");
    if (missed.modes != 0)
        out.note(std::to_string(missed.modes) +
                 (missed.modes == 1 ? " file lost its" : " files lost their") +
                 " set-user-ID or set-group-ID bit, not owned as stored");
    if (missed.times != 0)
        out.note(std::to_string(missed.times) + (missed.times == 1 ? " time" : " times") +
                 " not kept: the file system cannot hold them");
}

// A name in the closing list of failures. Its message showed it in full; one
// longer than any path the system takes is repeated by its start alone.
std::string listed(const std::string& name) {
    constexpr std::size_t longest = 4096, start = 64;
    if (name.size() <= longest)
        return name;
    std::size_t cut = start;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
        --cut; // not inside a UTF-8 sequence
    return name.substr(0, cut) + "... (a name of " + std::to_string(name.size()) + " bytes)";
}

} // namespace

int run_extract(const options& o, console& out) {
    kistle::reader cabinet;
    open_cabinet(cabinet, o.cabinet);
    note_later_volume(cabinet, o.cabinet, out);
    cabinet.set_threads(o.threads);
    bool failed = note_damage(cabinet, o.cabinet, out);
    std::vector<const kistle::entry*> chosen =
        select_entries(cabinet, o.operands, exclusion_set(o.excludes), out, failed);

    std::filesystem::path directory = o.directory.empty() ? "." : o.directory;
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        out.note(o.directory, ec.message());
        return exit_failure;
    }

    std::uint64_t total = 0;
    for (const kistle::entry* e : chosen)
        total += e->size;
    progress_line progress(out.error_is_terminal() && !o.quiet && !o.no_progress, total,
                           std::chrono::milliseconds(o.progress_delay));
    console::progress_scope shown(out, progress);
    cabinet.set_progress([&progress](std::uint64_t done) { progress.update(done); });

    const std::set<const kistle::entry*> wanted(chosen.begin(), chosen.end());
    std::vector<const kistle::entry*> not_extracted;
    kistle::extract_options options;
    options.policy = o.keep ? kistle::reader::existing::keep : kistle::reader::existing::replace;
    options.allow_overlap = o.allow_overlap;
    options.strip_components = o.strip_components;
    warnings told(out, o.quiet);
    options.select = [&](const kistle::entry& e) {
        if (wanted.count(&e) == 0)
            return false;
        if (o.verbose)
            out.out_line(e.type == kistle::entry_type::directory ? e.name + "/" : e.name);
        return true;
    };
    options.each = [&](const kistle::entry& e, const kistle::error* failure, bool written) {
        if (failure != nullptr) {
            out.note(failure->what());
            not_extracted.push_back(&e);
        } else if (!written) {
            told.warn(e.name, "exists; kept", "existing file kept", "existing files kept");
        }
        return true;
    };
    try {
        cabinet.extract_all(directory, options);
    } catch (const kistle::error& error) {
        out.note(error.what());
        failed = true;
    }
    progress.finish();
    told.summarise();
    note_shortfalls(cabinet.unrestored(), out);
    for (const kistle::entry* e : not_extracted)
        out.note("not extracted", listed(e->name));
    return failed || !not_extracted.empty() ? exit_failure : exit_success;
}
