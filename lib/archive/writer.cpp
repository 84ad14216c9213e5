#include <kistle/archive.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <grp.h>
#include <istream>
#include <map>
#include <new>
#include <pwd.h>
#include <set>
#include <stdexcept>
#include <streambuf>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_status.h>

#include "block_encoder.h"
#include "block_pipeline.h"
#include "cabinet_edit.h"
#include "cabinet_extras.h"
#include "cabinet_layout.h"
#include "cabinet_signature.h"
#include "cabinet_target.h"
#include "entry_facts.h"
#include "fd_input_buffer.h"
#include "fd_output_buffer.h"
#include "little_endian.h"
#include "memory_input.h"
#include "memory_output.h"
#include "outcome.h"
#include "progress_relay.h"
#include "record.h"
#include "set_plan.h"
#include "stored_name.h"
#include "temporary_file.h"
#include "tree_walk.h"
#include "volume_names.h"
#include "volume_writer.h"

using namespace kistle::internal;

namespace kistle {

namespace {

// What a failed read of a file throws through the stream reading it, which
// turns it into a failed stream (the creator's CAB_ERROR_READ).
struct read_failure {};

// An input that hands on what pass() yields, through a small buffer for
// single characters and straight into large reads.
class passing_input : public std::streambuf {
protected:
    // Up to wanted bytes into destination; 0 or less at the end.
    virtual std::streamsize pass(char* destination, std::streamsize wanted) = 0;

    int_type underflow() override {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        std::streamsize got = pass(small, sizeof small);
        if (got <= 0)
            return traits_type::eof();
        setg(small, small, small + got);
        return traits_type::to_int_type(*gptr());
    }
    std::streamsize xsgetn(char* destination, std::streamsize wanted) override {
        std::streamsize buffered = std::min<std::streamsize>(wanted, egptr() - gptr());
        if (buffered > 0) {
            std::copy(gptr(), gptr() + buffered, destination);
            gbump(static_cast<int>(buffered));
        }
        return buffered + pass(destination + buffered, wanted - buffered);
    }

private:
    char small[4096];
};

// Reads through source, hashing and counting what passes. A read that
// fails (a descriptor's error) fails the stream reading this.
class hashing_input : public passing_input {
public:
    hashing_input(std::streambuf& source, const fd_input_buffer* descriptor)
        : source(source), descriptor(descriptor) {}

    uint64_t hash() const { return sum.value(); }
    uint64_t taken() const { return count; }

private:
    std::streamsize pass(char* destination, std::streamsize wanted) override {
        if (wanted <= 0)
            return 0;
        std::streamsize got = source.sgetn(destination, wanted);
        if (got < wanted && descriptor != nullptr && descriptor->error() != 0) {
            errno = descriptor->error();
            throw read_failure();
        }
        if (got > 0) {
            sum.add(destination, static_cast<std::size_t>(got));
            count += static_cast<uint64_t>(got);
        }
        return got;
    }

    std::streambuf& source;
    const fd_input_buffer* descriptor;
    running_hash sum;
    uint64_t count = 0;
};

// Passes at most limit bytes of source on; a file's piece for one folder.
class limited_input : public passing_input {
public:
    limited_input(std::streambuf& source, uint64_t limit) : source(source), left(limit) {}

    // Whether it passed on all it may.
    bool exhausted() const { return left == 0 && gptr() == egptr(); }

private:
    std::streamsize pass(char* destination, std::streamsize wanted) override {
        const uint64_t allowed = std::min<uint64_t>(left, static_cast<uint64_t>(wanted));
        if (allowed == 0)
            return 0;
        std::streamsize got = source.sgetn(destination, static_cast<std::streamsize>(allowed));
        if (got > 0)
            left -= static_cast<uint64_t>(got);
        return got;
    }

    std::streambuf& source;
    uint64_t left;
};

// No entry is larger than a folder: 65535 blocks of 32767 bytes.
static_assert(max_entry_size ==
                  static_cast<uint64_t>(cfc_folderinfo::max_blocks) * cfc_folderinfo::block_size,
              "the header's limit is the folder's");

// A stored name that extraction would refuse is refused now, and so is one
// that a cabinet cannot hold (a NUL ends it there).
outcome check_name(const std::string& name) {
    errno = 0;
    const char* why =
        name.find('\0') != std::string::npos ? "a name cannot hold a NUL byte" : refusal_of(name);
    if (why == nullptr)
        return {};
    outcome refused = outcome_of(CAB_ERROR_ACCESS_DENIED, name);
    refused.reason = why;
    return refused;
}

file_time time_of(const struct timespec& when) {
    return {static_cast<int64_t>(when.tv_sec), static_cast<uint32_t>(when.tv_nsec)};
}

bool later(const file_time& a, const file_time& b) {
    return a.seconds != b.seconds ? a.seconds > b.seconds : a.nanoseconds > b.nanoseconds;
}

// The names of user and group IDs, looked up once each.
class name_cache {
public:
    const std::string& user(uint32_t id) { return find(users, id, true); }
    const std::string& group(uint32_t id) { return find(groups, id, false); }

private:
    static const std::string& find(std::map<uint32_t, std::string>& known, uint32_t id, bool user) {
        auto found = known.find(id);
        if (found != known.end())
            return found->second;
        std::string name;
        std::vector<char> buffer(16384);
        if (user) {
            struct passwd entry, *result = nullptr;
            if (getpwuid_r(id, &entry, buffer.data(), buffer.size(), &result) == 0 && result)
                name = result->pw_name;
        } else {
            struct group entry, *result = nullptr;
            if (getgrgid_r(id, &entry, buffer.data(), buffer.size(), &result) == 0 && result)
                name = result->gr_name;
        }
        return known.emplace(id, std::move(name)).first->second;
    }

    std::map<uint32_t, std::string> users, groups;
};

// What the record needs of a file entry. A type of the file, not of the
// writer's, whose containers' code would be exported.
struct stored_file {
    // Where its bytes are: one piece, or one for each folder it fills (a
    // file no folder holds is for a set of cabinets).
    std::vector<file_piece> pieces;
    uint64_t size = 0;
    uint16_t date = 0, time = 0, attribs = 0;
    std::string name;
};

// Logs the block sizes of the creator's newest folder in a new log, and
// gives it. A type of the file: a lambda of the writer's would be exported.
struct size_logger {
    cabinet_creator& core;
    std::deque<block_size_log>& logs;

    block_size_log* operator()() const {
        logs.emplace_back();
        core.folders.tail->pipeline->blocks.keep_sizes(&logs.back());
        return &logs.back();
    }
};

} // namespace

const char* refusal_of(std::string_view stored_name) noexcept {
    switch (fault_of(stored_name)) {
    case name_fault::climbs:
        return "a name with a '..' component cannot be stored";
    case name_fault::no_name:
        return "no name to store this file under";
    case name_fault::none:
        break;
    }
    return nullptr;
}

struct writer::impl {
    cabinet_creator core;
    bool open = false;

    // Blocks stay in flight from one file to the next, so that a tree of
    // small files keeps every core busy; the writer reads no folder's block
    // count before the folder is frozen.
    impl() { core.set_pipelined(true); }
    std::filesystem::path path;   // as given
    std::filesystem::path target; // absolute
    compression current = compression::deflate;
    int level = -1;
    deflater library = deflater::libdeflate;
    uint64_t folder_size = 0;
    progress_function progress;
    uint64_t done = 0;
    bool plain = false;        // the cabinet under construction's kind
    bool chosen_plain = false; // as set_plain was last given
    bool utc = false;
    bool in_place = false;
    bool replace_any = false;
    notice_function notices;
    change_function changes;
    // The cabinet being changed, when the writer started from one; a
    // stream written at commit instead of the path, when one was given.
    std::unique_ptr<cabinet_edit> edit;
    bool carried_in_data = false; // the copied folders' blocks are in the data file
    bool carrying = false;        // storing again what a set being changed keeps
    std::ostream* stream = nullptr;
    // Record entries that replaced an entry of the cabinet being changed,
    // and its index there: they take its place.
    std::map<uint32_t, std::size_t> replacing;

    // A volume size: a cabinet that would be larger is a set of them.
    uint64_t volume_size = 0;

