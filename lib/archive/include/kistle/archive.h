// kistle: reading and writing cabinet archives from C++.
//
// A cabinet is one file holding folders of compressed, check-summed blocks and
// a directory of the files stored in them. This header is the whole interface
// an application needs; it includes nothing of the library's record classes.
//
//     kistle::writer out("backup.cab");
//     out.add_file("notes.txt");
//     out.add_bytes("hello.txt", "Hello!\n", std::time(nullptr));
//     out.commit();                       // backup.cab appears, complete
//
//     kistle::reader in("backup.cab");
//     for (const kistle::entry& e : in.entries())
//         std::cout << e.name << ' ' << e.size << '\n';
//     in.extract_all("restored");         // an existing directory
//
//     std::error_code ec;                 // or without exceptions:
//     in.extract(*in.find("hello.txt"), std::cout, ec);
//     if (ec == kistle::errc::checksum) ...
//
// Errors are reported as std::filesystem reports them. Every operation that
// can fail comes twice: one form throws kistle::error, the other takes a
// std::error_code& and throws nothing (on failure it sets the code; on
// success it clears it). The error_code form can still throw std::bad_alloc
// where the throwing form allocates, as std::filesystem's does.
//
// Thread safety: distinct readers and writers may be used on distinct
// threads at once; one object is used by one thread at a time. Progress
// callbacks run on the thread that called the operation.
#ifndef KISTLE_ARCHIVE_H
#define KISTLE_ARCHIVE_H

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <kistle/export.h>  // KISTLE_EXPORT
#include <kistle/version.h> // KISTLE_VERSION_MAJOR, KISTLE_VERSION_MINOR, KISTLE_VERSION_PATCH

namespace kistle {

// The version of the library that is loaded, "MAJOR.MINOR.PATCH". It can
// differ from the KISTLE_VERSION_* macros a program was compiled with.
KISTLE_EXPORT const char* version() noexcept;

// Where a file system cannot make a file without a name, the cabinet a
// writer commits and each file a reader extracts carry a name of the form
// .kistle-<random> until they are complete. This removes every such file of
// this process that is still unfinished. It makes only async-signal-safe
// calls, so a handler of SIGINT, SIGTERM or SIGHUP may call it before the
// program ends; readers and writers still work afterwards. Files without a
// name need nothing: the system removes them with the process.
KISTLE_EXPORT void remove_temporary_files() noexcept;
// Makes SIGINT, SIGTERM and SIGHUP first call remove_temporary_files and
// then end the program as they would have, replacing the program's handlers
// of them; a signal ignored when it is called (nohup) stays ignored. For a
// program that has no handlers of its own: call it once, early in main.
KISTLE_EXPORT void clean_up_on_interrupt() noexcept;

// ---------------------------------------------------------------------------
// Errors

// The category of the library's statuses: an error_code of this category has
// the library's (negative) status as its value and the status's message as
// its message().
KISTLE_EXPORT const std::error_category& category() noexcept;

// The statuses a caller most often tests for. error_code values compare
// equal to them: `if (ec == kistle::errc::checksum) ...`. Any other value of
// category() is one of the library's statuses as well.
enum class errc : int {
    closed = -1,         // the reader or writer is not open
    out_of_memory = -2,  // an allocation failed
    read = -3,           // a read from a file or the cabinet failed
    write = -4,          // a write failed (a full disk, a closed pipe)
    bad_data = -5,       // the cabinet holds values that cannot be right
    open_stream = -6,    // a file could not be opened
    invalid_folder = -8, // an entry names a folder the cabinet lacks
    seek = -9,           // a position in the cabinet cannot be reached
    checksum = -12,      // a block's checksum does not match: damage
    unsupported_compression = -13,
    decompression = -14,    // a block does not inflate to its stated size
    unexpected_eof = -15,   // the cabinet ends early: it was cut
    not_found = -17,        // not an entry of this reader
    mkdir = -22,            // a directory could not be made
    access_denied = -23,    // a name that would leave the target directory,
                            // or a refused stored name
    temp_file = -26,        // the temporary data file cannot be made
    too_many_folders = -28, // a cabinet holds at most 65533 folders
    too_many_files = -29,   // at most 65535 entries; a file too large
    no_folder = -30,
    open_file = -31,          // a file to add, or the cabinet's place, cannot be opened
    close_file = -32,         // the cabinet cannot be made durable or put in place
    date_time = -38,          // a modification time without a local time
    range_past_end = -40,     // an entry starts at or past its folder's data
    folder_data_ended = -41,  // an entry's range runs past its folder's data
    stopped = -44,            // the progress function asked to stop
    content_mismatch = -60,   // the bytes do not match the checksum the record keeps
    directory_damaged = -61,  // the directory does not match the record's digest
    record_damaged = -62,     // the record cannot be verified: read as a plain cabinet
    record_newer = -63,       // a newer kistle wrote the record: read as a plain cabinet
    entry_mismatch = -64,     // an entry does not match what the record says of it
    not_a_file = -65,         // the entry has no bytes of its own: a directory or link
    not_seekable = -66,       // a pipe or device, which cannot be read in place
    overlap = -67,            // the entry's bytes overlap another entry's
    folders_overlap = -68,    // folders share blocks
    same_path = -69,          // the name lands on an earlier entry's path
    directory_overlaps = -70, // the directory runs into the folders' data
    not_a_cabinet = -71,      // the writer's path holds a file that is not a cabinet
    cabinet_itself = -72,     // an extraction target is the cabinet being read
    volume_too_small = -80,   // the volume size leaves no room for a block and its entries
    volume_missing = -81,     // a cabinet of the set is not where the set says
    foreign_volume = -82,     // a cabinet of another set, or out of its place
    set_continued = -83,      // a later cabinet of a set: the set is read from its first
    set_to_stream = -84,      // what needs a set of cabinets cannot go to a stream
    set_unchangeable = -85,   // a later cabinet of a set, which edit() does not take
};
inline std::error_code make_error_code(errc e) noexcept {
    return {static_cast<int>(e), category()};
}

struct error_detail;

// What every throwing operation throws. code() belongs to category(); what()
// names the path concerned and, where a system call failed, the system's
// reason, e.g. "backup.cab: Unable to open a file stream: No such file or
// directory".
class KISTLE_EXPORT error : public std::system_error {
public:
    // status: a library status (negative); path: the file concerned, or
    // empty; system: the system's error where a system call failed, or empty.
    error(int status, std::filesystem::path path, std::error_code system = {});
    error(std::error_code code, std::filesystem::path path, std::error_code system = {});
    // reason: what was wrong where no system call failed, said in place of
    // the system's reason, e.g. "a/../b: Access was denied: a name with a
    // '..' component cannot be stored".
    error(std::error_code code, std::filesystem::path path, std::string_view reason);
    ~error() override;

