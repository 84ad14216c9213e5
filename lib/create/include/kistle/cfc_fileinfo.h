// A file entry of a cabinet under construction.
#ifndef KISTLE_CFC_FILEINFO_H
#define KISTLE_CFC_FILEINFO_H

#include <cstdint>
#include <ostream>

#include <kistle/b_string.h>
#include <kistle/cabinet_file_header.h>
#include <kistle/export.h>
#include <kistle/object_base.h>

// The fixed part of the entry is the record's own: cbFile (the bytes the file
// put into its folder's stream), uoffFolderStart, iFolder, date and time (DOS
// encoding, local time) and attribs, in the order they are written.
class KISTLE_EXPORT cfc_fileinfo : public ObjectBase, public cabinet_file_fixed_header {
public:
    b_string szName; // the path exactly as it was added

    ~cfc_fileinfo() override;

    // Writes the 24-byte fixed entry, then the name and its NUL.
    // CAB_STATUS_OK or CAB_ERROR_WRITE.
    [[nodiscard]] int write_entry(std::ostream& out) const;
};

#endif
