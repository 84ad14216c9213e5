#include "record.h"

#include <cstring>
#include <new>
#include <set>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>
#include <xxh_x86dispatch.h>
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

// The header of a CBOR array or map (major type 4 or 5) of count items, in
// its shortest form, as nlohmann-json writes it.
void container_header(std::string& out, uint8_t major, uint64_t count) {
    const uint8_t type = static_cast<uint8_t>(major << 5);
    int bytes = count < 24            ? 0
                : count <= 0xFF       ? 1
                : count <= 0xFFFF     ? 2
                : count <= 0xFFFFFFFF ? 4
                                      : 8;
    if (bytes == 0) {
        out.push_back(static_cast<char>(type | count));
        return;
    }
    out.push_back(static_cast<char>(type | (bytes == 1   ? 24
                                            : bytes == 2 ? 25
                                            : bytes == 4 ? 26
                                                         : 27)));
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>(count >> (8 * i)));
}

void append_cbor(std::string& out, const json& value) {
    json::to_cbor(value, nlohmann::detail::output_adapter<char>(out));
}

// Reads a table from its CBOR events without building a document of it:
// each entry's fields are checked as they arrive and kept in the entry.
class table_reader : public nlohmann::json_sax<json> {
public:
    explicit table_reader(record_table& table) : table(table) {}

    bool sound() const { return entries_seen && !failed; }

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }

    bool number_integer(number_integer_t v) override {
        if (skipping())
            return value();
        if (in_entry() && key_name == "s") {
            entry().seconds = v;
            return take(field_s);
        }
        return fail();
    }

    bool number_unsigned(number_unsigned_t v) override {
        if (skipping())
            return value();
        if (in_entry())
            return entry_number(v);
        if (in_name_pair() && pair_index == 0) {
            if (v > UINT32_MAX)
                return fail();
            pair_id = static_cast<uint32_t>(v);
            ++pair_index;
            return true;
        }
        return fail();
    }

    bool binary(binary_t& bytes) override {
        if (skipping())
            return value();
        std::string text(bytes.begin(), bytes.end());
        if (in_entry()) {
            if (key_name == "n") {
                entry().name = std::move(text);
                return take(field_n);
            }
            if (key_name == "l") {
                entry().target = std::move(text);
                return take(field_l);
            }
            return fail();
        }
        if (in_name_pair() && pair_index == 1) {
            (*names)[pair_id] = std::move(text);
            ++pair_index;
            return true;
        }
        return fail();
    }

    bool start_object(std::size_t) override {
        if (skipping() || unknown_key())
            return push(skipped);
        if (depth() == 0)
            return push(top);
        if (depth() == 2 && role() == entry_list) {
            table.entries.emplace_back();
            fields = 0;
            return push(entry_map);
        }
        return fail();
    }

    bool start_array(std::size_t) override {
        if (skipping() || unknown_key())
            return push(skipped);
        if (role() == top && key_name == "entries") {
            if (entries_seen)
                return fail();
            entries_seen = true;
            return push(entry_list);
        }
        if (role() == top && (key_name == "owners" || key_name == "groups")) {
            names = key_name == "owners" ? &table.owners : &table.groups;
            return push(name_list);
        }
        if (role() == name_list) {
            pair_index = 0;
            return push(name_pair);
        }
        return fail();
    }

    bool key(string_t& name) override {
        key_name = name;
        return true;
    }

    bool end_object() override {
        const int ended = role();
        stack.pop_back();
        if (ended == entry_map)
            return entry_complete();
        return true;
    }

    bool end_array() override {
        const int ended = role();
        stack.pop_back();
        if (ended == name_pair && pair_index != 2)
            return fail();
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return fail();
    }

