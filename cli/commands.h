// kistle's commands. Each returns the exit status; failures are noted on
// the console as they happen.
#ifndef KISTLE_CLI_COMMANDS_H
#define KISTLE_CLI_COMMANDS_H

#include <string>

class console;
struct options;
namespace kistle {
enum class change;
}

// create, and add and update, which store PATHs the same way.
int run_create(const options& o, console& out);
int run_delete(const options& o, console& out);

// What add, update and delete say of an entry they changed, with -v.
void say_change(kistle::change what, const std::string& name, console& out);
int run_list(const options& o, console& out);
int run_extract(const options& o, console& out);
int run_test(const options& o, console& out);
int run_cat(const options& o, console& out);
int run_info(const options& o, console& out);

#endif
