#include <kistle/archive.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <istream>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <streambuf>
#include <unordered_map>
#include <utility>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kistle/cabinet_header.h>
#include <kistle/cabinet_reader.h>
#include <kistle/cabinet_status.h>
#include <kistle/dos_date_time.h>

#include "byte_counter.h"
#include "descriptor_write.h"
#include "entry_metadata.h"
#include "extraction_target.h"
#include "fd_output_buffer.h"
#include "little_endian.h"
#include "outcome.h"
#include "parallel_restore.h"
#include "progress_relay.h"
#include "range_checks.h"
#include "record.h"
#include "record_reader.h"
#include "set_reader.h"
#include "stored_name.h"
#include "temporary_file.h"
#include "tree_restorer.h"
#include "unbuffered_output.h"
#include "worker_pool.h"

using namespace kistle::internal;

namespace kistle {

namespace {

// Calls undo when it goes out of scope.
template <class Undo> class on_exit {
public:
    explicit on_exit(Undo undo) : undo(std::move(undo)) {}
    ~on_exit() { undo(); }
    on_exit(const on_exit&) = delete;
    on_exit& operator=(const on_exit&) = delete;

private:
    Undo undo;
};

// Appends what is written to a string. A string that cannot grow ends the
// writing as a failed write would, and says so in out_of_memory.
class string_output : public unbuffered_output {
public:
    explicit string_output(std::string& text) : text(text) {}

    bool out_of_memory = false;

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        try {
            text.append(bytes, static_cast<std::size_t>(count));
        } catch (const std::exception&) { // bad_alloc, or length_error past max_size()
            out_of_memory = true;
            return 0;
        }
        return count;
    }

private:
    std::string& text;
};

// The cabinet at path, opened once: the descriptor the core then reads
// through a path of its own to the same file (so a name that changes
// meanwhile cannot swap another file in), and the file's length.
class opened_cabinet {
public:
    ~opened_cabinet() {
        if (fd >= 0)
            ::close(fd);
    }

    // CAB_ERROR_OPEN_STREAM when it cannot be opened; CAB_ERROR_NOT_SEEKABLE
    // for a pipe, socket or character device, whose bytes a reader cannot
    // go back to; CAB_ERROR_BAD_DATA when it does not begin with a
    // cabinet's signature (twenty zero bytes would otherwise open as an
    // empty cabinet). errno says why where a call failed.
    int open(const std::filesystem::path& path) {
        // Without blocking: a FIFO is refused, never waited on.
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return CAB_ERROR_OPEN_STREAM;
        if (fstat(fd, &status) != 0)
            return CAB_ERROR_OPEN_STREAM;
        if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode))
            return CAB_ERROR_NOT_SEEKABLE;
        const off_t end = lseek(fd, 0, SEEK_END);
        size = end < 0 ? 0 : static_cast<uint64_t>(end);
        uint8_t start[4];
        ssize_t got;
        while ((got = pread(fd, start, sizeof start, 0)) < 0 && errno == EINTR) {
        }
        if (got < 0)
            return CAB_ERROR_READ;
        if (static_cast<std::size_t>(got) != sizeof start || get_le32(start) != CABINET_SIGNATURE)
            return CAB_ERROR_BAD_DATA;
        std::snprintf(own_path, sizeof own_path, "/proc/self/fd/%d", fd);
        return CAB_STATUS_OK;
    }

    // Where the core opens the same file; the path itself without /proc.
    const char* path_for_core(const std::filesystem::path& path) const {
        return access(own_path, R_OK) == 0 ? own_path : path.c_str();
    }

    uint64_t size = 0;
    struct stat status = {};

private:
    int fd = -1;
    char own_path[40] = {};
};

// Passes what is written on to out, hashing it.
class hashing_output : public unbuffered_output {
public:
    explicit hashing_output(std::streambuf& out) : out(out), sum(own) {}
    // Adding to a sum begun elsewhere: a file's bytes from several cabinets.
    hashing_output(std::streambuf& out, running_hash& sum) : out(out), sum(sum) {}
    uint64_t hash() const { return sum.value(); }

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        std::streamsize written = out.sputn(bytes, count);
        if (written > 0)
            sum.add(bytes, static_cast<std::size_t>(written));
        return written;
    }
    int sync() override { return out.pubsync(); }

private:
    std::streambuf& out;
    running_hash own;
    running_hash& sum;
};

// What the record says of e, as the restorer takes it; the strings stay e's.
entry_metadata metadata_of(const entry& e) {
    entry_metadata m;
    switch (e.type) {
    case entry_type::file:
        m.type = entry_metadata::kind::file;
        break;
    case entry_type::directory:
        m.type = entry_metadata::kind::directory;
        break;
    case entry_type::symlink:
        m.type = entry_metadata::kind::symlink;
        break;
    case entry_type::hardlink:
        m.type = entry_metadata::kind::hardlink;
        break;
    }
    m.mode = e.mode;
    m.has_owner = e.owner.has_value() && e.group.has_value();
    if (m.has_owner) {
        m.uid = e.owner->id;
        m.gid = e.group->id;
        m.owner = e.owner->name.c_str();
        m.group = e.group->name.c_str();
    }
    m.mtime_seconds = static_cast<int64_t>(e.modified);
    m.mtime_nanoseconds = e.modified_nanoseconds;
    m.link_target = e.link_target.c_str();
    return m;
}

std::filesystem::path below(const std::filesystem::path& directory, const std::string& name) {
    // Not operator/, which would let an absolute name replace the directory.
    std::string joined = directory.native();
    if (!joined.empty() && joined.back() != '/')
        joined += '/';
    return joined + name;
}

// Up to this many bytes, an entry's stated size is reserved for read()
// without walking its folder's blocks first.
constexpr uint64_t believed_size = uint64_t(64) << 20;

std::error_code code_of(int status) {
    return std::error_code(status, category());
}

// An entry told of once those before it are: its outcome, or the file the
// workers make of it. A type of the file, as the pieces below: one of
// reader's own would make its containers' code exported.
struct pending {
    const entry* e = nullptr;
    std::string name; // where it lands
    outcome result;
    bool written = false;
    parallel_restore::file* job = nullptr;
};

// A range of a folder's stream that test() reads once: the entries it holds
// are of one file (one range, one content).
struct folder_piece {
    uint64_t start, end;
    std::vector<uint32_t> entries;
};

// A range of a folder test() reads for one of its entries: the range its
// file entry states, or its part of a file that continues.
struct member {
    uint32_t own;
    uint64_t start, end;
    int64_t continued = -1; // the set's entry whose sum goes on
};

} // namespace

