#include "listing.h"

#include <algorithm>
#include <cstdio>
#include <kistle/archive.h>
#include <nlohmann/json.hpp>

#include "console.h"
#include "json_name.h"

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

namespace {

// How list shows an entry's name: a directory with a trailing '/'.
std::string listed_name(const kistle::entry& e) {
    return e.type == kistle::entry_type::directory ? e.name + "/" : e.name;
}

// "drwxr-xr-x", as ls and tar show a type and mode.
std::string mode_text(const kistle::entry& e) {
    static const char types[] = {'-', 'd', 'l', 'h'};
    std::string text(1, types[static_cast<int>(e.type)]);
    const char* letters = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        text += (e.mode & (0400u >> i)) != 0 ? letters[i] : '-';
    // The set-ID and sticky bits show in the execute places.
    const struct {
        unsigned bit;
        int place;
        char with, without;
    } specials[] = {{04000, 3, 's', 'S'}, {02000, 6, 's', 'S'}, {01000, 9, 't', 'T'}};
    for (const auto& sp : specials)
        if (e.mode & sp.bit)
            text[static_cast<std::size_t>(sp.place)] =
                text[static_cast<std::size_t>(sp.place)] == 'x' ? sp.with : sp.without;
    return text;
}

std::string owner_text(const std::optional<kistle::owner_id>& who) {
    if (!who)
        return "-";
    return who->name.empty() ? std::to_string(who->id) : who->name;
}

const char* type_name(kistle::entry_type type) {
    switch (type) {
    case kistle::entry_type::directory:
        return "directory";
    case kistle::entry_type::symlink:
        return "symlink";
    case kistle::entry_type::hardlink:
        return "hardlink";
    case kistle::entry_type::file:
        break;
    }
    return "file";
}

} // namespace

void write_names(const std::vector<const kistle::entry*>& entries, console& out) {
    for (const kistle::entry* e : entries)
        out.out_line(listed_name(*e));
}

void write_long(const std::vector<const kistle::entry*>& entries, console& out) {
    std::size_t size_width = 1, owner_width = 1;
    for (const kistle::entry* e : entries) {
        size_width = std::max(size_width, std::to_string(e->size).size());
        owner_width =
            std::max(owner_width, (owner_text(e->owner) + "/" + owner_text(e->group)).size());
    }
    for (const kistle::entry* e : entries) {
        std::string size = std::to_string(e->size);
        std::string owners = owner_text(e->owner) + "/" + owner_text(e->group);
        std::string line = mode_text(*e) + " " + owners +
                           std::string(owner_width - owners.size(), ' ') + " " +
                           std::string(size_width - size.size(), ' ') + size + " " +
                           local_time_text(e->modified) + " " + listed_name(*e);
        if (e->type == kistle::entry_type::symlink)
            line += " -> " + e->link_target;
        else if (e->type == kistle::entry_type::hardlink)
            line += " link to " + e->link_target;
        out.out_line(line);
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
        object["type"] = type_name(e->type);
        object["size"] = e->size;
        object["modified"] = iso_time_text(e->modified);
        object["mtime"] = static_cast<std::int64_t>(e->modified);
        object["mtime_nsec"] = e->modified_nanoseconds;
        object["mode"] = e->mode;
        if (e->owner) {
            object["uid"] = e->owner->id;
            if (!e->owner->name.empty())
                object["owner"] = e->owner->name;
        }
        if (e->group) {
            object["gid"] = e->group->id;
            if (!e->group->name.empty())
                object["group"] = e->group->name;
        }
        if (!e->link_target.empty()) {
            bool target_escaped = false;
            object["target"] = json_name(e->link_target, target_escaped);
            if (target_escaped)
                object["target_escaped"] = true;
        }
        object["attributes"] = e->attributes;
        object["folder"] = e->folder;
        object["verified"] = e->verified;
        out << separator << object.dump();
        separator = ",\n";
    }
    out << "\n]\n";
}
