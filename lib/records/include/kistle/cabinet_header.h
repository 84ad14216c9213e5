// The cabinet header: its 64-byte fixed part, and the complete header with
// reserve sizes, reserve area and chain names.
//
// The records of this header and of cabinet_folder_header.h,
// cabinet_file_header.h and cabinet_datablock.h read and write at the
// stream's position and never seek, and judge no value they read. Every read
// returns CAB_STATUS_OK, CAB_ERROR_UNEXPECTED_EOF when the input ended early,
// CAB_ERROR_READ for any other failed read (a stream that had failed before
// the call included), or CAB_ERROR_OUT_OF_MEMORY for a reserve area or name
// that cannot be allocated; after a failure the record holds what arrived
// and is discarded or read into again. Every write returns CAB_STATUS_OK or
// CAB_ERROR_WRITE; the bytes written before a failure stay written, and the
// record is unchanged.
#ifndef KISTLE_CABINET_HEADER_H
#define KISTLE_CABINET_HEADER_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>

#include <kistle/b_string.h>
#include <kistle/export.h>

// "MSCF" read as a little-endian 32-bit integer.
constexpr uint32_t CABINET_SIGNATURE = 0x4643534D;

// Header flags.
constexpr uint16_t cfhdrPREV_CABINET = 0x0001;
constexpr uint16_t cfhdrNEXT_CABINET = 0x0002;
constexpr uint16_t cfhdrRESERVE_PRESENT = 0x0004;

class KISTLE_EXPORT cabinet_fixed_header {
public:
    static constexpr std::size_t image_size = 64;

    uint32_t signature = 0;
    uint64_t reserved1 = 0;
    uint64_t cbCabinet = 0;
    uint64_t reserved2 = 0;
    uint64_t coffFiles = 0;
    uint64_t reserved3 = 0;
    uint8_t versionMinor = 0;
    uint8_t versionMajor = 0;
    uint16_t cFolders = 0;
    uint16_t cFiles = 0;
    uint16_t flags = 0;
    uint16_t setID = 0;
    uint16_t iCabinet = 0;

    // The fixed header of a cabinet that holds nothing: version 0.1.
    void init();
    // Reads the 64-byte image; bytes 60 to 63 are ignored, nothing is cleared first.
    [[nodiscard]] int read(std::istream& in);
    // Writes the 64-byte image with zeros in bytes 60 to 63.
    [[nodiscard]] int write(std::ostream& out) const;
};

class KISTLE_EXPORT cabinet_header : public cabinet_fixed_header {
public:
    uint16_t cbCFHeader = 0;      // length of abReserve
    uint8_t cbCFFolder = 0;       // reserve length behind every folder entry
    uint8_t cbCFData = 0;         // reserve length behind every block header
    uint8_t* abReserve = nullptr; // owned; released with free
    b_string szCabinetPrev;
    b_string szDiskPrev;
    b_string szCabinetNext;
    b_string szDiskNext;

    cabinet_header() = default;
    cabinet_header(const cabinet_header&) = delete;
    cabinet_header& operator=(const cabinet_header&) = delete;
    ~cabinet_header() { release_reserve(); }

    // Reads the whole header: fixed image, reserve sizes and area, and the
    // chain names that the flags call for. The reserve area and the names are
    // released first, so a failed read leaves them empty unless they arrived.
    [[nodiscard]] int read(std::istream& in);
    // Writes the whole header; an unset chain name is written as an empty string.
    [[nodiscard]] int write(std::ostream& out) const;
    // Reads one NUL-terminated string of any length; target is untouched
    // unless it succeeds.
    [[nodiscard]] static int read_string(b_string& target, std::istream& in);
    // Writes text and its terminating NUL; an unset text is the empty string.
    [[nodiscard]] static int write_string(std::ostream& out, const b_string& text);

    // Frees abReserve; cbCFHeader keeps its value.
    void release_reserve();

    // The reserve lengths that take effect: the sizes count only while flags
    // has cfhdrRESERVE_PRESENT.
    uint8_t folder_reserve_size() const { return (flags & cfhdrRESERVE_PRESENT) ? cbCFFolder : 0; }
    uint8_t block_reserve_size() const { return (flags & cfhdrRESERVE_PRESENT) ? cbCFData : 0; }
};

#endif