    // "path: message: reason", the system's or the one given, leaving out
    // what is empty.
    const char* what() const noexcept override;
    // The file the failure concerns: the cabinet, a file added, an entry's
    // name (for an extraction into a directory, the directory and the name)
    // or a stored name refused. May be empty.
    const std::filesystem::path& path() const noexcept;
    // The system's error (std::system_category()) where a system call
    // failed; empty otherwise.
    std::error_code system_code() const noexcept;

private:
    std::shared_ptr<const error_detail> detail_; // copyable, nothrow
};

// ---------------------------------------------------------------------------
// What a cabinet holds

enum class compression { stored, deflate };

// The library that deflates a cabinet's blocks. Either makes each block
// one complete zlib stream, which every reader of the format reads alike.
// zlib writes the bytes cabinet_tool writes; libdeflate deflates about
// twice as fast, at level 6 with output no more than 0.11 % larger than
// zlib's level 6 (smaller on most data).
enum class deflater { zlib, libdeflate };

// The most one cabinet holds: entries, and bytes in one entry (a file lies in
// one folder, and a folder holds at most 65535 blocks of 32767 bytes). A
// writer that keeps a record (not set_plain) writes a set of cabinets where
// it is given more, and where set_volume_size asks for it.
constexpr std::uint32_t max_entries = 65535;
constexpr std::uint64_t max_entry_size = 65535ull * 32767;

// Attribute bits of an entry, as stored.
namespace attribute {
constexpr std::uint16_t read_only = 0x0001;
constexpr std::uint16_t hidden = 0x0002;
constexpr std::uint16_t system = 0x0004;
constexpr std::uint16_t archive = 0x0020;
constexpr std::uint16_t execute = 0x0040;
constexpr std::uint16_t name_is_utf8 = 0x0080;
} // namespace attribute

// A time in UTC, to the nanosecond: any time the system can represent,
// before 1970 (negative seconds) and after 2107 included.
struct file_time {
    std::int64_t seconds = 0;      // since 1970-01-01 00:00:00 UTC
    std::uint32_t nanoseconds = 0; // 0 to 999999999
};

enum class entry_type { file, directory, symlink, hardlink };

// An owner or a group: its ID, and its name where one is known.
struct owner_id {
    std::uint32_t id = 0;
    std::string name; // empty: none stored
};

// One entry of a cabinet. A cabinet that kistle wrote carries a record
// (doc/format.md) with directories, symbolic links, hard links, full modes,
// owners and exact times; for any other cabinet, or one whose record cannot
// be verified, every entry is a file described by its stored DOS fields
// alone: mode 0644 (0444 when read-only, plus 0111 with the execute bit),
// no owner, and the DOS date and time read as local time.
struct entry {
    std::string name;             // as stored: any bytes, '/' or '\' between directories
                                  // (a directory's without a trailing '/')
    std::uint64_t size = 0;       // in bytes; 0 for a directory or symbolic link
    std::uint16_t folder = 0;     // the folder holding its bytes (files, hard links);
                                  // for a file that continues over cabinets of a
                                  // set, as its first cabinet's entry states it
    std::uint16_t volume = 0;     // the cabinet of a set holding its entry (0: the first)
    std::uint16_t attributes = 0; // the stored bits, see kistle::attribute
    std::time_t modified = 0;     // the record's time (UTC), or the stored DOS date
                                  // and time read as local time (two-second
                                  // resolution); 0 when the system cannot
                                  // represent it
    entry_type type = entry_type::file;
    std::uint32_t mode = 0644;              // permission bits, 07777
    std::optional<owner_id> owner, group;   // where the record keeps them
    std::uint32_t modified_nanoseconds = 0; // with the record's time
    std::string link_target;                // a symbolic link's target; for a hard
                                            // link, the name of the entry it links to
    bool verified = false; // a sound record covers its name, size, time, mode, owner
                           // and contents

