#include "record_reader.h"

#include <kistle/cabinet_status.h>
#include <kistle/dos_date_time.h>

#include "memory_output.h"

namespace kistle::internal {

namespace {

// Where the reserve area begins: behind the fixed header and the
// reserve-size block.
constexpr uint64_t reserve_offset = 64 + 4;

// The most a record may take in memory, whatever its pointer claims.
constexpr uint64_t record_limit = uint64_t(256) << 20;

std::error_code code_of(int status) {
    return std::error_code(status, category());
}

// Bytes offset to offset + length - 1 of folder's stream, or false.
bool folder_bytes(cabinet_reader& core, uint16_t folder, uint64_t offset, uint64_t length,
                  std::string& bytes) {
    memory_output buffer;
    std::ostream out(&buffer);
    if (core.write_folder_range(folder, offset, length, out) != CAB_STATUS_OK ||
        buffer.out_of_memory())
        return false;
    bytes.assign(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    return true;
}

// The record in folder, length bytes long (0: as long as it says it is),
// if it holds.
record_verdict record_in(cabinet_reader& core, uint16_t folder, uint64_t length,
                         record_table& table, uint64_t& trailer, uint8_t& major) {
    std::string bytes;
    if (length == 0) {
        // Marker, version and the table's length, then the table and trailer.
        if (!folder_bytes(core, folder, 0, 24, bytes) || !looks_like_record(bytes))
            return record_verdict::damaged;
        const auto* start = reinterpret_cast<const uint8_t*>(bytes.data());
        uint64_t table = 0;
        for (int i = 7; i >= 0; --i)
            table = table << 8 | start[16 + i];
        if (table > record_limit)
            return record_verdict::damaged;
        length = 24 + table + 8;
    }
    if (length > record_limit || !folder_bytes(core, folder, 0, length, bytes))
        return record_verdict::damaged;
    return decode_record(bytes, core.header.cFiles, table, trailer, major);
}

// XXH3 of a file entry's bytes as the cabinet holds them.
uint64_t entry_checksum(const cabinet_file_header& file) {
    memory_output image;
    std::ostream out(&image);
    if (file.write(out) != CAB_STATUS_OK || image.out_of_memory())
        return 0;
    return record_hash(image.data(), image.size());
}

// Whether the directory (the header through the last file entry) matches
// the pointer's digest.
bool directory_matches(cabinet_reader& core, const record_pointer& pointer) {
    uint64_t end = core.header.coffFiles;
    for (uint32_t i = 0; i < core.file_headers.count; ++i)
        end += cabinet_file_fixed_header::image_size + core.file_headers[i]->szName.length() + 1;
    if (end < reserve_offset + record_pointer::size || end > (uint64_t(1) << 32))
        return false;
    std::string bytes(static_cast<std::size_t>(end), '\0');
    if (core.read_bytes(0, bytes.data(), bytes.size()) != CAB_STATUS_OK)
        return false;
    std::fill_n(bytes.begin() + reserve_offset + record_pointer::digest_offset, 8, '\0');
    return record_hash(bytes.data(), bytes.size()) == pointer.directory_digest;
}

// Whether anything says a kistle record belongs in this cabinet, when the
// header's reserve area does not point to one.
bool marked_elsewhere(cabinet_reader& core) {
    uint8_t raw[8];
    if (core.read_bytes(reserve_offset, raw, sizeof raw) == CAB_STATUS_OK &&
        record_pointer::has_marker(raw, sizeof raw))
        return true;
    std::string start;
    return (core.header.flags & cfhdrRESERVE_PRESENT) && core.header.cFolders > 0 &&
           folder_bytes(core, static_cast<uint16_t>(core.header.cFolders - 1), 0, 8, start) &&
           looks_like_record(start);
}

void plain_entries(cabinet_reader& core, record_reading& result) {
    const uint32_t count = static_cast<uint32_t>(core.file_headers.count);
    result.entries.reserve(count);
    result.sources.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const cabinet_file_header& file = *core.file_headers[i];
        entry e;
        e.name = file.szName.str();
        e.size = file.cbFile;
        e.folder = file.iFolder;
        e.attributes = file.attribs;
        e.mode = mode_of_attributes(file.attribs);
        if (!dos_date_time_to_time(file.date, file.time, e.modified))
            e.modified = 0;
        result.entries.push_back(std::move(e));
        result.sources.push_back({static_cast<int64_t>(i), false, 0, i});
    }
}

std::optional<owner_id> named(uint32_t id, const std::map<uint32_t, std::string>& names) {
    auto found = names.find(id);
    return owner_id{id, found != names.end() ? found->second : std::string()};
}

void record_entries(cabinet_reader& core, const record_table& table, record_reading& result) {
    result.entries.reserve(table.entries.size());
    result.sources.reserve(table.entries.size());
    for (const record_entry& r : table.entries) {
        entry e;
        entry_source source;
        source.link_group = static_cast<uint32_t>(result.entries.size());
        e.mode = r.mode;
        if (r.has_owner) {
            e.owner = named(r.uid, table.owners);
            e.group = named(r.gid, table.groups);
        }
        e.modified = static_cast<std::time_t>(r.seconds);
        e.modified_nanoseconds = r.nanoseconds;
        e.verified = true;
        switch (r.type) {
        case record_type::directory:
        case record_type::symlink:
            e.type = r.type == record_type::directory ? entry_type::directory : entry_type::symlink;
            e.name = r.name;
            e.link_target = r.target;
            break;
        case record_type::file:
        case record_type::hardlink: {
            const cabinet_file_header& file = *core.file_headers[r.file];
            e.name = file.szName.str();
            e.size = file.cbFile;
            e.folder = file.iFolder;
            e.attributes = file.attribs;
            source.file = r.file;
            source.has_content = true;
            if (r.type == record_type::file) {
                source.content = r.content;
            } else {
                e.type = entry_type::hardlink;
                e.link_target = result.entries[r.link].name;
                source.content = result.sources[r.link].content;
                source.link_group = result.sources[r.link].link_group;
            }
            e.verified = result.directory_verified || entry_checksum(file) == r.entry_checksum;
            if (!e.verified)
                result.damage.push_back({e.name, code_of(CAB_ERROR_ENTRY_MISMATCH)});
            break;
        }
        }
        result.entries.push_back(std::move(e));
        result.sources.push_back(source);
    }
}

} // namespace

uint32_t mode_of_attributes(uint16_t attributes) {
    uint32_t mode = (attributes & ATTRIBUTE_READONLY) ? 0444 : 0644;
    if (attributes & attribute::execute)
        mode |= (mode & 0444) >> 2;
    return mode;
}

void read_entries(cabinet_reader& core, record_reading& result) {
    result = {};
    const cabinet_header& header = core.header;
    record_pointer pointer;
    const bool pointed = (header.flags & cfhdrRESERVE_PRESENT) && header.abReserve != nullptr &&
                         pointer.decode(header.abReserve, header.cbCFHeader);
    if (!pointed && !marked_elsewhere(core)) {
        plain_entries(core, result);
        return;
    }
    if (pointed && pointer.major > record_major) {
        result.status = record_status::newer;
        result.major = pointer.major;
        result.minor = pointer.minor;
        result.damage.push_back({"", code_of(CAB_ERROR_RECORD_NEWER)});
        plain_entries(core, result);
        return;
    }

    // Where the pointer says; else in the last folder, where kistle puts it.
    record_table table;
    uint64_t trailer = 0;
    uint8_t major = 0;
    record_verdict verdict = record_verdict::damaged;
    uint16_t folder = pointer.folder;
    if (pointed && pointer.folder < header.cFolders)
        verdict = record_in(core, pointer.folder, pointer.length, table, trailer, major);
    if (verdict == record_verdict::sound && trailer != pointer.record_checksum)
        verdict = record_verdict::damaged;
    if (verdict == record_verdict::damaged && header.cFolders > 0 &&
        !(pointed && pointer.folder == header.cFolders - 1)) {
        folder = static_cast<uint16_t>(header.cFolders - 1);
        verdict = record_in(core, folder, 0, table, trailer, major);
    }
    if (verdict != record_verdict::sound) {
        result.status =
            verdict == record_verdict::newer ? record_status::newer : record_status::damaged;
        result.damage.push_back(
            {"", code_of(verdict == record_verdict::newer ? CAB_ERROR_RECORD_NEWER
                                                          : CAB_ERROR_RECORD_DAMAGED)});
        plain_entries(core, result);
        return;
    }
    result.status = record_status::verified;
    result.record_folder = folder;
    result.major = record_major;
    result.minor = pointed ? pointer.minor : 0;
    result.directory_verified = pointed && directory_matches(core, pointer);
    if (!result.directory_verified)
        result.damage.push_back({"", code_of(CAB_ERROR_DIRECTORY_DAMAGED)});
    record_entries(core, table, result);
    // Every file's bytes are checked against the record from now on.
    core.set_contents_checked(true);
}

} // namespace kistle::internal
