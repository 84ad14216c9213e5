// The numbers this system gives a stored owner and group (internal): by name
// where the name is known here, otherwise the stored number, as tar does.
// The last name of each kind is remembered, since the entries of one tree
// mostly share their owner.
#ifndef KISTLE_OWNER_IDS_H
#define KISTLE_OWNER_IDS_H

#include <cstddef>
#include <sys/types.h>

#include <kistle/b_string.h>

namespace kistle::internal {

class owner_ids {
public:
    // The user id for name (null or empty: none) stored with number.
    uid_t user(const char* name, uid_t number);
    // The group id for name stored with number.
    gid_t group(const char* name, gid_t number);

private:
    // The last name looked up, whether it was known and its id.
    struct remembered {
        b_string name;
        bool known = false;
        unsigned id = 0;
    };
    // The id for name from find, or number; remembered in last.
    static unsigned resolve(remembered& last, const char* name, unsigned number,
                            int (*find)(const char* name, char* buffer, std::size_t size,
                                        unsigned& id));

    remembered last_user;
    remembered last_group;
};

} // namespace kistle::internal

#endif
