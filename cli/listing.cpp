#include "listing.h"

#include <algorithm>
#include <cstdio>
#include <kistle/archive.h>
#include <nlohmann/json.hpp>

#include "console.h"
#include "json_name.h"

std::string attribute_letters(unsigned attributes) {
    static const struct {
        unsigned bit;
        char letter;
    } letters[] = {{kistle::attribute::read_only, 'R'}, {kistle::attribute::hidden, 'H'},
                   {kistle::attribute::system, 'S'},    {kistle::attribute::archive, 'A'},
                   {kistle::attribute::execute, 'E'},   {kistle::attribute::name_is_utf8, 'U'}};
    std::string result;
    for (const auto& l : letters)
        result += (attributes & l.bit) != 0 ? l.letter : '-';
    return result;
}

namespace {

bool local_time(std::time_t when, std::tm& parts) {
    return localtime_r(&when, &parts) != nullptr;
}

} // namespace

std::string local_time_text(std::time_t when) {
    std::tm parts;
    char text[64];
    if (!local_time(when, parts) ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0)
        return "?";
    return text;
}

std::string iso_time_text(std::time_t when) {
    std::tm parts;
    char text[64];
    if (!local_time(when, parts) ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &parts) == 0)
        return "";
    // %z gives +0100; the extended form wants +01:00.
    std::string result = text;
    if (result.size() >= 5)
        result.insert(result.size() - 2, ":");
    return result;
}

void write_names(const std::vector<const kistle::entry*>& entries, console& out) {
    for (const kistle::entry* e : entries)
        out.out_line(e->name);
}

void write_long(const std::vector<const kistle::entry*>& entries, console& out) {
    std::size_t size_width = 1, folder_width = 1;
    for (const kistle::entry* e : entries) {
        size_width = std::max(size_width, std::to_string(e->size).size());
        folder_width = std::max(folder_width, std::to_string(e->folder).size());
    }
    for (const kistle::entry* e : entries) {
        std::string size = std::to_string(e->size);
        std::string folder = std::to_string(e->folder);
        out.out_line(attribute_letters(e->attributes) + "  " +
                     std::string(size_width - size.size(), ' ') + size + "  " +
                     local_time_text(e->modified) + "  " +
                     std::string(folder_width - folder.size(), ' ') + folder + "  " + e->name);
    }
}

void write_json(const std::vector<const kistle::entry*>& entries, std::ostream& out) {
    out << '[';
    const char* separator = "\n";
    for (const kistle::entry* e : entries) {
        bool escaped = false;
        nlohmann::ordered_json object;
        object["name"] = json_name(e->name, escaped);
        if (escaped)
            object["name_escaped"] = true;
        object["size"] = e->size;
        object["modified"] = iso_time_text(e->modified);
        object["attributes"] = e->attributes;
        object["folder"] = e->folder;
        out << separator << object.dump();
        separator = ",\n";
    }
    out << "\n]\n";
}
