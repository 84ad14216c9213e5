// The name a file given on the command line is stored under.
#ifndef KISTLE_CLI_STORED_NAME_H
#define KISTLE_CLI_STORED_NAME_H

#include <string>
#include <string_view>

struct stored_name {
    std::string name;           // components joined by single '/'; empty for "." or "/"
    bool leading_slash = false; // the path was absolute; the '/' was dropped
    bool climbs = false;        // a ".." component: extraction would refuse it
};

// "./docs//a.txt" -> "docs/a.txt": empty and "." components dropped.
stored_name stored_name_of(std::string_view path);

// Why extraction would refuse a stored name, where '\' separates
// directories as '/' does; nullptr when it takes the name. A file named
// "..\x" or "x\" is fine here but not in a cabinet.
const char* refusal_of(std::string_view name);

#endif
