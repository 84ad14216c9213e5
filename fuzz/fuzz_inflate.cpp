// One deflate block expanded by the block inflater (libdeflate where it is
// known to read the stream as zlib does) against the folder manager's zlib
// stream: the same status, and the same bytes on success. The input is
// cbUncomp (2 bytes, little-endian), then the payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_folder_manager.h>
#include <kistle/cabinet_status.h>

#include "block_inflater.h"
#include "little_endian.h"

using namespace kistle::internal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size - 2 > 0xFFFF)
        return 0;
    const uint16_t cbUncomp = get_le16(data);
    const uint16_t cbData = static_cast<uint16_t>(size - 2);

    cabinet_folder_manager folder;
    folder.typeCompress = 1;
    cabinet_datablock block;
    block.set_compressed_data(data + 2, cbData, cbUncomp);
    std::ostringstream out;
    int expected =
        folder.write_data(out, block, 0, 0, cabinet_folder_manager::COMPRESSION_STATE_INIT);
    if (expected == CAB_STATUS_OK)
        expected = folder.write_data(out, block, 0, cbUncomp,
                                     cabinet_folder_manager::COMPRESSION_STATE_WRITE);

    block_inflater inflater;
    std::vector<uint8_t> bytes(static_cast<std::size_t>(cbUncomp) + 1);
    int status = inflater.expand(data + 2, cbData, bytes.data(), cbUncomp);
    if (status != expected)
        std::abort();
    if (status == CAB_STATUS_OK && (out.str().size() != cbUncomp ||
                                    std::memcmp(out.str().data(), bytes.data(), cbUncomp) != 0))
        std::abort();
    return 0;
}