    // The record under construction.
    record_table record;
    std::vector<stored_file> files; // by file entry number
    // Each folder's block sizes, for laying out a set.
    std::deque<block_size_log> block_logs;
    // Inodes stored, for hard links: the record entry of their first name.
    std::map<std::pair<dev_t, ino_t>, uint32_t> inodes;
    name_cache names;
    std::set<std::string> tree_names; // stored by add_tree
    // The cabinet's own file, when it exists, so that a tree never stores it.
    bool target_exists = false;
    dev_t target_device = 0;
    ino_t target_inode = 0;

    void discard() noexcept {
        core.reset();
        open = false;
        path.clear();
        target.clear();
        done = 0;
        record = {};
        files.clear();
        block_logs.clear();
        inodes.clear();
        tree_names.clear();
        target_exists = false;
        if (edit)
            edit->close();
        carried_in_data = false;
        stream = nullptr;
        replacing.clear();
    }

    outcome open_cabinet(const std::filesystem::path& cabinet) {
        discard();
        std::error_code ignored;
        std::filesystem::path absolute = std::filesystem::absolute(cabinet, ignored);
        errno = 0;
        if (int status = core.open()) {
            outcome failure = outcome_of(status, temporary_directory());
            discard();
            return failure;
        }
        path = cabinet;
        target = absolute.empty() ? cabinet : absolute;
        plain = chosen_plain;
        // A set of cabinets holds any number of entries and folders.
        if (!plain)
            core.set_entry_limits(UINT32_MAX, UINT32_MAX);
        // What would keep the cabinet from its place is said now, before
        // anything is compressed in vain.
        outcome refused = check_replaced();
        if (!refused.failed()) {
            cabinet_target place;
            refused = open_place(place, true);
        }
        if (refused.failed()) {
            discard();
            return refused;
        }
        open = true;
        struct stat status;
        if (::stat(target.c_str(), &status) == 0) {
            target_exists = true;
            target_device = status.st_dev;
            target_inode = status.st_ino;
        }
        return {};
    }

    // A regular file at the path is replaced only when it is empty or a
    // cabinet, unless any may be.
    outcome check_replaced() const { return check_replaced(target, path); }