    bool read_only() const noexcept { return (attributes & attribute::read_only) != 0; }
    file_time time() const noexcept {
        return {static_cast<std::int64_t>(modified), modified_nanoseconds};
    }
};

// What the reader made of a cabinet's record.
enum class record_status {
    none,     // no record: a plain cabinet
    verified, // entries come from the record
    damaged,  // a record is there but cannot be verified: read as a plain cabinet
    newer,    // a newer kistle wrote it: read as a plain cabinet
};

// The cabinet's header.
struct cabinet_info {
    std::uint64_t size = 0;        // the length the header states
    std::uint64_t actual_size = 0; // the length of the file
    unsigned version_major = 0, version_minor = 0;
    std::uint16_t folders = 0, files = 0;
    std::uint16_t flags = 0;     // bit 0: has a previous cabinet, 1: a next, 2: reserve areas
    std::uint16_t set_id = 0;    // the set this cabinet belongs to
    std::uint16_t set_index = 0; // its position in the set
    std::string previous_cabinet, previous_disk, next_cabinet, next_disk;
    std::uint16_t header_reserve = 0; // reserve sizes, in bytes
    std::uint8_t folder_reserve = 0, block_reserve = 0;
    record_status record = record_status::none;
    unsigned record_version_major = 0, record_version_minor = 0;
    std::optional<std::uint16_t> record_folder; // the folder that holds the record
    bool directory_verified = false;            // the record's digest matches the directory
};

// One cabinet of a set, as the reader found it; a single cabinet is a set
// of one.
struct volume_info {
    std::filesystem::path path;          // where it was found, or looked for
    std::uint16_t set_id = 0, index = 0; // as its header states them
    std::uint64_t size = 0;              // as its header states it
    std::uint16_t folders = 0, files = 0;
    // Why it could not be read (volume_missing, foreign_volume, or a failure
    // to open it), or why the set cannot be read from it (set_continued: it
    // is not the set's first); none when it was read.
    std::error_code status;
};

// One folder.
struct folder_info {
    std::uint16_t type = 0;              // 0 stored, 1 deflate; anything else is unsupported
    std::uint16_t blocks = 0;            // as its entry states
    std::uint64_t compressed_size = 0;   // block headers, reserve areas and payloads
    std::uint64_t uncompressed_size = 0; // what its blocks expand to
    // A folder whose blocks this one's run into or share; its sizes are
    // then counted only as far as that folder's first block.
    std::optional<std::uint16_t> overlaps;
};

// One damaged entry, or damage to the cabinet as a whole (empty name).
struct problem {
    std::string name;
    std::error_code code;   // of category()
    std::string other = {}; // what it conflicts with: another entry's name, or
                            // "folder N", "folders N and M"; empty for none
};

// Bytes done so far: taken from files and memory (writer), extracted
// (reader), counted since the writer or reader was opened. It is called
// while an entry's bytes flow, at least once for every 32767 of them (so
// not for an empty entry), on the thread that called the operation, with a
// count that never decreases. The bytes of an entry that fails part way
// stay counted: the count may include bytes that were then not added or not
// extracted. commit() and test() do not call it.
//
// It may throw. The operation then stops and fails as it would on any other
// failure (the writer adds no entry, though the bytes taken may stay
// unlisted in the folder, and stays open; the reader publishes no file and
// stays open), and the exception reaches the caller of the operation, from
// the forms that take a std::error_code too.
using progress_function = std::function<void(std::uint64_t bytes_done)>;

// Something a writer did with a path, or could not do, that does not fail
// the call that met it: add_tree goes on past it.
struct notice {
    enum class kind {
        special_file,   // a FIFO, device or socket: not stored
        cabinet_itself, // the cabinet being written: not stored
        leading_slash,  // leading separators dropped from the stored name
        not_stored,     // a directory or link, which a plain cabinet cannot hold
        time_clamped,   // a time outside 1980-2107 stored as the nearest DOS time
                        // (the record, where there is one, keeps the true time)
        changed,        // the file changed while it was read; stored as read
        replaced,       // the file was replaced after it was found; not stored
        unreadable,     // the file or directory could not be read; not stored
        bad_name,       // a name extraction would refuse (a ".." between '\'); not stored
        duplicate,      // a name the tree stored already; stored once
        volume,         // commit() began another cabinet of the set: source,
                        // and why (name: "size", "files", "folders" or "a
                        // file larger than a folder")
    };
    kind what;
    entry_type type = entry_type::file; // of what was found (not_stored)
    std::filesystem::path source;       // what was found
    std::string name;                   // the name it would be stored under
    std::error_code code;               // why, where a call failed (unreadable)
};
using notice_function = std::function<void(const notice&)>;

// What a writer that changes a cabinet (writer::edit) did to one of its
// entries: an entry added under a name the cabinet did not hold, one that
// replaced the entries stored under its name, or an entry removed. Told on
// the calling thread as it happens.
enum class change { added, replaced, removed };
using change_function = std::function<void(change what, const std::string& name)>;

// ---------------------------------------------------------------------------
// Reading

struct extract_options;

// What extraction could not restore of what a record keeps, counted in
// entries since the reader was opened. None of it fails an extraction:
// tar restores as much and says what it could not.
struct restore_shortfalls {
    std::uint64_t owners = 0; // owner or group left as the extracting user's
    std::uint64_t modes = 0;  // files whose set-user-ID or set-group-ID bit was left off
    std::uint64_t times = 0;  // times the file system refused or could not hold
};

// An open cabinet. Opening reads the header and the directory; the blocks are
// read, verified and inflated when an entry is extracted. No byte reaches an
// output unless the blocks it comes from passed their checksums; an
// extraction that fails may have written part of the entry to a stream, but
// never publishes a file. Movable, not copyable; a moved-from reader is
// closed.
class KISTLE_EXPORT reader {
public:
    reader() noexcept;
    // Opens cabinet; throws kistle::error as open() does.
    explicit reader(const std::filesystem::path& cabinet);
    reader(reader&&) noexcept;
    reader& operator=(reader&&) noexcept;
    reader(const reader&) = delete;
    reader& operator=(const reader&) = delete;
    ~reader();

