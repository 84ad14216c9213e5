// The walk of a tree that writer::add_tree stores (internal): every path
// below a root in sorted order, each opened relative to its directory
// without following symbolic links, so that what is stored is what was
// found.
#ifndef KISTLE_TREE_WALK_H
#define KISTLE_TREE_WALK_H

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <kistle/archive.h>

#include "outcome.h"

namespace kistle::internal {

// One path the walk found.
struct walk_item {
    std::filesystem::path source; // for messages
    std::string name;             // the name to store it under
    entry_type type = entry_type::file;
    struct stat status = {}; // of what was opened (or found, for a link)
    int fd = -1;             // a regular file, open for reading (the walk's)
    std::string target;      // a symbolic link's
    bool empty = false;      // a directory that holds nothing
};

class tree_walk {
public:
    // visit gets each item in order, with context; a failure it returns
    // ends the walk. Items it is not given (special files, what cannot be
    // read, what changed meanwhile) go to notices. The options' filter may
    // leave items out.
    using visitor = outcome (*)(void* context, const walk_item& item);
    tree_walk(visitor visit, void* context, const notice_function& notices,
              const tree_options& options)
        : visit_function(visit), context(context), notices(notices), options(options) {}

    // Asked of each regular file before it is opened, with what lstat
    // found in status: true passes over it, unopened and unvisited (a
    // file kept as a cabinet being changed stores it).
    using keeper = bool (*)(void* context, const walk_item& found);
    void set_keeper(keeper keep) { keep_function = keep; }

    // Walks source, stored as name. Fails when source itself cannot be
    // found or opened, and with what visit returns.
    outcome walk(const std::filesystem::path& source, const std::string& name);

private:
    outcome visit_at(int parent, const char* entry, const std::filesystem::path& source,
                     const std::string& name);
    outcome visit_children(int fd, const std::vector<std::string>& children,
                           const std::filesystem::path& source, const std::string& name);
    void tell(notice::kind what, const std::filesystem::path& source, const std::string& name,
              int error = 0) const;

    outcome visit(const walk_item& item) { return visit_function(context, item); }

    visitor visit_function;
    keeper keep_function = nullptr;
    void* context;
    const notice_function& notices;
    const tree_options& options;
};

} // namespace kistle::internal

#endif