    // Whether the file at where (shown as named) may be replaced.
    outcome check_replaced(const std::filesystem::path& where,
                           const std::filesystem::path& named) const {
        struct stat status;
        if (replace_any || ::stat(where.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
            status.st_size == 0)
            return {};
        errno = 0;
        switch (signature_of(where)) {
        case signature::cabinet:
            return {};
        case signature::other:
            return outcome_of(CAB_ERROR_NOT_A_CABINET, named);
        case signature::unknown:
            break;
        }
        return outcome_of(CAB_ERROR_OPEN_FILE, named);
    }

    // Opens (or only checks) where the cabinet goes. A failure names the
    // directory where it is the directory's: the one given, where no link
    // led elsewhere.
    outcome open_place(cabinet_target& place, bool checking) const {
        place.allow_in_place(in_place);
        errno = 0;
        int status = checking ? place.check(target.c_str()) : place.open(target.c_str());
        if (status == CAB_STATUS_OK)
            return {};
        const char* refusing = place.refusing_directory();
        if (refusing == nullptr)
            return outcome_of(status, path);
        std::filesystem::path directory(refusing);
        if (directory == target.parent_path())
            directory = path.has_parent_path() ? path.parent_path() : ".";
        return outcome_of(status, directory);
    }

    void tell(notice::kind what, const std::filesystem::path& source, const std::string& name) {
        if (notices)
            notices({what, entry_type::file, source, name, {}});
    }

    void notices_of_not_stored(const record_entry& entry, const std::filesystem::path& source) {
        if (notices)
            notices(
                {notice::kind::not_stored,
                 entry.type == record_type::directory ? entry_type::directory : entry_type::symlink,
                 source,
                 entry.name,
                 {}});
    }

    // How a folder of type is encoded: a plain cabinet is cabinet_tool's.
    block_encoding encoding(uint16_t type) const {
        block_encoding how;
        how.type = type;
        how.library = !plain && library == deflater::libdeflate ? internal::deflater::libdeflate
                                                                : internal::deflater::zlib;
        how.level = level;
        return how;
    }

    outcome start_folder(compression type) {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        // A plain cabinet is one cabinet; a set holds any number of folders.
        if (plain && core.folders.count >= cabinet_creator::max_folders)
            return outcome_of(CAB_ERROR_TOO_MANY_FOLDERS, path);
        errno = 0;
        int status = core.new_folder(encoding(
            type == compression::deflate ? COMPRESSION_TYPE_DEFLATE : COMPRESSION_TYPE_STORED));
        if (status != CAB_STATUS_OK)
            return outcome_of(status, path);
        size_logger{core, block_logs}();
        current = type;
        return {};
    }

    // The folders a change may make: one cabinet's, unless a set may hold
    // them.
    uint32_t folder_limit() const { return plain ? cabinet_creator::max_folders : UINT32_MAX; }

    // The newest folder's number, counting every folder of the data file.
    uint32_t newest_folder() const { return static_cast<uint32_t>(core.folders.count - 1); }

    // The bytes the newest folder may still take. The folder size chosen is
    // where a new file starts a new folder; a file already begun fills a
    // folder to what the format allows, so that it stays in one cabinet.
    uint64_t folder_room() const {
        return max_entry_size - std::min(max_entry_size, core.folders.tail->uncompressed_size);
    }

    // Makes sure the newest folder can take size more bytes: the first entry
    // starts a deflate folder, and one that would take its folder past the
    // limit starts another of the same compression.
    outcome make_room(uint64_t size, const std::filesystem::path& concerned) {
        // Past what a folder holds, a file goes on in the folders after its
        // first, and the cabinet is a set; a plain cabinet has no sets.
        if (size > max_entry_size && plain)
            return outcome_of(CAB_ERROR_TOO_MANY_FILES, concerned);
        if (core.folders.head == nullptr)
            return start_folder(compression::deflate);
        const uint64_t limit =
            folder_size != 0 && folder_size < max_entry_size ? folder_size : max_entry_size;
        const uint64_t taken = core.folders.tail->uncompressed_size;
        if (taken != 0 && size > limit - std::min(limit, taken))
            return start_folder(current);
        return {};
    }

    // The file entry's date, time and attributes for facts, as the cabinet
    // holds them: a plain one as cabinet_tool writes them.
    void dos_fields(const entry_facts& facts, const std::string& name,
                    const std::filesystem::path& source, stored_file& file) {
        const bool clamped = clamped_dos_date_time(facts.modified, utc, file.date, file.time);
        if (plain) {
            file.attribs = (facts.mode & 0200) == 0 ? ATTRIBUTE_READONLY : 0;
            if (clamped)
                tell(notice::kind::time_clamped, source, name);
        } else {
            file.attribs = attributes_of(facts.mode, name);
        }
    }

    // The record's checksum of the file entry the core added last.
    uint64_t last_entry_checksum() { return file_entry_checksum(*core.folders.tail->files.tail); }

    void add_record_entry(record_entry entry, const entry_facts& facts) {
        entry.mode = facts.mode;
        entry.has_owner = facts.has_owner;
        if (facts.has_owner) {
            entry.uid = facts.owner.id;
            entry.gid = facts.group.id;
            if (!facts.owner.name.empty())
                record.owners[facts.owner.id] = facts.owner.name;
            if (!facts.group.name.empty())
                record.groups[facts.group.id] = facts.group.name;
        }
        entry.seconds = facts.modified.seconds;
        entry.nanoseconds = facts.modified.nanoseconds;
        record.entries.push_back(std::move(entry));
    }

    // Adds the bytes source yields under name: the file entry, and the
    // record's entry unless the cabinet is plain. descriptor, when given, is
    // source's, whose failed reads fail the add.
    outcome add_bytes_from(std::streambuf& source, const fd_input_buffer* descriptor,
                           const std::string& name, const entry_facts& facts,
                           uint64_t expected_size, const std::filesystem::path& concerned,
                           uint64_t* taken = nullptr) {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        if (outcome refused = check_name(name); refused.failed())
            return refused;
        if (outcome failure = make_room(expected_size, concerned); failure.failed())
            return failure;
        stored_file file;
        file.name = name;
        dos_fields(facts, name, concerned, file);
        hashing_input hashed(source, descriptor);
        progress_relay relay(core, progress, done);
        // A piece a folder: a file larger than the newest folder's room goes
        // on in new folders, and the cabinet becomes a set.
        for (;;) {
            const uint64_t room = plain ? UINT64_MAX : folder_room();
            if (room == 0) {
                if (outcome failure = start_folder(current); failure.failed())
                    return failure;
                continue;
            }
            limited_input part(hashed, room);
            std::istream in(&part);
            errno = 0;
            int added = core.add_stream(in, name.c_str(), file.date, file.time, file.attribs);
            relay.rethrow();
            if (added != CAB_STATUS_OK)
                return outcome_of(added, concerned);
            const cfc_fileinfo& made = *core.folders.tail->files.tail;
            file.pieces.push_back({newest_folder(), made.uoffFolderStart, made.cbFile});
            file.size += made.cbFile;
            if (!part.exhausted() || hashed.sgetc() == std::char_traits<char>::eof())
                break;
            if (outcome failure = start_folder(current); failure.failed())
                return failure;
        }
        if (taken != nullptr)
            *taken = hashed.taken();
        if (!plain) {
            record_entry entry;
            entry.type = record_type::file;
            entry.file = static_cast<uint32_t>(files.size());
            entry.content = hashed.hash();
            entry.entry_checksum = last_entry_checksum();
            add_record_entry(std::move(entry), facts);
        }
        files.push_back(std::move(file));
        stored(name);
        return {};
    }

    // A second name of record entry first's bytes.
    outcome add_hard_link(const std::string& name, uint32_t first, const entry_facts& facts,
                          const std::filesystem::path& concerned) {
        if (outcome refused = check_name(name); refused.failed())
            return refused;
        const stored_file& bytes = files[record.entries[first].file];
        stored_file file = bytes;
        file.name = name;
        dos_fields(facts, name, concerned, file);
        // A file of one cabinet's folder gets its entry now; the entries of
        // a set's cabinets are made when it is laid out.
        const file_piece& piece = bytes.pieces.front();
        errno = 0;
        int added =
            core.add_shared_entry(name.c_str(), static_cast<uint16_t>(piece.folder), piece.offset,
                                  bytes.size, file.date, file.time, file.attribs);
        if (added != CAB_STATUS_OK)
            return outcome_of(added, concerned);
        record_entry entry;
        entry.type = record_type::hardlink;
        entry.file = static_cast<uint32_t>(files.size());
        entry.link = first;
        entry.entry_checksum = last_entry_checksum();
        add_record_entry(std::move(entry), facts);
        files.push_back(file);
        stored(name);
        return {};
    }

    outcome add_record_only(record_entry entry, const entry_facts& facts,
                            const std::filesystem::path& concerned, bool empty = false) {
        if (outcome refused = check_name(entry.name); refused.failed())
            return refused;
        if (plain) {
            // A plain cabinet keeps a directory's files, but no directory
            // that holds nothing, and no link.
            if (entry.type != record_type::directory || empty)
                notices_of_not_stored(entry, concerned);
            return {};
        }
        const std::string name = entry.name;
        add_record_entry(std::move(entry), facts);
        stored(name);
        return {};
    }

    entry_facts facts_of(const struct stat& status, bool numeric) {
        entry_facts facts;
        facts.mode = status.st_mode & 07777;
        facts.has_owner = true;
        facts.owner.id = status.st_uid;
        facts.group.id = status.st_gid;
        if (!numeric) {
            facts.owner.name = names.user(status.st_uid);
            facts.group.name = names.group(status.st_gid);
        }
        facts.modified = time_of(status.st_mtim);
        return facts;
    }

    void apply(const entry_options& options, entry_facts& facts) {
        if (options.modified)
            facts.modified = *options.modified;
        if (options.mode)
            facts.mode = *options.mode & 07777;
        if (options.owner) {
            facts.has_owner = true;
            facts.owner = *options.owner;
        }
        if (options.group) {
            facts.has_owner = true;
            facts.group = *options.group;
        }
    }

    void apply(const tree_options& options, entry_facts& facts) {
        if (options.mtime)
            facts.modified = *options.mtime;
        if (options.newest && later(facts.modified, *options.newest))
            facts.modified = *options.newest;
        if (options.owner)
            facts.owner = *options.owner;
        if (options.group)
            facts.group = *options.group;
        if (options.numeric_owner) {
            facts.owner.name.clear();
            facts.group.name.clear();
        }
    }

    // Adds the regular file open as fd, which status describes.
    outcome add_open_file(int fd, const struct stat& status, const std::string& name,
                          const entry_facts& facts, const std::filesystem::path& source) {
        fd_input_buffer buffer(fd);
        uint64_t taken = 0;
        outcome result = add_bytes_from(buffer, &buffer, name, facts,
                                        static_cast<uint64_t>(status.st_size), source, &taken);
        if (result.failed())
            return result;
        // What a file that changes while it is read gives is stored as read,
        // and said.
        struct stat after;
        if (fstat(fd, &after) != 0 || after.st_size != status.st_size ||
            after.st_mtim.tv_sec != status.st_mtim.tv_sec ||
            after.st_mtim.tv_nsec != status.st_mtim.tv_nsec ||
            taken != static_cast<uint64_t>(status.st_size))
            tell(notice::kind::changed, source, name);
        return {};
    }

    outcome add_file(const std::filesystem::path& source, std::string_view stored_name,
                     const entry_options* options) {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        const std::string name = stored_name.empty() ? source.string() : std::string(stored_name);
        if (outcome refused = check_name(name); refused.failed())
            return refused;
        errno = 0;
        int fd = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return outcome_of(CAB_ERROR_OPEN_FILE, source);
        struct stat status;
        outcome result;
        if (fstat(fd, &status) != 0) {
            result = outcome_of(CAB_ERROR_FSTAT, source);
        } else if (S_ISDIR(status.st_mode)) {
            errno = EISDIR;
            result = outcome_of(CAB_ERROR_OPEN_FILE, source);
        } else if (!S_ISREG(status.st_mode)) {
            // A FIFO or device would block or never end.
            errno = EINVAL;
            result = outcome_of(CAB_ERROR_OPEN_FILE, source);
        } else {
            int flags = fcntl(fd, F_GETFL);
            if (flags != -1)
                fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            entry_facts facts = facts_of(status, false);
            if (options != nullptr)
                apply(*options, facts);
            result = add_open_file(fd, status, name, facts, source);
        }
        int saved = errno;
        ::close(fd);
        errno = saved;
        return result;
    }

    outcome add_bytes(std::string_view stored_name, std::string_view data,
                      const entry_options& options) {
        const std::string name(stored_name);
        if (!options.modified)
            return outcome_of(CAB_ERROR_DATETIME, name);
        entry_facts facts = own_facts(*options.modified, 0644);
        apply(options, facts);
        memory_input buffer(data);
        return add_bytes_from(buffer, nullptr, name, facts, data.size(), name);
    }

    outcome add_stream(std::string_view stored_name, std::istream& in, const entry_options& options,
                       std::optional<uint64_t> size) {
        const std::string name(stored_name);
        if (!options.modified)
            return outcome_of(CAB_ERROR_DATETIME, name);
        if (in.rdbuf() == nullptr)
            return outcome_of(CAB_ERROR_READ, name);
        entry_facts facts = own_facts(*options.modified, 0644);
        apply(options, facts);
        return add_bytes_from(*in.rdbuf(), nullptr, name, facts, size.value_or(0), name);
    }

    entry_facts own_facts(const file_time& modified, uint32_t mode) {
        entry_facts facts;
        facts.mode = mode;
        facts.has_owner = true;
        facts.owner = {static_cast<uint32_t>(geteuid()), names.user(geteuid())};
        facts.group = {static_cast<uint32_t>(getegid()), names.group(getegid())};
        facts.modified = modified;
        return facts;
    }

    // The name a tree is stored under; a name that climbs is refused
    // before anything is stored.
    static outcome root_name(const std::filesystem::path& source, std::string_view stored_name,
                             std::string& root, bool& leading) {
        const std::string_view given =
            stored_name.empty() ? std::string_view(source.native()) : stored_name;
        leading = !given.empty() && is_name_separator(given.front());
        root = path_of(given);
        return root.empty() ? outcome() : check_name(root);
    }

    outcome add_tree(const std::filesystem::path& source, std::string_view stored_name,
                     const tree_options& options) {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        std::string root;
        bool leading = false;
        if (outcome refused = root_name(source, stored_name, root, leading); refused.failed())
            return refused;
        if (leading)
            tell(notice::kind::leading_slash, source, root);
        struct adding {
            impl& writer;
            const tree_options& options;
            static outcome visit(void* context, const walk_item& item) {
                adding& self = *static_cast<adding*>(context);
                return self.writer.add_item(item, self.options);
            }
            static bool keep(void* context, const walk_item& found) {
                adding& self = *static_cast<adding*>(context);
                return self.writer.keep_unchanged(found, self.options);
            }
        } visitor{*this, options};
        tree_walk walk(&adding::visit, &visitor, notices, options);
        if (edit && options.keep_unchanged)
            walk.set_keeper(&adding::keep);
        outcome result = walk.walk(source, root);
        // A path that is gone altogether is what remove_missing is for.
        if (result.failed() && result.system == std::errc::no_such_file_or_directory && edit &&
            options.remove_missing)
            result = {};
        if (!result.failed() && edit && options.remove_missing)
            remove_missing_below(root);
        return result;
    }

    // Whether the entry of the cabinet being changed stored under item's
    // name is what item would store now (type, size, mode, time as stored,
    // link target): then it stays as it is, unread.
    bool unchanged(const walk_item& item, const tree_options& options) {
        if (check_name(item.name).failed())
            return false;
        const std::vector<std::size_t> found = edit->named(item.name);
        if (found.size() != 1)
            return false;
        const entry& old = edit->entries()[found[0]];
        switch (item.type) {
        case entry_type::file:
            // A file of several links is stored again, so that its links
            // find their first name among the entries added.
            if (old.type != entry_type::file || item.status.st_nlink > 1 ||
                old.size != static_cast<uint64_t>(item.status.st_size))
                return false;
            break;
        case entry_type::directory:
        case entry_type::symlink:
            if (old.type != item.type || old.link_target != item.target)
                return false;
            break;
        case entry_type::hardlink:
            return false;
        }
        entry_facts facts = facts_of(item.status, options.numeric_owner);
        apply(options, facts);
        if (plain) {
            const cabinet_file_header* file = edit->file_of(found[0]);
            uint16_t date = 0, time = 0;
            clamped_dos_date_time(facts.modified, utc, date, time);
            const uint16_t read_only = (facts.mode & 0200) == 0 ? ATTRIBUTE_READONLY : 0;
            return file != nullptr && file->date == date && file->time == time &&
                   (file->attribs & ATTRIBUTE_READONLY) == read_only;
        }
        return old.mode == facts.mode &&
               static_cast<int64_t>(old.modified) == facts.modified.seconds &&
               old.modified_nanoseconds == facts.modified.nanoseconds;
    }

    // A walk item left as the cabinet being changed stores it.
    bool keep_unchanged(const walk_item& item, const tree_options& options) {
        if (tree_names.count(item.name) != 0 || !unchanged(item, options))
            return false;
        tree_names.insert(item.name);
        return true;
    }

    void tell_change(change what, const std::string& name) {
        if (changes)
            changes(what, name);
    }

    // An entry stored under name replaces those the cabinet being changed
    // keeps under it.
    void stored(const std::string& name) {
        if (carrying)
            return; // an entry of the set being changed, stored again
        if (!edit || !edit->is_open()) {
            tell_change(change::added, name);
            return;
        }
        bool replaced = false;
        for (std::size_t index : edit->named(name)) {
            edit->drop(index);
            if (!replaced && !plain)
                replacing.emplace(static_cast<uint32_t>(record.entries.size() - 1), index);
            replaced = true;
        }
        tell_change(replaced ? change::replaced : change::added, name);
    }

    // Entries at or below root that the walks did not meet go.
    void remove_missing_below(const std::string& root) {
        const std::vector<entry>& old = edit->entries();
        for (std::size_t i = 0; i < old.size(); ++i) {
            const std::string& name = old[i].name;
            const bool below =
                root.empty() || name == root ||
                (name.size() > root.size() && name.compare(0, root.size(), root) == 0 &&
                 name[root.size()] == '/');
            if (edit->kept(i) && below && tree_names.count(name) == 0) {
                edit->drop(i);
                tell_change(change::removed, name);
            }
        }
    }

    outcome remove(const std::function<bool(const entry&)>& select, std::size_t& count) {
        count = 0;
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        if (!edit || !edit->is_open())
            return {};
        const std::vector<entry>& old = edit->entries();
        for (std::size_t i = 0; i < old.size(); ++i) {
            if (edit->kept(i) && select(old[i])) {
                edit->drop(i);
                ++count;
                tell_change(change::removed, old[i].name);
            }
        }
        return {};
    }

    outcome edit_cabinet(const std::filesystem::path& cabinet) {
        if (outcome failure = open_cabinet(cabinet); failure.failed())
            return failure;
        if (!edit)
            edit = std::make_unique<cabinet_edit>();
        if (outcome failure = edit->open(cabinet); failure.failed()) {
            discard();
            return failure;
        }
        // The cabinet keeps its kind.
        plain = edit->plain();
        return {};
    }

    outcome open_stream(std::ostream& out) {
        discard();
        errno = 0;
        if (int status = core.open())
            return outcome_of(status, temporary_directory());
        plain = chosen_plain;
        stream = &out;
        open = true;
        return {};
    }

    // What stays of the cabinet being changed joins the new folders, and
    // its record's entries come first, in their old order.
    outcome carry_over() {
        if (!edit || !edit->is_open() || edit->carried_over())
            return {};
        if (edit->set() != nullptr) {
            edit->mark_carried();
            carrying = true;
            outcome result = carry_set();
            carrying = false;
            return result;
        }
        record_table kept;
        std::vector<std::size_t> kept_from;
        const auto encoding_of = [this](uint16_t type) { return encoding(type); };
        // Every folder's block sizes are logged, as start_folder does, in
        // case what the change makes is a set.
        const size_logger folder_made{core, block_logs};
        const uint32_t first_folder = core.folders.count;
        const uint32_t first_entry = core.file_count;
        const uint32_t first_file = static_cast<uint32_t>(files.size());
        if (outcome failure =
                edit->carry_over(core, encoding_of, folder_limit(), folder_made, kept, kept_from);
            failure.failed())
            return failure;
        // The file entries carried over join the writer's own.
        uint32_t folder_number = 0;
        core.folders.ForEach([&](const cfc_folderinfo& folder) {
            if (folder_number >= first_folder)
                folder.files.ForEach([&](const cfc_fileinfo& made) {
                    stored_file file;
                    file.pieces.push_back({folder_number, made.uoffFolderStart, made.cbFile});
                    file.size = made.cbFile;
                    file.date = made.date;
                    file.time = made.time;
                    file.attribs = made.attribs;
                    file.name = made.szName.str();
                    files.push_back(std::move(file));
                });
            ++folder_number;
        });
        for (record_entry& e : kept.entries)
            if (e.type == record_type::file || e.type == record_type::hardlink)
                e.file = first_file + (e.file - first_entry);
        const std::size_t old_count = edit->entries().size();
        for (auto& [id, name] : record.owners)
            kept.owners[id] = std::move(name);
        for (auto& [id, name] : record.groups)
            kept.groups[id] = std::move(name);
        record.owners = std::move(kept.owners);
        record.groups = std::move(kept.groups);
        record.entries = merged_entries(std::move(kept.entries), kept_from, old_count);
        return {};
    }

    // What stays of a set being changed is stored again, each file's bytes
    // read (and verified) from the set through a private spill file: a file
    // of a set may be larger than memory. Its record's entries come first,
    // in their old order, as carry_over's do.
    outcome carry_set() {
        reader& old = *edit->set();
        const std::vector<entry>& entries = edit->entries();
        const std::size_t first_new = record.entries.size();
        std::vector<std::size_t> kept_from;
        // A link group's bytes, by the old index of its first name: the new
        // record entry that holds them.
        std::map<std::size_t, uint32_t> holder;
        temporary_file spill;
        errno = 0;
        if (int status = spill.create_temporary())
            return outcome_of(status, temporary_directory());

        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!edit->kept(i))
                continue;
            const entry& e = entries[i];
            entry_facts facts;
            facts.mode = e.mode;
            facts.has_owner = e.owner.has_value() && e.group.has_value();
            if (facts.has_owner) {
                facts.owner = *e.owner;
                facts.group = *e.group;
            }
            facts.modified = e.time();
            outcome result;
            if (e.type == entry_type::directory || e.type == entry_type::symlink) {
                record_entry r;
                r.type =
                    e.type == entry_type::directory ? record_type::directory : record_type::symlink;
                r.name = e.name;
                r.target = e.link_target;
                result = add_record_only(std::move(r), facts, e.name);
            } else {
                // The first name of a hard link's group, or the file itself.
                std::size_t first = i;
                if (e.type == entry_type::hardlink)
                    for (std::size_t named : edit->all_named(e.link_target))
                        if (named < i) {
                            first = named;
                            break;
                        }
                auto held = holder.find(first);
                if (held != holder.end()) {
                    result = add_hard_link(e.name, held->second, facts, e.name);
                } else {
                    // The reader knows its entries by where they are.
                    result = store_again(old, old.entries()[i], facts, spill);
                    if (!result.failed())
                        holder.emplace(first, static_cast<uint32_t>(record.entries.size() - 1));
                }
            }
            if (result.failed())
                return result;
            kept_from.push_back(i);
        }
        // The entries stored again join the others as carry_over's do: links
        // counted within them.
        std::vector<record_entry> kept(std::make_move_iterator(record.entries.begin() + first_new),
                                       std::make_move_iterator(record.entries.end()));
        record.entries.resize(first_new);
        for (record_entry& r : kept)
            if (r.type == record_type::hardlink)
                r.link -= static_cast<uint32_t>(first_new);
        record.entries = merged_entries(std::move(kept), kept_from, entries.size());
        return {};
    }

