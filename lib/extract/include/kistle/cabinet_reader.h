// Opens a cabinet, holds its records and extracts named files from it.
#ifndef KISTLE_CABINET_READER_H
#define KISTLE_CABINET_READER_H

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <ostream>

#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_manager.h>
#include <kistle/cabinet_header.h>
#include <kistle/dynamic_array.h>
#include <kistle/export.h>

namespace kistle::internal {
class folder_cursor;
}

class KISTLE_EXPORT cabinet_reader {
public:
    cabinet_header header;
    dynamic_array<cabinet_folder_manager> folder_managers; // one per folder entry
    dynamic_array<cabinet_file_header> file_headers;       // one per file entry
    std::ifstream cabinet_stream;

    cabinet_reader() {}
    ~cabinet_reader() {
        cabinet_stream.close(); // before its buffer goes
        std::free(stream_buffer);
        std::free(output_buffer);
        std::free(name_order);
        drop_cursor();
    }
    cabinet_reader(const cabinet_reader&) = delete;
    cabinet_reader& operator=(const cabinet_reader&) = delete;

    // Reads the header, every folder entry and every file entry. A cabinet
    // open before is released first.
    int open(const char* path);
    // Writes the file whose stored name equals name byte for byte, below the
    // current directory, and restores its date, time and read-only bit.
    // Every block that holds the file's bytes, and every block before them
    // in the folder (whose sizes place them), is read whole and its checksum
    // verified before any of its bytes is used: a file that one of them
    // fails gets that block's status (CAB_ERROR_CHECKSUM for a mismatch) and
    // leaves nothing behind. The reader can extract again after a failure.
    int extract(const char* name);
    // Releases the stream and the records.
    int close();

private:
    void release();
    int read_directory();
    int find_file(const char* name, const cabinet_file_header*& file);
    int extract_range(uint16_t folder, uint64_t offset, uint64_t length, std::ostream& out);
    void drop_cursor();

    // The cabinet stream's buffer, larger than its own: blocks are read whole,
    // one after another.
    static constexpr std::size_t stream_buffer_size = 64 * 1024;
    char* stream_buffer = nullptr;

    // The extracted files' buffer: a file system takes few large writes much
    // faster than many small ones.
    static constexpr std::size_t output_buffer_size = 256 * 1024;
    char* output_buffer = nullptr;

    // File record numbers sorted by name, then by number, so that a lookup
    // is a binary search; made at the first extraction.
    uint32_t* name_order = nullptr;

    // Where the last extraction was in its folder: the next file of the same
    // folder mostly begins where the last one ended. Owned.
    kistle::internal::folder_cursor* cursor = nullptr;
};

#endif
