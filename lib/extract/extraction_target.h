// Where one extracted file goes (internal). The stored name is taken relative
// to the current directory; its directories are walked without following
// symbolic links, and the contents go to a temporary file beside the target
// that replaces it only once it is complete.
#ifndef KISTLE_EXTRACTION_TARGET_H
#define KISTLE_EXTRACTION_TARGET_H

class extraction_target {
public:
    extraction_target() = default;
    // Removes the temporary file unless it was committed.
    ~extraction_target();
    extraction_target(const extraction_target&) = delete;
    extraction_target& operator=(const extraction_target&) = delete;

    // Checks stored_name, opens or creates its directories and creates the
    // temporary file, whose descriptor goes to file (the caller closes it).
    // -23 for a name that leaves the current directory, names no file or
    // passes through a symbolic link; -22 when a directory cannot be made.
    int create(const char* stored_name, int& file);
    // Renames the complete temporary file over the target.
    int commit();

private:
    // Walks the components of names before target; directory ends up open.
    int open_directories();

    char* names = nullptr;        // the stored name, split into components
    const char* target = nullptr; // its last component, inside names
    int directory = -1;           // descriptor of the target's directory
    char temporary[32] = {};      // name of the temporary file; empty when there is none
};

#endif