    // Opens a cabinet, closing the one open before; the path is opened
    // once. Fails with bad_data when the file does not begin with a
    // cabinet's signature (it is not a cabinet), with not_seekable for a
    // pipe, FIFO, socket or character device (never waited on), and
    // (open_stream, read, unexpected_eof, ...) when the file cannot be read
    // or its directory is cut or unreadable; the reader is then closed.
    // The first cabinet of a set opens the set: the cabinets after it are
    // read from beside it (see volumes()), and their entries follow its
    // own, a file that continues over cabinets as one entry.
    void open(const std::filesystem::path& cabinet);
    void open(const std::filesystem::path& cabinet, std::error_code& ec);
    // Opens the cabinet that in yields, read once from its first byte to
    // its end (a pipe, standard input), closing the one open before. The
    // reader needs its parts in an order no stream can promise, so what
    // in yields is copied to a private temporary file without a name in
    // $TMPDIR (or /tmp) as it arrives, and read from there: memory stays
    // bounded, the disk holds one copy until close(), and everything is
    // read and checked as for a cabinet opened by path, which path() says
    // is "-". Fails with bad_data at once when in does not begin as a
    // cabinet, temp_file (naming the directory) when no temporary file can
    // be made, write when it cannot hold the cabinet, read when in's buffer
    // throws, and as open(path) does; the reader is then closed. in is read
    // to its end through its buffer; its state is left alone.
    void open(std::istream& in);
    void open(std::istream& in, std::error_code& ec);
    void close() noexcept;
    bool is_open() const noexcept;
    const std::filesystem::path& path() const noexcept; // empty when closed

    // Worker threads for reading ahead and inflating, and, as extract_all
    // restores a tree, for making, writing and publishing its files: 0 (the
    // default) means one per core, 1 means none besides the caller's; at
    // most 256 are used. Every file, outcome and message is the same for any
    // count.
    void set_threads(unsigned count) noexcept;
    // Called as extract, extract_all and read write an entry's bytes (see
    // progress_function); none by default.
    void set_progress(progress_function progress);
    // The settings above belong to the reader and stay across open and
    // close.

    // Every entry in the cabinet's order; empty when closed. References stay
    // valid until the reader is closed, reopened or destroyed.
    const std::vector<entry>& entries() const noexcept;
    // The first entry stored under name, byte for byte, or nullptr.
    const entry* find(std::string_view name) const noexcept;
    // The entry extraction writes at name's path, or nullptr: of the
    // entries whose names land on one path ('/' and '\' both separating,
    // empty and "." components dropped, so "./doc//a" lands on "doc/a"),
    // the first is the one extracted, everywhere; test() reports the others.
    const entry* find_path(std::string_view name) const noexcept;

    // What opening found wrong with the cabinet's record or directory that
    // does not stop it from being read: a record that cannot be verified
    // (record_damaged) or that a newer kistle wrote (record_newer), both
    // with the entries then read from the file entries alone; a directory
    // that does not match the record's digest (directory_damaged); and one
    // problem, with its name, for each entry that then does not match the
    // record (entry_mismatch: extracting it fails so); a later cabinet's
    // problems name that cabinet in other. Empty for a sound cabinet, a
    // plain one included, and when closed.
    const std::vector<problem>& damage() const noexcept;

    // The cabinets read: the one opened and, where it begins a set, the
    // others in order. One that could not be read has a status that says
    // why: the entries that need it fail so when their bytes are read, and
    // the cabinets after it are looked for by the naming rule. A later
    // cabinet of a set opened alone gives one, with set_continued: its
    // entries are listed, and the files whose bytes are also in other
    // cabinets fail so. Empty when closed.
    const std::vector<volume_info>& volumes() const noexcept;

    // The header as read (of the cabinet opened). Fails with closed.
    cabinet_info info() const;
    cabinet_info info(std::error_code& ec) const;
    // Each folder's type, block count and sizes (of the cabinet opened,
    // a set's first); reads every block header,
    // verifying nothing. Fails (closed, seek, unexpected_eof) when a
    // folder's blocks cannot be walked.
    std::vector<folder_info> folders() const;
    std::vector<folder_info> folders(std::error_code& ec) const;

