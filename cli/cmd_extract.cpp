#include <filesystem>
#include <kistle/archive.h>

#include "command_line.h"
#include "commands.h"
#include "console.h"
#include "progress.h"
#include "selection.h"

int run_extract(const options& o, console& out) {
    kistle::reader cabinet(o.cabinet);
    cabinet.set_threads(o.threads);
    bool failed = note_damage(cabinet, o.cabinet, out);
    std::vector<const kistle::entry*> chosen =
        select_entries(cabinet, o.operands, true, out, failed);

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
    progress_line progress(out.error_is_terminal() && !o.quiet, total,
                           std::chrono::milliseconds(o.progress_delay));
    console::progress_scope shown(out, progress);
    cabinet.set_progress([&progress](std::uint64_t done) { progress.update(done); });

    auto policy = o.keep ? kistle::reader::existing::keep : kistle::reader::existing::replace;
    std::vector<std::string> not_extracted;
    for (const kistle::entry* e : chosen) {
        if (o.verbose)
            out.out_line(e->name);
        try {
            if (!cabinet.extract(*e, directory, policy))
                out.note(e->name, "exists; kept");
        } catch (const kistle::error& error) {
            out.note(error.what());
            not_extracted.push_back(e->name);
        }
    }
    progress.finish();
    for (const std::string& name : not_extracted)
        out.note("not extracted", name);
    return failed || !not_extracted.empty() ? exit_failure : exit_success;
}