struct reader::impl {
    cabinet_reader core;
    bool open = false;
    std::filesystem::path path;
    record_reading reading; // the entries, and where their bytes come from
    set_reading set;        // the cabinets after this one, where it begins a set
    const std::vector<entry>& entries = reading.entries;
    std::vector<uint32_t> by_name; // entry numbers by name, the first of a name first
    std::vector<int64_t> shadowed; // an earlier entry of the same path, or -1
    std::vector<std::pair<std::string, uint32_t>> by_path; // the first entry of each path
    bool spans_known = false;                              // the two below, found when first needed
    std::vector<folder_span> folder_spans_found;
    std::vector<int64_t> overlapping; // an entry whose bytes overlap, or -1
    uint64_t actual_size = 0;
    progress_function progress;
    uint64_t done = 0;
    restore_shortfalls shortfalls; // since open
    // Extracted files are written through it: a file system takes few large
    // writes much faster than many small ones.
    static constexpr std::size_t output_buffer_size = 256 * 1024;
    std::unique_ptr<char[]> output_buffer;
    struct stat file = {};           // the cabinet's, so that extraction never replaces it
    struct stat file_directory = {}; // where its path names it; st_ino 0: not known
    unsigned threads = 0;            // as set_threads was given

    void close() noexcept {
        static_cast<void>(core.close()); // it cannot fail
        open = false;
        path.clear();
        reading = {};
        set = {};
        by_name.clear();
        shadowed.clear();
        by_path.clear();
        spans_known = false;
        folder_spans_found.clear();
        overlapping.clear();
        actual_size = 0;
        done = 0;
        shortfalls = {};
        file = {};
        file_directory = {};
        if (!spilling)
            spill.discard();
    }

    outcome open_cabinet(const std::filesystem::path& cabinet) {
        close();
        errno = 0;
        opened_cabinet opened;
        if (int status = opened.open(cabinet))
            return outcome_of(status, cabinet);
        errno = 0;
        if (int status = core.open(opened.path_for_core(cabinet))) {
            outcome failure = outcome_of(status, cabinet);
            close();
            return failure;
        }
        actual_size = opened.size;
        file = opened.status;
        // The directory that holds the name, when the name is no link.
        struct stat named;
        std::filesystem::path parent = cabinet.parent_path();
        if (::lstat(cabinet.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
            named.st_dev == file.st_dev && named.st_ino == file.st_ino &&
            ::stat(parent.empty() ? "." : parent.c_str(), &file_directory) != 0)
            file_directory = {};
        read_entries(core, reading);
        // A stream has no cabinets beside it.
        read_set(spilling ? std::filesystem::path() : cabinet, core, reading, &open_volume_of, this,
                 set);
        const uint32_t count = static_cast<uint32_t>(entries.size());
        by_name.reserve(count);
        for (uint32_t i = 0; i < count; ++i)
            by_name.push_back(i);
        std::stable_sort(by_name.begin(), by_name.end(), [this](uint32_t a, uint32_t b) {
            return entries[a].name < entries[b].name;
        });
        shadowed = shadowing_entries(entries);
        for (uint32_t i = 0; i < count; ++i)
            if (shadowed[i] < 0)
                by_path.emplace_back(path_of(entries[i].name), i);
        std::sort(by_path.begin(), by_path.end());
        open = true;
        path = cabinet;
        return {};
    }

    static int open_volume_of(void* self, set_volume& volume) {
        return static_cast<impl*>(self)->open_volume(volume);
    }

    // A later cabinet of the set, opened as the first was.
    int open_volume(set_volume& volume) {
        opened_cabinet opened;
        if (int status = opened.open(volume.path))
            return status;
        volume.core.set_threads(threads);
        errno = 0;
        if (int status = volume.core.open(opened.path_for_core(volume.path)))
            return status;
        volume.actual_size = opened.size;
        volume.file = opened.status;
        read_entries(volume.core, volume.reading);
        return CAB_STATUS_OK;
    }

    cabinet_reader& core_of(uint32_t volume) {
        return volume == 0 ? core : set.later[volume - 1]->core;
    }

    // The file that continues, where entry number is one; else nullptr.
    const continued_file* continued_of(uint32_t number) const {
        if (set.continued.empty())
            return nullptr;
        auto found = set.continued.find(number);
        return found == set.continued.end() ? nullptr : &found->second;
    }

    // The size of entry number's bytes, as its cabinet states it.
    uint64_t stated_size(uint32_t number) {
        const entry_source& source = reading.sources[number];
        return core_of(source.volume).file_headers[static_cast<uint32_t>(source.file)]->cbFile;
    }

    // Writes the bytes of entry number (which has a file entry) to out:
    // from its cabinet, or part by part from the cabinets of the set.
    int write_source(uint32_t number, std::ostream& out) {
        const entry_source& source = reading.sources[number];
        const continued_file* continued = continued_of(number);
        if (continued == nullptr)
            return core_of(source.volume).write_file(static_cast<uint32_t>(source.file), out);
        if (continued->status != CAB_STATUS_OK) {
            errno = 0;
            return continued->status;
        }
        for (const set_part& part : continued->parts)
            if (int status = core_of(part.volume)
                                 .write_folder_range(part.folder, part.start, part.length, out))
                return status;
        return CAB_STATUS_OK;
    }

    // The progress of every cabinet of the set, while it lives.
    class relays {
    public:
        explicit relays(impl& owner) : first(owner.core, owner.progress, owner.done) {
            for (auto& volume : owner.set.later)
                if (volume)
                    later.push_back(std::make_unique<progress_relay<cabinet_reader>>(
                        volume->core, owner.progress, owner.done));
        }
        void rethrow() const {
            first.rethrow();
            for (const auto& relay : later)
                relay->rethrow();
        }

    private:
        progress_relay<cabinet_reader> first;
        std::vector<std::unique_ptr<progress_relay<cabinet_reader>>> later;
    };

    // A cabinet read from a stream, copied here as it arrives: the core
    // reads by position, and every check it makes holds alike.
    temporary_file spill;
    bool spilling = false; // opening the spill: it stays

    outcome open_stream(std::istream& in) {
        close();
        const std::filesystem::path shown("-");
        errno = 0;
        const char* directory_path = temporary_directory();
        if (int status = spill.create_temporary())
            return outcome_of(status, directory_path);
        if (int status = copy_to_spill(in)) {
            outcome failure = outcome_of(
                status, status == CAB_ERROR_WRITE ? std::filesystem::path(directory_path) : shown);
            spill.discard();
            return failure;
        }
        char own[40];
        std::snprintf(own, sizeof own, "/proc/self/fd/%d", spill.descriptor());
        spilling = true;
        outcome result = open_cabinet(own);
        spilling = false;
        if (result.failed()) {
            result.path = shown;
            spill.discard();
            return result;
        }
        path = shown;
        return {};
    }

    // Copies what in yields, to its end, into the spill. A stream that does
    // not begin as a cabinet does is refused at once.
    int copy_to_spill(std::istream& in) {
        std::streambuf* source = in.rdbuf();
        if (source == nullptr)
            return CAB_ERROR_READ;
        constexpr std::size_t piece = 256 * 1024;
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[piece]);
        if (!buffer)
            return CAB_ERROR_OUT_OF_MEMORY;
        uint64_t total = 0;
        for (;;) {
            std::streamsize got = 0;
            try {
                got = source->sgetn(buffer.get(), piece);
            } catch (...) {
                return CAB_ERROR_READ;
            }
            if (got <= 0)
                break;
            if (total == 0 && got >= 4 &&
                get_le32(reinterpret_cast<const uint8_t*>(buffer.get())) != CABINET_SIGNATURE)
                return CAB_ERROR_BAD_DATA;
            if (!write_whole(spill.descriptor(), buffer.get(), static_cast<std::size_t>(got)))
                return CAB_ERROR_WRITE;
            total += static_cast<uint64_t>(got);
        }
        return total < 4 ? CAB_ERROR_BAD_DATA : CAB_STATUS_OK;
    }

