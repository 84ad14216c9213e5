#include "tree_walk.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <sys/stat.h>

#include <kistle/archive.h>

#include "console.h"
#include "stored_name.h"

namespace fs = std::filesystem;

namespace {

struct file_id {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
};

class walker {
public:
    walker(const walk_settings& settings_, console& out_, std::vector<input_file>& files_)
        : settings(settings_), out(out_), files(files_) {
        struct stat status;
        if (::stat(settings.cabinet.c_str(), &status) == 0)
            cabinet = {status.st_dev, status.st_ino, true};
    }

    void add_path(const std::string& path) {
        stored_name name = stored_name_of(path);
        fs::path source = settings.base.empty() ? fs::path(path) : settings.base / path;
        if (name.climbs) {
            fail(source.native(), refusal_of(name.name));
            return;
        }
        if (name.leading_slash && !slash_noted) {
            out.note("removing leading '/' from stored names");
            slash_noted = true;
        }
        visit(source, name.name);
    }

    bool failed = false;

private:
    const walk_settings& settings;
    console& out;
    std::vector<input_file>& files;
    file_id cabinet;
    bool slash_noted = false;
    std::set<std::string> stored;

    void fail(const std::string& path, const std::string& reason) {
        out.note(path, reason);
        failed = true;
    }

    void visit(const fs::path& source, const std::string& name) {
        struct stat status;
        if (::lstat(source.c_str(), &status) != 0) {
            fail(source.native(), std::strerror(errno));
            return;
        }
        if (S_ISDIR(status.st_mode)) {
            visit_directory(source, name);
        } else if (S_ISLNK(status.st_mode)) {
            out.note(source.native(), "symbolic link not stored");
        } else if (!S_ISREG(status.st_mode)) {
            out.note(source.native(), "special file not stored");
        } else if (cabinet.known && status.st_dev == cabinet.device &&
                   status.st_ino == cabinet.inode) {
            out.note(source.native(), "the cabinet itself; not stored");
        } else if (const char* refusal = refusal_of(name)) {
            // Checked before anything is compressed: the writer would refuse
            // it only once the files before it are in.
            fail(source.native(), refusal);
        } else if (static_cast<std::uint64_t>(status.st_size) > kistle::max_entry_size) {
            fail(source.native(), "larger than a cabinet can hold (at most " +
                                      std::to_string(kistle::max_entry_size) + " bytes a file)");
        } else if (!stored.insert(name).second) {
            out.note(source.native(), "given twice; stored once");
        } else {
            files.push_back({source, name, static_cast<std::uint64_t>(status.st_size)});
        }
    }

    void visit_directory(const fs::path& source, const std::string& name) {
        std::error_code ec;
        std::vector<std::string> children;
        for (fs::directory_iterator it(source, ec), end; !ec && it != end; it.increment(ec))
            children.push_back(it->path().filename().native());
        if (ec) {
            fail(source.native(), ec.message());
            return;
        }
        if (children.empty()) {
            out.note(source.native(), "empty directory not stored");
            return;
        }
        std::sort(children.begin(), children.end());
        for (const std::string& child : children)
            visit(source / child, name.empty() ? child : name + "/" + child);
    }
};

} // namespace

bool collect_inputs(const std::vector<std::string>& paths, const walk_settings& settings,
                    console& out, std::vector<input_file>& files) {
    walker walk(settings, out, files);
    for (const std::string& path : paths)
        walk.add_path(path);
    return !walk.failed;
}
