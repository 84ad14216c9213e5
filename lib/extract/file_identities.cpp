#include "file_identities.h"

#include <cstdint>
#include <cstdlib>

namespace kistle::internal {

file_identities::~file_identities() {
    std::free(table);
}

std::size_t file_identities::slot_of(dev_t device, ino_t inode) const {
    uint64_t hash = (static_cast<uint64_t>(inode) ^ (static_cast<uint64_t>(device) << 29)) *
                    0x9E3779B97F4A7C15u;
    std::size_t slot = static_cast<std::size_t>(hash >> 32) & (size - 1);
    while (table[slot].used && (table[slot].device != device || table[slot].inode != inode))
        slot = (slot + 1) & (size - 1);
    return slot;
}

bool file_identities::grow() {
    std::size_t wanted = size == 0 ? 64 : size * 2;
    if (wanted > SIZE_MAX / sizeof(identity))
        return false;
    auto* grown = static_cast<identity*>(std::calloc(wanted, sizeof(identity)));
    if (grown == nullptr)
        return false;
    identity* old = table;
    std::size_t old_size = size;
    table = grown;
    size = wanted;
    for (std::size_t i = 0; i < old_size; ++i) {
        if (old[i].used)
            table[slot_of(old[i].device, old[i].inode)] = old[i];
    }
    std::free(old);
    return true;
}

bool file_identities::insert(dev_t device, ino_t inode) {
    if (2 * (count + 1) > size && !grow())
        return false;
    identity& slot = table[slot_of(device, inode)];
    if (!slot.used) {
        slot = {device, inode, true};
        ++count;
    }
    return true;
}

bool file_identities::contains(dev_t device, ino_t inode) const {
    return size != 0 && table[slot_of(device, inode)].used;
}

} // namespace kistle::internal
