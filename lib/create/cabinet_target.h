// Where a cabinet closed onto a path goes (internal). Everything about the
// path that can fail is done by open, before a byte of the cabinet exists:
// - a symbolic link stays, and the file it leads to (followed link by link,
//   a relative link against its own directory) is the one replaced;
// - a new file, or one that replaces a regular file, is written as a private
//   temporary file in the target's directory and put in place of the target
//   in one step by finish; a replaced file's permission bits, owner and group
//   (where the process may set them) carry over, and a new file gets the mode
//   the kernel gives any new file there;
// - a device or a FIFO is written in place, and so, where writing in place
//   is allowed (the default), is a regular file in a directory that refuses
//   a new file (or the rename over it) while the file itself is writable; a
//   failure part way then leaves that file damaged, so the application
//   interface allows it only when asked.
#ifndef KISTLE_CABINET_TARGET_H
#define KISTLE_CABINET_TARGET_H

#include <climits>
#include <sys/stat.h>

#include "temporary_file.h"

namespace kistle::internal {

class cabinet_target {
public:
    cabinet_target() = default;
    // Discards the temporary file unless it was put in place.
    ~cabinet_target();
    cabinet_target(const cabinet_target&) = delete;
    cabinet_target& operator=(const cabinet_target&) = delete;

    // Whether a regular file whose directory refuses a new file is written
    // in place (true by default); set before open or check.
    void allow_in_place(bool allowed) { in_place_allowed = allowed; }

    // CAB_STATUS_OK, or CAB_ERROR_OPEN_FILE with errno set: the path names a
    // directory, a link leads nowhere a file can be made (or loops), a
    // component is too long, or no file can be written there.
    [[nodiscard]] int open(const char* path);
    // What open would return, opening nothing that another process may
    // see: a device, a FIFO or a file to be written in place is only asked
    // whether it is writable, and the temporary file is discarded at once.
    // A target that checked is not used to write.
    [[nodiscard]] int check(const char* path);
    // After a failed open or check: the directory that failed it (missing,
    // not a directory, or refusing a new file), as resolved; nullptr when
    // the failure concerns the path itself.
    const char* refusing_directory() const;
    // Where the cabinet is written, from its first byte on; the target keeps
    // it (write through a duplicate).
    int descriptor() const;
    // Makes the written cabinet durable and puts it in place. CAB_STATUS_OK,
    // or CAB_ERROR_CLOSE_FILE with errno set; a replacement that fails
    // leaves the target as it was.
    [[nodiscard]] int finish();

private:
    // The path with every link at its end followed; false when it cannot be.
    bool resolve(const char* path);
    [[nodiscard]] int open_at_resolved();
    bool rename_refused() const;
    // Opens what is written in place (at, relative to directory at); only
    // asks whether it is writable when checking.
    [[nodiscard]] int open_in_place(int at, const char* file, int flags);
    // errno as the status, with the directory blamed.
    int directory_failed(int error);

    char resolved[PATH_MAX] = {};
    const char* name = nullptr;   // the last component, inside resolved
    const char* parent = nullptr; // its directory: resolved, "." or "/"
    int directory = -1;
    temporary_file replacement;
    struct stat existing = {}; // the regular file being replaced, if any
    bool replacing = false;
    mode_t mode = 0;   // the mode the replacement gets
    int in_place = -1; // a file written in place
    bool in_place_allowed = true;
    bool checking = false;
    bool directory_blamed = false;
};

} // namespace kistle::internal

#endif
