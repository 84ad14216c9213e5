// Restores the entries of a Unix tree below a base directory (internal), as
// tar does: regular files, directories, symbolic and hard links, with their
// owners, modes and modification times (entry_metadata.h).
//
// Every stored name is checked (stored_name.h) and walked below the base
// without following any symbolic link, those made by earlier entries
// included, so nothing is made or changed outside the base.
//
// Owners and modes follow settings::same_owner. With it (the default for
// root), the owner and group are given first, by name where the name is
// known on this system, else by number, and then the exact mode. Without it,
// nothing changes hands and each mode loses the bits of the umask, so no
// entry is ever more open than stored; the umask is read, never set. Either
// way a file keeps its set-user-ID bit only when it belongs to the stored
// owner, and its set-group-ID bit only when it belongs to the stored group:
// a program is never made to run as someone the tree did not name.
//
// What the system cannot keep is counted in unrestored(), not failed: an
// owner or group that could not be given (or was not, without same_owner),
// a set-ID bit left off, a time the file system refuses (before 1970, past
// its range, nanoseconds out of range). The caller reports these once.
//
// One thread at a time, but for settle_file; the restorer holds the base
// directory open.
#ifndef KISTLE_TREE_RESTORER_H
#define KISTLE_TREE_RESTORER_H

#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <kistle/dynamic_array.h>

#include "entry_metadata.h"
#include "extraction_target.h"
#include "file_identities.h"
#include "owner_ids.h"
#include "temporary_file.h"

namespace kistle::internal {

class tree_restorer {
public:
    struct settings {
        // Owners, groups and exact modes as stored (as root); otherwise the
        // extracting user's own, with modes less the umask.
        bool same_owner = geteuid() == 0;
        // For a name that exists: replace it in one step, or keep it.
        extraction_target::existing policy = extraction_target::existing::replace;
    };
    // What could not be restored, in entries.
    struct shortfalls {
        uint64_t owners = 0; // owner or group other than stored
        uint64_t modes = 0;  // files whose set-ID bits were left off
        uint64_t times = 0;  // times the file system refused
    };

    tree_restorer();
    explicit tree_restorer(settings chosen);
    ~tree_restorer();
    tree_restorer(const tree_restorer&) = delete;
    tree_restorer& operator=(const tree_restorer&) = delete;

    // Opens the base directory (a path; a symbolic link to it is followed),
    // which must exist, and learns the umask. CAB_ERROR_OPEN_STREAM (or
    // CAB_ERROR_ACCESS_DENIED) with errno set; the restorer may be opened
    // again. Every other call needs an open restorer (CAB_ERROR_CLOSED_OBJECT).
    [[nodiscard]] int open(const char* base_directory);

    // A regular file, in two steps. create_file starts target on the stored
    // name below the base with the restorer's policy, and gives the
    // descriptor to write the bytes to (extraction_target::create_at, whose
    // statuses it returns; target.kept() tells of an existing name kept).
    // Once the bytes are written (and the caller's descriptor is closed, if
    // it likes), commit_file gives the private file the owner and time of
    // entry, then its mode as it puts it in place (extraction_target::commit).
    // CAB_ERROR_RESTORE_ATTRIBUTES or CAB_ERROR_RESTORE_DATETIME when a
    // change the system should allow fails, CAB_ERROR_OPEN_STREAM or
    // CAB_ERROR_ACCESS_DENIED when the file cannot be put in place,
    // CAB_ERROR_OUT_OF_MEMORY; errno set. After a failure the file is not in
    // place, and the target discards it. Nothing is done for a kept target.
    [[nodiscard]] int create_file(const char* stored_name, extraction_target& target, int& file);
    [[nodiscard]] int commit_file(extraction_target& target, const entry_metadata& entry);

    // commit_file in three steps, for files written and published on other
    // threads: plan_file decides, in entry order, what the file gets;
    // settle_file gives an open private file its owner and time on any
    // thread (a directory too, with regular false), and says the mode to
    // publish it with; adopt_file, back in
    // order, counts what fell short and, once the file is published, knows
    // it for make_hardlink. Statuses as commit_file's.
    struct file_plan {
        bool change_owner = false; // give uid and gid
        bool has_owner = false;
        uid_t uid = 0;
        gid_t gid = 0;
        mode_t mode = 0;        // less the umask where it applies, set-ID bits still in
        bool time_kept = false; // the time is one a timespec holds
        timespec time = {};
    };
    struct file_settled {
        mode_t mode = 0;
        bool has_mode = false; // the file has that mode already
        dev_t device = 0;
        ino_t inode = 0;
        shortfalls missed;
    };
    [[nodiscard]] int plan_file(const entry_metadata& entry, file_plan& plan);
    [[nodiscard]] static int settle_file(int file, const file_plan& plan, file_settled& settled,
                                         bool regular = true);
    [[nodiscard]] int adopt_file(const file_settled& settled, bool published);

