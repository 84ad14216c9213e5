// Opens a cabinet, holds its records and extracts named files from it.
#ifndef KISTLE_CABINET_READER_H
#define KISTLE_CABINET_READER_H

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <ostream>

#include "cabinet_file_header.h"
#include "cabinet_folder_manager.h"
#include "cabinet_header.h"
#include "dynamic_array.h"

class cabinet_reader {
public:
    cabinet_header header;
    dynamic_array<cabinet_folder_manager> folder_managers; // one per folder entry
    dynamic_array<cabinet_file_header> file_headers;       // one per file entry
    std::ifstream cabinet_stream;

    cabinet_reader() {}
    ~cabinet_reader() { std::free(block_index); }
    cabinet_reader(const cabinet_reader&) = delete;
    cabinet_reader& operator=(const cabinet_reader&) = delete;

    // Reads the header, every folder entry and every file entry. A cabinet
    // open before is released first.
    int open(const char* path);
    // Writes the file whose stored name equals name byte for byte, below the
    // current directory, and restores its date, time and read-only bit.
    int extract(const char* name);
    // Releases the stream and the records.
    int close();

private:
    // Where each block of one folder starts in the file and in the folder's
    // uncompressed stream, so a file's extraction starts at the block that
    // holds its first byte instead of the folder's first block.
    struct block_entry {
        uint64_t position;
        uint64_t start;
    };

    static constexpr uint32_t no_folder = UINT32_MAX;

    void release();
    int read_directory();
    void index_folder(uint16_t folder);
    int extract_range(uint16_t folder, uint64_t offset, uint64_t length, std::ostream& out);

    block_entry* block_index = nullptr; // cCFData + 1 entries of indexed_folder
    uint32_t indexed_folder = no_folder;
    bool index_complete = false;
};

#endif
