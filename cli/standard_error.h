// Writing to standard error, which both the messages and the progress line
// share.
#ifndef KISTLE_CLI_STANDARD_ERROR_H
#define KISTLE_CLI_STANDARD_ERROR_H

#include <string_view>

// Writes all of text to standard error, retrying an interrupted write; a
// standard error that fails is not worth failing the work for.
void write_standard_error(std::string_view text);

#endif
