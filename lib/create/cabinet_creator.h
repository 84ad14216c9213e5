// The cabinet creator: folders of files, written block by block to a private
// temporary data file, then assembled into a cabinet.
#ifndef KISTLE_CABINET_CREATOR_H
#define KISTLE_CABINET_CREATOR_H

#include <cstdint>
#include <fstream>
#include <ostream>

#include "b_string.h"
#include "cfc_fileinfo.h"
#include "cfc_folderinfo.h"
#include "queue_of.h"

class cabinet_creator {
public:
    // iFolder 0xFFFD to 0xFFFF mark files continued from or to another
    // cabinet, so folders are numbered 0 to 0xFFFC.
    static constexpr uint16_t max_folders = 0xFFFD;
    // cFiles is 16-bit.
    static constexpr uint16_t max_files = 0xFFFF;

    std::fstream temp_stream; // the data blocks of every folder, back to back
    b_string temp_path;       // always empty: the data file has no name
    QueueOf<cfc_folderinfo> folders;
    uint32_t file_count = 0; // entries in all folders

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
    int open();
    int new_folder(uint16_t typeCompress);
    // Adds a file to the newest folder.
    int add_file(const char* path);
    // Writes the cabinet to a new file that replaces whatever was at path
    // only once it is complete; a path that names a device or a FIFO is
    // written directly.
    int close(const char* path);
    int close(std::ostream& out);
    void close_all_folders(QueueOf<cfc_fileinfo>& cabinet_files, uint64_t& cabinet_size,
                           uint64_t& data_start);
    // Destroys all folders and removes the temporary data file.
    void reset();

private:
    cfc_folderinfo* newest_folder() const;
    // Writes the last block of every folder; a failure means missing data.
    int flush_folders();
    // Copies the temporary data file, which must hold expected bytes, to out.
    int copy_data(std::ostream& out, uint64_t expected);
    int close_replacing(const char* path);
};

#endif