    // Stores the bytes of the set's entry e again, copied whole into spill
    // first (the reader verifies them on the way).
    outcome store_again(reader& old, const entry& e, const entry_facts& facts,
                        temporary_file& spill) {
        const int fd = spill.descriptor();
        errno = 0;
        if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)
            return outcome_of(CAB_ERROR_WRITE, temporary_directory());
        const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0)
            return outcome_of(CAB_ERROR_WRITE, temporary_directory());
        constexpr std::size_t piece = 256 * 1024;
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[piece]);
        if (!buffer) {
            ::close(copy);
            return outcome_of(CAB_ERROR_OUT_OF_MEMORY);
        }
        std::error_code failed;
        {
            fd_output_buffer written(copy, buffer.get(), piece);
            std::ostream out(&written);
            old.extract(e, out, failed);
            const bool closed = written.close();
            if (failed)
                return outcome_of(failed, edit->set_volumes().front() / e.name, CAB_ERROR_READ);
            if (!closed)
                return outcome_of(CAB_ERROR_WRITE, temporary_directory());
        }
        if (lseek(fd, 0, SEEK_SET) != 0)
            return outcome_of(CAB_ERROR_READ, temporary_directory());
        fd_input_buffer bytes(fd);
        return add_bytes_from(bytes, &bytes, e.name, facts, e.size, e.name);
    }

    // The record's entries once a cabinet is changed: what stays and what
    // replaced an entry in the old order, then what was added. A hard link
    // that would then come before its first name goes last.
    std::vector<record_entry> merged_entries(std::vector<record_entry> kept,
                                             const std::vector<std::size_t>& kept_from,
                                             std::size_t old_count) {
        std::vector<std::size_t> by_old(old_count, SIZE_MAX);
        for (const auto& [added, old] : replacing)
            by_old[old] = added;
        // Slots: kept entries as themselves, added ones offset by kept's size.
        const std::size_t offset = kept.size();
        std::vector<std::size_t> order;
        order.reserve(kept.size() + record.entries.size());
        std::size_t next_kept = 0;
        for (std::size_t old = 0; old < old_count; ++old) {
            if (next_kept < kept.size() && kept_from[next_kept] == old)
                order.push_back(next_kept++);
            else if (by_old[old] != SIZE_MAX)
                order.push_back(offset + by_old[old]);
        }
        for (std::size_t added = 0; added < record.entries.size(); ++added)
            if (replacing.count(static_cast<uint32_t>(added)) == 0)
                order.push_back(offset + added);
        const auto entry_at = [&](std::size_t slot) -> record_entry& {
            return slot < offset ? kept[slot] : record.entries[slot - offset];
        };
        const auto link_slot = [&](std::size_t slot) {
            return (slot < offset ? 0 : offset) + entry_at(slot).link;
        };
        std::vector<std::size_t> position(order.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            position[order[i]] = i;
        std::stable_partition(order.begin(), order.end(), [&](std::size_t slot) {
            return entry_at(slot).type != record_type::hardlink ||
                   position[link_slot(slot)] < position[slot];
        });
        for (std::size_t i = 0; i < order.size(); ++i)
            position[order[i]] = i;
        std::vector<record_entry> merged;
        merged.reserve(order.size());
        for (std::size_t slot : order) {
            record_entry e = std::move(entry_at(slot));
            if (e.type == record_type::hardlink)
                e.link = static_cast<uint32_t>(position[(slot < offset ? 0 : offset) + e.link]);
            merged.push_back(std::move(e));
        }
        return merged;
    }

    outcome survey(const std::filesystem::path& source, std::string_view stored_name,
                   const tree_options& options, survey_result& result) {
        result = {};
        std::string root;
        bool leading = false;
        if (outcome refused = root_name(source, stored_name, root, leading); refused.failed())
            return refused;
        struct surveying {
            impl& writer;
            survey_result& result;
            static outcome visit(void* context, const walk_item& item) {
                surveying& self = *static_cast<surveying*>(context);
                survey_result& result = self.result;
                if (check_name(item.name).failed()) {
                    result.refused.push_back(
                        {notice::kind::bad_name, item.type, item.source, item.name, {}});
                    return outcome();
                }
                if (item.type == entry_type::file && !self.writer.is_target(item.status)) {
                    const uint64_t size = static_cast<uint64_t>(item.status.st_size);
                    ++result.files;
                    result.bytes += size;
                    if (size > result.largest) {
                        result.largest = size;
                        result.largest_source = item.source;
                    }
                }
                return outcome();
            }
            static bool count(void* context, const walk_item& found) {
                static_cast<void>(visit(context, found));
                return true;
            }
        } visitor{*this, result};
        const notice_function silent;
        tree_walk walk(&surveying::visit, &visitor, silent, options);
        // A file is counted from what lstat says, never opened.
        walk.set_keeper(&surveying::count);
        return walk.walk(source, root);
    }

    bool is_target(const struct stat& status) const {
        return target_exists && status.st_dev == target_device && status.st_ino == target_inode;
    }

    outcome add_item(const walk_item& item, const tree_options& options) {
        // What extraction would refuse, or a name stored already, costs that
        // entry alone.
        if (check_name(item.name).failed()) {
            tell(notice::kind::bad_name, item.source, item.name);
            return {};
        }
        if (edit && options.keep_unchanged && item.type != entry_type::file &&
            keep_unchanged(item, options))
            return {};
        if (!tree_names.insert(item.name).second) {
            tell(notice::kind::duplicate, item.source, item.name);
            return {};
        }
        entry_facts facts = facts_of(item.status, options.numeric_owner);
        apply(options, facts);
        switch (item.type) {
        case entry_type::directory: {
            record_entry entry;
            entry.type = record_type::directory;
            entry.name = item.name;
            return add_record_only(std::move(entry), facts, item.source, item.empty);
        }
        case entry_type::symlink: {
            record_entry entry;
            entry.type = record_type::symlink;
            entry.name = item.name;
            entry.target = item.target;
            return add_record_only(std::move(entry), facts, item.source);
        }
        case entry_type::file:
        case entry_type::hardlink:
            break;
        }
        if (is_target(item.status)) {
            tell(notice::kind::cabinet_itself, item.source, item.name);
            return {};
        }
        const auto inode = std::make_pair(item.status.st_dev, item.status.st_ino);
        if (!plain && item.status.st_nlink > 1) {
            auto first = inodes.find(inode);
            if (first != inodes.end())
                return add_hard_link(item.name, first->second, facts, item.source);
        }
        outcome result = add_open_file(item.fd, item.status, item.name, facts, item.source);
        if (result.failed() && result.status == CAB_ERROR_READ) {
            // A file that cannot be read costs that file alone.
            if (notices)
                notices({notice::kind::unreadable, entry_type::file, item.source, item.name,
                         result.system});
            return {};
        }
        if (!result.failed() && !plain && item.status.st_nlink > 1)
            inodes.emplace(inode, static_cast<uint32_t>(record.entries.size() - 1));
        return result;
    }

    // The record's folder, encoded as a folder of its own would write it.
    // The record's folder, encoded as a folder of its own would write it:
    // deflated, or stored where deflating would not make it smaller (so
    // that its size is known before it is encoded).
    outcome encode_record_folder(const std::string& record_bytes, memory_output& blocks,
                                 uint16_t& block_count, uint16_t& type) {
        for (uint16_t kind : {COMPRESSION_TYPE_DEFLATE, COMPRESSION_TYPE_STORED}) {
            memory_output encoded;
            cfc_folderinfo folder;
            std::ostream out(&encoded);
            int status = folder.open(out, 0, 0, encoding(kind));
            memory_input bytes(record_bytes);
            std::istream in(&bytes);
            if (status == CAB_STATUS_OK)
                status = folder.add_stream(in, "", 0, 0, 0);
            if (status == CAB_STATUS_OK)
                status = folder.freeze();
            if (status == CAB_STATUS_OK && encoded.out_of_memory())
                status = CAB_ERROR_OUT_OF_MEMORY;
            if (status != CAB_STATUS_OK)
                return outcome_of(status, path);
            const uint64_t stored = record_bytes.size() + 16 * folder.cCFData;
            if (kind == COMPRESSION_TYPE_DEFLATE && encoded.size() > stored)
                continue;
            std::ostream copy(&blocks);
            copy.write(reinterpret_cast<const char*>(encoded.data()),
                       static_cast<std::streamsize>(encoded.size()));
            if (blocks.out_of_memory())
                return outcome_of(CAB_ERROR_OUT_OF_MEMORY, path);
            block_count = folder.cCFData;
            type = kind;
            break;
        }
        return {};
    }

    static void seal(void* context, uint8_t* directory, std::size_t size,
                     std::size_t reserve_offset) {
        // The digest's own bytes are zero while it is computed.
        const uint64_t digest = record_hash(directory, size);
        record_pointer& pointer = *static_cast<record_pointer*>(context);
        pointer.directory_digest = digest;
        pointer.encode(directory + reserve_offset);
    }

    // What a cabinet carries for its record: the pointer in the header's
    // reserve area, the record's blocks leading its data, and the seal.
    struct record_extras {
        std::string bytes;
        memory_output blocks;
        record_pointer pointer;
        uint8_t reserve[record_pointer::size];
        cabinet_extras extras;
    };

    outcome make_record_extras(const record_table& table, uint16_t folder, record_extras& made) {
        made.bytes = encode_record(table);
        if (outcome failure = encode_record_folder(
                made.bytes, made.blocks, made.extras.leading_block_count, made.extras.leading_type);
            failure.failed())
            return failure;
        made.pointer.folder = folder;
        made.pointer.length = made.bytes.size();
        made.pointer.record_checksum =
            record_hash(made.bytes.data(), made.bytes.size() - sizeof(uint64_t));
        made.pointer.encode(made.reserve);
        made.extras.header_reserve = made.reserve;
        made.extras.header_reserve_size = record_pointer::size;
        made.extras.leading_blocks = made.blocks.data();
        made.extras.leading_size = made.blocks.size();
        made.extras.seal = &seal;
        made.extras.seal_context = &made.pointer;
        return {};
    }

    // Whether what was added is more than one cabinet can hold, whatever
    // its size.
    bool past_one_cabinet() const {
        if (files.size() > cabinet_creator::max_files ||
            core.folders.count >= cabinet_creator::max_folders)
            return true;
        for (const stored_file& file : files)
            if (file.pieces.size() > 1)
                return true;
        return false;
    }

    // Whether one cabinet with this record would be larger than the volume
    // size.
    bool past_volume_size(const record_extras& single) const {
        if (volume_size == 0)
            return false;
        uint64_t size = header_reserve_offset + record_pointer::size +
                        uint64_t{16} * (core.folders.count + 1) + single.blocks.size();
        for (const stored_file& file : files)
            size += cabinet_file_fixed_header::image_size + file.name.size() + 1;
        core.folders.ForEach([&](const cfc_folderinfo& folder) { size += folder.bytes_written; });
        return size > volume_size;
    }

    outcome commit() {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        if (outcome failure = carry_over(); failure.failed()) {
            discard();
            return failure;
        }
        errno = 0;
        record_extras single;
        cabinet_extras plain_extras;
        cabinet_extras& extras = plain ? plain_extras : single.extras;
        if (!plain) {
            if (int status = core.finish_folders())
                return outcome_of(status, path);
            // The record of one cabinet is made only where one may do.
            bool set = past_one_cabinet();
            if (!set) {
                if (outcome failure = make_record_extras(
                        record, static_cast<uint16_t>(core.folders.count), single);
                    failure.failed())
                    return failure;
                set = past_volume_size(single);
            }
            if (set) {
                // A set is laid out from the data file alone, into files
                // of its own.
                if (stream != nullptr)
                    return outcome_of(CAB_ERROR_SET_TO_STREAM, path);
                if (outcome failure = take_in_carried(); failure.failed())
                    return failure;
                return commit_set();
            }
        }
        if (edit && edit->carried_over()) {
            // The folders copied whole go from the old cabinet to the new.
            extras.trailing = &cabinet_edit::write_carried;
            extras.trailing_context = edit.get();
            extras.trailing_size = edit->carried_bytes();
        }
        if (stream != nullptr) {
            errno = 0;
            if (int status = core.close(*stream, extras))
                return outcome_of(status, path);
            discard();
            return {};
        }
        if (outcome refused = check_replaced(); refused.failed())
            return refused;
        cabinet_target place;
        if (outcome failure = open_place(place, false); failure.failed())
            return failure;
        extras.target = &place;
        errno = 0;
        if (int status = core.close(target.c_str(), extras))
            return outcome_of(status, path);
        remove_former_volumes(1);
        discard();
        return {};
    }

    // Once a changed set is in place as count cabinets, those of the old set
    // it no longer has go (a failure to remove one leaves it, unread: no
    // cabinet names it).
    void remove_former_volumes(std::size_t count) {
        if (!edit || edit->set() == nullptr)
            return;
        std::set<std::filesystem::path> current;
        for (std::size_t v = 0; v < count; ++v)
            current.insert(volume_path(target, static_cast<unsigned>(v + 1)).filename());
        const std::vector<std::filesystem::path>& former = edit->set_volumes();
        for (std::size_t v = 1; v < former.size(); ++v)
            if (current.count(former[v].filename()) == 0)
                ::unlink(former[v].c_str());
    }

    // The record of one cabinet of a set: the entries of its files and the
    // record's entries without bytes that it carries, in the record's order.
    outcome volume_record(const planned_volume& volume, const std::vector<uint32_t>& record_of_file,
                          const std::vector<std::vector<uint32_t>>& companions,
                          const std::vector<uint32_t>& trailing, record_table& table) {
        std::vector<std::pair<uint32_t, uint32_t>> chosen; // record entry, cabinet entry
        for (uint32_t i = 0; i < volume.files.size(); ++i)
            chosen.emplace_back(record_of_file[volume.files[i]], i);
        for (uint32_t f : volume.first_files)
            for (uint32_t r : companions[f])
                chosen.emplace_back(r, UINT32_MAX);
        if (volume.last_record_only)
            for (uint32_t r : trailing)
                chosen.emplace_back(r, UINT32_MAX);
        std::sort(chosen.begin(), chosen.end());
        std::map<uint32_t, uint32_t> position; // of a record entry in this table
        table = {};
        table.owners = record.owners;
        table.groups = record.groups;
        for (const auto& [r, entry] : chosen) {
            record_entry copy = record.entries[r];
            if (entry != UINT32_MAX) {
                copy.file = entry;
                memory_output image;
                std::ostream out(&image);
                const volume_entry& made = volume.plan.entries[entry];
                if (made.fields.write(out) != CAB_STATUS_OK)
                    return outcome_of(CAB_ERROR_OUT_OF_MEMORY, path);
                out.write(made.name.c_str(), static_cast<std::streamsize>(made.name.size() + 1));
                if (image.out_of_memory())
                    return outcome_of(CAB_ERROR_OUT_OF_MEMORY, path);
                copy.entry_checksum = record_hash(image.data(), image.size());
            }
            if (copy.type == record_type::hardlink) {
                auto first = position.find(copy.link);
                if (first != position.end()) {
                    copy.link = first->second;
                } else {
                    // Its first name is in another cabinet: here it is a
                    // file of its own, with the same bytes.
                    uint32_t root = copy.link;
                    while (record.entries[root].type == record_type::hardlink)
                        root = record.entries[root].link;
                    copy.type = record_type::file;
                    copy.content = record.entries[root].content;
                }
            }
            position[r] = static_cast<uint32_t>(table.entries.size());
            table.entries.push_back(std::move(copy));
        }
        return {};
    }

    // The folders a change copies whole join the data file behind the
    // others, where their blocks belong, for a set to be laid out of it.
    outcome take_in_carried() {
        if (!edit || !edit->carried_over() || carried_in_data)
            return {};
        std::fstream& data = core.temp_stream;
        data.clear();
        data.seekp(0, std::ios::end);
        errno = 0;
        if (int status = edit->write_carried(data))
            return outcome_of(status, path);
        data.flush();
        if (data.fail())
            return outcome_of(CAB_ERROR_WRITE, path);
        carried_in_data = true;
        return {};
    }

    // Writes what was added as a set of cabinets, each within the volume
    // size and the format's limits, and puts them in place together.
    outcome commit_set() {
        std::vector<planned_folder> folders;
        uint32_t number = 0;
        bool logged = true;
        core.folders.ForEach([&](const cfc_folderinfo& folder) {
            const block_size_log& log = block_logs[number++];
            logged = logged && !log.failed && log.count == folder.cCFData;
            planned_folder planned;
            planned.typeCompress = folder.typeCompress;
            planned.data_offset = folder.data_offset;
            planned.blocks = log.sizes;
            planned.block_count = static_cast<uint32_t>(log.count);
            folders.push_back(planned);
        });
        if (!logged)
            return outcome_of(CAB_ERROR_OUT_OF_MEMORY, path);

        // Each file's record entry, and the entries without bytes that
        // travel with the next file (a hard link's bytes are earlier ones).
        std::vector<uint32_t> record_of_file(files.size(), 0);
        std::vector<std::vector<uint32_t>> companions(files.size());
        std::vector<uint32_t> waiting;
        std::vector<planned_file> planned(files.size());
        for (uint32_t r = 0; r < record.entries.size(); ++r) {
            const record_entry& e = record.entries[r];
            if (e.type == record_type::directory || e.type == record_type::symlink) {
                waiting.push_back(r);
                continue;
            }
            record_of_file[e.file] = r;
            if (e.type == record_type::file) {
                companions[e.file] = std::move(waiting);
                waiting.clear();
            }
        }
        // A tenth more than the entries' own bound: the record's blocks'
        // headers, if it is stored.
        auto with_headers = [](uint64_t bytes) { return bytes + bytes / 1024 + 16; };
        for (uint32_t f = 0; f < files.size(); ++f) {
            const stored_file& file = files[f];
            planned_file& p = planned[f];
            p.pieces = file.pieces;
            p.size = file.size;
            p.date = file.date;
            p.time = file.time;
            p.attribs = file.attribs;
            p.name = file.name;
            p.record_cost = with_headers(record_entry_bound(record.entries[record_of_file[f]]));
            for (uint32_t r : companions[f])
                p.companions_cost += with_headers(record_entry_bound(record.entries[r]));
        }
        uint64_t trailing_cost = 0;
        for (uint32_t r : waiting)
            trailing_cost += with_headers(record_entry_bound(record.entries[r]));

        set_limits limits;
        limits.volume_size = volume_size != 0 ? volume_size : UINT64_MAX;
        limits.reserve_size = record_pointer::size;
        limits.fixed_cost = with_headers(record_frame_bound(record));
        // The names of the cabinets before and after, and their disks'.
        const std::size_t longest = volume_path(target, 99999).filename().native().size() + 1;
        limits.chain_names = 4 * longest;
        set_outcome laid = plan_set(folders, planned, trailing_cost, limits);
        if (laid.too_small)
            return outcome_of(CAB_ERROR_VOLUME_TOO_SMALL, path);

        // The set's identifier follows from what it holds.
        running_hash contents;
        for (const record_entry& e : record.entries) {
            uint8_t facts[16];
            put_le64(facts, e.content);
            put_le64(facts + 8, static_cast<uint64_t>(e.seconds));
            contents.add(facts, sizeof facts);
        }
        for (const stored_file& file : files)
            contents.add(file.name.data(), file.name.size());
        uint16_t set_id = static_cast<uint16_t>(contents.value());
        if (set_id == 0)
            set_id = 1;
        if (laid.volumes.size() == 1)
            set_id = 0; // one cabinet is no set

        const std::size_t count = laid.volumes.size();
        std::vector<std::filesystem::path> names(count);
        for (std::size_t v = 0; v < count; ++v) {
            names[v] = volume_path(target, static_cast<unsigned>(v + 1));
            // What is there must be a cabinet, unless any file may go.
            if (outcome refused =
                    check_replaced(names[v], volume_path(path, static_cast<unsigned>(v + 1)));
                refused.failed())
                return refused;
        }
        std::vector<std::unique_ptr<cabinet_target>> places(count);
        for (std::size_t v = 0; v < count; ++v) {
            planned_volume& volume = laid.volumes[v];
            volume.plan.setID = set_id;
            volume.plan.iCabinet = static_cast<uint16_t>(v);
            if (v > 0) {
                volume.plan.has_previous = true;
                volume.plan.previous = names[v - 1].filename().native();
            }
            if (v + 1 < count) {
                volume.plan.has_next = true;
                volume.plan.next = names[v + 1].filename().native();
            }
            record_table table;
            if (outcome failure = volume_record(volume, record_of_file, companions, waiting, table);
                failure.failed())
                return failure;
            record_extras made;
            if (outcome failure = make_record_extras(
                    table, static_cast<uint16_t>(volume.plan.folders.size()), made);
                failure.failed())
                return failure;
            places[v] = std::make_unique<cabinet_target>();
            places[v]->allow_in_place(false);
            errno = 0;
            const std::filesystem::path shown = volume_path(path, static_cast<unsigned>(v + 1));
            if (int status = places[v]->open(names[v].c_str()))
                return outcome_of(status, shown);
            errno = 0;
            if (int status = write_volume(*places[v], volume.plan, core.temp_stream, made.extras))
                return outcome_of(status, shown);
        }
        // Every cabinet is complete before any is put in place, and the
        // first, which names the set, goes last: where it is new, so are
        // all the others.
        for (std::size_t v = count; v-- > 0;) {
            errno = 0;
            if (int status = places[v]->finish())
                return outcome_of(status, volume_path(path, static_cast<unsigned>(v + 1)));
        }
        for (std::size_t v = 1; v < count && notices; ++v)
            notices({notice::kind::volume,
                     entry_type::file,
                     volume_path(path, static_cast<unsigned>(v + 1)),
                     laid.reasons[v - 1],
                     {}});
        remove_former_volumes(count);
        discard();
        return {};
    }
};

