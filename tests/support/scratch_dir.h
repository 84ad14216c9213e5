// A private scratch directory for one test, removed with everything in it.
#ifndef KISTLE_TESTS_SCRATCH_DIR_H
#define KISTLE_TESTS_SCRATCH_DIR_H

#include <string>
#include <sys/stat.h>
#include <vector>

class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::string& path() const { return root; }
    // root/relative
    std::string file(const std::string& relative) const { return root + "/" + relative; }

    // Writes bytes to root/relative, creating the file; returns its path.
    std::string write(const std::string& relative, const std::string& bytes) const;
    // The whole content of a file; empty when it cannot be read.
    static std::string read(const std::string& path);
    // The names in a directory, sorted; empty when it cannot be read.
    static std::vector<std::string> names_in(const std::string& directory);
    // What lstat says of path; all zero when it cannot.
    static struct stat status_of(const std::string& path);

private:
    std::string root;
};

#endif
