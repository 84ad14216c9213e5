// Sets the process's time zone for the life of the object, then restores it.
#ifndef KISTLE_TESTS_TIME_ZONE_H
#define KISTLE_TESTS_TIME_ZONE_H

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

class time_zone {
public:
    explicit time_zone(const char* zone) {
        if (const char* current = std::getenv("TZ"))
            saved = current;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~time_zone() {
        if (saved)
            setenv("TZ", saved->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    time_zone(const time_zone&) = delete;
    time_zone& operator=(const time_zone&) = delete;

private:
    std::optional<std::string> saved;
};

#endif