    const entry* find(std::string_view name) const noexcept {
        auto found = std::lower_bound(by_name.begin(), by_name.end(), name,
                                      [this](uint32_t number, std::string_view wanted) {
                                          return entries[number].name < wanted;
                                      });
        if (found == by_name.end() || entries[*found].name != name)
            return nullptr;
        return &entries[*found];
    }

    const entry* find_path(std::string_view name) const noexcept {
        try {
            const std::string wanted = path_of(name);
            auto found = std::lower_bound(by_path.begin(), by_path.end(), wanted,
                                          [](const std::pair<std::string, uint32_t>& a,
                                             const std::string& b) { return a.first < b; });
            if (found == by_path.end() || found->first != wanted)
                return nullptr;
            return &entries[found->second];
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    // The number of e, which must be one of entries.
    outcome number_of(const entry& e, uint32_t& number) const {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        if (entries.empty() || &e < entries.data() || &e >= entries.data() + entries.size())
            return outcome_of(CAB_ERROR_FILE_NOT_FOUND, e.name);
        number = static_cast<uint32_t>(&e - entries.data());
        return {};
    }

    // The file entry of e, whose bytes are to be written: an entry the
    // record does not vouch for is not.
    outcome file_of(const entry& e, uint32_t& file) const {
        uint32_t number = 0;
        if (outcome failure = number_of(e, number); failure.failed())
            return failure;
        const entry_source& source = reading.sources[number];
        if (source.file < 0)
            return outcome_of(CAB_ERROR_NOT_A_FILE, e.name);
        if (reading.status == record_status::verified && !e.verified)
            return outcome_of(CAB_ERROR_ENTRY_MISMATCH, e.name);
        file = static_cast<uint32_t>(source.file);
        return {};
    }

    // One extraction into a directory: the restorer that makes what the
    // record keeps, and gives directories their metadata at the end.
    struct extraction {
        tree_restorer restorer;
        std::filesystem::path directory;
        existing policy;

        extraction(const std::filesystem::path& directory, existing policy)
            : restorer(settings_for(policy)), directory(directory), policy(policy) {}

        static tree_restorer::settings settings_for(existing policy) {
            tree_restorer::settings settings;
            settings.policy = policy == existing::keep ? extraction_target::existing::keep
                                                       : extraction_target::existing::replace;
            return settings;
        }
    };

    outcome begin(extraction& run) {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        errno = 0;
        if (int status = run.restorer.open(run.directory.c_str()))
            return outcome_of(status, run.directory);
        return {};
    }

    outcome end(extraction& run) {
        errno = 0;
        int status = run.restorer.finish();
        const tree_restorer::shortfalls& missed = run.restorer.unrestored();
        shortfalls.owners += missed.owners;
        shortfalls.modes += missed.modes;
        shortfalls.times += missed.times;
        return outcome_of(status, run.directory);
    }

    // Writes the bytes of e (file entry file) to fd, checking them against
    // the record's checksum where it keeps one.
    int write_bytes(uint32_t number, int fd) {
        const entry_source& source = reading.sources[number];
        if (output_buffer == nullptr)
            output_buffer = std::make_unique<char[]>(output_buffer_size);
        fd_output_buffer buffer(fd, output_buffer.get(), output_buffer_size);
        hashing_output hashed(buffer);
        std::ostream out(&hashed);
        int status = write_source(number, out);
        if (status == CAB_STATUS_OK && buffer.pubsync() != 0)
            status = CAB_ERROR_WRITE;
        if (status == CAB_STATUS_OK && source.has_content && hashed.hash() != source.content)
            status = CAB_ERROR_CONTENT_MISMATCH;
        if (!buffer.close() && status == CAB_STATUS_OK)
            status = CAB_ERROR_WRITE;
        return status;
    }

    // Where one entry lands: its name below the directory and, for a hard
    // link, the name its first entry landed on (none: its bytes are written).
    struct landing {
        const std::string& name;
        const char* first_link;
    };

    // One entry of a record-keeping cabinet, made by the restorer at to.
    int restore(extraction& run, const entry& e, const landing& to, uint32_t number,
                bool& written) {
        const entry_metadata metadata = metadata_of(e);
        bool kept = false;
        switch (e.type) {
        case entry_type::directory:
            written = true;
            return run.restorer.make_directory(to.name.c_str(), metadata);
        case entry_type::symlink: {
            int status = run.restorer.make_symlink(to.name.c_str(), metadata, &kept);
            written = !kept;
            return status;
        }
        case entry_type::hardlink: {
            // Where its first name was not made here, its bytes are written.
            if (to.first_link == nullptr)
                break;
            int status = run.restorer.make_hardlink(to.name.c_str(), to.first_link, &kept);
            if (status != CAB_ERROR_FILE_NOT_FOUND) {
                written = !kept && status == CAB_STATUS_OK;
                return status;
            }
            break;
        }
        case entry_type::file:
            break;
        }
        uint32_t file = 0;
        if (outcome refused = file_of(e, file); refused.failed())
            return refused.status;
        extraction_target target;
        int fd = -1;
        if (int status = run.restorer.create_file(to.name.c_str(), target, fd))
            return status;
        if (target.kept())
            return CAB_STATUS_OK;
        int status = write_bytes(number, fd);
        if (status == CAB_STATUS_OK)
            status = run.restorer.commit_file(target, metadata);
        written = status == CAB_STATUS_OK && !target.kept();
        return status;
    }

    // A refused name says why, and a target that is this very cabinet is
    // never replaced.
    outcome check_target(const std::string& name, const extraction& run) const {
        errno = 0;
        if (const name_fault fault = fault_of(name); fault != name_fault::none) {
            outcome refused = outcome_of(CAB_ERROR_ACCESS_DENIED, below(run.directory, name));
            refused.reason = fault == name_fault::climbs
                                 ? "a name with a '..' component would lead outside the directory"
                                 : "no file name to extract this entry to";
            return refused;
        }
        // A longer name is no path the system takes: no copy of it for lstat.
        if (run.policy == existing::keep || file.st_ino == 0 || name.size() > PATH_MAX)
            return {};
        std::string target = below(run.directory, name);
        std::replace(target.begin(), target.end(), '\\', '/');
        struct stat status;
        if (::lstat(target.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_dev == file.st_dev && status.st_ino == file.st_ino)
            return outcome_of(CAB_ERROR_CABINET_ITSELF, below(run.directory, name));
        return {};
    }

    outcome extract_one(extraction& run, const entry& e, bool& written) {
        return extract_one(run, e, {e.name, e.link_target.c_str()}, written);
    }

    outcome extract_one(extraction& run, const entry& e, const landing& to, bool& written) {
        written = false;
        uint32_t number = 0;
        if (outcome failure = number_of(e, number); failure.failed())
            return failure;
        if (outcome refused = check_target(to.name, run); refused.failed())
            return refused;
        relays relay(*this);
        errno = 0;
        int status;
        if (reading.status == record_status::verified || to.name != e.name ||
            reading.sources[number].volume != 0 || continued_of(number) != nullptr) {
            // A plain cabinet's file too where it lands under another
            // name or its bytes are in another cabinet of the set: with
            // the mode and time its DOS fields give.
            status = restore(run, e, to, number, written);
        } else {
            // A plain cabinet's file: its DOS date and read-only bit.
            uint32_t file = 0;
            if (outcome refused = file_of(e, file); refused.failed())
                return refused;
            status =
                core.extract_file(file, run.directory.c_str(),
                                  run.policy == existing::keep ? cabinet_reader::EXISTING_KEEP
                                                               : cabinet_reader::EXISTING_REPLACE,
                                  &written);
        }
        relay.rethrow();
        if (status != CAB_STATUS_OK)
            return failure_of(number, status, below(run.directory, to.name));
        return {};
    }

    // A failure of entry number's bytes; one of a file that continues says
    // which cabinet it needs.
    outcome failure_of(uint32_t number, int status, const std::filesystem::path& where) const {
        outcome failed = outcome_of(status, where);
        if (const continued_file* continued = continued_of(number);
            continued != nullptr && status == continued->status)
            failed.reason = continued->why.c_str();
        return failed;
    }

    outcome extract(const entry& e, const std::filesystem::path& directory, existing policy,
                    bool& written) {
        written = false;
        extraction run(directory, policy);
        if (outcome failure = begin(run); failure.failed())
            return failure;
        outcome result = extract_one(run, e, written);
        outcome ended = end(run);
        return result.failed() ? result : ended;
    }

    // Workers that publish files, besides the caller; 1: none.
    unsigned publishing_threads() const {
        return worker_pool::usable(threads != 0 ? threads : worker_pool::cores());
    }

    // Whether this thread expands the bytes of the files the workers
    // publish itself: it keeps the cores busier than handing each file's few
    // blocks to yet more threads, which costs more in switches than it saves
    // (measured on trees); larger files, which it writes itself, still have
    // theirs expanded on every core.
    void expand_small_files_here(bool here) {
        const uint64_t below = here ? parallel_restore::largest_file + 1 : 0;
        core.set_caller_expands_below(below);
        for (auto& volume : set.later)
            if (volume)
                volume->core.set_caller_expands_below(below);
    }

    // Reads the bytes of a small file whole into data, verified.
    int read_small(uint32_t number, std::string& data) {
        const entry_source& source = reading.sources[number];
        string_output buffer(data);
        std::ostream out(&buffer);
        int status = write_source(number, out);
        if (buffer.out_of_memory)
            status = CAB_ERROR_OUT_OF_MEMORY;
        if (status == CAB_STATUS_OK && source.has_content) {
            running_hash sum;
            sum.add(data.data(), data.size());
            if (sum.value() != source.content)
                status = CAB_ERROR_CONTENT_MISMATCH;
        }
        return status;
    }

    // The outcome of an entry whose walk gave status: where it failed, one
    // thread would first have found the cabinet at the name.
    void settle_walk(const extraction& run, const std::string& name, int status, pending& p) {
        if (status == CAB_STATUS_OK)
            return;
        const int walk_errno = errno;
        if (status != CAB_ERROR_CABINET_ITSELF) {
            if (outcome refused = check_target(name, run); refused.failed()) {
                p.result = std::move(refused);
                return;
            }
        }
        errno = walk_errno;
        p.result = outcome_of(status, below(run.directory, name));
    }

    // A file of a record-keeping cabinet small enough to hand to the
    // workers, with what one thread would find first: the bytes are read
    // here, in order; the file is made, written and published by a worker.
    // Anything else goes through extract_one here, once the files it
    // depends on are out.
    void restore_through(extraction& run, parallel_restore& workers, const entry& e,
                         const landing& to, uint32_t number, pending& p) {
        uint32_t file = 0;
        const bool named = fault_of(to.name) == name_fault::none;
        const bool small = e.type == entry_type::file && named && !file_of(e, file).failed() &&
                           stated_size(number) <= parallel_restore::largest_file;
        if (e.type == entry_type::directory && named) {
            workers.before(to.name.c_str(), false);
            errno = 0;
            p.written = true;
            settle_walk(run, to.name, workers.make_directory(to.name.c_str(), metadata_of(e)), p);
            return;
        }
        if (!small) {
            workers.before(to.name.c_str(), e.type == entry_type::hardlink);
            p.result = extract_one(run, e, to, p.written);
            return;
        }
        relays relay(*this);
        errno = 0;
        bool kept = false;
        int status =
            workers.begin(to.name.c_str(), metadata_of(e), stated_size(number), p.job, kept);
        if (status != CAB_STATUS_OK) {
            settle_walk(run, to.name, status, p);
            return;
        }
        if (kept)
            return;
        status = read_small(number, parallel_restore::bytes(*p.job));
        if (status != CAB_STATUS_OK) {
            const int read_errno = errno;
            parallel_restore::file* job = p.job;
            p.job = nullptr;
            errno = 0;
            if (int refused = workers.abandon(*job)) {
                status = refused;
            } else {
                errno = read_errno;
            }
            relay.rethrow();
            p.result = failure_of(number, status, below(run.directory, to.name));
            return;
        }
        workers.submit(*p.job);
    }

    outcome extract_all(const std::filesystem::path& directory, const extract_options& options) {
        extraction run(directory, options.policy);
        if (outcome failure = begin(run); failure.failed())
            return failure;
        outcome result;
        spans();
        // With components stripped, the first entry of each stripped path.
        std::unordered_map<std::string, std::size_t> first_of_path;
        // A tree's files made, written and published on workers; with one
        // thread, on this one, in the same steps.
        std::optional<parallel_restore> workers;
        if (reading.status == record_status::verified) {
            workers.emplace(run.restorer, publishing_threads());
            workers->protect(file, file_directory);
            expand_small_files_here(publishing_threads() > 1);
        }
        // Whatever ends the run, a callback's exception too.
        const on_exit expand_as_before{[this]() { expand_small_files_here(false); }};
        // Outcomes are told in the entries' order, whoever finished first.
        std::deque<pending> waiting;
        auto tell = [&]() {
            pending p = std::move(waiting.front());
            waiting.pop_front();
            if (p.job != nullptr) {
                parallel_restore::result made = workers->collect(*p.job);
                errno = made.error;
                p.result = outcome_of(made.status, below(directory, p.name));
                p.written = made.written;
            }
            if (!options.each) {
                if (!p.result.failed())
                    return true;
                result = std::move(p.result);
                return false;
            }
            std::optional<error> failure;
            if (p.result.failed())
                failure.emplace(error_of(std::move(p.result)));
            return options.each(*p.e, failure ? &*failure : nullptr, p.written);
        };
        auto ready = [&]() {
            return !waiting.empty() &&
                   (waiting.front().job == nullptr || workers->done(*waiting.front().job));
        };
        bool going = true;
        for (const entry& e : entries) {
            const std::size_t number = static_cast<std::size_t>(&e - entries.data());
            std::string stripped, first_link;
            bool shadows = shadowed[number] >= 0;
            if (options.strip_components != 0) {
                stripped = stripped_path(e.name, options.strip_components);
                if (stripped.empty())
                    continue;
                shadows = !first_of_path.emplace(stripped, number).second;
                if (e.type == entry_type::hardlink)
                    first_link = stripped_path(e.link_target, options.strip_components);
            }
            if (options.select && !options.select(e))
                continue;
            // Names that land on one path: the first entry of it is the one.
            if (shadows && !options.each)
                continue;
            const landing to =
                options.strip_components == 0
                    ? landing{e.name, e.link_target.c_str()}
                    : landing{stripped, first_link.empty() ? nullptr : first_link.c_str()};
            if (workers) {
                while (going && !waiting.empty() && !workers->has_room(e.size))
                    going = tell();
                if (!going)
                    break;
            }
            waiting.emplace_back();
            pending& p = waiting.back();
            p.e = &e;
            p.name = to.name;
            if (shadows)
                p.result = outcome_of(CAB_ERROR_SAME_PATH, below(directory, to.name));
            else if (overlapping[number] >= 0 && !options.allow_overlap)
                p.result = outcome_of(CAB_ERROR_OVERLAP, below(directory, to.name));
            else if (workers)
                restore_through(run, *workers, e, to, static_cast<uint32_t>(number), p);
            else
                p.result = extract_one(run, e, to, p.written);
            while (going && ready())
                going = tell();
            if (!going)
                break;
        }
        while (going && !waiting.empty())
            going = tell();
        if (workers) {
            // Files after the run stopped are not published.
            workers->stop();
            workers.reset();
        }
        outcome ended = end(run);
        return result.failed() ? result : ended;
    }

    outcome extract_to(const entry& e, const std::filesystem::path& target, existing policy,
                       bool& written) {
        written = false;
        const std::filesystem::path directory =
            target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
        const std::string name = target.filename().native();
        extraction run(directory, policy);
        if (outcome failure = begin(run); failure.failed())
            return failure;
        // A hard link's bytes too: its first name was not made here.
        outcome result = extract_one(run, e, {name, nullptr}, written);
        outcome ended = end(run);
        return result.failed() ? result : ended;
    }

    outcome write(const entry& e, std::ostream& out) {
        uint32_t number = 0, file = 0;
        if (outcome failure = number_of(e, number); failure.failed())
            return failure;
        if (outcome failure = file_of(e, file); failure.failed())
            return failure;
        const entry_source& source = reading.sources[number];
        // Through a stream of its own over out's buffer: whatever out's
        // exception mask says, a failure is a status here, never a throw.
        std::streambuf* target = out.rdbuf();
        if (target == nullptr)
            return outcome_of(CAB_ERROR_WRITE, e.name);
        relays relay(*this);
        errno = 0;
        hashing_output hashed(*target);
        std::ostream checked(&hashed);
        int status = write_source(number, checked);
        relay.rethrow();
        if (status == CAB_STATUS_OK && source.has_content && hashed.hash() != source.content)
            status = CAB_ERROR_CONTENT_MISMATCH;
        if (status == CAB_STATUS_OK) {
            try {
                if (target->pubsync() != 0)
                    status = CAB_ERROR_WRITE;
            } catch (...) {
                status = CAB_ERROR_WRITE;
            }
        }
        if (status != CAB_STATUS_OK)
            return failure_of(number, status, e.name);
        return {};
    }

    outcome read(const entry& e, std::string& text) {
        text.clear();
        uint32_t number = 0;
        if (outcome failure = number_of(e, number); failure.failed())
            return failure;
        reserve_for(number, text);
        string_output buffer(text);
        std::ostream out(&buffer);
        outcome result = write(e, out);
        if (buffer.out_of_memory)
            result = outcome_of(CAB_ERROR_OUT_OF_MEMORY, e.name);
        if (result.failed())
            text.clear();
        return result;
    }

    // Room for the bytes of entry number. The size an entry states is the
    // cabinet's word: a large one is believed only as far as its folder's
    // blocks state they expand to, so that a damaged or hostile size does not
    // decide what is allocated. Without room, the string grows as verified
    // bytes arrive.
    void reserve_for(uint32_t number, std::string& text) {
        if (reading.sources[number].file < 0 || reading.sources[number].volume != 0 ||
            continued_of(number) != nullptr)
            return;
        const cabinet_file_header& file =
            *core.file_headers[static_cast<uint32_t>(reading.sources[number].file)];
        uint64_t room = file.cbFile;
        if (room > believed_size) {
            uint64_t compressed = 0, uncompressed = 0;
            if (core.measure_folder(file.iFolder, compressed, uncompressed) != CAB_STATUS_OK ||
                file.uoffFolderStart >= uncompressed)
                return;
            room = std::min(room, uncompressed - file.uoffFolderStart);
        }
        try {
            text.reserve(static_cast<std::size_t>(std::min<uint64_t>(room, text.max_size())));
        } catch (const std::bad_alloc&) {
        }
    }

    outcome info(cabinet_info& result) const {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        const cabinet_header& h = core.header;
        result.size = h.cbCabinet;
        result.actual_size = actual_size;
        result.version_major = h.versionMajor;
        result.version_minor = h.versionMinor;
        result.folders = h.cFolders;
        result.files = h.cFiles;
        result.flags = h.flags;
        result.set_id = h.setID;
        result.set_index = h.iCabinet;
        result.previous_cabinet = h.szCabinetPrev.str();
        result.previous_disk = h.szDiskPrev.str();
        result.next_cabinet = h.szCabinetNext.str();
        result.next_disk = h.szDiskNext.str();
        result.header_reserve = (h.flags & cfhdrRESERVE_PRESENT) ? h.cbCFHeader : 0;
        result.folder_reserve = h.folder_reserve_size();
        result.block_reserve = h.block_reserve_size();
        result.record = reading.status;
        result.record_version_major = reading.major;
        result.record_version_minor = reading.minor;
        result.directory_verified = reading.directory_verified;
        result.record_folder = reading.record_folder;
        return {};
    }

    // The folders' spans and the entries' overlaps, found once per open.
    const std::vector<folder_span>& spans() {
        if (!spans_known) {
            errno = 0;
            folder_spans_found = folder_spans(core);
            overlapping = overlapping_entries(reading, core, folder_spans_found);
            // The set's later cabinets: each by itself.
            for (auto& volume : set.later) {
                if (!volume)
                    continue;
                errno = 0;
                volume->spans = folder_spans(volume->core);
                volume->overlapping =
                    overlapping_entries(volume->reading, volume->core, volume->spans);
                for (uint32_t n = 0; n < volume->overlapping.size(); ++n) {
                    const int64_t other = volume->overlapping[n];
                    const uint32_t number = volume->merged[n];
                    if (other >= 0 && number != UINT32_MAX &&
                        volume->merged[static_cast<uint32_t>(other)] != UINT32_MAX)
                        overlapping[number] = volume->merged[static_cast<uint32_t>(other)];
                }
            }
            spans_known = true;
        }
        return folder_spans_found;
    }

    outcome folders(std::vector<folder_info>& result) {
        result.clear();
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        const std::vector<folder_span>& walked = spans();
        for (uint16_t i = 0; i < core.folder_managers.count; ++i) {
            const cabinet_folder_manager& folder = *core.folder_managers[i];
            const folder_span& span = walked[i];
            if (span.status != CAB_STATUS_OK) {
                result.clear();
                return outcome_of(span.status, path);
            }
            folder_info info;
            info.type = folder.typeCompress;
            info.blocks = folder.cCFData;
            info.compressed_size = span.compressed;
            info.uncompressed_size = span.uncompressed;
            if (span.overlaps >= 0)
                info.overlaps = static_cast<uint16_t>(span.overlaps);
            result.push_back(info);
        }
        return {};
    }

    // One cabinet of the set as test() reads it: its own entries, and the
    // set's number of each (merged null: the same).
    struct volume_view {
        cabinet_reader& core;
        const record_reading& own;
        uint64_t actual_size;
        const std::vector<folder_span>& spans;
        const std::vector<int64_t>& overlapping;
        const std::vector<uint32_t>* merged;
        uint32_t volume;
        std::string name; // for its problems: empty for the first cabinet

        uint32_t set_number(uint32_t n) const { return merged ? (*merged)[n] : n; }
    };

    // Reads range [start, end) of folder through sink, returning its status;
    // what lies past the blocks' end is the status extraction would give.
    static int walk_range(cabinet_reader& core, uint16_t folder, uint64_t start, uint64_t end,
                          std::streambuf& sink) {
        std::ostream out(&sink);
        return core.write_folder_range(folder, start, end - start, out);
    }

    // The folder's entries in the order of their bytes, each with its
    // status, its blocks and the bytes between them read once: a damaged
    // block that no entry holds is the folder's problem.
    // Returns whether it found anything wrong; each entry's status goes to
    // found, by the set's entry number, and the part of a file that
    // continues adds to its sum in partial.
    bool test_folder(const volume_view& view, uint16_t folder, const std::vector<member>& members,
                     std::vector<int>& found, std::unordered_map<uint32_t, running_hash>& partial,
                     std::vector<problem>& problems) {
        std::vector<folder_piece> pieces;
        std::vector<int64_t> continues; // by piece
        for (const member& m : members) {
            if (m.continued < 0 && !pieces.empty() && continues.back() < 0 &&
                pieces.back().start == m.start && pieces.back().end == m.end) {
                pieces.back().entries.push_back(m.own);
            } else {
                pieces.push_back({m.start, m.end, {m.own}});
                continues.push_back(m.continued);
            }
        }
        const uint64_t stated = view.spans[folder].uncompressed;
        uint64_t at = 0;
        int unheld = CAB_STATUS_OK; // a damaged block between entries
        bool damaged = false;
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            const folder_piece& p = pieces[k];
            byte_counter discarded;
            if (p.start > at) {
                int status = walk_range(view.core, folder, at, p.start, discarded);
                if (unheld == CAB_STATUS_OK)
                    unheld = status;
            }
            int status = CAB_STATUS_OK;
            uint64_t sum = 0;
            if (continues[k] >= 0) {
                hashing_output hashed(discarded, partial[static_cast<uint32_t>(continues[k])]);
                if (p.end > p.start)
                    status = walk_range(view.core, folder, p.start, p.end, hashed);
            } else if (p.end > p.start) {
                hashing_output hashed(discarded);
                status = walk_range(view.core, folder, p.start, p.end, hashed);
                sum = hashed.hash();
            } else if (p.start > stated) {
                status = CAB_ERROR_RANGE_PAST_END;
            } else {
                sum = running_hash().value();
            }
            for (uint32_t own : p.entries) {
                int result = status;
                const entry_source& source = view.own.sources[own];
                if (result == CAB_STATUS_OK && continues[k] < 0 && source.has_content &&
                    sum != source.content)
                    result = CAB_ERROR_CONTENT_MISMATCH;
                int& recorded = found[view.set_number(own)];
                if (recorded == CAB_STATUS_OK)
                    recorded = result;
                damaged = damaged || result != CAB_STATUS_OK;
            }
            at = std::max(at, p.end);
        }
        if (at < stated) {
            byte_counter discarded;
            int status = walk_range(view.core, folder, at, stated, discarded);
            if (unheld == CAB_STATUS_OK)
                unheld = status;
        }
        if (unheld != CAB_STATUS_OK)
            problems.push_back(
                {"", code_of(unheld), where(view, "folder " + std::to_string(folder))});
        return damaged || unheld != CAB_STATUS_OK;
    }

    // What a problem of the cabinet concerns: "folder 3", or "folder 3 of
    // backup.2.cab" in a later cabinet of a set.
    static std::string where(const volume_view& view, const std::string& what) {
        return view.name.empty() ? what : what + " of " + view.name;
    }

    void test_volume(const volume_view& view, std::vector<int>& found,
                     std::unordered_map<uint32_t, running_hash>& partial,
                     std::vector<problem>& problems) {
        cabinet_reader& c = view.core;
        const cabinet_header& h = c.header;
        if (view.actual_size != h.cbCabinet)
            problems.push_back({"",
                                code_of(view.actual_size < h.cbCabinet ? CAB_ERROR_UNEXPECTED_EOF
                                                                       : CAB_ERROR_BAD_DATA),
                                view.name});
        if (view.volume == 0) {
            problems.insert(problems.end(), reading.damage.begin(), reading.damage.end());
            // A later cabinet read alone is no damage: the files that need
            // the cabinets before it say so.
            for (const volume_info& volume : set.volumes)
                if (volume.status && volume.status != errc::set_continued)
                    problems.push_back({"", volume.status, volume.path.filename().native()});
        }

        // Where the directory ends, no folder's blocks may begin.
        uint64_t directory_end = h.coffFiles;
        for (uint32_t i = 0; i < c.file_headers.count; ++i)
            directory_end +=
                cabinet_file_fixed_header::image_size + c.file_headers[i]->szName.length() + 1;
        const uint16_t folder_count = static_cast<uint16_t>(c.folder_managers.count);
        for (uint16_t i = 0; i < folder_count; ++i) {
            const cabinet_folder_manager& folder = *c.folder_managers[i];
            if (folder.cCFData != 0 && h.cFiles != 0 && folder.coffCabStart < directory_end) {
                problems.push_back({"", code_of(CAB_ERROR_DIRECTORY_OVERLAPS), view.name});
                break;
            }
        }
        for (uint16_t i = 0; i < folder_count; ++i) {
            if (view.spans[i].overlaps >= 0 && view.spans[i].overlaps > i)
                problems.push_back({"", code_of(CAB_ERROR_FOLDERS_OVERLAP),
                                    where(view, "folders " + std::to_string(i) + " and " +
                                                    std::to_string(view.spans[i].overlaps))});
        }

        // Each entry once: what it cannot be extracted for, or its bytes read
        // and checked, folder by folder in the order of its bytes.
        std::vector<std::vector<member>> members(folder_count);
        const record_reading& own = view.own;
        for (uint32_t n = 0; n < own.entries.size(); ++n) {
            const entry_source& source = own.sources[n];
            const uint32_t number = view.set_number(n);
            // The first cabinet's entries are the set's first; the rest are
            // read with their own cabinets.
            if (source.file < 0 || number == UINT32_MAX || source.volume != 0)
                continue;
            if (own.status == record_status::verified && !own.entries[n].verified)
                continue; // named among the damage already
            const cabinet_file_header& file = *c.file_headers[static_cast<uint32_t>(source.file)];
            const continued_file* continued = continued_of(number);
            if (continued != nullptr) {
                // Its part here, where it can be read whole; else the file's
                // status is told once, after every cabinet.
                if (continued->status != CAB_STATUS_OK)
                    continue;
                if (shadowed[number] >= 0 && continued->parts.front().volume == view.volume)
                    problems.push_back({entries[number].name, code_of(CAB_ERROR_SAME_PATH),
                                        entries[static_cast<std::size_t>(shadowed[number])].name});
                if (shadowed[number] >= 0)
                    continue;
                for (const set_part& part : continued->parts)
                    if (part.volume == view.volume && part.folder < folder_count)
                        members[part.folder].push_back(
                            {n, part.start, part.start + part.length, number});
                continue;
            }
            if (shadowed[number] >= 0) {
                problems.push_back({entries[number].name, code_of(CAB_ERROR_SAME_PATH),
                                    entries[static_cast<std::size_t>(shadowed[number])].name});
            } else if (file.iFolder >= folder_count) {
                problems.push_back({entries[number].name, code_of(CAB_ERROR_INVALID_FOLDER), {}});
            } else if (view.overlapping[n] >= 0) {
                problems.push_back(
                    {entries[number].name, code_of(CAB_ERROR_OVERLAP),
                     own.entries[static_cast<std::size_t>(view.overlapping[n])].name});
            } else {
                const uint64_t start = file.uoffFolderStart;
                const uint64_t end =
                    file.cbFile > UINT64_MAX - start ? UINT64_MAX : start + file.cbFile;
                members[file.iFolder].push_back({n, start, end});
            }
        }
        for (uint16_t i = 0; i < folder_count; ++i) {
            if (view.spans[i].overlaps >= 0)
                continue;
            std::stable_sort(members[i].begin(), members[i].end(),
                             [](const member& x, const member& y) {
                                 return x.start != y.start ? x.start < y.start : x.end < y.end;
                             });
            // Blocks that cannot all be reached: the entries tell, or the folder.
            if (!test_folder(view, i, members[i], found, partial, problems) &&
                view.spans[i].status != CAB_STATUS_OK)
                problems.push_back({"", code_of(view.spans[i].status),
                                    where(view, "folder " + std::to_string(i))});
        }
    }

    outcome test(std::vector<problem>& problems) {
        problems.clear();
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        std::vector<int> found(entries.size(), CAB_STATUS_OK);
        std::unordered_map<uint32_t, running_hash> partial;
        spans();
        test_volume({core, reading, actual_size, folder_spans_found, overlapping, nullptr, 0, {}},
                    found, partial, problems);
        for (uint32_t v = 1; v <= set.later.size(); ++v) {
            if (!set.later[v - 1])
                continue;
            set_volume& volume = *set.later[v - 1];
            test_volume({volume.core, volume.reading, volume.actual_size, volume.spans,
                         volume.overlapping, &volume.merged, v, volume.path.filename().native()},
                        found, partial, problems);
        }
        // A file that continues is whole once every cabinet is read.
        for (const auto& [number, continued] : set.continued) {
            if (shadowed[number] >= 0 || found[number] != CAB_STATUS_OK)
                continue;
            if (continued.status != CAB_STATUS_OK) {
                problems.push_back(
                    {entries[number].name, code_of(continued.status), continued.why});
                continue;
            }
            const entry_source& source = reading.sources[number];
            if (source.has_content && partial[number].value() != source.content)
                found[number] = CAB_ERROR_CONTENT_MISMATCH;
        }
        for (uint32_t number = 0; number < entries.size(); ++number) {
            if (found[number] != CAB_STATUS_OK)
                problems.push_back({entries[number].name, code_of(found[number]), {}});
        }
        return {};
    }
};

reader::reader() noexcept = default;

reader::reader(const std::filesystem::path& cabinet) {
    open(cabinet);
}

reader::reader(reader&&) noexcept = default;
reader& reader::operator=(reader&&) noexcept = default;
reader::~reader() = default;

void reader::open(const std::filesystem::path& cabinet) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    raise(impl_->open_cabinet(cabinet));
}

void reader::open(const std::filesystem::path& cabinet, std::error_code& ec) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    report(impl_->open_cabinet(cabinet), ec);
}

