// A data block: its 16-byte header, and the whole block with reserve area and
// payload, read with checksum verification. Reads and writes return the
// statuses listed in cabinet_header.h, and a read CAB_ERROR_CHECKSUM as well.
#ifndef KISTLE_CABINET_DATABLOCK_H
#define KISTLE_CABINET_DATABLOCK_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>

#include <kistle/cabinet_header.h>
#include <kistle/export.h>

class KISTLE_EXPORT cabinet_datablock_fixed_header {
public:
    static constexpr std::size_t image_size = 16;

    uint64_t csum = 0;
    uint16_t cbData = 0;
    uint16_t cbUncomp = 0;

    [[nodiscard]] int read(std::istream& in);
    [[nodiscard]] int write(std::ostream& out) const;
};

class KISTLE_EXPORT cabinet_datablock : public cabinet_datablock_fixed_header {
public:
    uint8_t* abReserve = nullptr; // owned; released with free
    uint8_t* abData = nullptr;    // owned payload of cbData bytes; released with free
    uint8_t cbReserve = 0;

    cabinet_datablock() = default;
    cabinet_datablock(const cabinet_datablock&) = delete;
    cabinet_datablock& operator=(const cabinet_datablock&) = delete;
    ~cabinet_datablock() { release_buffers(); }

    // Reads a whole block (the reserve area that header calls for, then
    // cbData payload bytes through io_read) and verifies its checksum:
    // CAB_ERROR_CHECKSUM on a mismatch, with the block kept for inspection.
    [[nodiscard]] int read(std::istream& in, const cabinet_header& header);
    // Computes the checksum into csum, then writes the whole block.
    [[nodiscard]] int write(std::ostream& out);

    // The checksum function over count bytes, starting from seed
    // (block_checksum.cpp).
    static uint64_t CSUMCompute(const uint8_t* bytes, uint32_t count, uint64_t seed);
    // The checksum of a block with this payload and these sizes: the
    // payload's CSUMCompute XOR (cbData + 65536 * cbUncomp).
    static uint64_t block_checksum(const uint8_t* payload, uint16_t cbData, uint16_t cbUncomp);

    // Stores the checksum of the current payload and sizes in csum.
    void compute_checksum();
    // Whether csum, all 64 bits of it, matches the current payload and sizes.
    bool checksum_ok() const;
    bool checksum_not_ok() const { return !checksum_ok(); }

    // Replace the reserve area, or the payload and both sizes, with copies. An
    // allocation that fails leaves no reserve area, or an empty payload.
    void set_reserved_area(const uint8_t* bytes, uint8_t length);
    void set_compressed_data(const uint8_t* bytes, uint16_t data_size, uint16_t uncompressed_size);

    // Frees the reserve area and the payload; cbReserve becomes 0.
    void release_buffers();
};

#endif