writer::writer() noexcept = default;

writer::writer(const std::filesystem::path& cabinet) {
    open(cabinet);
}

writer::writer(writer&&) noexcept = default;
writer& writer::operator=(writer&&) noexcept = default;
writer::~writer() = default;

void writer::open(const std::filesystem::path& cabinet) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    raise(impl_->open_cabinet(cabinet));
}

void writer::open(const std::filesystem::path& cabinet, std::error_code& ec) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    report(impl_->open_cabinet(cabinet), ec);
}

void writer::open(std::ostream& out) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    raise(impl_->open_stream(out));
}

void writer::open(std::ostream& out, std::error_code& ec) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    report(impl_->open_stream(out), ec);
}

void writer::edit(const std::filesystem::path& cabinet) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    raise(impl_->edit_cabinet(cabinet));
}

void writer::edit(const std::filesystem::path& cabinet, std::error_code& ec) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    report(impl_->edit_cabinet(cabinet), ec);
}

std::size_t writer::remove(const std::function<bool(const entry& e)>& select) {
    std::size_t count = 0;
    raise(impl_ ? impl_->remove(select, count) : outcome_of(CAB_ERROR_CLOSED_OBJECT));
    return count;
}

std::size_t writer::remove(const std::function<bool(const entry& e)>& select, std::error_code& ec) {
    std::size_t count = 0;
    report(impl_ ? impl_->remove(select, count) : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
    return count;
}

void writer::set_changes(change_function changes) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    impl_->changes = std::move(changes);
}

