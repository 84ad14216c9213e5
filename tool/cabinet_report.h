// The report, listing and extraction mode of cabinet_tool.
#ifndef KISTLE_TOOL_CABINET_REPORT_H
#define KISTLE_TOOL_CABINET_REPORT_H

// argv[1] is the cabinet, every further argument a file to extract. Returns
// the exit status: 0 when everything succeeded, 1 otherwise.
int run_report_mode(int argc, char** argv);

#endif
