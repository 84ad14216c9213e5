// Sets the process's time zone for the life of the object, then restores it.
#ifndef KISTLE_TESTS_TIME_ZONE_H
#define KISTLE_TESTS_TIME_ZONE_H

#include <ctime>
#include <optional>

#include "environment_setting.h"

class time_zone {
public:
    explicit time_zone(const char* zone) : setting(std::in_place, "TZ", zone) { tzset(); }
    ~time_zone() {
        setting.reset(); // TZ first, then the zone it names
        tzset();
    }
    time_zone(const time_zone&) = delete;
    time_zone& operator=(const time_zone&) = delete;

private:
    std::optional<environment_setting> setting;
};

#endif
