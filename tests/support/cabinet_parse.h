// Reads a cabinet back through the record classes, verifying every block's
// checksum and inflating every block on its own, for tests of what the
// creator wrote.
#ifndef KISTLE_TESTS_CABINET_PARSE_H
#define KISTLE_TESTS_CABINET_PARSE_H

#include <cstdint>
#include <string>
#include <vector>

#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_header.h>

struct parsed_folder : cabinet_folder_fixed_header {
    std::vector<uint16_t> cbData;   // per block
    std::vector<uint16_t> cbUncomp; // per block
    std::string data;               // the folder's uncompressed stream
};

struct parsed_file : cabinet_file_fixed_header {
    std::string name;
};

struct parsed_cabinet {
    std::string error; // empty when the cabinet is sound
    std::string bytes; // the whole file
    uint64_t cbCabinet = 0;
    uint64_t coffFiles = 0;
    uint16_t cFolders = 0;
    uint16_t cFiles = 0;
    std::vector<parsed_folder> folders;
    std::vector<parsed_file> files;

    // The file's bytes, cut from its folder's stream.
    std::string content(const parsed_file& file) const;
};

// Besides the records and checksums it checks what every cabinet the creator
// writes must satisfy: a plain header of version 1.3, blocks of 32767 bytes
// but the last of each folder, each folder's blocks right behind the one
// before, and cbCabinet equal to the file's length.
parsed_cabinet parse_cabinet(const std::string& path);

// A file of the given length whose bytes compress somewhat but not entirely.
std::string sample_bytes(std::size_t length, unsigned seed);

#endif
