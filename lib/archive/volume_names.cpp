#include "volume_names.h"

namespace kistle::internal {

std::filesystem::path volume_path(const std::filesystem::path& first, unsigned number) {
    if (number <= 1)
        return first;
    const std::string name = first.filename().native();
    std::size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos)
        dot = name.size();
    std::string numbered = name.substr(0, dot) + "." + std::to_string(number) + name.substr(dot);
    return first.parent_path() / numbered;
}

bool is_plain_file_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

} // namespace kistle::internal
