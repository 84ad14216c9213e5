// An environment variable set for the life of the object, then set back to
// what it was (or removed, if it was not set).
#ifndef KISTLE_TESTS_ENVIRONMENT_SETTING_H
#define KISTLE_TESTS_ENVIRONMENT_SETTING_H

#include <cstdlib>
#include <optional>
#include <string>

class environment_setting {
public:
    environment_setting(const char* name, const std::string& value) : name(name) {
        if (const char* old = std::getenv(name))
            saved = old;
        setenv(name, value.c_str(), 1);
    }
    ~environment_setting() {
        if (saved)
            setenv(name, saved->c_str(), 1);
        else
            unsetenv(name);
    }
    environment_setting(const environment_setting&) = delete;
    environment_setting& operator=(const environment_setting&) = delete;

private:
    const char* name;
    std::optional<std::string> saved;
};

#endif
