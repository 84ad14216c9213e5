// Where a command reads its cabinet from: a path, or standard input for "-".
#ifndef KISTLE_CLI_CABINET_INPUT_H
#define KISTLE_CLI_CABINET_INPUT_H

#include <string>

#include <kistle/archive.h>

// Opens the cabinet named on the command line into cabinet; "-" reads
// standard input to its end (refused when it is a terminal). Throws
// kistle::error, or std::runtime_error for a terminal.
void open_cabinet(kistle::reader& cabinet, const std::string& name);

#endif
