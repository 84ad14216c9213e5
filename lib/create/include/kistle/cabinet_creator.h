// The cabinet creator: folders of files, written block by block to a private
// temporary data file, then assembled into a cabinet.
//
// Calling order: open; new_folder; any number of add_file, with further
// new_folder calls between them; close. A creator is used by one thread at a
// time; separate creators may work on separate threads.
#ifndef KISTLE_CABINET_CREATOR_H
#define KISTLE_CABINET_CREATOR_H

#include <cstdint>
#include <ctime>
#include <fstream>
#include <istream>
#include <ostream>

#include <kistle/b_string.h>
#include <kistle/cfc_fileinfo.h>
#include <kistle/cfc_folderinfo.h>
#include <kistle/export.h>
#include <kistle/queue_of.h>

namespace kistle::internal {
struct block_encoding;
struct cabinet_extras;
struct cabinet_parts;
class parallel_encoder;
struct pipeline_helpers;
struct progress_callback;
} // namespace kistle::internal

class KISTLE_EXPORT cabinet_creator {
public:
    // iFolder 0xFFFD to 0xFFFF mark files continued from or to another
    // cabinet, so folders are numbered 0 to 0xFFFC.
    static constexpr uint16_t max_folders = 0xFFFD;
    // cFiles is 16-bit.
    static constexpr uint16_t max_files = 0xFFFF;

    std::fstream temp_stream; // the data blocks of every folder, back to back
    b_string temp_path;       // always empty: the data file has no name
    QueueOf<cfc_folderinfo> folders;
    uint32_t file_count = 0;   // entries in all folders
    unsigned thread_count = 0; // as set_threads was last given
    // Owned; the threads, once started.
    kistle::internal::parallel_encoder* compressors = nullptr;
    // Not owned; as set_progress was last given.
    const kistle::internal::progress_callback* progress = nullptr;
    bool pipelined = false;              // as set_pipelined was last given
    uint32_t entry_limit = max_files;    // as set_entry_limits was last given
    uint32_t folder_limit = max_folders; // as set_entry_limits was last given

    cabinet_creator() = default;
    cabinet_creator(const cabinet_creator&) = delete;
    cabinet_creator& operator=(const cabinet_creator&) = delete;
    ~cabinet_creator() { reset(); }