    // What to do where an extraction target exists.
    enum class existing { replace, keep };

    // e must be one of entries(); any other entry fails with not_found.
    // Writes the entry below directory (which must exist: open_stream,
    // naming the directory, otherwise; a symbolic link to it is followed)
    // under its stored name: leading separators dropped, '/' and '\' both
    // separating directories, which are made as needed. Never writes outside
    // directory: a name with a ".." component fails with access_denied
    // (what() says why), and no symbolic link is followed, on the way or at
    // the target. Never replaces the cabinet being read: a target that is
    // its file fails with cabinet_itself. The bytes go to a temporary file,
    // private until complete, which then replaces the target at once (a
    // link at the target is replaced, not followed). With a record, a
    // file's bytes must match its checksum (content_mismatch otherwise) and
    // everything the record keeps is restored as tar restores it: as root,
    // owner, group and exact mode; as another user, the mode less the umask,
    // never widened, and the user's own owner; times to the nanosecond. A
    // directory is made (or an existing one reused) and given its metadata;
    // a symbolic link is made as a link; a hard link is linked to its first
    // name when this reader extracted that one, else written as a file of
    // its own. Without a record, the stored date, time and
    // read-only bit are restored. With existing::keep an existing target (a
    // link or a directory included) is left alone, also one that appears
    // while the entry is written, and the result is false. Returns true when
    // the entry was written. On failure nothing is published.
    bool extract(const entry& e, const std::filesystem::path& directory,
                 existing policy = existing::replace);
    bool extract(const entry& e, const std::filesystem::path& directory, existing policy,
                 std::error_code& ec);
    bool extract(const entry& e, const std::filesystem::path& directory, std::error_code& ec);
    // Extracts every entry as above, in the cabinet's order (a name stored
    // twice: the entry find() returns), stopping at the first failure. With
    // worker threads, files after it that were already under way may have
    // been published too.
    // Directories get their modes and times once everything below them is
    // in place, so a read-only directory still receives its files.
    void extract_all(const std::filesystem::path& directory, existing policy = existing::replace);
    void extract_all(const std::filesystem::path& directory, existing policy, std::error_code& ec);
    void extract_all(const std::filesystem::path& directory, std::error_code& ec);
    // As extract_all above, the entries options.select chooses, each
    // outcome told to options.each (which may stop it) instead of ending
    // the run; fails only where the run itself does (the directory cannot
    // be opened, or a directory's metadata cannot be restored at the end).
    void extract_all(const std::filesystem::path& directory, const extract_options& options);
    void extract_all(const std::filesystem::path& directory, const extract_options& options,
                     std::error_code& ec);
    // Extracts e to target, a path of the caller's choosing, in place of
    // its stored name below a directory: target's directory must exist, and
    // nothing else in the path is checked or made. Otherwise as extract():
    // the bytes, mode, time (and as root the owner) are restored, a symbolic
    // link or directory is made as such, a hard link is written as a file of
    // its own; a target that exists is replaced (existing::keep: kept, and
    // the result is false), the cabinet being read never (cabinet_itself);
    // a target without a file name fails with access_denied. Returns true
    // when the entry was written; on failure nothing is published.
    bool extract_to(const entry& e, const std::filesystem::path& target,
                    existing policy = existing::replace);
    bool extract_to(const entry& e, const std::filesystem::path& target, existing policy,
                    std::error_code& ec);
    // What extractions since open could not restore; see restore_shortfalls.
    const restore_shortfalls& unrestored() const noexcept;
    // Writes the entry's bytes to out's buffer, and flushes it. On failure
    // part of them may have been written; out's state and exception mask are
    // left alone (a buffer that fails or throws: write), so the form that
    // takes an error_code throws nothing whatever out is set to throw.
    void extract(const entry& e, std::ostream& out);
    void extract(const entry& e, std::ostream& out, std::error_code& ec);
    // The entry's bytes; nothing is returned unless all of them are sound.
    std::string read(const entry& e);
    std::string read(const entry& e, std::error_code& ec);

