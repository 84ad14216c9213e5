// A byte range of one folder, extracted from arbitrary bytes. The input is:
// one byte of reserve settings (as in fuzz_datablock), the 16-byte folder
// entry, the range's offset and length (8 bytes each, little-endian), then
// the bytes in which the folder's blocks are looked for from coffCabStart on.
// The folder manager's walk from the first block is the reference for the
// reader's cursor, which is asked for the range and for ranges around it; a
// cursor that reads ahead and expands on two threads must give exactly what
// the one-thread cursor gives. A second pair of cursors expects the folder's
// data to end where the range does, as a file that ends its folder would,
// and so may recover past a block that failed its checksum: it must give
// what the first pair gives wherever that succeeds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include <kistle/cabinet_folder_manager.h>
#include <kistle/cabinet_header.h>
#include <kistle/cabinet_status.h>

#include "folder_cursor.h"
#include "little_endian.h"
#include "parallel_inflate.h"

using namespace kistle::internal;

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

struct outcome {
    int status;
    uint64_t count, hash;
};

outcome walk(cabinet_folder_manager& folder, std::istream& in, uint64_t offset, uint64_t length,
             const cabinet_header& header) {
    digest_buffer written;
    std::ostream out(&written);
    in.clear();
    int status = folder.extract_data(out, in, offset, length, header);
    // Never more than asked for; all of it when the extraction succeeded.
    if (written.count > length || (status == 0 && written.count != length))
        std::abort();
    return {status, written.count, written.hash};
}

// Statuses of a block that could not be read or verified, or reached.
bool block_failure(int status) {
    return status == CAB_ERROR_CHECKSUM || status == CAB_ERROR_UNEXPECTED_EOF ||
           status == CAB_ERROR_READ || status == CAB_ERROR_SEEK;
}

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

    // A second extraction on the same folder, its decompressor made anew,
    // must end exactly as the first did.
    const outcome first = walk(folder, in, offset, length, header);
    const outcome second = walk(folder, in, offset, length, header);
    if (second.status != first.status || second.count != first.count || second.hash != first.hash ||
        folder.zstream != nullptr)
        std::abort();

    // One cursor, asked for ranges in turn, so that it starts from what it
    // learnt and kept. It verifies the blocks before a range without
    // expanding them: where the walk succeeds the cursor gives the same
    // bytes, and where the cursor succeeds the walk could only have failed
    // to expand a block, never to read or verify one.
    folder_cursor cursor(folder, in, header);
    // The cursors keep their streams to themselves.
    std::istringstream walk_in(in.str());
    // Kept from input to input: starting threads each time would be slow.
    static parallel_inflate two_threads(2), two_more_threads(2);
    std::istringstream threaded_in(in.str());
    folder_cursor threaded(folder, threaded_in, header, &two_threads);
    const uint64_t expected_end =
        length <= UINT64_MAX - offset ? offset + length : folder_cursor::unknown_end;
    std::istringstream recovering_in(in.str()), threaded_recovering_in(in.str());
    folder_cursor recovering(folder, recovering_in, header, nullptr, expected_end);
    folder_cursor threaded_recovering(folder, threaded_recovering_in, header, &two_more_threads,
                                      expected_end);
    const uint64_t ranges[][2] = {{offset, length},
                                  {offset + length / 2, length},
                                  {offset / 2, length / 2 + 1},
                                  {offset + length, length},
                                  {offset, length}};
    for (const auto& range : ranges) {
        digest_buffer written;
        std::ostream out(&written);
        int status = cursor.write_range(out, range[0], range[1]);
        if (written.count > range[1] || (status == 0 && written.count != range[1]) ||
            folder.zstream != nullptr)
            std::abort();
        digest_buffer written_threaded;
        std::ostream threaded_out(&written_threaded);
        if (threaded.write_range(threaded_out, range[0], range[1]) != status ||
            written_threaded.count != written.count || written_threaded.hash != written.hash)
            std::abort();
        const outcome walked = walk(folder, walk_in, range[0], range[1], header);
        if (walked.status == 0 && (status != 0 || written.hash != walked.hash))
            std::abort();
        if (status == 0 && walked.status != 0 && block_failure(walked.status))
            std::abort();

        // Recovery changes nothing that succeeds without it, and succeeds
        // otherwise only behind a block that failed its checksum.
        digest_buffer recovered, recovered_threaded;
        std::ostream recovered_out(&recovered), recovered_threaded_out(&recovered_threaded);
        int recovered_status = recovering.write_range(recovered_out, range[0], range[1]);
        if (threaded_recovering.write_range(recovered_threaded_out, range[0], range[1]) !=
                recovered_status ||
            recovered_threaded.count != recovered.count ||
            recovered_threaded.hash != recovered.hash)
            std::abort();
        if (recovered.count > range[1] || (recovered_status == 0 && recovered.count != range[1]))
            std::abort();
        if (status == 0 && (recovered_status != 0 || recovered.hash != written.hash))
            std::abort();
        if (recovered_status == 0 && status != 0 && status != CAB_ERROR_CHECKSUM)
            std::abort();
    }
    return 0;
}
