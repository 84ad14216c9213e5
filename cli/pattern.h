// Shell wildcards matched against whole stored names, as tar matches member
// names: '*' matches any run of characters, '/' included; '?' one character;
// "[...]" one character of a set ("[!...]" or "[^...]": not of it), with
// ranges such as "a-z"; '\' takes the next character literally. A character
// is a UTF-8 sequence, or a single byte where the bytes are not valid UTF-8.
#ifndef KISTLE_CLI_PATTERN_H
#define KISTLE_CLI_PATTERN_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class wildcard {
public:
    explicit wildcard(std::string_view pattern);
    bool matches(std::string_view name) const;
    // Whether it matches name, or a leading part of name that a '/' follows:
    // a directory's name stands for everything below it, as in tar.
    bool matches_leading(std::string_view name) const;

private:
    struct range {
        std::uint32_t first, last;
    };
    struct item {
        enum kind_t { literal, any_one, any_run, set } kind;
        std::uint32_t character = 0; // literal
        bool negated = false;        // set
        std::vector<range> ranges;   // set
        bool accepts(std::uint32_t c) const;
    };
    std::vector<item> items;
};

// The operands of one command, each a PATTERN or DIR: a name is selected
// by an operand that matches it or a directory above it (trailing '/'s of
// an operand are ignored). An empty set selects every name.
class pattern_set {
public:
    explicit pattern_set(const std::vector<std::string>& patterns);
    std::size_t size() const { return wildcards.size(); }
    // Whether name is selected by any operand; every operand that selects it
    // counts as used.
    bool selects(std::string_view name);
    // Whether operand number i selects name, which then counts as used.
    bool selects(std::size_t i, std::string_view name);
    // The patterns that no name has matched so far, in the order given.
    std::vector<std::string> unused() const;

private:
    std::vector<std::string> texts;
    std::vector<wildcard> wildcards;
    std::vector<bool> used;
};

// The --exclude PATTERNs, with tar's meaning: a pattern without '/' is
// matched against every component of a name, one with '/' against the whole
// name; either way a directory left out takes everything below it along.
class exclusion_set {
public:
    explicit exclusion_set(const std::vector<std::string>& patterns);
    bool excludes(std::string_view name) const;

private:
    std::vector<wildcard> components, whole;
};

#endif
