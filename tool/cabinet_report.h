// The report, listing and extraction mode of cabinet_tool.
#ifndef KISTLE_TOOL_CABINET_REPORT_H
#define KISTLE_TOOL_CABINET_REPORT_H

#include <cstdint>
#include <ostream>

#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_header.h>

// The header report on standard output, one flushed line per fact.
void print_cabinet_header(const cabinet_header& header);

// One 80-column row of the file table, without a line end.
void print_file_row(const cabinet_file_header& file, std::ostream& out);

// Labelled descriptions of one folder entry and one file entry on standard
// output; number is printed in the first line.
void print_folder_entry(const cabinet_folder_header& folder, uint16_t number);
void print_file_entry(const cabinet_file_header& file, uint16_t number);

// argv[1] is the cabinet, every further argument a file to extract. Returns
// the exit status: 0 when everything succeeded, 1 otherwise.
int run_report_mode(int argc, char** argv);

#endif