    // Verifies every block of every folder and every entry's range, and that
    // the cabinet is as long as its header states, writing nothing. Returns
    // the damage found: one problem per damaged entry (its name and why,
    // which is what extracting it fails with) and one with an empty name for
    // damage to the cabinet itself (shorter than its header states:
    // unexpected_eof, longer: bad_data; a damaged block in a folder that no
    // damaged entry reveals: that block's status). Empty
    // when all is well. Fails (closed) only when the test cannot run.
    std::vector<problem> test();
    std::vector<problem> test(std::error_code& ec);

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// How reader::extract_all goes through a cabinet.
struct extract_options {
    reader::existing policy = reader::existing::replace;
    // Entries whose bytes overlap another entry's (or lie in folders that
    // share blocks) are refused with overlap unless this is set: a cabinet
    // of overlapping entries can make a small file unpack into terabytes.
    bool allow_overlap = false;
    // Leading components removed from every name, as tar's
    // --strip-components does ('/' and '\' both separating, empty and "."
    // components not counted): an entry with no more components than this is
    // passed over, not offered to select; a hard link whose first name is
    // passed over gets its bytes. The names that result are checked and
    // land below the directory like stored ones; of names that then land on
    // one path, the first is extracted.
    unsigned strip_components = 0;
    // Which entries to extract; all when not given.
    std::function<bool(const entry& e)> select;
    // Told of each entry extracted or failed, on the calling thread and in
    // the cabinet's order: written as extract() says, and the failure (null
    // on success), naming the path and the system's reason as the throwing
    // extract() would. False stops the run (with worker threads, files after
    // the entry that were already under way may have been published, and
    // are not told). Without it, the first failure ends the run and is its
    // outcome. select is asked in the cabinet's order too, and may be asked
    // of entries ahead of those each has been told of.
    std::function<bool(const entry& e, const error* failure, bool written)> each;
};

// ---------------------------------------------------------------------------
// Writing

// What an entry added by add_file or add_bytes records: each value not
// given is the file's own (add_file) or, for add_bytes, mode 0644 and
// the writer's user and group.
struct entry_options {
    std::optional<file_time> modified; // required by add_bytes
    std::optional<std::uint32_t> mode; // permission bits, 07777
    std::optional<owner_id> owner, group;
};
// How add_tree stores what it finds.
struct tree_options {
    // Asked of every path before it is stored (the root included): false
    // leaves it out, and a directory with everything below it.
    std::function<bool(std::string_view stored_name, entry_type type,
                       const std::filesystem::path& source)>
        filter;
    std::optional<file_time> mtime;       // every entry's time, instead of its own
    std::optional<file_time> newest;      // later times are stored as this one
    std::optional<owner_id> owner, group; // every entry's, instead of its own
    bool numeric_owner = false;           // store no owner or group names
    // For a writer that changes a cabinet (writer::edit), as zip's -FS:
    // a path whose entry the cabinet holds with the same type, size, mode,
    // modification time (as precisely as it is stored: a plain cabinet's
    // DOS date and time and read-only bit) and link target stays as it is,
    // unread; a file of several hard links is always stored again.
    bool keep_unchanged = false;
    // ... and entries at or below the stored name that the walk neither
    // stored nor kept are removed (gone from the tree, or filtered out);
    // a source that does not exist then removes them all and is no failure.
    bool remove_missing = false;
};

// What writer::survey finds below a path.
struct survey_result {
    std::uint64_t files = 0; // file entries the tree needs
    std::uint64_t bytes = 0;
    std::uint64_t largest = 0;
    std::filesystem::path largest_source;
    // Paths whose names extraction would refuse (kind bad_name): add_tree
    // leaves them out.
    std::vector<notice> refused;
};

// Why extraction refuses a stored name, and so the writer: "a name with a
// '..' component cannot be stored", or "no name to store this file under"
// (empty, or nothing after the last separator); nullptr when it takes it.
// '/' and '\' both separate directories.
KISTLE_EXPORT const char* refusal_of(std::string_view stored_name) noexcept;
// A cabinet under construction. Files are compressed into a private,
// unnamed temporary file as they are added; the cabinet appears at its path,
// complete, only at commit(). A writer destroyed, reopened or discarded
// without commit() leaves no file behind. Movable, not copyable; a
// moved-from writer is closed.
class KISTLE_EXPORT writer {
public:
    writer() noexcept;
    // Starts a cabinet to be written to path; throws as open() does.
    explicit writer(const std::filesystem::path& cabinet);
    writer(writer&&) noexcept;
    writer& operator=(writer&&) noexcept;
    writer(const writer&) = delete;
    writer& operator=(const writer&) = delete;
    ~writer();

    // Starts a new cabinet to be written to path (made absolute now, so a
    // later change of the current directory does not move it), discarding
    // any cabinet under construction. What would keep commit() from putting
    // the cabinet there is found now, before anything is compressed: fails
    // with temp_file, naming $TMPDIR's directory (or /tmp), when no
    // temporary file can be made there; with not_a_cabinet when path holds
    // a file that is neither empty nor a cabinet (see set_replace_any); and
    // with open_file when the cabinet cannot go to path, naming path (a
    // directory, a link that loops) or, where the fault is its directory's,
    // that directory (missing, or refusing a new file: see set_in_place).
    // The writer is then closed, and nothing was changed.
    void open(const std::filesystem::path& cabinet);
    void open(const std::filesystem::path& cabinet, std::error_code& ec);
    // Starts a new cabinet that commit() writes to out, from its first byte
    // to its last, in one pass (a pipe will do), instead of to a path. Its
    // parts are gathered in a private temporary file until then. Fails with
    // temp_file, as open() does; the writer is then closed. out must outlive
    // the writer's commit() or discard(); it is borrowed, not owned, and its
    // state is left alone but for what writing sets.
    void open(std::ostream& out);
    void open(std::ostream& out, std::error_code& ec);
    // Starts from the cabinet at path, to change it: commit() writes the
    // result back to path, as open(path) would, replacing the old cabinet
    // only once the new one is complete. Every entry of the old cabinet is
    // kept unless an entry added under its stored name replaces it, or
    // remove() (or tree_options::remove_missing) removes it. Folders whose
    // entries all stay are copied block for block, never compressed again,
    // each block's checksum verified as it is copied; a folder that loses
    // an entry is rebuilt from the entries it keeps, each checked against
    // the record's checksum; kept entries keep all they stored (modes,
    // owners, times, links, checksums), and a hard link whose first name
    // goes becomes the file. New entries take new folders, as set_folder_size
    // says. The cabinet keeps its kind: a plain one stays plain whatever
    // set_plain says. Fails as open(path) does, and, naming path, as a
    // reader would refuse the old cabinet (bad_data, not_seekable, ...) or
    // where it could not be carried over whole: record_damaged,
    // record_newer, directory_damaged, entry_mismatch, overlap,
    // folders_overlap, invalid_folder; and set_unchangeable for a later
    // cabinet of a set. The writer is then closed and nothing was changed.
    // A change that takes the cabinet past one cabinet's limits, or past
    // the volume size, makes it a set, its folders still copied block for
    // block. A set, opened from its first cabinet, is changed as one
    // archive: what stays is read from it (verified) and stored again, and
    // commit() removes the cabinets the new set no longer needs.
    void edit(const std::filesystem::path& cabinet);
    void edit(const std::filesystem::path& cabinet, std::error_code& ec);
    // Removes the entries of the cabinet being changed that select chooses
    // (asked of each kept entry once, in the cabinet's order), telling each
    // to the change function; returns how many. Entries added since edit()
    // are not offered. 0 for a writer that changes no cabinet; fails with
    // closed.
    std::size_t remove(const std::function<bool(const entry& e)>& select);
    std::size_t remove(const std::function<bool(const entry& e)>& select, std::error_code& ec);
    // Called with what a writer that changes a cabinet adds, replaces and
    // removes (any other writer tells each entry it adds); none by default.
    void set_changes(change_function changes);
    // Drops the cabinet under construction; nothing is written.
    void discard() noexcept;
    bool is_open() const noexcept;
    const std::filesystem::path& path() const noexcept; // empty when closed

