// The block checksum, the one piece of arithmetic that the creator and the
// reader must agree on byte for byte.
#include <kistle/cabinet_datablock.h>

#include "little_endian.h"

using namespace kistle::internal;

uint64_t cabinet_datablock::CSUMCompute(const uint8_t* bytes, uint32_t count, uint64_t seed) {
    // XOR of the little-endian 32-bit groups, taken eight bytes at a time and
    // folded: both halves of each 64-bit word are groups. Four words at a
    // time keep the loads independent of each other.
    uint64_t lanes[4] = {};
    uint32_t i = 0;
    for (; count - i >= 32; i += 32) {
        for (int lane = 0; lane < 4; ++lane)
            lanes[lane] ^= get_le64(bytes + i + 8 * lane);
    }
    uint64_t wide = lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3];
    for (; count - i >= 8; i += 8)
        wide ^= get_le64(bytes + i);
    uint64_t acc = seed ^ ((wide ^ (wide >> 32)) & 0xFFFFFFFFu);
    if (count - i >= 4) {
        acc ^= get_le32(bytes + i);
        i += 4;
    }
    // The 0 to 3 bytes left over are taken most significant first.
    switch (count - i) {
    case 3:
        acc ^= static_cast<uint64_t>(bytes[i]) << 16 | static_cast<uint64_t>(bytes[i + 1]) << 8 |
               bytes[i + 2];
        break;
    case 2:
        acc ^= static_cast<uint64_t>(bytes[i]) << 8 | bytes[i + 1];
        break;
    case 1:
        acc ^= bytes[i];
        break;
    }
    return acc;
}

uint64_t cabinet_datablock::block_checksum(const uint8_t* payload, uint16_t cbData,
                                           uint16_t cbUncomp) {
    return CSUMCompute(payload, cbData, 0) ^ (cbData + (static_cast<uint64_t>(cbUncomp) << 16));
}