void writer::discard() noexcept {
    if (impl_)
        impl_->discard();
}

bool writer::is_open() const noexcept {
    return impl_ && impl_->open;
}

const std::filesystem::path& writer::path() const noexcept {
    static const std::filesystem::path none;
    return impl_ ? impl_->path : none;
}

void writer::set_level(int level) {
    if (level < -1 || level > 9)
        throw std::invalid_argument("kistle::writer::set_level: " + std::to_string(level) +
                                    " is not a deflate level");
    if (!impl_)
        impl_ = std::make_unique<impl>();
    impl_->level = level;
}

void writer::set_deflater(deflater library) noexcept {
    if (!impl_)
        impl_.reset(new (std::nothrow) impl);
    if (impl_)
        impl_->library = library;
}

void writer::set_folder_size(std::uint64_t bytes) noexcept {
    if (!impl_)
        impl_.reset(new (std::nothrow) impl);
    if (impl_)
        impl_->folder_size = bytes;
}

void writer::set_volume_size(std::uint64_t bytes) noexcept {
    if (!impl_)
        impl_.reset(new (std::nothrow) impl);
    if (impl_)
        impl_->volume_size = bytes;
}

void writer::set_threads(unsigned count) noexcept {
    if (!impl_)
        impl_.reset(new (std::nothrow) impl);
    if (impl_)
        impl_->core.set_threads(count); // the core keeps it across open and reset
}

