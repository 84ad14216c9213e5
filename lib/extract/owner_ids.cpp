#include "owner_ids.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace kistle::internal {

namespace {

int find_user(const char* name, char* buffer, std::size_t size, unsigned& id) {
    passwd entry, *result = nullptr;
    int error = getpwnam_r(name, &entry, buffer, size, &result);
    if (error == 0 && result == nullptr)
        return ENOENT;
    if (error == 0)
        id = entry.pw_uid;
    return error;
}

int find_group(const char* name, char* buffer, std::size_t size, unsigned& id) {
    struct group entry, *result = nullptr;
    int error = getgrnam_r(name, &entry, buffer, size, &result);
    if (error == 0 && result == nullptr)
        return ENOENT;
    if (error == 0)
        id = entry.gr_gid;
    return error;
}

// Calls find with a buffer that grows while the entry does not fit; true
// when the name was found.
bool look_up(const char* name, unsigned& id,
             int (*find)(const char*, char*, std::size_t, unsigned&)) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 4096;
    for (; size <= (1u << 20); size *= 2) {
        char* buffer = static_cast<char*>(std::malloc(size));
        if (buffer == nullptr)
            return false;
        int result = find(name, buffer, size, id);
        std::free(buffer);
        if (result != ERANGE)
            return result == 0;
    }
    return false;
}

} // namespace

unsigned owner_ids::resolve(remembered& last, const char* name, unsigned number,
                            int (*find)(const char*, char*, std::size_t, unsigned&)) {
    if (name == nullptr || *name == '\0')
        return number;
    if (last.name.text == nullptr || std::strcmp(last.name.text, name) != 0) {
        last.known = look_up(name, last.id, find);
        last.name = name;
    }
    return last.known ? last.id : number;
}

uid_t owner_ids::user(const char* name, uid_t number) {
    return static_cast<uid_t>(resolve(last_user, name, number, find_user));
}

gid_t owner_ids::group(const char* name, gid_t number) {
    return static_cast<gid_t>(resolve(last_group, name, number, find_group));
}

} // namespace kistle::internal
