#include "stored_name.h"

stored_name stored_name_of(std::string_view path) {
    stored_name result;
    result.leading_slash = !path.empty() && path.front() == '/';
    while (!path.empty()) {
        std::size_t end = path.find('/');
        std::string_view component = path.substr(0, end);
        path.remove_prefix(end == std::string_view::npos ? path.size() : end + 1);
        if (component.empty() || component == ".")
            continue;
        if (component == "..")
            result.climbs = true;
        if (!result.name.empty())
            result.name += '/';
        result.name += component;
    }
    return result;
}
