// Where one extracted file goes (internal). The stored name is taken relative
// to the current directory; its directories are walked without following
// symbolic links, and the contents go to a private temporary file in the
// target's directory that replaces the target only once it is complete.
#ifndef KISTLE_EXTRACTION_TARGET_H
#define KISTLE_EXTRACTION_TARGET_H

#include "temporary_file.h"

namespace kistle::internal {

class extraction_target {
public:
    extraction_target() = default;
    // Discards the temporary file unless it was committed.
    ~extraction_target();
    extraction_target(const extraction_target&) = delete;
    extraction_target& operator=(const extraction_target&) = delete;

    // Checks stored_name, opens or creates its directories and creates the
    // temporary file; a descriptor of it goes to file (the caller closes
    // that one whenever it likes). -23 for a name that leaves the current
    // directory, names no file or passes through a symbolic link, or a
    // directory that refuses the file; -22 when a directory cannot be made;
    // -6 when the file cannot be made otherwise.
    int create(const char* stored_name, int& file);
    // Gives the complete file the mode of a new file (without any write
    // permission if its owner's was taken away while it was written) and
    // puts it in place of the target.
    int commit();

private:
    // Walks the components of names before target; directory ends up open.
    int open_directories();

    char* names = nullptr;        // the stored name, split into components
    const char* target = nullptr; // its last component, inside names
    int directory = -1;           // descriptor of the target's directory
    temporary_file temporary;
};

} // namespace kistle::internal

#endif
