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

// when in local time by strftime's format; empty when it cannot be shown.
std::string local_time(std::time_t when, const char* format) {
    std::tm parts;
    char text[64];
    if (localtime_r(&when, &parts) == nullptr ||
        std::strftime(text, sizeof text, format, &parts) == 0)
        return "";
    return text;
}

} // namespace

std::string local_time_text(std::time_t when) {
    std::string text = local_time(when, "%Y-%m-%d %H:%M:%S");
    return text.empty() ? "?" : text;
}

std::string iso_time_text(std::time_t when) {
    // %z gives +0100; the extended form wants +01:00.
    std::string text = local_time(when, "%Y-%m-%dT%H:%M:%S%z");
    if (text.size() >= 5)
        text.insert(text.size() - 2, ":");
    return text;
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
