#include "stored_name.h"

#include <cstddef>

#include <kistle/cabinet_status.h>

namespace kistle::internal {

name_fault fault_of(std::string_view name) {
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;
        while (end < name.size() && !is_name_separator(name[end]))
            ++end;
        std::string_view component = name.substr(start, end - start);
        if (component == "..")
            return name_fault::climbs;
        if (end == name.size())
            return component.empty() || component == "." ? name_fault::no_name : name_fault::none;
        start = end + 1;
    }
}

int check_stored_name(const char* name) {
    return fault_of(name) == name_fault::none ? CAB_STATUS_OK : CAB_ERROR_ACCESS_DENIED;
}

std::string path_of(std::string_view name) {
    std::string path;
    while (!name.empty()) {
        std::size_t end = name.find_first_of("/\\");
        std::string_view component = name.substr(0, end);
        name.remove_prefix(end == std::string_view::npos ? name.size() : end + 1);
        if (component.empty() || component == ".")
            continue;
        if (!path.empty())
            path += '/';
        path += component;
    }
    return path;
}

std::string stripped_path(std::string_view name, unsigned count) {
    std::string path = path_of(name);
    std::size_t start = 0;
    for (; count > 0 && start < path.size(); --count) {
        const std::size_t slash = path.find('/', start);
        start = slash == std::string::npos ? path.size() : slash + 1;
    }
    return path.substr(start);
}

} // namespace kistle::internal
