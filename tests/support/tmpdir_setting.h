// $TMPDIR set to a directory of a test's own while the object lives, and set
// back afterwards: the creator keeps its data file there.
#ifndef KISTLE_TESTS_TMPDIR_SETTING_H
#define KISTLE_TESTS_TMPDIR_SETTING_H

#include <string>

#include "environment_setting.h"

class tmpdir_setting : public environment_setting {
public:
    explicit tmpdir_setting(const std::string& directory)
        : environment_setting("TMPDIR", directory) {}
};

#endif
