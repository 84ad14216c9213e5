#include "cabinet_edit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <unistd.h>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_status.h>
#include <kistle/cfc_fileinfo.h>

#include "block_encoder.h"
#include "block_sink.h"
#include "little_endian.h"
#include "memory_input.h"
#include "memory_output.h"
#include "range_checks.h"
#include "unbuffered_output.h"

namespace kistle::internal {

namespace {

constexpr std::size_t block_header_size = cabinet_datablock_fixed_header::image_size;
// The old file is read this much at a time.
constexpr std::size_t window_capacity = std::size_t(1) << 20;

// Appends what is written to a string; one that cannot grow fails the
// write.
class string_sink : public unbuffered_output {
public:
    explicit string_sink(std::string& text) : text(text) {}

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        try {
            text.append(bytes, static_cast<std::size_t>(count));
        } catch (const std::exception&) {
            return 0;
        }
        return count;
    }

private:
    std::string& text;
};

} // namespace

uint64_t file_entry_checksum(const cfc_fileinfo& entry) {
    memory_output image;
    std::ostream out(&image);
    if (entry.write_entry(out) != CAB_STATUS_OK || image.out_of_memory())
        throw std::bad_alloc();
    return record_hash(image.data(), image.size());
}

cabinet_edit::~cabinet_edit() {
    close();
}

void cabinet_edit::close() noexcept {
    static_cast<void>(core.close());
    window.reset();
    window_start = window_size = 0;
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    opened = false;
    reading = {};
    keep.clear();
    entry_of_file.clear();
    by_name.clear();
    copied_folders = rebuilt_folders = 0;
    carried.clear();
    carry_done = false;
    whole_set.reset();
    volumes.clear();
}

