#include <kistle/archive.h>

#include <cerrno>
#include <istream>
#include <new>
#include <stdexcept>
#include <streambuf>
#include <sys/stat.h>
#include <utility>

#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_status.h>

#include "outcome.h"
#include "progress_relay.h"
#include "stored_name.h"

using namespace kistle::internal;

namespace kistle {

namespace {

// Reads bytes that stay the caller's, without a copy.
class memory_input : public std::streambuf {
public:
    explicit memory_input(std::string_view bytes) {
        // The get area is only read: nothing is ever put back into it.
        char* begin = const_cast<char*>(bytes.data());
        setg(begin, begin, begin + bytes.size());
    }
};

// No entry is larger than a folder: 65535 blocks of 32767 bytes.
static_assert(max_entry_size ==
                  static_cast<uint64_t>(cfc_folderinfo::max_blocks) * cfc_folderinfo::block_size,
              "the header's limit is the folder's");

// A stored name that extraction would refuse is refused now, and so is one
// that a cabinet cannot hold (a NUL ends it there).
outcome check_name(const std::string& name) {
    errno = 0;
    if (name.find('\0') != std::string::npos)
        return outcome_of(CAB_ERROR_ACCESS_DENIED, name);
    return outcome_of(check_stored_name(name.c_str()), name);
}

} // namespace

struct writer::impl {
    cabinet_creator core;
    bool open = false;
    std::filesystem::path path;   // as given
    std::filesystem::path target; // absolute
    compression current = compression::deflate;
    int level = -1;
    uint64_t folder_size = 0;
    progress_function progress;
    uint64_t done = 0;

    void discard() noexcept {
        core.reset();
        open = false;
        path.clear();
        target.clear();
        done = 0;
    }

    outcome open_cabinet(const std::filesystem::path& cabinet) {
        discard();
        std::error_code ignored;
        std::filesystem::path absolute = std::filesystem::absolute(cabinet, ignored);
        errno = 0;
        if (int status = core.open()) {
            outcome failure = outcome_of(status, cabinet);
            discard();
            return failure;
        }
        open = true;
        path = cabinet;
        target = absolute.empty() ? cabinet : absolute;
        return {};
    }

    outcome start_folder(compression type) {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        errno = 0;
        int status = core.new_folder(type == compression::deflate ? COMPRESSION_TYPE_DEFLATE
                                                                  : COMPRESSION_TYPE_STORED,
                                     level);
        if (status != CAB_STATUS_OK)
            return outcome_of(status, path);
        current = type;
        return {};
    }

    // Makes sure the newest folder can take size more bytes: the first entry
    // starts a deflate folder, and one that would take its folder past the
    // limit starts another of the same compression.
    outcome make_room(uint64_t size, const std::filesystem::path& concerned) {
        if (size > max_entry_size)
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

    outcome add_file(const std::filesystem::path& source, std::string_view stored_name) {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        const std::string name = stored_name.empty() ? source.string() : std::string(stored_name);
        if (outcome refused = check_name(name); refused.failed())
            return refused;
        // The size decides the folder; the file itself is judged when it is read.
        struct stat status;
        if (stat(source.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            if (outcome failure = make_room(static_cast<uint64_t>(status.st_size), source);
                failure.failed())
                return failure;
        } else if (core.folders.head == nullptr) {
            if (outcome failure = start_folder(compression::deflate); failure.failed())
                return failure;
        }
        progress_relay relay(core, progress, done);
        errno = 0;
        int added = core.add_file(source.c_str(), name.c_str());
        relay.rethrow();
        return outcome_of(added, source);
    }

    outcome add_bytes(std::string_view stored_name, std::string_view data, std::time_t modified,
                      bool read_only) {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        const std::string name(stored_name);
        if (outcome refused = check_name(name); refused.failed())
            return refused;
        if (outcome failure = make_room(data.size(), name); failure.failed())
            return failure;
        memory_input buffer(data);
        std::istream in(&buffer);
        progress_relay relay(core, progress, done);
        errno = 0;
        int added = core.add_stream(in, name.c_str(), modified, read_only);
        relay.rethrow();
        return outcome_of(added, name);
    }

    outcome commit() {
        if (!open)
            return outcome_of(CAB_ERROR_CLOSED_OBJECT);
        errno = 0;
        if (int status = core.close(target.c_str()))
            return outcome_of(status, path);
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

void writer::set_folder_size(std::uint64_t bytes) noexcept {
    if (!impl_)
        impl_.reset(new (std::nothrow) impl);
    if (impl_)
        impl_->folder_size = bytes;
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

void writer::new_folder(compression type) {
    raise(impl_ ? impl_->start_folder(type) : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::new_folder(compression type, std::error_code& ec) {
    report(impl_ ? impl_->start_folder(type) : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
}

void writer::add_file(const std::filesystem::path& source, std::string_view stored_name) {
    raise(impl_ ? impl_->add_file(source, stored_name) : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::add_file(const std::filesystem::path& source, std::string_view stored_name,
                      std::error_code& ec) {
    report(impl_ ? impl_->add_file(source, stored_name) : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
}

void writer::add_bytes(std::string_view stored_name, std::string_view data, std::time_t modified,
                       bool read_only) {
    raise(impl_ ? impl_->add_bytes(stored_name, data, modified, read_only)
                : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::add_bytes(std::string_view stored_name, std::string_view data, std::time_t modified,
                       bool read_only, std::error_code& ec) {
    report(impl_ ? impl_->add_bytes(stored_name, data, modified, read_only)
                 : outcome_of(CAB_ERROR_CLOSED_OBJECT),
           ec);
}

std::size_t writer::size() const noexcept {
    return impl_ && impl_->open ? impl_->core.file_count : 0;
}

void writer::commit() {
    raise(impl_ ? impl_->commit() : outcome_of(CAB_ERROR_CLOSED_OBJECT));
}

void writer::commit(std::error_code& ec) {
    report(impl_ ? impl_->commit() : outcome_of(CAB_ERROR_CLOSED_OBJECT), ec);
}

} // namespace kistle
