// A set of files known by device and inode number (internal): which files an
// extraction made, so that a hard link is only ever made to one of them,
// whatever has become of its name since.
#ifndef KISTLE_FILE_IDENTITIES_H
#define KISTLE_FILE_IDENTITIES_H

#include <cstddef>
#include <sys/types.h>

namespace kistle::internal {

class file_identities {
public:
    file_identities() = default;
    ~file_identities();
    file_identities(const file_identities&) = delete;
    file_identities& operator=(const file_identities&) = delete;

    // Adds a file; false (and the set as it was) when no room can be made.
    [[nodiscard]] bool insert(dev_t device, ino_t inode);
    bool contains(dev_t device, ino_t inode) const;

private:
    struct identity {
        dev_t device;
        ino_t inode;
        bool used;
    };
    // Open addressing in a table whose size is a power of two, at most half full.
    std::size_t slot_of(dev_t device, ino_t inode) const;
    [[nodiscard]] bool grow();

    identity* table = nullptr;
    std::size_t size = 0;
    std::size_t count = 0;
};

} // namespace kistle::internal

#endif
