// $TMPDIR set to a directory of a test's own while the object lives, and set
// back afterwards: the creator keeps its data file there.
#ifndef KISTLE_TESTS_TMPDIR_SETTING_H
#define KISTLE_TESTS_TMPDIR_SETTING_H

#include <cstdlib>
#include <optional>
#include <string>

class tmpdir_setting {
public:
    explicit tmpdir_setting(const std::string& directory) {
        if (const char* old = std::getenv("TMPDIR"))
            saved = old;
        setenv("TMPDIR", directory.c_str(), 1);
    }
    ~tmpdir_setting() {
        if (saved)
            setenv("TMPDIR", saved->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    tmpdir_setting(const tmpdir_setting&) = delete;
    tmpdir_setting& operator=(const tmpdir_setting&) = delete;

private:
    std::optional<std::string> saved;
};

#endif
