// cabinet_tool: without arguments it creates a cabinet interactively; with a
// cabinet path it reports on the cabinet and extracts the named files.
#include <cstdio>
#include <kistle/archive.h>

#include "cabinet_report.h"
#include "creation_dialogue.h"

int main(int argc, char** argv) {
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
        std::fputs("usage: cabinet_tool [CABINET [NAME ...]]\n", stderr);
        return 1;
    }
    kistle::clean_up_on_interrupt();
    if (argc == 1)
        return run_creation_dialogue();
    return run_report_mode(argc, argv);
}
