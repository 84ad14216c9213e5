// A byte range of one folder, extracted from arbitrary bytes. The input is:
// one byte of reserve settings (as in fuzz_datablock), the 16-byte folder
// entry, the range's offset and length (8 bytes each, little-endian), then
// the bytes in which the folder's blocks are looked for from coffCabStart on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "cabinet_folder_manager.h"
#include "cabinet_header.h"
#include "little_endian.h"

namespace {

// Counts and hashes what is written, keeping none of it.
class digest_buffer : public std::streambuf {
public:
    uint64_t count = 0;
    uint64_t hash = 14695981039346656037u;

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            char byte = traits_type::to_char_type(c);
            xsputn(&byte, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* bytes, std::streamsize size) override {
        for (std::streamsize i = 0; i < size; ++i)
            hash = (hash ^ static_cast<uint8_t>(bytes[i])) * 1099511628211u;
        count += static_cast<uint64_t>(size);
        return size;
    }
};

constexpr std::size_t prefix_size = 1 + 16 + 8 + 8;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < prefix_size)
        return 0;
    cabinet_header header;
    header.flags = (data[0] & 1) ? cfhdrRESERVE_PRESENT : 0;
    header.cbCFData = static_cast<uint8_t>(data[0] >> 1);
    cabinet_folder_manager folder;
    std::istringstream entry(std::string(reinterpret_cast<const char*>(data + 1), 16));
    if (folder.read(entry, header) != 0)
        std::abort();
    uint64_t offset = get_le64(data + 17);
    uint64_t length = get_le64(data + 25);
    std::istringstream in(
        std::string(reinterpret_cast<const char*>(data + prefix_size), size - prefix_size));

    // A second extraction on the same folder, its decompressor reused or
    // replaced, must end exactly as the first did.
    int first_status = 0;
    uint64_t first_count = 0, first_hash = 0;
    for (int round = 0; round < 2; ++round) {
        digest_buffer written;
        std::ostream out(&written);
        in.clear();
        int status = folder.extract_data(out, in, offset, length, header);
        // Never more than asked for; all of it when the extraction succeeded.
        if (written.count > length || (status == 0 && written.count != length))
            std::abort();
        if (round == 0) {
            first_status = status;
            first_count = written.count;
            first_hash = written.hash;
        } else if (status != first_status || written.count != first_count ||
                   written.hash != first_hash) {
            std::abort();
        }
    }
    return 0;
}
