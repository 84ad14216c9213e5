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

class folder_cursor;
class parallel_inflate;

class cabinet_reader {
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
        drop_threads();
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
    // Releases the stream and the records, and ends the threads.
    int close();
    // How many threads expand a folder's deflate blocks ahead while files
    // are written (0, the default, means one per core the process may run
    // on; 1 means the calling thread alone). Only when blocks are expanded
    // differs: every file's bytes and every status are the same. Threads
    // start when an extraction first reads ahead (a file of two blocks or
    // more, or files that follow one another in a folder), belong to this
    // reader alone, and end with open, close or the destructor; at most two
    // blocks a thread are held ahead.
    void set_threads(unsigned count);

private:
    void release();
    int read_directory();
    int find_file(const char* name, const cabinet_file_header*& file);
    int extract_range(uint16_t folder, uint64_t offset, uint64_t length, std::ostream& out);
    void drop_cursor();
    void drop_threads();
    // The decompressors for a new cursor; none: the cursor makes its own.
    parallel_inflate* threads_to_lend();

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
    folder_cursor* cursor = nullptr;

    unsigned thread_count = 0;                 // as set_threads was last given
    parallel_inflate* decompressors = nullptr; // owned; the threads, once started
};

#endif