void reader::open(std::istream& in) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    raise(impl_->open_stream(in));
}

void reader::open(std::istream& in, std::error_code& ec) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    report(impl_->open_stream(in), ec);
}

void reader::close() noexcept {
    if (impl_)
        impl_->close();
}

bool reader::is_open() const noexcept {
    return impl_ && impl_->open;
}

const std::filesystem::path& reader::path() const noexcept {
    static const std::filesystem::path none;
    return impl_ ? impl_->path : none;
}

void reader::set_threads(unsigned count) noexcept {
    if (!impl_)
        impl_.reset(new (std::nothrow) impl);
    if (impl_) {
        impl_->core.set_threads(count); // the core keeps it across open and close
        impl_->threads = count;
        for (auto& volume : impl_->set.later)
            if (volume)
                volume->core.set_threads(count);
    }
}

void reader::set_progress(progress_function progress) {
    if (!impl_)
        impl_ = std::make_unique<impl>();
    impl_->progress = std::move(progress);
}

const std::vector<entry>& reader::entries() const noexcept {
    static const std::vector<entry> none;
    return impl_ ? impl_->entries : none;
}

const entry* reader::find_path(std::string_view name) const noexcept {
    return impl_ ? impl_->find_path(name) : nullptr;
}

const entry* reader::find(std::string_view name) const noexcept {
    return impl_ ? impl_->find(name) : nullptr;
}

