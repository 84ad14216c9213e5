// Where one extracted file goes (internal). The stored name is taken relative
// to a base directory; its directories are walked without following symbolic
// links, and the contents go to a private temporary file in the target's
// directory that takes the target's place only once it is complete.
#ifndef KISTLE_EXTRACTION_TARGET_H
#define KISTLE_EXTRACTION_TARGET_H

#include <sys/types.h>

#include "stored_path.h"
#include "temporary_file.h"

namespace kistle::internal {

// Puts a complete private file in place as name in its directory with mode:
// replacing whatever is there, or, with keep, by a link that fails where the
// name exists, which sets kept. CAB_STATUS_OK once it is there or kept,
// otherwise CAB_ERROR_OPEN_STREAM or CAB_ERROR_ACCESS_DENIED with errno set.
// has_mode: the file is known to have mode already.
[[nodiscard]] int publish_file(temporary_file& file, const char* name, mode_t mode, bool keep,
                               bool& kept, bool has_mode = false);

class extraction_target {
public:
    extraction_target() = default;
    // Discards the temporary file unless it was committed.
    ~extraction_target();
    extraction_target(const extraction_target&) = delete;
    extraction_target& operator=(const extraction_target&) = delete;

    // What to do where the target exists: replace it at commit, or keep it.
    enum class existing { replace, keep };

    // Checks stored_name (stored_name.h), opens the base directory (a path;
    // a symbolic link to it is followed), opens or creates the name's
    // directories in it and creates the temporary file; a descriptor of it
    // goes to file (the caller closes that one whenever it likes). With
    // existing::keep and a target that exists (a link or a directory
    // included), kept() is true and there is no file (file -1).
    // CAB_ERROR_ACCESS_DENIED for a name that stored_name.h refuses or that
    // passes through a symbolic link, or a directory that refuses the file;
    // CAB_ERROR_MKDIR when a directory cannot be made; CAB_ERROR_OPEN_STREAM
    // when the base directory cannot be opened or the file cannot be made
    // otherwise. errno says why where a system call failed.
    [[nodiscard]] int create(const char* base, const char* stored_name, existing policy, int& file);
    // The same below a base directory that is open already (a descriptor the
    // caller keeps, or AT_FDCWD).
    [[nodiscard]] int create_at(int base, const char* stored_name, existing policy, int& file);
    // Gives the complete file the mode of a new file (without any write
    // permission if its owner's was taken away while it was written) and
    // puts it in place of the target: in one step that replaces whatever is
    // there, or, with existing::keep, by a link that fails when the target
    // has appeared meanwhile, which then counts as kept. CAB_STATUS_OK
    // (nothing done once kept), or CAB_ERROR_OPEN_STREAM or
    // CAB_ERROR_ACCESS_DENIED with errno set.
    [[nodiscard]] int commit();
    // The same, giving the file exactly mode (07777 bits) instead; has_mode:
    // the caller has seen that the file has that mode already.
    [[nodiscard]] int commit(mode_t mode, bool has_mode = false);
    // The private file, open for reading and writing until commit, for
    // changes to the file itself (owner, times) before it is published; -1
    // when there is none. The target owns it.
    int file() const { return temporary.descriptor(); }
    // Whether an existing target was kept instead of being written.
    bool kept() const { return found; }

private:
    // Puts the file in place with mode; CAB_STATUS_OK once it is there or kept.
    [[nodiscard]] int publish(mode_t mode, bool has_mode);

    stored_path path;   // the stored name, taken apart
    int directory = -1; // descriptor of the target's directory
    bool keep = false;  // existing::keep
    bool found = false; // the target existed and was kept
    temporary_file temporary;
};

} // namespace kistle::internal

#endif
