#include <kistle/archive.h>

#include "command_line.h"
#include "commands.h"
#include "console.h"
#include "progress.h"
#include "tree_walk.h"

int run_create(const options& o, console& out) {
    std::vector<input_file> files;
    if (!collect_inputs(o.operands, {o.directory, o.cabinet}, out, files))
        return exit_failure;
    if (files.size() > kistle::max_entries) {
        out.note(o.cabinet, std::to_string(files.size()) + " files; a cabinet holds at most " +
                                std::to_string(kistle::max_entries));
        return exit_failure;
    }
    std::uint64_t total = 0;
    for (const input_file& file : files)
        total += file.size;

    progress_line progress(out.error_is_terminal() && !o.quiet, total,
                           std::chrono::milliseconds(o.progress_delay));
    console::progress_scope shown(out, progress);
    kistle::writer cabinet;
    if (o.level != -1)
        cabinet.set_level(o.level);
    cabinet.set_folder_size(o.folder_size);
    cabinet.set_threads(o.threads);
    cabinet.set_progress([&progress](std::uint64_t done) { progress.update(done); });
    cabinet.open(o.cabinet);
    if (o.store)
        cabinet.new_folder(kistle::compression::stored);
    for (const input_file& file : files) {
        if (o.verbose)
            out.out_line(file.stored_name);
        cabinet.add_file(file.source, file.stored_name);
    }
    progress.set_stage("writing the cabinet");
    cabinet.commit();
    progress.finish();
    return exit_success;
}
