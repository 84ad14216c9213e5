// Stored names in JSON output. JSON text is Unicode, a stored name is any
// bytes: a name that is valid UTF-8 is written as it is; any other name is
// written with each byte that is not part of a valid UTF-8 sequence as
// "\xHH" (two upper-case hex digits) and each backslash doubled, and its
// object says "name_escaped": true, so that the original bytes can always be
// recovered and a valid name is never altered.
#ifndef KISTLE_CLI_JSON_NAME_H
#define KISTLE_CLI_JSON_NAME_H

#include <string>
#include <string_view>

// The text to put in the JSON string (always valid UTF-8); escaped tells
// whether the escaping above was applied.
std::string json_name(std::string_view name, bool& escaped);

#endif
