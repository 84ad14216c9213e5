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
class parallel_inflate;
struct progress_callback;
} // namespace kistle::internal

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
        std::free(folder_ends);
        drop_cursor();
        drop_threads();
    }
    cabinet_reader(const cabinet_reader&) = delete;
    cabinet_reader& operator=(const cabinet_reader&) = delete;

    // Releases any cabinet open before, then opens path and reads the header,
    // every folder entry and every file entry (those from coffFiles on; none
    // when cFiles is 0). Nothing read is judged.
    // - CAB_ERROR_NO_FILENAME for a null or empty path, CAB_ERROR_OPEN_STREAM
    //   (errno set) when the file cannot be opened: the reader holds nothing.
    // - CAB_ERROR_UNEXPECTED_EOF, CAB_ERROR_READ, CAB_ERROR_SEEK (coffFiles
    //   cannot be reached), CAB_ERROR_OUT_OF_MEMORY: the records read so far
    //   stay for inspection, but the file is closed, so extract answers
    //   CAB_ERROR_CLOSED_OBJECT.
    // The reader can be opened again after any failure.
    [[nodiscard]] int open(const char* path);
    // Writes the file whose stored name equals name byte for byte, below the
    // current directory, and restores its date, time and read-only bit.
    // Every block that holds the file's bytes, and every block before them
    // in the folder (whose sizes place them), is read whole and its checksum
    // verified before any of its bytes is used: a file that one of them
    // fails gets that block's status (CAB_ERROR_CHECKSUM for a mismatch) and
    // leaves nothing behind. One block that fails its checksum costs only
    // the files that touch it, though, when the sizes its header claims are
    // confirmed: every later block of the folder verifies and expands to
    // exactly its size where those sizes place it, and the sizes of all the
    // folder's blocks add up to where its last file entry ends. The reader
    // can extract again after a failure.
    // - CAB_ERROR_CLOSED_OBJECT: no cabinet is open. CAB_ERROR_NO_FILENAME:
    //   an empty name. CAB_ERROR_FILE_NOT_FOUND: no entry of that name (the
    //   first of several wins). CAB_ERROR_INVALID_FOLDER: its folder number
    //   has no folder entry.
    // - Where it goes: CAB_ERROR_ACCESS_DENIED for a name that would leave the
    //   current directory, names no file, passes a symbolic link, or a
    //   directory that refuses the file; CAB_ERROR_MKDIR when a directory
    //   cannot be made; CAB_ERROR_OPEN_STREAM when the file cannot be made or
    //   put in place. errno says why.
    // - Its bytes: the statuses of the folder's blocks (CAB_ERROR_CHECKSUM,
    //   CAB_ERROR_UNEXPECTED_EOF, CAB_ERROR_DECOMPRESSION, ...), of a range
    //   beyond the folder's data (CAB_ERROR_RANGE_PAST_END,
    //   CAB_ERROR_FOLDER_DATA_ENDED), CAB_ERROR_WRITE; CAB_ERROR_STOPPED
    //   (see set_progress); CAB_ERROR_RESTORE_DATETIME and
    //   CAB_ERROR_RESTORE_ATTRIBUTES.
    [[nodiscard]] int extract(const char* name);

    // What extract_file does where its target exists.
    enum EXISTING_TARGET {
        EXISTING_REPLACE = 0, // replaced once the file is complete
        EXISTING_KEEP = 1     // left alone
    };

    // Extracts file entry number (an index of file_headers) below directory
    // (which must exist; a symbolic link to it is followed) under its stored
    // name, as extract does below the current directory. With EXISTING_KEEP
    // a target that exists (a link or a directory included) is left alone,
    // also when it appears while the file is written: the file is published
    // by a link that fails where the target exists. *written (when given)
    // says whether a file was written. The statuses are extract's, with
    // CAB_ERROR_FILE_NOT_FOUND for a number beyond file_headers,
    // CAB_ERROR_NO_FILENAME for an empty directory and CAB_ERROR_OPEN_STREAM
    // when it cannot be opened; a kept target is CAB_STATUS_OK.
    [[nodiscard]] int extract_file(uint32_t number, const char* directory, EXISTING_TARGET existing,
                                   bool* written = nullptr);
    // Writes bytes offset to offset + length - 1 of folder number's stream
    // to out, with the checks of extract. The statuses are write_file's.
    [[nodiscard]] KISTLE_LOCAL int write_folder_range(uint16_t number, uint64_t offset,
                                                      uint64_t length, std::ostream& out);
    // Reads size bytes of the cabinet file from offset into bytes.
    // CAB_STATUS_OK; CAB_ERROR_CLOSED_OBJECT, CAB_ERROR_SEEK,
    // CAB_ERROR_UNEXPECTED_EOF, CAB_ERROR_READ.
    [[nodiscard]] KISTLE_LOCAL int read_bytes(uint64_t offset, void* bytes, std::size_t size);
    // Writes the bytes of file entry number to out, with the checks of
    // extract: no byte leaves a block that failed its checksum, or that was
    // placed by one whose sizes were not confirmed. The statuses are
    // extract's for its bytes, with CAB_ERROR_CLOSED_OBJECT,
    // CAB_ERROR_FILE_NOT_FOUND and CAB_ERROR_INVALID_FOLDER; after a failure
    // out holds the bytes written before it.
    [[nodiscard]] int write_file(uint32_t number, std::ostream& out);
    // Reads every block of folder number from its first, verifies its
    // checksum and expands it, writing nothing; uncompressed_size gets what
    // the blocks expanded to (up to a failure). CAB_STATUS_OK when every
    // block is sound (a folder without blocks included);
    // CAB_ERROR_CLOSED_OBJECT, CAB_ERROR_INVALID_FOLDER; the statuses of
    // cabinet_folder_manager::extract_data for a block that fails;
    // CAB_ERROR_OUT_OF_MEMORY.
    [[nodiscard]] int verify_folder(uint16_t number, uint64_t& uncompressed_size);
    // Reads the header of every block of folder number, skipping the
    // payloads unread and unverified: compressed_size gets the bytes the
    // blocks take in the file (headers, reserve areas, payloads),
    // uncompressed_size what they claim to expand to. CAB_STATUS_OK;
    // CAB_ERROR_CLOSED_OBJECT, CAB_ERROR_INVALID_FOLDER; CAB_ERROR_SEEK;
    // CAB_ERROR_UNEXPECTED_EOF or CAB_ERROR_READ when the blocks run past the
    // end of the file.
    [[nodiscard]] int measure_folder(uint16_t number, uint64_t& compressed_size,
                                     uint64_t& uncompressed_size);
    // As measure_folder, stopping before a block that would begin at or
    // past stop_at, which sets overran: the folder's blocks run into what
    // lies there.
    [[nodiscard]] KISTLE_LOCAL int measure_folder(uint16_t number, uint64_t stop_at,
                                                  uint64_t& compressed_size,
                                                  uint64_t& uncompressed_size, bool& overran);
    // Releases the stream and the records and ends the threads; always
    // CAB_STATUS_OK. The reader can be opened again.
    [[nodiscard]] int close();
    // How many threads expand a folder's deflate blocks ahead while files
    // are written (0, the default, means one per core the process may run
    // on; 1 means the calling thread alone). Only when blocks are expanded
    // differs: every file's bytes and every status are the same. Threads
    // start when an extraction first reads ahead (a file of two blocks or
    // more, or files that follow one another in a folder), belong to this
    // reader alone, and end with open, close, set_threads or the destructor;
    // the setting itself stays. At most two blocks a thread are held ahead.
    // A child made by fork while they run has none of them: it must use a
    // new reader.
    void set_threads(unsigned count);
    // Where extract, extract_file and write_file report the bytes they write
    // as each block's part is written, on the calling thread; none by
    // default. Not owned: it must outlive every extraction while it is set.
    // Progress that asks to stop fails the extraction with
    // CAB_ERROR_STOPPED, as a failed write would (no file is published).
    KISTLE_LOCAL void set_progress(const kistle::internal::progress_callback* callback);
    // Whether its caller checks every byte extracted from the open cabinet
    // against a checksum of the contents, which allows a faster
    // decompression (see block_inflater); open and close forget it.
    KISTLE_LOCAL void set_contents_checked(bool checked);
    // Ranges shorter than bytes are expanded on the calling thread alone
    // (see parallel_inflate); 0, the default, for none. Kept across open
    // and close.
    KISTLE_LOCAL void set_caller_expands_below(uint64_t bytes);

