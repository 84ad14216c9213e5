// Status codes of every library operation, their messages, and the mapping of
// zlib results onto them.
#ifndef KISTLE_CABINET_STATUS_H
#define KISTLE_CABINET_STATUS_H

#include <kistle/export.h>

// 0 is success; every failure is negative. Codes are compared for equality only.
constexpr int CAB_STATUS_OK = 0;
constexpr int CAB_ERROR_CLOSED_OBJECT = -1;
constexpr int CAB_ERROR_OUT_OF_MEMORY = -2;
constexpr int CAB_ERROR_READ = -3;
constexpr int CAB_ERROR_WRITE = -4;
constexpr int CAB_ERROR_BAD_DATA = -5;
constexpr int CAB_ERROR_OPEN_STREAM = -6;
constexpr int CAB_ERROR_CORRUPT_HEADER = -7;
constexpr int CAB_ERROR_INVALID_FOLDER = -8;
constexpr int CAB_ERROR_SEEK = -9;
constexpr int CAB_ERROR_NOT_IN_BLOCKS = -11;
constexpr int CAB_ERROR_CHECKSUM = -12;
constexpr int CAB_ERROR_UNSUPPORTED_COMPRESSION = -13;
constexpr int CAB_ERROR_DECOMPRESSION = -14;
constexpr int CAB_ERROR_UNEXPECTED_EOF = -15;
constexpr int CAB_ERROR_NO_FOLDER_ENTRIES = -16;
constexpr int CAB_ERROR_FILE_NOT_FOUND = -17;
constexpr int CAB_ERROR_NO_FILENAME = -18;
constexpr int CAB_ERROR_GETCWD = -19;
constexpr int CAB_ERROR_ALLOCATION = -20;
constexpr int CAB_ERROR_CHDIR = -21;
constexpr int CAB_ERROR_MKDIR = -22;
constexpr int CAB_ERROR_ACCESS_DENIED = -23;
constexpr int CAB_ERROR_RESTORE_DATETIME = -24;
constexpr int CAB_ERROR_RESTORE_ATTRIBUTES = -25;
constexpr int CAB_ERROR_TEMP_FILE = -26;
constexpr int CAB_ERROR_FROZEN_FOLDER = -27;
constexpr int CAB_ERROR_TOO_MANY_FOLDERS = -28;
constexpr int CAB_ERROR_TOO_MANY_FILES = -29;
constexpr int CAB_ERROR_NO_FOLDER = -30;
constexpr int CAB_ERROR_OPEN_FILE = -31;
constexpr int CAB_ERROR_CLOSE_FILE = -32;
constexpr int CAB_ERROR_COMPRESSOR_MEMORY = -33;
constexpr int CAB_ERROR_COMPRESSOR_BUFFER = -34;
constexpr int CAB_ERROR_COMPRESSOR_UNKNOWN = -35;
constexpr int CAB_ERROR_FSTAT = -36;
constexpr int CAB_ERROR_ATTRIBUTES = -37;
constexpr int CAB_ERROR_DATETIME = -38;
// The codes below have no message of their own.
constexpr int CAB_ERROR_RANGE_PAST_END = -40;    // range starts at or past the folder's end
constexpr int CAB_ERROR_FOLDER_DATA_ENDED = -41; // folder ended inside the range
constexpr int CAB_ERROR_NO_DECOMPRESSOR = -43;
constexpr int CAB_ERROR_STOPPED = -44; // the caller's progress callback asked to stop
// What the application interface finds in a cabinet's record.
constexpr int CAB_ERROR_CONTENT_MISMATCH = -60;   // bytes differ from the record's checksum
constexpr int CAB_ERROR_DIRECTORY_DAMAGED = -61;  // the directory differs from its digest
constexpr int CAB_ERROR_RECORD_DAMAGED = -62;     // the record cannot be verified
constexpr int CAB_ERROR_RECORD_NEWER = -63;       // a newer version of the record
constexpr int CAB_ERROR_ENTRY_MISMATCH = -64;     // an entry differs from the record
constexpr int CAB_ERROR_NOT_A_FILE = -65;         // a directory or link has no bytes
constexpr int CAB_ERROR_NOT_SEEKABLE = -66;       // a pipe or device read in place
constexpr int CAB_ERROR_OVERLAP = -67;            // an entry's bytes overlap another's
constexpr int CAB_ERROR_FOLDERS_OVERLAP = -68;    // folders share blocks
constexpr int CAB_ERROR_SAME_PATH = -69;          // a name lands on an earlier entry's path
constexpr int CAB_ERROR_DIRECTORY_OVERLAPS = -70; // the directory runs into the data
constexpr int CAB_ERROR_NOT_A_CABINET = -71;      // a file that is not a cabinet stays
constexpr int CAB_ERROR_CABINET_ITSELF = -72;     // extraction would replace the cabinet read
// Sets of cabinets.
constexpr int CAB_ERROR_VOLUME_TOO_SMALL = -80; // no room for a block and its entries
constexpr int CAB_ERROR_VOLUME_MISSING = -81;   // a cabinet of the set is not there
constexpr int CAB_ERROR_FOREIGN_VOLUME = -82;   // a cabinet of another set, or out of place
constexpr int CAB_ERROR_SET_CONTINUED = -83;    // a later cabinet of a set, read alone
constexpr int CAB_ERROR_SET_TO_STREAM = -84;    // a set cannot be written to a stream
constexpr int CAB_ERROR_SET_UNCHANGEABLE = -85; // a later cabinet of a set, changed alone
constexpr int CAB_ERROR_ZLIB_FIRST = -59; // -50 to -59: zlib results, see convert_z_error_code
constexpr int CAB_ERROR_ZLIB_LAST = -50;
constexpr int CAB_ERROR_UNKNOWN = -255;

// The message for a status code; "Unknown error code" for codes without one.
// Never null; the text is static.
KISTLE_EXPORT const char* get_cabinet_error_string(int code);

// Maps a zlib result that the caller has already judged a failure (Z_OK and
// Z_STREAM_END included) onto -50 to -59.
[[nodiscard]] KISTLE_EXPORT int convert_z_error_code(int zlib_result);

#endif
