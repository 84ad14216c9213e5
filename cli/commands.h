// kistle's commands. Each returns the exit status; failures are noted on
// the console as they happen.
#ifndef KISTLE_CLI_COMMANDS_H
#define KISTLE_CLI_COMMANDS_H

class console;
struct options;

int run_create(const options& o, console& out);
int run_list(const options& o, console& out);
int run_extract(const options& o, console& out);
int run_test(const options& o, console& out);
int run_cat(const options& o, console& out);
int run_info(const options& o, console& out);

#endif
