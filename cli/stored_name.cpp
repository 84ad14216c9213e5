#include "stored_name.h"

namespace {

const char climbing[] = "a name with a '..' component cannot be stored";

} // namespace

stored_name stored_name_of(std::string_view path) {
    stored_name result;
    result.leading_slash = !path.empty() && path.front() == '/';
    while (!path.empty()) {
        std::size_t end = path.find('/');
        std::string_view component = path.substr(0, end);
        path.remove_prefix(end == std::string_view::npos ? path.size() : end + 1);
        if (component.empty() || component == ".")
            continue;
        if (!result.name.empty())
            result.name += '/';
        result.name += component;
    }
    result.climbs = refusal_of(result.name) == climbing;
    return result;
}

const char* refusal_of(std::string_view name) {
    for (std::size_t start = 0, end = 0;; start = end + 1) {
        end = name.find_first_of("/\\", start);
        std::string_view component = name.substr(start, end - start);
        if (component == "..")
            return climbing;
        if (end == std::string_view::npos)
            return component.empty() || component == "." ? "no name to store this file under"
                                                         : nullptr;
    }
}
