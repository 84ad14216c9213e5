// kistle: the command line for everyday archiving. It parses options,
// walks directories and formats output; everything about cabinets is the
// library's, reached through <kistle/archive.h>.
#include <exception>
#include <iostream>
#include <kistle/archive.h>
#include <new>

#include "command_line.h"
#include "commands.h"
#include "console.h"

namespace {

int run(const options& o, console& out) {
    switch (o.what) {
    case command::create:
    case command::add:
    case command::update:
        return run_create(o, out);
    case command::remove:
        return run_delete(o, out);
    case command::list:
        return run_list(o, out);
    case command::extract:
        return run_extract(o, out);
    case command::test:
        return run_test(o, out);
    case command::cat:
        return run_cat(o, out);
    case command::info:
        return run_info(o, out);
    }
    return exit_failure;
}

} // namespace

int main(int argc, char** argv) {
    kistle::clean_up_on_interrupt();
    console out;
    options o;
    int status = parse_command_line(argc, argv, o, out.out(), std::cerr);
    if (status < 0) {
        try {
            status = run(o, out);
        } catch (const std::bad_alloc&) {
            out.note("out of memory");
            status = exit_failure;
        } catch (const std::exception& e) {
            // kistle::error among them: its what() names the path and the reason.
            out.note(e.what());
            status = exit_failure;
        }
    }
    if (!out.finish())
        status = exit_failure;
    return status;
}
