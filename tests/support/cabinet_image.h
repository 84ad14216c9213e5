// Lays out cabinets byte by byte through the record classes, so the reading
// side is tested on cabinets that no creator makes: reserve areas, chain
// names, several folders, damaged blocks and hostile values.
#ifndef KISTLE_TESTS_CABINET_IMAGE_H
#define KISTLE_TESTS_CABINET_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_header.h>

struct test_block {
    std::string payload;   // the stored bytes
    uint16_t cbUncomp = 0; // what the payload claims to expand to
    std::string reserve;   // padded or cut to the cabinet's cbCFData
    bool bad_checksum = false;
};

// A block that holds data unchanged, or as one zlib stream.
test_block stored_block(const std::string& data);
test_block deflate_block(const std::string& data);

struct test_folder {
    uint16_t typeCompress = 1;
    std::vector<test_block> blocks;
    std::string reserve;                  // padded or cut to the cabinet's cbCFFolder
    std::optional<uint16_t> cCFData;      // claimed block count; the real one by default
    std::optional<uint64_t> coffCabStart; // the real offset by default
};

// data cut into blocks of block_size bytes, stored (type 0) or deflated (type 1);
// any other type gets deflated blocks.
test_folder folder_of(uint16_t type, const std::string& data, std::size_t block_size = 32767);

// The entry's fields are the record's own, so they are written as they are.
struct test_file : cabinet_file_fixed_header {
    std::string name;

    // Lets a file be given by its name alone, as in files.push_back({"a"}).
    test_file(std::string file_name = {}) : name(std::move(file_name)) {}
};

struct test_cabinet {
    uint32_t signature = CABINET_SIGNATURE;
    uint8_t versionMajor = 1;
    uint8_t versionMinor = 3;
    uint16_t flags = 0;
    std::string header_reserve; // the whole header reserve area; cbCFHeader is its length
    uint8_t cbCFFolder = 0;
    uint8_t cbCFData = 0;
    std::string prev_cabinet, prev_disk, next_cabinet, next_disk;
    std::vector<test_folder> folders;
    std::vector<test_file> files;
    std::optional<uint16_t> cFiles;    // claimed file count; the real one by default
    std::optional<uint64_t> coffFiles; // the real offset by default

    // Adds a folder holding the contents one after another, and an entry for
    // each file; returns the folder's number.
    uint16_t add_folder(uint16_t type,
                        const std::vector<std::pair<std::string, std::string>>& named_contents,
                        std::size_t block_size = 32767);
};

// The cabinet's bytes: header, folder entries, file entries, then the blocks
// of every folder in folder order.
std::string build_cabinet(const test_cabinet& cabinet);

// Gives every block of every folder a reserve area of these bytes.
void reserve_in_every_block(test_cabinet& cabinet, const std::string& reserve);

// One byte of a block of the first folder, XORed with change: at counts from
// the block's first byte (the 16-byte header, the reserve area, the payload).
struct block_byte_change {
    int block;
    std::size_t at;
    int change;
};

// Calls visit with every copy of the cabinet's bytes in which one byte of one
// block of its first folder takes another value, all 255 of them in turn.
void for_each_block_byte_change(
    const test_cabinet& cabinet,
    const std::function<void(const std::string& damaged, const block_byte_change& change)>& visit);

#endif