const std::vector<volume_info>& reader::volumes() const noexcept {
    static const std::vector<volume_info> none;
    return impl_ && impl_->open ? impl_->set.volumes : none;
}

const std::vector<problem>& reader::damage() const noexcept {
    static const std::vector<problem> none;
    return impl_ ? impl_->reading.damage : none;
}

cabinet_info reader::info() const {
    cabinet_info result;
    raise(impl_ ? impl_->info(result) : outcome_of(CAB_ERROR_CLOSED_OBJECT));
    return result;
}

cabinet_info reader::info(std::error_code& ec) const {
    cabinet_info result;
    report(impl_ ? impl_->info(result) : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
    return result;
}

std::vector<folder_info> reader::folders() const {
    std::vector<folder_info> result;
    raise(impl_ ? impl_->folders(result) : outcome_of(CAB_ERROR_CLOSED_OBJECT));
    return result;
}

std::vector<folder_info> reader::folders(std::error_code& ec) const {
    std::vector<folder_info> result;
    report(impl_ ? impl_->folders(result) : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
    return result;
}

bool reader::extract(const entry& e, const std::filesystem::path& directory, existing policy) {
    bool written = false;
    raise(impl_ ? impl_->extract(e, directory, policy, written)
                : outcome_of(CAB_ERROR_CLOSED_OBJECT));
    return written;
}

bool reader::extract(const entry& e, const std::filesystem::path& directory, existing policy,
                     std::error_code& ec) {
    bool written = false;
    report(impl_ ? impl_->extract(e, directory, policy, written)
                 : outcome_of(CAB_ERROR_CLOSED_OBJECT),
           ec);
    return written;
}

bool reader::extract(const entry& e, const std::filesystem::path& directory, std::error_code& ec) {
    return extract(e, directory, existing::replace, ec);
}

namespace {

extract_options with_policy(reader::existing policy) {
    extract_options options;
    options.policy = policy;
    return options;
}

} // namespace

void reader::extract_all(const std::filesystem::path& directory, existing policy) {
    extract_all(directory, with_policy(policy));
}

void reader::extract_all(const std::filesystem::path& directory, existing policy,
                         std::error_code& ec) {
    extract_all(directory, with_policy(policy), ec);
}

void reader::extract_all(const std::filesystem::path& directory, const extract_options& options) {
    raise(impl_ ? impl_->extract_all(directory, options) : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void reader::extract_all(const std::filesystem::path& directory, const extract_options& options,
                         std::error_code& ec) {
    report(impl_ ? impl_->extract_all(directory, options) : outcome_of(CAB_ERROR_CLOSED_OBJECT),
           ec);
}

const restore_shortfalls& reader::unrestored() const noexcept {
    static const restore_shortfalls none;
    return impl_ ? impl_->shortfalls : none;
}

void reader::extract_all(const std::filesystem::path& directory, std::error_code& ec) {
    extract_all(directory, existing::replace, ec);
}

bool reader::extract_to(const entry& e, const std::filesystem::path& target, existing policy) {
    bool written = false;
    raise(impl_ ? impl_->extract_to(e, target, policy, written)
                : outcome_of(CAB_ERROR_CLOSED_OBJECT));
    return written;
}

bool reader::extract_to(const entry& e, const std::filesystem::path& target, existing policy,
                        std::error_code& ec) {
    bool written = false;
    report(impl_ ? impl_->extract_to(e, target, policy, written)
                 : outcome_of(CAB_ERROR_CLOSED_OBJECT),
           ec);
    return written;
}

void reader::extract(const entry& e, std::ostream& out) {
    raise(impl_ ? impl_->write(e, out) : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void reader::extract(const entry& e, std::ostream& out, std::error_code& ec) {
    report(impl_ ? impl_->write(e, out) : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
}

std::string reader::read(const entry& e) {
    std::string text;
    raise(impl_ ? impl_->read(e, text) : outcome_of(CAB_ERROR_CLOSED_OBJECT));
    return text;
}

std::string reader::read(const entry& e, std::error_code& ec) {
    std::string text;
    report(impl_ ? impl_->read(e, text) : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
    return text;
}

std::vector<problem> reader::test() {
    std::vector<problem> problems;
    raise(impl_ ? impl_->test(problems) : outcome_of(CAB_ERROR_CLOSED_OBJECT));
    return problems;
}

std::vector<problem> reader::test(std::error_code& ec) {
    std::vector<problem> problems;
    report(impl_ ? impl_->test(problems) : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
    return problems;
}

} // namespace kistle
