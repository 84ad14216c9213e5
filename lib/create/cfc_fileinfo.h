// A file entry of a cabinet under construction.
#ifndef KISTLE_CFC_FILEINFO_H
#define KISTLE_CFC_FILEINFO_H

#include <cstdint>
#include <ostream>

#include "b_string.h"
#include "object_base.h"

class cfc_fileinfo : public ObjectBase {
public:
    // The fixed part of the file entry, in the order it is written.
    uint64_t cbFile = 0;          // bytes the file put into its folder's stream
    uint64_t uoffFolderStart = 0; // where they begin in that stream
    uint16_t iFolder = 0;
    uint16_t date = 0; // DOS encoding, local time
    uint16_t time = 0;
    uint16_t attribs = 0;
    b_string szName; // the path exactly as it was added

    ~cfc_fileinfo() override;

    // Writes the 24-byte fixed entry, then the name and its NUL. 0 or -4.
    int write_entry(std::ostream& out) const;
};

#endif
