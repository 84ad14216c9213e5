#include <kistle/cabinet_status.h>

#include <iterator>

namespace {

// Index is -code; null marks a code without a message.
const char* const messages[] = {
    "Operation completed successfully",
    "Operation on a closed cabinet object",
    "Failed because we are out of memory",
    "Error encountered during a read",
    "Error encountered during a write",
    "Data either invalid or in bad format",
    "Unable to open a file stream",
    "If this cabinet's header is currupt",
    "Invalid folder number",
    "A seek operation has failed",
    nullptr,
    "Expected file not found in blocks",
    "A checksum error has been encountered",
    "An unsupported compression method choosen",
    "An error has occured during decompression",
    "An unexpected EOF was encountered",
    "Cabinet is lacking any folder entries",
    "Requested file was not found",
    "No filename specified",
    "The getcwd function call failed",
    "An allocation operation has run out of memory",
    "A chdir operation failed",
    "A mkdir operation failed",
    "Access was denied",
    "Operation failed to restore the date or time",
    "Operation failed to restore the attributes",
    "Unable to open temporary file stream",
    "An attempt was made to add a file to a frozen folder creator",
    "No more folders can be added to this cabinet",
    "No more files can be added to this folder",
    "No folder exists",
    "Unable to open a file",
    "Unable to close a file",
    "The compressor ran out of memory",
    "To small of a buffer was passed to the compressor",
    "An unknown compressor error has occured",
    "A call to fstat failed",
    "The call to retrieve the file's attributes failed",
    "The call to retrieve the file's date/time failed",
};

// zlib results Z_VERSION_ERROR (-6) to Z_NEED_DICT (2), indexed by result + 6.
const int z_status[] = {-58, -57, -56, -55, -54, -53, -50, -51, -52};

} // namespace

const char* get_cabinet_error_string(int code) {
    if (code == CAB_ERROR_UNKNOWN)
        return "An unknown error has occured";
    if (code <= 0 && -static_cast<long>(code) < static_cast<long>(std::size(messages)) &&
        messages[-code] != nullptr)
        return messages[-code];
    return "Unknown error code";
}

int convert_z_error_code(int zlib_result) {
    if (zlib_result >= -6 && zlib_result <= 2)
        return z_status[zlib_result + 6];
    return -59;
}
