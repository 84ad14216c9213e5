// The record's table on arbitrary bytes: framed as a sound record (marker,
// version, length, checksum), so that every input reaches the table's
// reader, which must refuse or accept it without a fault; what it accepts
// must hold what a reader relies on, and write back to bytes that read the
// same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "little_endian.h"
#include "record.h"

using namespace kistle::internal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte: how many file entries the cabinet holds.
    const uint32_t files = data[0];
    std::string record("kistle\0R", 8);
    record += std::string(1, static_cast<char>(record_major)) + std::string(7, '\0');
    uint8_t length[8];
    put_le64(length, size - 1);
    record.append(reinterpret_cast<const char*>(length), 8);
    record.append(reinterpret_cast<const char*>(data + 1), size - 1);
    uint8_t trailer[8];
    put_le64(trailer, record_hash(record.data(), record.size()));
    record.append(reinterpret_cast<const char*>(trailer), 8);

    record_table table;
    uint64_t sum = 0;
    uint8_t major = 0;
    if (decode_record(record, files, table, sum, major) != record_verdict::sound)
        return 0;
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const record_entry& e = table.entries[i];
        if (e.mode > 07777 || e.nanoseconds > 999999999 ||
            (e.type == record_type::hardlink && e.link >= i))
            std::abort();
    }
    record_table again;
    if (decode_record(encode_record(table), files, again, sum, major) != record_verdict::sound ||
        again.entries.size() != table.entries.size())
        std::abort();
    return 0;
}
