// Owned NUL-terminated text.
#ifndef KISTLE_B_STRING_H
#define KISTLE_B_STRING_H

#include <cstddef>

#include <kistle/export.h>

class KISTLE_EXPORT b_string {
public:
    char* text = nullptr; // none when empty

    b_string() = default;
    b_string(const b_string&) = delete;
    b_string& operator=(const b_string&) = delete;
    ~b_string() { Del(); }

    // Frees the text and leaves the string empty.
    void Del();
    // Stores a copy of source (none for a null source) and frees any earlier
    // text. When the copy cannot be allocated the string is left empty.
    b_string& operator=(const char* source);
    // Takes ownership of a NUL-terminated text allocated with malloc.
    void adopt(char* owned);

    // The text, or "" when there is none: safe wherever a C string is needed.
    const char* str() const { return text != nullptr ? text : ""; }
    std::size_t length() const;
};

#endif