    // The base directory's descriptor (-1 when closed) and the policy, for
    // those that make files below it.
    int base_directory() const { return base; }
    extraction_target::existing policy() const { return chosen.policy; }

    // A directory (its name may end in a separator): made, private to its
    // owner, when missing (missing directories on the way get the mode of a
    // new directory); an existing one is reused under either policy and
    // takes the entry's metadata, as tar does by default. Its owner, mode
    // and time wait for finish, so that it takes its contents even when
    // stored without write permission, and its time is not moved by them.
    // The last entry for a directory counts.
    // CAB_ERROR_ACCESS_DENIED for a refused name, a symbolic link at or on
    // the way to it, or a directory that refuses it; CAB_ERROR_MKDIR when it
    // cannot be made (a file in the way: errno EEXIST or ENOTDIR);
    // CAB_ERROR_OUT_OF_MEMORY; errno set.
    [[nodiscard]] int make_directory(const char* stored_name, const entry_metadata& entry);
    // The same for path, set as a directory's, in parent, its directory
    // opened below the base already. The new directory's descriptor goes to
    // *opened (-1 after a failure) when asked for, with what fstat says of
    // it in *found; the caller closes it.
    [[nodiscard]] int make_directory_in(int parent, const stored_path& path,
                                        const entry_metadata& entry, int* opened = nullptr,
                                        struct stat* found = nullptr);

    // A symbolic link holding entry.link_target, which is never resolved:
    // made under a temporary name, given the owner (with same_owner) and time
    // of entry, then put in place in one step that replaces an existing
    // entry other than a directory, or, with existing::keep, kept beside an
    // existing name (*kept set, when given). Statuses as make_directory, and
    // CAB_ERROR_OPEN_STREAM when the link cannot be made or put in place;
    // after a failure nothing is left at the name that was not there.
    [[nodiscard]] int make_symlink(const char* stored_name, const entry_metadata& entry,
                                   bool* kept = nullptr);

    // A hard link at stored_name to the regular file at first_link, which
    // must be one this restorer put in place (commit_file or make_hardlink).
    // Both names are walked below the base; existing names as for
    // make_symlink. CAB_ERROR_FILE_NOT_FOUND when first_link is refused,
    // missing, reached through a symbolic link, not a regular file, not one
    // this restorer made, or cannot be linked to (another file system, too
    // many links): the caller writes the entry's bytes as a file instead.
    // Otherwise statuses as make_symlink.
    [[nodiscard]] int make_hardlink(const char* stored_name, const char* first_link,
                                    bool* kept = nullptr);

    // Gives the directories their owners, modes and times, the deepest
    // first, so that no directory closes before the ones inside it are done.
    // A directory that is gone or was replaced is passed over. Every
    // directory is tried; the first failure is returned (statuses as
    // commit_file, CAB_ERROR_ACCESS_DENIED for a walk that meets a symbolic
    // link), with errno set. The directories are forgotten either way.
    [[nodiscard]] int finish();

    const shortfalls& unrestored() const { return missed; }

private:
    // A directory whose metadata waits for finish.
    struct deferred_directory;
    // Where a change goes: a descriptor, or a name in a directory (a link,
    // which is never followed).
    struct place {
        int directory;
        const char* name; // null: the descriptor itself
        // What lstat says of it: 0, or -1 with errno set.
        int status(struct stat& found) const;
    };

    // Owner and the mode to give (mode is not given here), counting
    // shortfalls. regular: a file, whose set-ID bits need its owners.
    [[nodiscard]] int settle(place where, const entry_metadata& entry, bool regular, mode_t& mode);
    // The modification time, counting a refused one.
    [[nodiscard]] int set_time(place where, const entry_metadata& entry);
    // Checks stored_name and opens the directory it goes in (made as
    // needed); with existing::keep and an entry at the name, name.kept (and
    // *kept, when given) is set.
    struct new_name;
    [[nodiscard]] int open_new_name(const char* stored_name, new_name& name, bool* kept);
    // Publishes link as name with the policy; *kept when a name is kept.
    [[nodiscard]] int put_in_place(temporary_link& link, const char* name, bool* kept);
    // The deferred metadata of one directory.
    [[nodiscard]] int finish_directory(const deferred_directory& directory);

    settings chosen;
    int base = -1;
    mode_t mask = 022; // the umask, without same_owner
    owner_ids ids;
    file_identities made_files;
    dynamic_array<deferred_directory> directories;
    shortfalls missed;
};

} // namespace kistle::internal

#endif
