// A folder entry: its 16-byte fixed part, and the entry with its reserve area.
// Reads and writes return the statuses listed in cabinet_header.h.
#ifndef KISTLE_CABINET_FOLDER_HEADER_H
#define KISTLE_CABINET_FOLDER_HEADER_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>

#include <kistle/cabinet_header.h>
#include <kistle/export.h>

// Compression types of a folder.
constexpr uint16_t COMPRESSION_TYPE_STORED = 0;
constexpr uint16_t COMPRESSION_TYPE_DEFLATE = 1;

class KISTLE_EXPORT cabinet_folder_fixed_header {
public:
    static constexpr std::size_t image_size = 16;

    uint64_t coffCabStart = 0;
    uint16_t cCFData = 0;
    uint16_t typeCompress = 0;

    [[nodiscard]] int read(std::istream& in);
    [[nodiscard]] int write(std::ostream& out) const;
};

class KISTLE_EXPORT cabinet_folder_header : public cabinet_folder_fixed_header {
public:
    uint8_t* abReserve = nullptr; // owned; released with free
    uint8_t cbReserve = 0;

    cabinet_folder_header() = default;
    cabinet_folder_header(const cabinet_folder_header&) = delete;
    cabinet_folder_header& operator=(const cabinet_folder_header&) = delete;
    ~cabinet_folder_header() { release_reserve(); }

    // Empties the entry and gives it a zero-filled reserve area sized by header.
    void init(const cabinet_header& header);
    // Reads an entry and the reserve area that header calls for
    // (header.folder_reserve_size()), releasing the old area first.
    [[nodiscard]] int read(std::istream& in, const cabinet_header& header);
    // Writes the entry and its own cbReserve reserve bytes.
    [[nodiscard]] int write(std::ostream& out) const;

    // Frees abReserve and sets cbReserve to 0.
    void release_reserve();
};

#endif