void writer::set_progress(progress_function progress) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    impl_->progress = std::move(progress);
}

void writer::set_plain(bool plain) noexcept {
    if (!impl_)
        impl_.reset(new (std::nothrow) impl);
    if (impl_) {
        impl_->chosen_plain = plain;
        if (!impl_->edit || !impl_->edit->is_open())
            impl_->plain = plain;
    }
}

void writer::set_utc(bool utc) noexcept {
    if (!impl_)
        impl_.reset(new (std::nothrow) impl);
    if (impl_)
        impl_->utc = utc;
}

void writer::set_in_place(bool in_place) noexcept {
    if (!impl_)
        impl_.reset(new (std::nothrow) impl);
    if (impl_)
        impl_->in_place = in_place;
}

void writer::set_replace_any(bool replace_any) noexcept {
    if (!impl_)
        impl_.reset(new (std::nothrow) impl);
    if (impl_)
        impl_->replace_any = replace_any;
}

void writer::set_notices(notice_function notices) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    impl_->notices = std::move(notices);
}

void writer::new_folder(compression type) {
    raise(impl_ ? impl_->start_folder(type) : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::new_folder(compression type, std::error_code& ec) {
    report(impl_ ? impl_->start_folder(type) : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
}

void writer::add_file(const std::filesystem::path& source, std::string_view stored_name) {
    raise(impl_ ? impl_->add_file(source, stored_name, nullptr)
                : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::add_file(const std::filesystem::path& source, std::string_view stored_name,
                      std::error_code& ec) {
    report(impl_ ? impl_->add_file(source, stored_name, nullptr)
                 : outcome_of(CAB_ERROR_CLOSED_OBJECT),
           ec);
}

void writer::add_file(const std::filesystem::path& source, std::string_view stored_name,
                      const entry_options& options) {
    raise(impl_ ? impl_->add_file(source, stored_name, &options)
                : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::add_file(const std::filesystem::path& source, std::string_view stored_name,
                      const entry_options& options, std::error_code& ec) {
    report(impl_ ? impl_->add_file(source, stored_name, &options)
                 : outcome_of(CAB_ERROR_CLOSED_OBJECT),
           ec);
}

namespace {

// What add_bytes stores: mode 0644, or 0444 read-only, the writer's user.
entry_options bytes_options(std::time_t modified, bool read_only) {
    entry_options options;
    options.modified = file_time{static_cast<int64_t>(modified), 0};
    options.mode = read_only ? 0444 : 0644;
    return options;
}

} // namespace

void writer::add_bytes(std::string_view stored_name, std::string_view data, std::time_t modified,
                       bool read_only) {
    add_bytes(stored_name, data, bytes_options(modified, read_only));
}

void writer::add_bytes(std::string_view stored_name, std::string_view data, std::time_t modified,
                       bool read_only, std::error_code& ec) {
    add_bytes(stored_name, data, bytes_options(modified, read_only), ec);
}

void writer::add_bytes(std::string_view stored_name, std::string_view data,
                       const entry_options& options) {
    raise(impl_ ? impl_->add_bytes(stored_name, data, options)
                : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::add_bytes(std::string_view stored_name, std::string_view data,
                       const entry_options& options, std::error_code& ec) {
    report(impl_ ? impl_->add_bytes(stored_name, data, options)
                 : outcome_of(CAB_ERROR_CLOSED_OBJECT),
           ec);
}

void writer::add_stream(std::string_view stored_name, std::istream& in,
                        const entry_options& options, std::optional<std::uint64_t> size) {
    raise(impl_ ? impl_->add_stream(stored_name, in, options, size)
                : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::add_stream(std::string_view stored_name, std::istream& in,
                        const entry_options& options, std::optional<std::uint64_t> size,
                        std::error_code& ec) {
    report(impl_ ? impl_->add_stream(stored_name, in, options, size)
                 : outcome_of(CAB_ERROR_CLOSED_OBJECT),
           ec);
}

void writer::add_tree(const std::filesystem::path& source, std::string_view stored_name,
                      const tree_options& options) {
    raise(impl_ ? impl_->add_tree(source, stored_name, options)
                : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::add_tree(const std::filesystem::path& source, std::string_view stored_name,
                      const tree_options& options, std::error_code& ec) {
    report(impl_ ? impl_->add_tree(source, stored_name, options)
                 : outcome_of(CAB_ERROR_CLOSED_OBJECT),
           ec);
}

survey_result writer::survey(const std::filesystem::path& source, std::string_view stored_name,
                             const tree_options& options) {
    survey_result result;
    if (!impl_)
        impl_ = std::make_unique<impl>();
    raise(impl_->survey(source, stored_name, options, result));
    return result;
}

survey_result writer::survey(const std::filesystem::path& source, std::string_view stored_name,
                             const tree_options& options, std::error_code& ec) {
    survey_result result;
    if (!impl_)
        impl_ = std::make_unique<impl>();
    report(impl_->survey(source, stored_name, options, result), ec);
    return result;
}

std::size_t writer::size() const noexcept {
    if (!impl_ || !impl_->open)
        return 0;
    const impl& self = *impl_;
    const std::size_t kept = self.edit && self.edit->is_open() ? self.edit->kept_count() : 0;
    return (self.plain ? self.core.file_count : self.record.entries.size()) + kept;
}

void writer::commit() {
    raise(impl_ ? impl_->commit() : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::commit(std::error_code& ec) {
    report(impl_ ? impl_->commit() : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
}

} // namespace kistle