    // Settings for the folders started from now on.
    // level: the deflate level, 1 (fastest) to 9 (smallest), 0 (deflate's
    // stored blocks), or -1, the default, which is level 6 (with zlib, the
    // bytes cabinet_tool writes). Throws std::invalid_argument for any
    // other value.
    void set_level(int level);
    // Which library deflates: libdeflate by default. A plain cabinet
    // (set_plain) is deflated by zlib whatever this says, as cabinet_tool
    // deflates it.
    void set_deflater(deflater library) noexcept;
    // folder_size: the most input a folder takes. A file that would take the
    // current folder past it starts a new folder of the same compression
    // first (a larger file gets a folder of its own); 0 (the default) fills
    // each folder to its block limit, 65535 blocks of 32767 bytes (about
    // 2 GiB), where the same happens by itself.
    void set_folder_size(std::uint64_t bytes) noexcept;
    // volume_size: the most bytes a cabinet takes; 0 (the default): no limit
    // but the format's. What does not fit in one cabinet is written as a
    // set: path, then path with 2, 3, ... before its extension
    // (backup.cab, backup.2.cab), each a cabinet of its own, put in place
    // together by commit(), where a file that does not fit continues in
    // the next. A set needs a record: a plain cabinet (set_plain) is one
    // cabinet, whatever this says. commit() fails with volume_too_small
    // where one block and its entries take more than volume_size (a few
    // hundred KiB is the least that is sensible), and with set_to_stream
    // where the writer writes to a stream, which holds one cabinet.
    void set_volume_size(std::uint64_t bytes) noexcept;
    // Compression threads: 0 (the default) means one per core; at most 256
    // are used. The cabinet's bytes do not depend on it.
    void set_threads(unsigned count) noexcept;
    // Called as add_file and add_bytes take an entry's bytes (see
    // progress_function); none by default.
    void set_progress(progress_function progress);
    // The settings above belong to the writer and stay across open,
    // discard and commit.

    // Ends the current folder and starts a new one. The first add starts a
    // deflate folder when none was started. Fails with closed or
    // too_many_folders; the current folder has ended even then.
    void new_folder(compression type = compression::deflate);
    void new_folder(compression type, std::error_code& ec);

    // Adds the file at source under stored_name (empty: the source path as
    // given). Its date, time and read-only bit come from the file. A stored
    // name that extraction would refuse (empty, a ".." component, no file
    // name after the last separator) fails with access_denied; a source that
    // cannot be opened fails with open_file (a directory too); a file
    // larger than a folder can hold goes on in further folders, and more
    // than max_entries entries or 65533 folders make a set of cabinets (for
    // a plain cabinet: too_many_files and too_many_folders).
    // A failed add adds no entry, and the entries added before and after it
    // are unaffected (a source that fails while it is read may leave unlisted
    // bytes in its folder).
    void add_file(const std::filesystem::path& source, std::string_view stored_name = {});
    void add_file(const std::filesystem::path& source, std::string_view stored_name,
                  std::error_code& ec);
    // Adds data under stored_name with the given modification time and
    // read-only bit (mode 0444, else 0644). The stored name is judged as
    // add_file's; one holding a NUL byte is refused too (access_denied).
    void add_bytes(std::string_view stored_name, std::string_view data, std::time_t modified,
                   bool read_only = false);
    void add_bytes(std::string_view stored_name, std::string_view data, std::time_t modified,
                   bool read_only, std::error_code& ec);

