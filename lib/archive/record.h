// The record kistle keeps in a cabinet beside the file entries (internal):
// directories, links, full modes, owners, exact times and checksums, and
// the pointer to it in the header's reserve area. doc/format.md describes
// the bytes; this is their one encoder and decoder.
#ifndef KISTLE_RECORD_H
#define KISTLE_RECORD_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kistle::internal {

// XXH3-64, seed 0: the checksum of every part of the record.
uint64_t record_hash(const void* bytes, std::size_t size);

// Incremental XXH3-64 of bytes that flow past.
class running_hash {
public:
    running_hash();
    ~running_hash();
    running_hash(const running_hash&) = delete;
    running_hash& operator=(const running_hash&) = delete;
    void reset();
    void add(const void* bytes, std::size_t size);
    uint64_t value() const;

private:
    void* state; // XXH3_state_t
};

constexpr uint8_t record_major = 1;
constexpr uint8_t record_minor = 0;

// The header's reserve area: where the record is, and the digest of the
// directory.
struct record_pointer {
    static constexpr std::size_t size = 48;
    // Where the digest lies in the reserve area; the digest covers the
    // directory with these bytes as zero.
    static constexpr std::size_t digest_offset = 32;

    uint8_t major = record_major;
    uint8_t minor = record_minor;
    uint16_t folder = 0;
    uint64_t length = 0;
    uint64_t record_checksum = 0;
    uint64_t directory_digest = 0;

    void encode(uint8_t* bytes) const;
    // False when bytes (size of them) do not begin with the pointer's marker.
    bool decode(const uint8_t* bytes, std::size_t available);
    static bool has_marker(const uint8_t* bytes, std::size_t available);
};

enum class record_type : uint8_t { file = 0, directory = 1, symlink = 2, hardlink = 3 };

struct record_entry {
    record_type type = record_type::file;
    uint32_t file = 0;    // its file entry (file, hardlink)
    std::string name;     // directory, symlink
    uint32_t mode = 0644; // 07777
    bool has_owner = false;
    uint32_t uid = 0, gid = 0;
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
    std::string target;          // symlink
    uint32_t link = 0;           // hardlink: the entry it links to
    uint64_t content = 0;        // file: XXH3 of its bytes
    uint64_t entry_checksum = 0; // file, hardlink: XXH3 of its file entry
};

struct record_table {
    std::vector<record_entry> entries;
    std::map<uint32_t, std::string> owners; // user names by ID
    std::map<uint32_t, std::string> groups;
};

// The record's bytes: marker, version, the table in CBOR, trailer.
// Throws std::bad_alloc.
std::string encode_record(const record_table& table);

// What a record's bytes say.
enum class record_verdict {
    sound,   // table filled
    damaged, // not a record, or its checksum, length or table does not hold
    newer,   // a major version this reader does not know
};

// The most bytes an entry takes in a record's table, wherever it is
// numbered and whatever its file entry's checksum; and the most the
// table's frame and names take besides its entries. A cabinet of a set is
// planned with them before its record is written.
uint64_t record_entry_bound(const record_entry& entry);
uint64_t record_frame_bound(const record_table& table);

// Reads a record. The table is checked for what a reader relies on: types,
// ranges, file numbers below file_count (each regular file's at most once),
// links to earlier entries of a kind that has bytes. trailer gets the
// record's own checksum (0 when it has none).
record_verdict decode_record(std::string_view bytes, uint32_t file_count, record_table& table,
                             uint64_t& trailer, uint8_t& major);

// Whether bytes begin with a record's marker.
bool looks_like_record(std::string_view bytes);

} // namespace kistle::internal

#endif
