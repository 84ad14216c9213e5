// The reading side of one folder: its entry and the decompressor that expands
// its blocks, writing any byte range of the folder's uncompressed stream.
#ifndef KISTLE_CABINET_FOLDER_MANAGER_H
#define KISTLE_CABINET_FOLDER_MANAGER_H

#include <cstdint>
#include <istream>
#include <ostream>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_header.h>
#include <kistle/export.h>

// zlib's stream state; clients of the library need no zlib headers.
struct z_stream_s;

class KISTLE_EXPORT cabinet_folder_manager : public cabinet_folder_header {
public:
    // The step that write_data performs on one block.
    enum COMPRESSION_STATE_FLAG {
        COMPRESSION_STATE_INIT = 0,  // create (or re-create) the decompressor
        COMPRESSION_STATE_SKIP = 1,  // expand the block, write nothing
        COMPRESSION_STATE_WRITE = 2, // expand the block, write a range of it
        COMPRESSION_STATE_END = 3    // end and release the decompressor
    };

    z_stream_s* zstream = nullptr; // owned; only for deflate folders, between INIT and END

    cabinet_folder_manager() = default;
    ~cabinet_folder_manager();

    // Writes length bytes of the folder's uncompressed stream, from offset on,
    // to out, reading the blocks from coffCabStart in `in` one after another.
    // header supplies the block reserve size. Every block up to the range's
    // end is read, verified and expanded, the ones before it too. The
    // decompressor is released when it returns, whatever the result.
    // CAB_STATUS_OK; CAB_ERROR_SEEK when coffCabStart cannot be reached;
    // CAB_ERROR_RANGE_PAST_END when the folder has no blocks or offset is not
    // below its data's size (even for a length of 0);
    // CAB_ERROR_FOLDER_DATA_ENDED when its blocks end inside the range; the
    // statuses of cabinet_datablock::read (CAB_ERROR_CHECKSUM among them) and
    // of write_data. What was written before a failure stays written.
    [[nodiscard]] int extract_data(std::ostream& out, std::istream& in, uint64_t offset,
                                   uint64_t length, const cabinet_header& header);

    // One step on a block that has just been read: bytes start to
    // start + length - 1 of its expanded contents go to out for WRITE.
    // CAB_STATUS_OK; CAB_ERROR_DECOMPRESSION when INIT cannot make the
    // decompressor or END cannot end it; for SKIP and WRITE,
    // CAB_ERROR_NO_DECOMPRESSOR on a deflate folder before INIT,
    // CAB_ERROR_UNSUPPORTED_COMPRESSION for a type other than 0 and 1,
    // CAB_ERROR_BAD_DATA for a range outside the block (or a stored block
    // shorter than it claims), CAB_ERROR_DECOMPRESSION or a status from
    // convert_z_error_code when the block does not inflate to cbUncomp bytes,
    // CAB_ERROR_WRITE. After a failure on a deflate folder the decompressor
    // is released, and the next step must be INIT.
    [[nodiscard]] int write_data(std::ostream& out, const cabinet_datablock& block, uint16_t start,
                                 uint16_t length, COMPRESSION_STATE_FLAG flag);

private:
    KISTLE_LOCAL void release_zstream();
    [[nodiscard]] KISTLE_LOCAL int walk_blocks(std::ostream& out, std::istream& in, uint64_t offset,
                                               uint64_t length, const cabinet_header& header);
    [[nodiscard]] KISTLE_LOCAL int expand_block(std::ostream& out, const cabinet_datablock& block,
                                                uint16_t start, uint16_t length,
                                                COMPRESSION_STATE_FLAG flag);
};

#endif