outcome cabinet_edit::open(const std::filesystem::path& cabinet) {
    close();
    path = cabinet;
    errno = 0;
    fd = ::open(cabinet.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return outcome_of(CAB_ERROR_OPEN_STREAM, path);
    if (fstat(fd, &status) != 0)
        return outcome_of(CAB_ERROR_OPEN_STREAM, path);
    if (!S_ISREG(status.st_mode)) {
        // What is changed is replaced by a new file: a pipe or device cannot be.
        errno = 0;
        return outcome_of(S_ISDIR(status.st_mode) ? CAB_ERROR_OPEN_FILE : CAB_ERROR_NOT_SEEKABLE,
                          path);
    }
    char own[40];
    std::snprintf(own, sizeof own, "/proc/self/fd/%d", fd);
    errno = 0;
    int failed = core.open(access(own, R_OK) == 0 ? own : cabinet.c_str());
    // Twenty zero bytes would otherwise read as an empty cabinet.
    if (failed == CAB_STATUS_OK && core.header.signature != CABINET_SIGNATURE)
        failed = CAB_ERROR_BAD_DATA;
    // A later cabinet of a set holds only part of it: the set is changed
    // from its first.
    if (failed == CAB_STATUS_OK && (core.header.flags & cfhdrPREV_CABINET) != 0)
        failed = CAB_ERROR_SET_UNCHANGEABLE;
    if (failed != CAB_STATUS_OK)
        return outcome_of(failed, path);
    if ((core.header.flags & cfhdrNEXT_CABINET) != 0)
        return open_set();
    read_entries(core, reading);
    // What cannot be verified cannot be carried over as sound.
    if (!reading.damage.empty()) {
        const problem& first = reading.damage.front();
        return outcome_of(first.code.value(), first.name.empty() ? path : path / first.name);
    }
    // Folders that run into one another are found as they are copied
    // (carry_over), without a walk of every block header first.
    const std::vector<folder_span> spans(core.header.cFolders);
    const std::vector<int64_t> overlaps = overlapping_entries(reading, core, spans);
    for (std::size_t i = 0; i < overlaps.size(); ++i)
        if (overlaps[i] >= 0)
            return outcome_of(CAB_ERROR_OVERLAP, path / reading.entries[i].name);

    const std::size_t count = reading.entries.size();
    entry_of_file.assign(core.file_headers.count, count);
    for (std::size_t i = 0; i < count; ++i) {
        const int64_t file = reading.sources[i].file;
        if (file >= 0) {
            const cabinet_file_header& header = *core.file_headers[static_cast<uint32_t>(file)];
            if (header.iFolder >= core.header.cFolders ||
                (reading.record_folder && header.iFolder == *reading.record_folder))
                return outcome_of(CAB_ERROR_INVALID_FOLDER, path / reading.entries[i].name);
            entry_of_file[static_cast<std::size_t>(file)] = i;
        }
        by_name.emplace(reading.entries[i].name, i);
    }
    keep.assign(count, true);
    // Copied folders are read in large pieces: checksummed, then written
    // from the same buffer.
    window.reset(new (std::nothrow) uint8_t[window_capacity]);
    if (!window)
        return outcome_of(CAB_ERROR_OUT_OF_MEMORY, path);
    window_start = window_size = 0;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    starts.clear();
    for (uint16_t folder = 0; folder < core.header.cFolders; ++folder)
        starts.push_back(core.folder_managers[folder]->coffCabStart);
    std::sort(starts.begin(), starts.end());
    if (std::adjacent_find(starts.begin(), starts.end()) != starts.end())
        return outcome_of(CAB_ERROR_FOLDERS_OVERLAP, path);
    opened = true;
    return {};
}

outcome cabinet_edit::open_set() {
    whole_set = std::make_unique<reader>();
    std::error_code failed;
    whole_set->open(path, failed);
    if (failed)
        return outcome_of(failed, path, CAB_ERROR_OPEN_STREAM);
    for (const volume_info& volume : whole_set->volumes()) {
        if (volume.status)
            return outcome_of(volume.status, volume.path, CAB_ERROR_OPEN_STREAM);
        volumes.push_back(volume.path);
    }
    // What cannot be verified cannot be stored again as sound.
    if (!whole_set->damage().empty()) {
        const problem& first = whole_set->damage().front();
        return outcome_of(first.code, first.name.empty() ? path : path / first.name,
                          CAB_ERROR_OPEN_STREAM);
    }
    if (whole_set->info().record != record_status::verified)
        return outcome_of(CAB_ERROR_RECORD_DAMAGED, path);
    reading.status = record_status::verified;
    reading.entries = whole_set->entries();
    for (std::size_t i = 0; i < reading.entries.size(); ++i)
        by_name.emplace(reading.entries[i].name, i);
    keep.assign(reading.entries.size(), true);
    opened = true;
    return {};
}

std::vector<std::size_t> cabinet_edit::all_named(std::string_view name) const {
    std::vector<std::size_t> found;
    auto [first, last] = by_name.equal_range(name);
    for (auto at = first; at != last; ++at)
        found.push_back(at->second);
    std::sort(found.begin(), found.end());
    return found;
}

std::size_t cabinet_edit::kept_count() const {
    std::size_t count = 0;
    for (bool kept : keep)
        count += kept ? 1 : 0;
    return count;
}

std::vector<std::size_t> cabinet_edit::named(std::string_view name) const {
    std::vector<std::size_t> found = all_named(name);
    found.erase(std::remove_if(found.begin(), found.end(),
                               [this](std::size_t index) { return !keep[index]; }),
                found.end());
    return found;
}

const cabinet_file_header* cabinet_edit::file_of(std::size_t index) const {
    if (index >= reading.sources.size())
        return nullptr; // a set's
    const int64_t file = reading.sources[index].file;
    return file < 0 ? nullptr : core.file_headers[static_cast<uint32_t>(file)];
}

outcome cabinet_edit::check_content(std::size_t file, const std::string& bytes) const {
    const std::size_t index = entry_of_file[file];
    const entry_source& source = reading.sources[index];
    if (source.has_content && record_hash(bytes.data(), bytes.size()) != source.content)
        return outcome_of(CAB_ERROR_CONTENT_MISMATCH, path / reading.entries[index].name);
    return {};
}

const uint8_t* cabinet_edit::view(uint64_t at, std::size_t length) {
    errno = 0;
    if (at >= window_start && at - window_start <= window_size &&
        window_size - (at - window_start) >= length)
        return window.get() + (at - window_start);
    window_start = at;
    window_size = 0;
    while (window_size < window_capacity) {
        const ssize_t got = pread(fd, window.get() + window_size, window_capacity - window_size,
                                  static_cast<off_t>(at + window_size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return nullptr;
        if (got == 0)
            break;
        window_size += static_cast<uint64_t>(got);
    }
    errno = 0;
    return window_size >= length ? window.get() : nullptr;
}

bool cabinet_edit::runs_into_another(uint64_t start, uint64_t at) const {
    // Another folder's first block at or before at, and after start.
    auto later = std::upper_bound(starts.begin(), starts.end(), start);
    return later != starts.end() && *later <= at;
}

outcome cabinet_edit::walk_folder(uint16_t number, std::ostream* out, uint64_t& bytes,
                                  uint64_t& uncompressed, block_size_log* sizes) {
    const cabinet_folder_manager& folder = *core.folder_managers[number];
    const uint64_t reserve = core.header.block_reserve_size();
    const uint64_t length = static_cast<uint64_t>(status.st_size);
    bytes = uncompressed = 0;
    uint64_t at = folder.coffCabStart;
    uint8_t image[block_header_size];
    for (uint32_t block = 0; block < folder.cCFData; ++block) {
        if (block != 0 && runs_into_another(folder.coffCabStart, at))
            return outcome_of(CAB_ERROR_FOLDERS_OVERLAP, path);
        if (at > length || length - at < block_header_size + reserve)
            return outcome_of(CAB_ERROR_UNEXPECTED_EOF, path);
        const uint8_t* header = view(at, block_header_size + reserve);
        if (header == nullptr)
            return outcome_of(errno != 0 ? CAB_ERROR_READ : CAB_ERROR_UNEXPECTED_EOF, path);
        const uint64_t csum = get_le64(header);
        const uint16_t stored = get_le16(header + 8);
        const uint16_t size = get_le16(header + 10);
        if (length - at - block_header_size - reserve < stored)
            return outcome_of(CAB_ERROR_UNEXPECTED_EOF, path);
        const uint8_t* payload = view(at + block_header_size + reserve, stored);
        if (payload == nullptr)
            return outcome_of(errno != 0 ? CAB_ERROR_READ : CAB_ERROR_UNEXPECTED_EOF, path);
        // A damaged block is never carried into a cabinet that would then
        // pass for sound.
        if (size > cfc_folderinfo::block_size ||
            cabinet_datablock::block_checksum(payload, stored, size) != csum)
            return outcome_of(CAB_ERROR_CHECKSUM, path);
        if (out != nullptr) {
            // The new cabinet's blocks have no reserve area.
            put_le64(image, csum);
            put_le16(image + 8, stored);
            put_le16(image + 10, size);
            std::fill(image + 12, image + block_header_size, 0);
            out->write(reinterpret_cast<const char*>(image), block_header_size);
            out->write(reinterpret_cast<const char*>(payload), stored);
            if (out->fail())
                return outcome_of(CAB_ERROR_WRITE);
        }
        if (sizes != nullptr)
            sizes->add(uint32_t{stored} << 16 | size);
        bytes += block_header_size + stored;
        uncompressed += size;
        at += block_header_size + reserve + stored;
    }
    return {};
}

int cabinet_edit::write_carried(std::ostream& out) {
    for (const carried_folder& folder : carried) {
        uint64_t bytes = 0, uncompressed = 0;
        errno = 0;
        outcome written = walk_folder(folder.number, &out, bytes, uncompressed);
        if (written.failed())
            return written.status;
        // The old cabinet changed since it was read.
        if (bytes != folder.bytes)
            return CAB_ERROR_BAD_DATA;
    }
    return CAB_STATUS_OK;
}

uint64_t cabinet_edit::carried_bytes() const {
    uint64_t total = 0;
    for (const carried_folder& folder : carried)
        total += folder.bytes;
    return total;
}

outcome cabinet_edit::carry_folder(uint16_t number, const std::vector<uint32_t>& staying,
                                   bool whole, cabinet_creator& creator,
                                   const std::function<block_encoding(uint16_t type)>& encoding_of,
                                   uint32_t folder_limit,
                                   const std::function<block_size_log*()>& folder_made,
                                   uint64_t& carried_offset,
                                   const std::function<void(uint32_t file)>& carried_entry) {
    if (creator.folders.count >= folder_limit)
        return outcome_of(CAB_ERROR_TOO_MANY_FOLDERS, path);
    uint64_t bytes = 0, uncompressed = 0;
    block_size_log walked;
    if (whole) {
        // Verified now, so that damage fails before anything is written.
        if (outcome failure = walk_folder(number, nullptr, bytes, uncompressed, &walked);
            failure.failed())
            return failure;
    }
    errno = 0;
    if (int status = creator.new_folder(encoding_of(core.folder_managers[number]->typeCompress)))
        return outcome_of(status, path);
    cfc_folderinfo& made = *creator.folders.tail;
    if (block_size_log* sizes = folder_made ? folder_made() : nullptr; sizes && whole) {
        for (std::size_t block = 0; block < walked.count; ++block)
            sizes->add(walked.sizes[block]);
        if (walked.failed)
            sizes->failed = true;
    }
    if (whole) {
        // The data file ends where the first folder copied begins.
        if (carried.empty())
            carried_offset = made.data_offset;
        if (int status = made.adopt_blocks(carried_offset, core.folder_managers[number]->cCFData,
                                           bytes, uncompressed))
            return outcome_of(status, path);
        carried_offset += bytes;
        carried.push_back({number, bytes});
        ++copied_folders;
    } else {
        ++rebuilt_folders;
    }
    // A range that links share is taken once; the others point to it.
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> ranges;
    for (uint32_t file : staying) {
        const cabinet_file_header& header = *core.file_headers[file];
        const char* name = header.szName.str();
        uint64_t offset = header.uoffFolderStart;
        int status = CAB_STATUS_OK;
        errno = 0;
        auto shared = ranges.find({header.uoffFolderStart, header.cbFile});
        if (!whole && shared == ranges.end()) {
            std::string content;
            string_sink sink(content);
            std::ostream out(&sink);
            if ((status = core.write_file(file, out)) != CAB_STATUS_OK)
                return outcome_of(status, path / reading.entries[entry_of_file[file]].name);
            if (outcome failure = check_content(file, content); failure.failed())
                return failure;
            memory_input buffer(content);
            std::istream in(&buffer);
            status = creator.add_stream(in, name, header.date, header.time, header.attribs);
            if (status == CAB_STATUS_OK)
                ranges.emplace(std::make_pair(header.uoffFolderStart, header.cbFile),
                               creator.folders.tail->files.tail->uoffFolderStart);
        } else {
            if (!whole)
                offset = shared->second;
            status = creator.add_shared_entry(name, made.iFolder, offset, header.cbFile,
                                              header.date, header.time, header.attribs);
        }
        if (status != CAB_STATUS_OK)
            return outcome_of(status, path);
        carried_entry(file);
    }
    return {};
}

outcome cabinet_edit::carry_over(cabinet_creator& creator,
                                 const std::function<block_encoding(uint16_t type)>& encoding_of,
                                 uint32_t folder_limit,
                                 const std::function<block_size_log*()>& folder_made,
                                 record_table& kept, std::vector<std::size_t>& kept_from) {
    const uint32_t files = static_cast<uint32_t>(core.file_headers.count);
    const uint16_t folders = core.header.cFolders;
    std::vector<std::vector<uint32_t>> in_folder(folders);
    for (uint32_t file = 0; file < files; ++file)
        if (entry_of_file[file] < keep.size())
            in_folder[core.file_headers[file]->iFolder].push_back(file);

    // The new number and the record's checksum of each file entry carried.
    std::vector<uint32_t> new_number(files, 0);
    std::vector<uint64_t> new_checksum(files, 0);
    const std::function<void(uint32_t file)> carried_entry = [&](uint32_t file) {
        new_number[file] = creator.file_count - 1;
        new_checksum[file] = file_entry_checksum(*creator.folders.tail->files.tail);
    };
    // Rebuilt folders first: their blocks go to the creator's data file,
    // and the copied folders' are written behind them at commit.
    carried.clear();
    carry_done = true;
    uint64_t carried_offset = 0;
    for (int pass = 0; pass < 2; ++pass) {
        const bool copying = pass == 1;
        for (uint16_t number = 0; number < folders; ++number) {
            std::vector<uint32_t> staying;
            for (uint32_t file : in_folder[number])
                if (keep[entry_of_file[file]])
                    staying.push_back(file);
            const bool whole = staying.size() == in_folder[number].size();
            if (staying.empty() || whole != copying)
                continue;
            if (outcome failure =
                    carry_folder(number, staying, whole, creator, encoding_of, folder_limit,
                                 folder_made, carried_offset, carried_entry);
                failure.failed())
                return failure;
        }
    }

    if (plain())
        return {};
    // The record's entries of what stays, in the old order; the first of a
    // link group that stays holds its bytes, later ones link to it.
    std::map<uint32_t, uint32_t> group_leader;
    for (std::size_t i = 0; i < keep.size(); ++i) {
        if (!keep[i])
            continue;
        const entry& e = reading.entries[i];
        const entry_source& source = reading.sources[i];
        record_entry r;
        r.mode = e.mode;
        r.has_owner = e.owner.has_value() && e.group.has_value();
        if (r.has_owner) {
            r.uid = e.owner->id;
            r.gid = e.group->id;
            if (!e.owner->name.empty())
                kept.owners[r.uid] = e.owner->name;
            if (!e.group->name.empty())
                kept.groups[r.gid] = e.group->name;
        }
        r.seconds = static_cast<int64_t>(e.modified);
        r.nanoseconds = e.modified_nanoseconds;
        const uint32_t index = static_cast<uint32_t>(kept.entries.size());
        switch (e.type) {
        case entry_type::directory:
        case entry_type::symlink:
            r.type =
                e.type == entry_type::directory ? record_type::directory : record_type::symlink;
            r.name = e.name;
            r.target = e.link_target;
            break;
        case entry_type::file:
        case entry_type::hardlink: {
            const uint32_t file = static_cast<uint32_t>(source.file);
            r.file = new_number[file];
            r.entry_checksum = new_checksum[file];
            auto leader = group_leader.find(source.link_group);
            if (leader != group_leader.end()) {
                r.type = record_type::hardlink;
                r.link = leader->second;
            } else {
                r.type = record_type::file;
                r.content = source.content;
                group_leader.emplace(source.link_group, index);
            }
            break;
        }
        }
        kept.entries.push_back(std::move(r));
        kept_from.push_back(i);
    }
    return {};
}

} // namespace kistle::internal