private:
    KISTLE_LOCAL void release();
    [[nodiscard]] KISTLE_LOCAL int read_directory();
    // The number of the first file entry stored under name.
    [[nodiscard]] KISTLE_LOCAL int find_file(const char* name, uint32_t& number);
    // The open cabinet's file entry number, whose folder exists.
    [[nodiscard]] KISTLE_LOCAL int file_to_write(uint32_t number,
                                                 const cabinet_file_header*& file) const;
    [[nodiscard]] KISTLE_LOCAL int extract_range(uint16_t folder, uint64_t offset, uint64_t length,
                                                 std::ostream& out);
    // The cursor over folder number, made anew unless it serves that folder
    // already; none without memory for it.
    KISTLE_LOCAL kistle::internal::folder_cursor* cursor_for(uint16_t number);
    // Where the last file entry of folder number that holds bytes ends;
    // folder_cursor::unknown_end for none.
    KISTLE_LOCAL uint64_t folder_end(uint16_t number);
    void drop_cursor();
    void drop_threads();
    // The decompressors for a new cursor; none: the cursor makes its own.
    KISTLE_LOCAL kistle::internal::parallel_inflate* threads_to_lend();

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
    // folder mostly begins where the last one ended. Owned. It continues
    // where it left cabinet_stream: whatever else moves the stream tells it.
    kistle::internal::folder_cursor* cursor = nullptr;
    // Per folder entry, where its file entries end (see folder_end); made
    // at the first cursor after open, then kept. Owned.
    uint64_t* folder_ends = nullptr;

    bool contents_checked = false; // as set_contents_checked says
    uint64_t caller_below = 0;     // as set_caller_expands_below says
    unsigned thread_count = 0;     // as set_threads was last given
    const kistle::internal::progress_callback* progress = nullptr; // as set_progress was given
    // Owned; the threads, once started.
    kistle::internal::parallel_inflate* decompressors = nullptr;
};

#endif
