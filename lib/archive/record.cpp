#include "record.h"

#include <cstring>
#include <new>
#include <set>

#include <nlohmann/json.hpp>
#include <xxhash.h>

#include "little_endian.h"

namespace kistle::internal {

namespace {

using json = nlohmann::json;

// "kistle", NUL, and a letter for what follows.
constexpr uint8_t pointer_marker[8] = {'k', 'i', 's', 't', 'l', 'e', 0, 'H'};
constexpr uint8_t record_marker[8] = {'k', 'i', 's', 't', 'l', 'e', 0, 'R'};

// Marker, version, table length; the trailer follows the table.
constexpr std::size_t preamble_size = 24;
constexpr std::size_t trailer_size = 8;

json bytes_value(const std::string& text) {
    return json::binary(std::vector<uint8_t>(text.begin(), text.end()));
}

json name_table(const std::map<uint32_t, std::string>& names) {
    json table = json::array();
    for (const auto& [id, name] : names)
        table.push_back(json::array({id, bytes_value(name)}));
    return table;
}

json entry_value(const record_entry& e) {
    json value = json::object();
    value["t"] = static_cast<unsigned>(e.type);
    if (e.type == record_type::file || e.type == record_type::hardlink)
        value["f"] = e.file;
    if (e.type == record_type::directory || e.type == record_type::symlink)
        value["n"] = bytes_value(e.name);
    value["m"] = e.mode;
    if (e.has_owner) {
        value["u"] = e.uid;
        value["g"] = e.gid;
    }
    value["s"] = e.seconds;
    if (e.nanoseconds != 0)
        value["ns"] = e.nanoseconds;
    if (e.type == record_type::symlink)
        value["l"] = bytes_value(e.target);
    if (e.type == record_type::hardlink)
        value["h"] = e.link;
    if (e.type == record_type::file)
        value["c"] = e.content;
    if (e.type == record_type::file || e.type == record_type::hardlink)
        value["e"] = e.entry_checksum;
    return value;
}

// Readers of a decoded table: each takes a value of the expected kind and
// range, or says it is not there.
const json* member(const json& object, const char* key) {
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

bool unsigned_value(const json* value, uint64_t most, uint64_t& result) {
    if (value == nullptr || !value->is_number_unsigned())
        return false;
    result = value->get<uint64_t>();
    return result <= most;
}

bool signed_value(const json* value, int64_t& result) {
    if (value == nullptr)
        return false;
    if (value->is_number_unsigned()) {
        uint64_t v = value->get<uint64_t>();
        if (v > static_cast<uint64_t>(INT64_MAX))
            return false;
        result = static_cast<int64_t>(v);
        return true;
    }
    if (!value->is_number_integer())
        return false;
    result = value->get<int64_t>();
    return true;
}

bool bytes_of(const json* value, std::string& result) {
    if (value == nullptr || !value->is_binary())
        return false;
    const auto& bytes = value->get_binary();
    result.assign(bytes.begin(), bytes.end());
    return true;
}

bool read_names(const json* table, std::map<uint32_t, std::string>& names) {
    if (table == nullptr)
        return true;
    if (!table->is_array())
        return false;
    for (const json& pair : *table) {
        uint64_t id = 0;
        std::string name;
        if (!pair.is_array() || pair.size() != 2 || !unsigned_value(&pair[0], UINT32_MAX, id) ||
            !bytes_of(&pair[1], name))
            return false;
        names[static_cast<uint32_t>(id)] = std::move(name);
    }
    return true;
}

bool read_entry(const json& value, record_entry& e) {
    if (!value.is_object())
        return false;
    uint64_t number = 0;
    if (!unsigned_value(member(value, "t"), 3, number))
        return false;
    e.type = static_cast<record_type>(number);
    const bool has_file = e.type == record_type::file || e.type == record_type::hardlink;
    if (has_file) {
        if (!unsigned_value(member(value, "f"), UINT32_MAX, number))
            return false;
        e.file = static_cast<uint32_t>(number);
        if (!unsigned_value(member(value, "e"), UINT64_MAX, e.entry_checksum))
            return false;
    } else if (!bytes_of(member(value, "n"), e.name)) {
        return false;
    }
    if (!unsigned_value(member(value, "m"), 07777, number))
        return false;
    e.mode = static_cast<uint32_t>(number);
    const json* uid = member(value, "u");
    const json* gid = member(value, "g");
    e.has_owner = uid != nullptr || gid != nullptr;
    if (e.has_owner) {
        uint64_t u = 0, g = 0;
        if (!unsigned_value(uid, UINT32_MAX, u) || !unsigned_value(gid, UINT32_MAX, g))
            return false;
        e.uid = static_cast<uint32_t>(u);
        e.gid = static_cast<uint32_t>(g);
    }
    if (!signed_value(member(value, "s"), e.seconds))
        return false;
    if (const json* ns = member(value, "ns")) {
        if (!unsigned_value(ns, 999999999, number))
            return false;
        e.nanoseconds = static_cast<uint32_t>(number);
    }
    if (e.type == record_type::symlink && !bytes_of(member(value, "l"), e.target))
        return false;
    if (e.type == record_type::hardlink) {
        if (!unsigned_value(member(value, "h"), UINT32_MAX, number))
            return false;
        e.link = static_cast<uint32_t>(number);
    }
    if (e.type == record_type::file && !unsigned_value(member(value, "c"), UINT64_MAX, e.content))
        return false;
    return true;
}

// What a reader relies on beyond each entry's own fields.
bool consistent(const record_table& table, uint32_t file_count) {
    std::set<uint32_t> files;
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const record_entry& e = table.entries[i];
        switch (e.type) {
        case record_type::file:
            if (e.file >= file_count || !files.insert(e.file).second)
                return false;
            break;
        case record_type::hardlink: {
            if (e.file >= file_count || !files.insert(e.file).second || e.link >= i)
                return false;
            const record_type first = table.entries[e.link].type;
            if (first != record_type::file && first != record_type::hardlink)
                return false;
            break;
        }
        case record_type::directory:
        case record_type::symlink:
            if (e.name.empty() || e.name.find('\0') != std::string::npos)
                return false;
            break;
        }
    }
    // A file entry the record leaves out would be vouched for by nothing.
    return files.size() == file_count;
}

} // namespace

uint64_t record_hash(const void* bytes, std::size_t size) {
    return XXH3_64bits(bytes, size);
}

running_hash::running_hash() : state(XXH3_createState()) {
    if (state == nullptr)
        throw std::bad_alloc();
    reset();
}

running_hash::~running_hash() {
    XXH3_freeState(static_cast<XXH3_state_t*>(state));
}

void running_hash::reset() {
    XXH3_64bits_reset(static_cast<XXH3_state_t*>(state));
}

void running_hash::add(const void* bytes, std::size_t size) {
    XXH3_64bits_update(static_cast<XXH3_state_t*>(state), bytes, size);
}

uint64_t running_hash::value() const {
    return XXH3_64bits_digest(static_cast<const XXH3_state_t*>(state));
}

void record_pointer::encode(uint8_t* bytes) const {
    std::memset(bytes, 0, size);
    std::memcpy(bytes, pointer_marker, sizeof pointer_marker);
    bytes[8] = major;
    bytes[9] = minor;
    put_le16(bytes + 10, folder);
    put_le64(bytes + 16, length);
    put_le64(bytes + 24, record_checksum);
    put_le64(bytes + digest_offset, directory_digest);
}

bool record_pointer::has_marker(const uint8_t* bytes, std::size_t available) {
    return bytes != nullptr && available >= sizeof pointer_marker &&
           std::memcmp(bytes, pointer_marker, sizeof pointer_marker) == 0;
}

bool record_pointer::decode(const uint8_t* bytes, std::size_t available) {
    if (available < size || !has_marker(bytes, available))
        return false;
    major = bytes[8];
    minor = bytes[9];
    folder = get_le16(bytes + 10);
    length = get_le64(bytes + 16);
    record_checksum = get_le64(bytes + 24);
    directory_digest = get_le64(bytes + digest_offset);
    return true;
}

std::string encode_record(const record_table& table) {
    json entries = json::array();
    for (const record_entry& e : table.entries)
        entries.push_back(entry_value(e));
    json value = json::object();
    value["entries"] = std::move(entries);
    if (!table.owners.empty())
        value["owners"] = name_table(table.owners);
    if (!table.groups.empty())
        value["groups"] = name_table(table.groups);
    std::vector<uint8_t> body = json::to_cbor(value);

    std::string record(preamble_size, '\0');
    uint8_t* start = reinterpret_cast<uint8_t*>(record.data());
    std::memcpy(start, record_marker, sizeof record_marker);
    start[8] = record_major;
    start[9] = record_minor;
    put_le64(start + 16, body.size());
    record.append(body.begin(), body.end());
    uint8_t trailer[trailer_size];
    put_le64(trailer, record_hash(record.data(), record.size()));
    record.append(reinterpret_cast<const char*>(trailer), trailer_size);
    return record;
}

bool looks_like_record(std::string_view bytes) {
    return bytes.size() >= sizeof record_marker &&
           std::memcmp(bytes.data(), record_marker, sizeof record_marker) == 0;
}

record_verdict decode_record(std::string_view bytes, uint32_t file_count, record_table& table,
                             uint64_t& trailer, uint8_t& major) {
    table = {};
    trailer = 0;
    major = 0;
    if (!looks_like_record(bytes) || bytes.size() < preamble_size + trailer_size)
        return record_verdict::damaged;
    const auto* start = reinterpret_cast<const uint8_t*>(bytes.data());
    const std::size_t checked = bytes.size() - trailer_size;
    trailer = get_le64(start + checked);
    if (record_hash(start, checked) != trailer)
        return record_verdict::damaged;
    major = start[8];
    if (major > record_major)
        return record_verdict::newer;
    if (major != record_major || get_le64(start + 16) != checked - preamble_size)
        return record_verdict::damaged;

    json value = json::from_cbor(start + preamble_size, start + checked, true, false);
    if (value.is_discarded() || !value.is_object())
        return record_verdict::damaged;
    const json* entries = member(value, "entries");
    if (entries == nullptr || !entries->is_array())
        return record_verdict::damaged;
    table.entries.reserve(entries->size());
    for (const json& entry : *entries) {
        table.entries.emplace_back();
        if (!read_entry(entry, table.entries.back()))
            return record_verdict::damaged;
    }
    if (!read_names(member(value, "owners"), table.owners) ||
        !read_names(member(value, "groups"), table.groups) || !consistent(table, file_count))
        return record_verdict::damaged;
    return record_verdict::sound;
}

} // namespace kistle::internal
