// Files and links that appear complete or not at all (internal). A file is
// made in a directory without a name (O_TMPFILE) where the file system
// allows, readable and writable by its owner only, and either published under
// its final name, replacing whatever is there, or discarded. Where a file
// without a name cannot be made, it is a file named .kistle-<random> of mode
// 0600 in the same directory, registered for remove_temporary_files until it
// is published or discarded.
#ifndef KISTLE_TEMPORARY_FILE_H
#define KISTLE_TEMPORARY_FILE_H

#include <sys/stat.h>
#include <sys/types.h>

namespace kistle::internal {

// Removes every named temporary file and link of this process that is
// still unfinished. Only async-signal-safe calls are made, so a signal
// handler may call it; the files stay registered and their owners still
// work, so it is safe at any time.
void remove_temporary_files() noexcept;

// Where files that are never published go: $TMPDIR, or /tmp when it is
// unset or empty.
const char* temporary_directory();

class temporary_file {
public:
    temporary_file() = default;
    // Discards the file unless it was published.
    ~temporary_file() { discard(); }
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;

    // Makes an empty file in directory (a descriptor the caller keeps; an
    // O_PATH descriptor will do), open for reading and writing. The kernel
    // gives a file created with creation_mode the mode it gives any new file
    // there (umask, default ACLs); that mode is kept as created_mode(). A
    // file with a name is made private (0600) at once; one without keeps
    // that mode, since nothing can open it. With allow_unnamed false the
    // file has a name from the start. CAB_STATUS_OK, or CAB_ERROR_OPEN_FILE
    // with errno from the call that failed.
    [[nodiscard]] int create(int directory, mode_t creation_mode, bool allow_unnamed = true);
    // As create, but directory is borrowed, not duplicated: it must stay
    // open until the file is published or discarded.
    [[nodiscard]] int create_borrowing(int directory, mode_t creation_mode);
    // As create(directory, 0600), in fewer calls, for a file whose mode is
    // given when it is published: directory is borrowed, not duplicated (it
    // must stay open until the file is published or discarded), and
    // created_mode() is not learnt (0). A file without a name is created
    // with unnamed_mode's permission bits (less the umask) instead: nothing
    // can open it before it is published, and publish then need not change
    // them. Safe on any thread.
    [[nodiscard]] int create_private(int directory, mode_t unnamed_mode = 0600);
    // As create(directory, 0600) in temporary_directory(), for a file that
    // is never published. CAB_STATUS_OK, or CAB_ERROR_TEMP_FILE with errno
    // from the call that failed.
    [[nodiscard]] int create_temporary();

    // Open for reading and writing; -1 when there is no file. The file stays
    // open until it is published or discarded, and its owner must not close
    // this descriptor.
    int descriptor() const { return fd; }
    // The name in the directory; empty for a file without one.
    const char* name() const { return own_name; }
    mode_t created_mode() const { return created; }

    // Gives the file mode and then the name target in the directory,
    // replacing in one step whatever has that name (a symbolic link there is
    // replaced, never followed), and closes it. With replace false nothing is
    // replaced: a target that exists (a dangling link included) fails the
    // call with errno EEXIST, decided by the system in the same step that
    // names the file. CAB_STATUS_OK, or CAB_ERROR_CLOSE_FILE with errno set;
    // after a failure the file is still private, unpublished and open (it
    // may have been given a name of the form .kistle-<random>), and publish
    // may be tried again. has_mode: the caller has seen that the file has
    // mode already, which spares a call.
    [[nodiscard]] int publish(const char* target, mode_t mode, bool replace = true,
                              bool has_mode = false);
    // Removes the file (if it was never published) and closes it.
    void discard();

    // Tests only: false makes every later create give a named file, as on a
    // file system without O_TMPFILE.
    static void allow_unnamed_files(bool allowed);

private:
    // What create and create_borrowing do; false with errno set.
    bool open_in(int parent, mode_t creation_mode, bool allow_unnamed, bool borrow);
    // CAB_STATUS_OK when the file was opened (done); otherwise
    // CAB_ERROR_OPEN_FILE, with nothing left of it and errno kept.
    [[nodiscard]] int opened(bool done);
    // Opens a file without a name in directory, or one with a fresh name
    // where the file system refuses; false with errno set.
    bool open_new(mode_t creation_mode, bool allow_unnamed);

    int directory = -1; // a duplicate of the caller's descriptor, or borrowed
    bool borrowed = false;
    int fd = -1;
    int slot = -1; // where a named file is registered for cleanup
    mode_t created = 0;
    char own_name[24] = {};
};

// A symbolic or hard link that appears complete or not at all: made under a
// fresh name of the form .kistle-<random> in a directory, registered for
// remove_temporary_files until it is published or discarded.
class temporary_link {
public:
    temporary_link() = default;
    // Discards the link unless it was published.
    ~temporary_link() { discard(); }
    temporary_link(const temporary_link&) = delete;
    temporary_link& operator=(const temporary_link&) = delete;

    // Makes a symbolic link holding text (never resolved) in directory (a
    // descriptor the caller keeps). CAB_STATUS_OK, or CAB_ERROR_OPEN_FILE
    // with errno from the call that failed, and no link.
    [[nodiscard]] int create_symlink(int directory, const char* text);
    // Makes a hard link in directory to from_name in the directory from,
    // never following a symbolic link there. Statuses as create_symlink.
    [[nodiscard]] int create_hardlink(int directory, int from, const char* from_name);

    // The link's current name in the directory; empty when there is none.
    const char* name() const { return own_name; }
    // What lstat said of the link when it was made.
    const struct stat& status() const { return made; }

    // Gives the link the name target in the directory: in one step that
    // replaces whatever has that name but a directory, or, with replace
    // false, failing with errno EEXIST when the name exists. A hard link
    // whose target is the same file already leaves that as it is.
    // CAB_STATUS_OK, or CAB_ERROR_CLOSE_FILE with errno set; after a failure
    // the link keeps its temporary name and publish may be tried again.
    [[nodiscard]] int publish(const char* target, bool replace = true);
    // Removes the link (if it was never published).
    void discard();

private:
    // Takes a duplicate of parent, then has make(name) make the link under a
    // fresh name; true once made and registered.
    template <class Make> bool make_link(int parent, Make make);

    int directory = -1; // a duplicate of the caller's descriptor
    int slot = -1;      // where the name is registered for cleanup
    struct stat made = {};
    char own_name[24] = {};
};

} // namespace kistle::internal

#endif