private:
    enum container { top, entry_list, entry_map, name_list, name_pair, skipped };
    enum field : unsigned {
        field_t = 1,
        field_f = 2,
        field_n = 4,
        field_m = 8,
        field_u = 16,
        field_g = 32,
        field_s = 64,
        field_ns = 128,
        field_l = 256,
        field_h = 512,
        field_c = 1024,
        field_e = 2048
    };

    std::size_t depth() const { return stack.size(); }
    int role() const { return stack.empty() ? -1 : stack.back(); }
    bool skipping() const {
        for (int c : stack)
            if (c == skipped)
                return true;
        return false;
    }
    bool in_entry() const { return role() == entry_map; }
    bool in_name_pair() const { return role() == name_pair; }
    bool known_top_key() const {
        return key_name == "entries" || key_name == "owners" || key_name == "groups";
    }
    record_entry& entry() { return table.entries.back(); }

    bool push(int c) {
        stack.push_back(c);
        return true;
    }
    // A plain value: in an unknown key or container it is passed over; in an
    // entry, a key the reader does not know is passed over too.
    bool value() { return skipping() || unknown_key() || fail(); }
    // A key this reader does not know, in the table or in an entry.
    bool unknown_key() const {
        return (role() == top && !known_top_key()) || (in_entry() && !known_entry_key());
    }
    bool known_entry_key() const {
        static const char* const keys[] = {"t", "f",  "n", "m", "u", "g",
                                           "s", "ns", "l", "h", "c", "e"};
        for (const char* k : keys)
            if (key_name == k)
                return true;
        return false;
    }
    bool fail() {
        failed = true;
        return false;
    }
    // Each field once.
    bool take(unsigned f) {
        if (fields & f)
            return fail();
        fields |= f;
        return true;
    }

    bool entry_number(uint64_t v) {
        record_entry& e = entry();
        const std::string& k = key_name;
        if (k == "t")
            return v <= 3 && (e.type = static_cast<record_type>(v), take(field_t));
        if (k == "f")
            return v <= UINT32_MAX && (e.file = static_cast<uint32_t>(v), take(field_f));
        if (k == "m")
            return v <= 07777 && (e.mode = static_cast<uint32_t>(v), take(field_m));
        if (k == "u")
            return v <= UINT32_MAX && (e.uid = static_cast<uint32_t>(v), take(field_u));
        if (k == "g")
            return v <= UINT32_MAX && (e.gid = static_cast<uint32_t>(v), take(field_g));
        if (k == "s")
            return v <= static_cast<uint64_t>(INT64_MAX) &&
                   (e.seconds = static_cast<int64_t>(v), take(field_s));
        if (k == "ns")
            return v <= 999999999 && (e.nanoseconds = static_cast<uint32_t>(v), take(field_ns));
        if (k == "h")
            return v <= UINT32_MAX && (e.link = static_cast<uint32_t>(v), take(field_h));
        if (k == "c")
            return (e.content = v, take(field_c));
        if (k == "e")
            return (e.entry_checksum = v, take(field_e));
        return known_entry_key() ? fail() : true;
    }

    // What each type needs.
    bool entry_complete() {
        record_entry& e = entry();
        if (!(fields & field_t) || !(fields & field_m) || !(fields & field_s))
            return fail();
        const bool has_file = e.type == record_type::file || e.type == record_type::hardlink;
        if (has_file && (!(fields & field_f) || !(fields & field_e)))
            return fail();
        if (!has_file && !(fields & field_n))
            return fail();
        if (((fields & field_u) != 0) != ((fields & field_g) != 0))
            return fail();
        e.has_owner = (fields & field_u) != 0;
        if (e.type == record_type::symlink && !(fields & field_l))
            return fail();
        if (e.type == record_type::hardlink && !(fields & field_h))
            return fail();
        if (e.type == record_type::file && !(fields & field_c))
            return fail();
        return true;
    }

    record_table& table;
    std::vector<int> stack;
    std::string key_name;
    unsigned fields = 0;
    bool entries_seen = false;
    bool failed = false;
    std::map<uint32_t, std::string>* names = nullptr;
    uint32_t pair_id = 0;
    int pair_index = 0;
};

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

// The dispatching calls choose the widest vectors the machine has; the
// plain ones are built for SSE2 alone, at half the speed.
uint64_t record_hash(const void* bytes, std::size_t size) {
    return XXH3_64bits_dispatch(bytes, size);
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
    XXH3_64bits_update_dispatch(static_cast<XXH3_state_t*>(state), bytes, size);
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
    // Entry by entry, so that no document of the whole table is ever held:
    // the bytes are those of the document, written in pieces.
    std::string body;
    const uint64_t members = 1 + !table.owners.empty() + !table.groups.empty();
    container_header(body, 5, members);
    append_cbor(body, json("entries"));
    container_header(body, 4, table.entries.size());
    for (const record_entry& e : table.entries)
        append_cbor(body, entry_value(e));
    // In the order of the document's keys.
    if (!table.groups.empty()) {
        append_cbor(body, json("groups"));
        append_cbor(body, name_table(table.groups));
    }
    if (!table.owners.empty()) {
        append_cbor(body, json("owners"));
        append_cbor(body, name_table(table.owners));
    }

    std::string record(preamble_size, '\0');
    uint8_t* start = reinterpret_cast<uint8_t*>(record.data());
    std::memcpy(start, record_marker, sizeof record_marker);
    start[8] = record_major;
    start[9] = record_minor;
    put_le64(start + 16, body.size());
    record.append(body);
    uint8_t trailer[trailer_size];
    put_le64(trailer, record_hash(record.data(), record.size()));
    record.append(reinterpret_cast<const char*>(trailer), trailer_size);
    return record;
}

uint64_t record_entry_bound(const record_entry& entry) {
    record_entry widest = entry;
    widest.file = UINT32_MAX;
    widest.link = UINT32_MAX;
    widest.entry_checksum = UINT64_MAX;
    std::string bytes;
    append_cbor(bytes, entry_value(widest));
    return bytes.size();
}

uint64_t record_frame_bound(const record_table& table) {
    std::string names;
    append_cbor(names, name_table(table.owners));
    append_cbor(names, name_table(table.groups));
    // Marker, version and length; the table's map, keys and the entries'
    // array header; the trailer.
    return preamble_size + 1 + 3 * 8 + 9 + names.size() + trailer_size;
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

    table_reader reader(table);
    bool parsed = false;
    try {
        parsed = json::sax_parse(start + preamble_size, start + checked, &reader,
                                 nlohmann::json::input_format_t::cbor, true);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        parsed = false; // what the parser throws for a table it cannot read
    }
    if (!parsed || !reader.sound() || !consistent(table, file_count))
        return record_verdict::damaged;
    return record_verdict::sound;
}

} // namespace kistle::internal