    void add_file(const std::filesystem::path& source, std::string_view stored_name,
                  const entry_options& options);
    void add_file(const std::filesystem::path& source, std::string_view stored_name,
                  const entry_options& options, std::error_code& ec);
    // Fails with date_time when options.modified is not given.
    void add_bytes(std::string_view stored_name, std::string_view data,
                   const entry_options& options);
    void add_bytes(std::string_view stored_name, std::string_view data,
                   const entry_options& options, std::error_code& ec);

    // Adds what in yields, to its end, under stored_name, a piece at a time:
    // in is never held whole. options as for add_bytes (modified is
    // required: date_time). size, where known, is the number of bytes in
    // will yield, so that a stream that would take the current folder past
    // its limit starts a new folder first; without it the stream goes into
    // the current folder, and one that outgrows it goes on in new folders
    // (in a plain cabinet, fails with too_many_files). A read that fails (in's buffer throws) fails
    // with read. Reads in's buffer directly: in's state is left alone. After a failure no entry is
    // added, though bytes read may stay unlisted in the folder, as for add_file.
    void add_stream(std::string_view stored_name, std::istream& in, const entry_options& options,
                    std::optional<std::uint64_t> size = std::nullopt);
    void add_stream(std::string_view stored_name, std::istream& in, const entry_options& options,
                    std::optional<std::uint64_t> size, std::error_code& ec);

    // Adds source and, for a directory, everything below it in sorted order
    // (so the same tree gives the same cabinet), stored under stored_name
    // (empty: source as given) and stored_name/... below it, with '/'
    // between components; leading separators and "." components are
    // dropped. Directories, symbolic links (never followed) and hard links
    // (one inode met twice: the second entry shares the first one's bytes)
    // become entries of their own, with mode, owner, group and time; a
    // plain cabinet (set_plain) holds regular files only. A name with a
    // ".." component fails with access_denied before anything is added.
    // What cannot be stored (special files, unreadable files, files replaced
    // meanwhile, the cabinet itself) is left out and told to the notice
    // function, as is a file that changed while it was read (stored as read);
    // the call goes on past them. Fails (open_file, read, ...) when source
    // itself cannot be read, and as add_file for a file that fails while it
    // is added (its entry is not made).
    void add_tree(const std::filesystem::path& source, std::string_view stored_name = {},
                  const tree_options& options = {});
    void add_tree(const std::filesystem::path& source, std::string_view stored_name,
                  const tree_options& options, std::error_code& ec);

    // What add_tree would store of source, found by the same walk without
    // reading a byte: how many regular files (and hard links) and how many
    // bytes they hold, and the largest file. Nothing is told to the notice
    // function. Fails as add_tree when source cannot be found.
    survey_result survey(const std::filesystem::path& source, std::string_view stored_name = {},
                         const tree_options& options = {});
    survey_result survey(const std::filesystem::path& source, std::string_view stored_name,
                         const tree_options& options, std::error_code& ec);

    // Writes a plain cabinet: no record, the file entries alone, dates in
    // local time and the read-only bit, as cabinet_tool writes (a time
    // outside 1980-2107 is clamped, with a notice). By default a record
    // keeps what the file entries cannot (doc/format.md). Applies to the
    // cabinet opened next.
    void set_plain(bool plain) noexcept;
    // Writes the DOS dates and times of the file entries in UTC instead of
    // local time, so that the cabinet does not depend on the time zone. The
    // record's times are UTC in any case.
    void set_utc(bool utc) noexcept;
    // Called with what add_file and add_tree leave out or change; none by
    // default.
    void set_notices(notice_function notices);

    // Where the cabinet's directory refuses a new file (or, sticky, the
    // rename over the file) while the file at path is writable, true lets
    // commit() write the cabinet over that file in place. A failure part
    // way (a full disk) then leaves the file cut or mixed, no cabinet; by
    // default (false) open() and commit() fail instead (open_file, naming
    // the directory) and the file stays as it was.
    void set_in_place(bool in_place) noexcept;
    // By default a regular file at path that is not empty and does not
    // begin with a cabinet's signature is never replaced: open() and
    // commit() fail with not_a_cabinet. true replaces any file.
    void set_replace_any(bool replace_any) noexcept;
    // open() checks the path with these two settings, and commit() applies
    // them again.

    std::size_t size() const noexcept; // entries added so far

    // A writer opened on a stream writes the cabinet to it, and fails with
    // write (or read, seek, out_of_memory of its temporary file) otherwise;
    // a writer that changes a cabinet first carries over what stays, and a
    // failure doing so (the old cabinet's damage found then: checksum,
    // content_mismatch, naming the entry) discards the writer.
    // Writes the cabinet to its path: it replaces whatever was there only
    // once it is complete, keeps the permission bits of a file it replaces,
    // and replaces the file a symbolic link at the path points to. The
    // writer is closed afterwards. On failure (closed, not_a_cabinet,
    // open_file, write, close_file; as open() says, for a path that changed
    // since) nothing at the path has changed (except a device, or a file
    // written in place as set_in_place allows) and the writer keeps the
    // cabinet, so commit() can be called again, or the writer reopened or
    // discarded.
    void commit();
    void commit(std::error_code& ec);

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace kistle

namespace std {
template <> struct is_error_code_enum<kistle::errc> : true_type {};
} // namespace std

#endif
