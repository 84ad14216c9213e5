// What a cabinet written by kistle keeps of one entry of a Unix tree besides
// its bytes (internal), in host terms: the decoder of that record fills it,
// tree_restorer gives it to what extraction makes.
#ifndef KISTLE_ENTRY_METADATA_H
#define KISTLE_ENTRY_METADATA_H

#include <cstdint>

namespace kistle::internal {

struct entry_metadata {
    enum class kind : uint8_t { file, directory, symlink, hardlink };
    kind type = kind::file;
    // Permission bits, set-user-ID, set-group-ID and sticky included (07777).
    uint32_t mode = 0644;
    // Whether the owner and group below are known; numbers and names.
    bool has_owner = false;
    uint32_t uid = 0;
    uint32_t gid = 0;
    const char* owner = nullptr; // may be null or empty; owned by the caller
    const char* group = nullptr;
    // Modification time in UTC: seconds since 1970 (negative before), and
    // nanoseconds 0..999999999.
    int64_t mtime_seconds = 0;
    uint32_t mtime_nanoseconds = 0;
    // A symbolic link's target: text that is stored, never resolved. For a
    // hard link, the stored name of the entry it links to. Owned by the
    // caller.
    const char* link_target = nullptr;
};

} // namespace kistle::internal

#endif
