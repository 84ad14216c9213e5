// A stored name taken apart for a walk below a base directory (internal).
// Every directory on the way is opened without following a symbolic link, so
// nothing is reached outside the base, whatever links the extraction itself
// or anyone else has made there.
#ifndef KISTLE_STORED_PATH_H
#define KISTLE_STORED_PATH_H

#include <sys/types.h>

namespace kistle::internal {

class stored_path {
public:
    stored_path() = default;
    ~stored_path();
    stored_path(const stored_path&) = delete;
    stored_path& operator=(const stored_path&) = delete;

    // Checks name (stored_name.h) and splits it; a directory's name may end
    // in separators ("d/"). CAB_ERROR_ACCESS_DENIED for a name that is
    // refused, CAB_ERROR_OUT_OF_MEMORY; the path is empty after a failure
    // and may be set again.
    [[nodiscard]] int set(const char* name, bool directory = false);
    // The last component, the one the entry itself takes.
    const char* last() const { return target; }
    // Every component joined by '/', the same text for every spelling of
    // the name ("/a//./b" and "a\\b" are "a/b"); null when it cannot be
    // allocated, otherwise the caller frees it.
    char* joined() const;
    // The same of the components before last(): "." for none.
    char* parent() const { return join(target); }
    // The number of components.
    unsigned depth() const;

    // Opens the directory that holds last() below base (a directory
    // descriptor, or AT_FDCWD for the current one) into directory. With
    // make, a missing directory on the way is made with the mode a new
    // directory gets. CAB_ERROR_ACCESS_DENIED for a component that is a
    // symbolic link or a directory that refuses the walk, CAB_ERROR_MKDIR
    // when a directory cannot be made (or is missing without make, errno
    // ENOENT), with errno set; directory is -1 after a failure.
    [[nodiscard]] int open_directory(int base, bool make, int& directory) const;

    // Opens the directory the whole name names below base in one call,
    // where the kernel can refuse every symbolic link and every way out of
    // base; false (and nothing opened) when it cannot, or the directory is
    // missing or refused: the caller then walks with open_directory.
    [[nodiscard]] bool open_whole_at_once(int base, int& directory) const;

private:
    // The same in one call, where the kernel can refuse every symbolic link
    // and every way out of base; false (and nothing opened) when it cannot,
    // or a directory is missing or refused: the walk then makes it or gives
    // the status.
    [[nodiscard]] bool open_directory_at_once(int base, int& directory) const;
    // Opens the directory the components before end name, as above.
    [[nodiscard]] bool open_at_once(int base, const char* end, int& directory) const;
    // The components before end joined by '/', "." for none; null when it
    // cannot be allocated.
    char* join(const char* end) const;

    char* names = nullptr;        // the stored name, split into components
    const char* target = nullptr; // its last component, inside names
};

// Opens the directory component inside parent, making it with mode when it
// is missing (and make is set). A symbolic link is never followed. Statuses
// as stored_path::open_directory; opened is -1 after a failure.
[[nodiscard]] int open_component(int parent, const char* component, bool make, mode_t mode,
                                 int& opened);

} // namespace kistle::internal

#endif