    // Discards any cabinet under construction and makes a fresh temporary
    // data file in $TMPDIR (or /tmp), readable by its owner only and without
    // a name, so that nothing is left of it however the process ends (where
    // the file system cannot make a file without a name, it is named and
    // removed at once). CAB_STATUS_OK, or CAB_ERROR_TEMP_FILE with the
    // creator idle.
    [[nodiscard]] int open();
    // Freezes the newest folder (its last block is written and it takes no
    // more files) and starts a new one of type typeCompress (0 stored,
    // 1 deflate; other types write blocks without payload).
    // CAB_ERROR_TOO_MANY_FOLDERS once the cabinet holds max_folders folders:
    // nothing changes. CAB_ERROR_OUT_OF_MEMORY, or a status from
    // convert_z_error_code when the compressor cannot be made: nothing
    // changes but the freezing. A freeze that fails is not reported here;
    // close reports it.
    [[nodiscard]] int new_folder(uint16_t typeCompress);
    // As new_folder above, a deflate folder compressing at level (0 to 9, or
    // -1 for zlib's default, which new_folder above uses and cabinet_tool
    // writes); zlib refuses any other level (a status from
    // convert_z_error_code), and nothing changes but the freezing.
    [[nodiscard]] int new_folder(uint16_t typeCompress, int level);
    // As new_folder above, its blocks encoded as encoding says (its type is
    // the folder's), by zlib or by libdeflate.
    [[nodiscard]] KISTLE_LOCAL int new_folder(const kistle::internal::block_encoding& encoding);
    // Adds a file to the newest folder (see cfc_folderinfo::add_file for its
    // statuses and the state after each). CAB_ERROR_NO_FOLDER before the
    // first new_folder, CAB_ERROR_TOO_MANY_FILES once the cabinet holds
    // max_files entries: nothing changes. After any failure later files
    // still get entries that match their bytes, except after a failed write
    // of the data file, which fails close.
    [[nodiscard]] int add_file(const char* path);
    // As add_file(path), the entry stored under stored_name (path when null).
    [[nodiscard]] int add_file(const char* path, const char* stored_name);
    // Adds what in yields up to its end to the newest folder, stored under
    // stored_name with the date and time of modified and the given read-only
    // bit (see cfc_folderinfo::add_stream). The statuses, and the state after
    // each, are add_file's.
    [[nodiscard]] int add_stream(std::istream& in, const char* stored_name, std::time_t modified,
                                 bool read_only);
    // As add_stream, with the entry's date, time and attribute bits as given.
    [[nodiscard]] KISTLE_LOCAL int add_stream(std::istream& in, const char* stored_name,
                                              uint16_t date, uint16_t time, uint16_t attribs);
    // Adds an entry for bytes an earlier entry added (see
    // cfc_folderinfo::add_entry); the statuses are add_file's.
    [[nodiscard]] KISTLE_LOCAL int add_shared_entry(const char* stored_name, uint16_t folder,
                                                    uint64_t offset, uint64_t size, uint16_t date,
                                                    uint16_t time, uint16_t attribs);
    // Writes the cabinet to path; a cabinet that is not complete never
    // reaches it. A new file gets the mode the kernel gives any new file
    // there; a regular file at path is replaced in one step and its
    // permission bits, owner and group (where permitted) carry over; a
    // symbolic link at path stays and the file it leads to is replaced; a
    // device or FIFO is written directly, and so is a writable regular file
    // in a directory that refuses a new file.
    // - CAB_ERROR_OPEN_FILE: path cannot be written (a directory, a
    //   component longer than the file system allows, a missing or
    //   refusing directory, a link loop). Nothing has changed.
    // - CAB_ERROR_WRITE (the cabinet or the newest folder's last block could
    //   not be written), CAB_ERROR_SEEK or CAB_ERROR_READ (the data file
    //   failed earlier or cannot be read back), CAB_ERROR_CLOSE_FILE (the
    //   cabinet could not be made durable or put in place),
    //   CAB_ERROR_OUT_OF_MEMORY: what was at path is unchanged (a file
    //   written in place holds a partial cabinet).
    // After any failure every folder, entry and the data file stay, so close
    // may be called again, to this path or another (the newest folder is
    // frozen, and new_folder may start another). On success the creator is
    // idle and the data file gone.
    [[nodiscard]] int close(const char* path);
    // Writes the cabinet to out. The statuses are those of close(path)
    // without CAB_ERROR_OPEN_FILE and CAB_ERROR_CLOSE_FILE, with the same
    // state afterwards; out keeps what was written to it.
    [[nodiscard]] int close(std::ostream& out);
    // close(path) and close(out) with extras (not owned; they must live
    // through the call). A leading folder counts as a folder: with it, the
    // cabinet holds one folder more than new_folder made.
    [[nodiscard]] KISTLE_LOCAL int close(const char* path,
                                         const kistle::internal::cabinet_extras& extras);
    [[nodiscard]] KISTLE_LOCAL int close(std::ostream& out,
                                         const kistle::internal::cabinet_extras& extras);
    // Freezes the newest folder and moves every folder's entries to the end
    // of cabinet_files, adding each folder's share to the two totals (see
    // cfc_folderinfo::close). The folders stay, without entries: a later
    // close writes their data but none of the moved entries.
    void close_all_folders(QueueOf<cfc_fileinfo>& cabinet_files, uint64_t& cabinet_size,
                           uint64_t& data_start);
    // Destroys all folders and their entries, drops the data file and ends
    // the threads.
    void reset();
    // How many threads deflate the blocks of deflate folders (0, the
    // default, means one per core the process may run on; 1 means the
    // calling thread alone, which deflates a lone block in any case).
    // Only when the blocks reach the data file differs: the cabinet is the
    // same byte for byte, and so are every call's status and what it
    // leaves, but for what set_pipelined says. The threads start once two
    // blocks are in flight, of one file or of several,
    // belong to this creator alone, and end with reset, a successful close,
    // set_threads or the destructor; the setting itself stays. A child made
    // by fork while they run has none of them: it must use a new creator.
    void set_threads(unsigned count);
    // Where add_file and add_stream report the bytes they take from their
    // input, at least once per block, on the calling thread (see
    // cfc_folderinfo::use); none by default. Not owned: it must outlive
    // every add while it is set. Progress that asks to stop fails the add
    // with CAB_ERROR_STOPPED, as a read that fails would.
    KISTLE_LOCAL void set_progress(const kistle::internal::progress_callback* callback);
    // Pipelined, the threads deflate a folder's blocks as they fill, across
    // file boundaries: blocks stay in flight from one add to the next, so
    // that a tree of small files keeps every thread busy.
    // The cabinet is the same byte for byte, and so are the statuses and
    // the state every add leaves, but for these: the newest folder's
    // cCFData and bytes_written count blocks only once they are written (at
    // the latest when the folder is frozen), and a failed write of the
    // data file, or a block that cannot be deflated, fails the add during
    // which it is found, or close; after either the data file has failed,
    // and close fails, as it does with one thread. Not pipelined (the
    // default, which cabinet_tool relies on), every add writes its blocks
    // before it returns, and leaves what one thread leaves.
    KISTLE_LOCAL void set_pipelined(bool pipelined);
    // How many entries add_file and add_stream take before they answer
    // CAB_ERROR_TOO_MANY_FILES, and how many folders new_folder makes
    // before it answers CAB_ERROR_TOO_MANY_FOLDERS: max_files and
    // max_folders by default, since a cabinet holds no more. A caller that
    // lays its entries out over several cabinets may take more (the
    // entries' iFolder then stands for nothing), and close then refuses to
    // write them as one (CAB_ERROR_TOO_MANY_FILES, nothing changed).
    KISTLE_LOCAL void set_entry_limits(uint32_t entries, uint32_t folders) {
        entry_limit = entries;
        folder_limit = folders;
    }
    // Writes the last block of every folder, so that the data file holds
    // every block; the newest folder is frozen. The statuses of close for a
    // block that cannot be written.
    [[nodiscard]] KISTLE_LOCAL int finish_folders() { return flush_folders(); }

private:
    KISTLE_LOCAL cfc_folderinfo* newest_folder() const;
    // What the newest folder borrows: the threads (none for one thread),
    // progress, and whether blocks stay in flight.
    KISTLE_LOCAL kistle::internal::pipeline_helpers helpers();
    // Lends the newest folder what it borrows now.
    KISTLE_LOCAL void lend_newest();
    // Ends the threads, once the newest folder's blocks are written.
    KISTLE_LOCAL void end_threads();
    // The newest folder, when it may take one more entry.
    [[nodiscard]] KISTLE_LOCAL int folder_for_entry(cfc_folderinfo*& folder) const;
    // Writes the last block of every folder; a failure means missing data.
    [[nodiscard]] KISTLE_LOCAL int flush_folders();
    // Writes the whole cabinet to out and keeps everything.
    [[nodiscard]] KISTLE_LOCAL int write_cabinet(std::ostream& out,
                                                 const kistle::internal::cabinet_extras& extras);
    // Writes the header through the last file entry.
    // folder_share: the folders' entries and blocks.
    [[nodiscard]] KISTLE_LOCAL int
    write_directory(std::ostream& out, const kistle::internal::cabinet_extras& extras,
                    const kistle::internal::cabinet_parts& folder_share, uint16_t entries);
    // Copies the temporary data file, which must hold expected bytes, to out.
    [[nodiscard]] KISTLE_LOCAL int copy_data(std::ostream& out, uint64_t expected);
};

#endif
