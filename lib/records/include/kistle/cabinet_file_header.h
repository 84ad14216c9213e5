// A file entry: its 24-byte fixed part, and the entry with its name. Reads
// and writes return the statuses listed in cabinet_header.h.
#ifndef KISTLE_CABINET_FILE_HEADER_H
#define KISTLE_CABINET_FILE_HEADER_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>

#include <kistle/b_string.h>
#include <kistle/export.h>

// iFolder values of a file that crosses a cabinet boundary of its set.
constexpr uint16_t ifoldCONTINUED_FROM_PREV = 0xFFFD;
constexpr uint16_t ifoldCONTINUED_TO_NEXT = 0xFFFE;
constexpr uint16_t ifoldCONTINUED_PREV_AND_NEXT = 0xFFFF;

// Attribute bits.
constexpr uint16_t ATTRIBUTE_READONLY = 0x0001;
constexpr uint16_t ATTRIBUTE_HIDDEN = 0x0002;
constexpr uint16_t ATTRIBUTE_SYSTEM = 0x0004;
constexpr uint16_t ATTRIBUTE_ARCHIVE = 0x0020;
constexpr uint16_t ATTRIBUTE_EXECUTE = 0x0040;
constexpr uint16_t ATTRIBUTE_NAME_IS_UTF8 = 0x0080;

class KISTLE_EXPORT cabinet_file_fixed_header {
public:
    static constexpr std::size_t image_size = 24;

    uint64_t cbFile = 0;
    uint64_t uoffFolderStart = 0;
    uint16_t iFolder = 0;
    uint16_t date = 0;
    uint16_t time = 0;
    uint16_t attribs = 0;

    [[nodiscard]] int read(std::istream& in);
    [[nodiscard]] int write(std::ostream& out) const;
};

class KISTLE_EXPORT cabinet_file_header : public cabinet_file_fixed_header {
public:
    b_string szName; // without its terminating NUL

    // Reads an entry and its name; the old name is released first, so a read
    // that fails leaves the name empty.
    [[nodiscard]] int read(std::istream& in);
    // Writes an entry and its name; an unset name is written as an empty string.
    [[nodiscard]] int write(std::ostream& out) const;
};

#endif
