#include "pattern.h"

#include <algorithm>

#include "utf8.h"

namespace {

// Bytes that are not valid UTF-8 become characters of their own, above every
// code point, so that they match only themselves.
constexpr std::uint32_t stray_byte = 0x110000;

std::uint32_t next_character(std::string_view text, std::size_t& at) {
    std::uint32_t code_point;
    std::size_t length = utf8_sequence(text, at, code_point);
    if (length == 0) {
        code_point = stray_byte + static_cast<unsigned char>(text[at]);
        length = 1;
    }
    at += length;
    return code_point;
}

std::vector<std::uint32_t> characters_of(std::string_view text) {
    std::vector<std::uint32_t> result;
    for (std::size_t at = 0; at < text.size();)
        result.push_back(next_character(text, at));
    return result;
}

} // namespace

bool wildcard::item::accepts(std::uint32_t c) const {
    switch (kind) {
    case literal:
        return c == character;
    case any_one:
        return true;
    case any_run:
        return false;
    case set:
        for (const range& r : ranges)
            if (c >= r.first && c <= r.last)
                return !negated;
        return negated;
    }
    return false;
}

wildcard::wildcard(std::string_view pattern) {
    std::vector<std::uint32_t> p = characters_of(pattern);
    for (std::size_t i = 0; i < p.size(); ++i) {
        item next;
        if (p[i] == '*') {
            next.kind = item::any_run;
        } else if (p[i] == '?') {
            next.kind = item::any_one;
        } else if (p[i] == '\\' && i + 1 < p.size()) {
            next.kind = item::literal;
            next.character = p[++i];
        } else if (p[i] == '[') {
            // A set runs to the first ']' that is not its first member; without
            // one the '[' is an ordinary character.
            std::size_t j = i + 1;
            next.kind = item::set;
            if (j < p.size() && (p[j] == '!' || p[j] == '^')) {
                next.negated = true;
                ++j;
            }
            bool closed = false;
            for (bool first = true; j < p.size(); first = false) {
                if (p[j] == ']' && !first) {
                    closed = true;
                    break;
                }
                std::uint32_t low = p[j] == '\\' && j + 1 < p.size() ? p[++j] : p[j];
                ++j;
                std::uint32_t high = low;
                if (j + 1 < p.size() && p[j] == '-' && p[j + 1] != ']') {
                    ++j;
                    high = p[j] == '\\' && j + 1 < p.size() ? p[++j] : p[j];
                    ++j;
                }
                next.ranges.push_back({low, high});
            }
            if (closed) {
                i = j;
            } else {
                next = item{};
                next.kind = item::literal;
                next.character = '[';
            }
        } else {
            next.kind = item::literal;
            next.character = p[i];
        }
        items.push_back(std::move(next));
    }
}

bool wildcard::matches(std::string_view name) const {
    std::vector<std::uint32_t> n = characters_of(name);
    // On a mismatch, the last '*' seen takes one more character and the rest
    // is tried again; earlier stars never need to.
    constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::size_t pi = 0, ni = 0, star = none, star_ni = 0;
    while (ni < n.size()) {
        if (pi < items.size() && items[pi].kind == item::any_run) {
            star = ++pi;
            star_ni = ni;
        } else if (pi < items.size() && items[pi].accepts(n[ni])) {
            ++pi;
            ++ni;
        } else if (star != none) {
            pi = star;
            ni = ++star_ni;
        } else {
            return false;
        }
    }
    while (pi < items.size() && items[pi].kind == item::any_run)
        ++pi;
    return pi == items.size();
}

bool wildcard::matches_leading(std::string_view name) const {
    for (std::size_t slash = name.find('/'); slash != std::string_view::npos;
         slash = name.find('/', slash + 1))
        if (slash > 0 && matches(name.substr(0, slash)))
            return true;
    return matches(name);
}

namespace {

// "dir/" and "dir" name the same directory; "/" stays itself.
std::string_view without_trailing_slashes(std::string_view pattern) {
    while (pattern.size() > 1 && pattern.back() == '/')
        pattern.remove_suffix(1);
    return pattern;
}

} // namespace

pattern_set::pattern_set(const std::vector<std::string>& patterns)
    : texts(patterns), used(patterns.size(), false) {
    for (const std::string& text : patterns)
        wildcards.emplace_back(without_trailing_slashes(text));
}

bool pattern_set::selects(std::size_t i, std::string_view name) {
    if (!wildcards[i].matches_leading(name))
        return false;
    used[i] = true;
    return true;
}

bool pattern_set::selects(std::string_view name) {
    if (wildcards.empty())
        return true;
    bool selected = false;
    for (std::size_t i = 0; i < wildcards.size(); ++i)
        selected = selects(i, name) || selected;
    return selected;
}

std::vector<std::string> pattern_set::unused() const {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (!used[i])
            result.push_back(texts[i]);
    return result;
}

exclusion_set::exclusion_set(const std::vector<std::string>& patterns) {
    for (const std::string& text : patterns) {
        std::string_view pattern = without_trailing_slashes(text);
        (pattern.find('/') == std::string_view::npos ? components : whole).emplace_back(pattern);
    }
}

bool exclusion_set::excludes(std::string_view name) const {
    for (const wildcard& w : whole)
        if (w.matches_leading(name))
            return true;
    if (components.empty())
        return false;
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t end = std::min(name.find('/', start), name.size());
        const std::string_view component = name.substr(start, end - start);
        for (const wildcard& w : components)
            if (!component.empty() && w.matches(component))
                return true;
        start = end + 1;
    }
    return false;
}
