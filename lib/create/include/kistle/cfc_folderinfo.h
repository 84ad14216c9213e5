// The folder builder: reads files into one folder's stream, cuts it into
// 32767-byte blocks and writes each block, compressed and check-summed, to the
// data stream it was opened on.
#ifndef KISTLE_CFC_FOLDERINFO_H
#define KISTLE_CFC_FOLDERINFO_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <istream>
#include <ostream>

#include <kistle/cfc_fileinfo.h>
#include <kistle/export.h>
#include <kistle/object_base.h>
#include <kistle/queue_of.h>

struct z_stream_s;
namespace kistle::internal {
class block_pipeline;
struct block_encoding;
struct pipeline_helpers;
} // namespace kistle::internal

class KISTLE_EXPORT cfc_folderinfo : public ObjectBase {
public:
    // Uncompressed bytes in every block but a folder's last.
    static constexpr uint16_t block_size = 0x7FFF;
    // cCFData is 16-bit, so a folder holds at most this many blocks.
    static constexpr uint16_t max_blocks = 0xFFFF;

    uint64_t data_offset = 0; // where the first block went in the data stream
    uint16_t cCFData = 0;
    uint16_t typeCompress = 0;  // 0 stored, 1 deflate; others write empty blocks
    uint8_t* reserve = nullptr; // owned copy of the reserve given to open
    uint16_t iFolder = 0;
    QueueOf<cfc_fileinfo> files;
    std::ostream* output = nullptr;   // not owned; none once frozen
    uint8_t* pending_block = nullptr; // owned partial block, none when empty
    uint16_t pending_size = 0;
    uint64_t uncompressed_size = 0; // bytes in the folder's stream; the next uoffFolderStart
    uint64_t bytes_written = 0;     // block headers and payloads written
    z_stream_s* zstream = nullptr;  // deflate state of an open type 1 folder that zlib deflates
    // Owned, from open to reset: the block source, encoder and sink that
    // work on the fields above (output, pending_block, pending_size,
    // cCFData and bytes_written are theirs, and zstream their zlib state).
    // They take the fields as they find them and leave their state there.
    kistle::internal::block_pipeline* pipeline = nullptr;

    cfc_folderinfo() = default;
    ~cfc_folderinfo() override;

    // Resets the folder and readies it to write blocks of typeCompress to
    // output (not owned, which must outlive the folder's writing), the first
    // at data_offset; reserve_size bytes of reserve are copied and kept but
    // written nowhere. CAB_STATUS_OK; CAB_ERROR_OUT_OF_MEMORY, or a status from
    // convert_z_error_code when the compressor cannot be made: the folder is
    // then unusable until the next open or reset.
    [[nodiscard]] int open(std::ostream& output, uint64_t data_offset, uint16_t typeCompress,
                           uint16_t iFolder, uint8_t reserve_size, const uint8_t* reserve);
    // As open above, compressing a deflate folder at level (0 to 9, or -1
    // for zlib's default, which the open above uses); zlib refuses any other
    // level with Z_STREAM_ERROR, whose status open returns.
    [[nodiscard]] int open(std::ostream& output, uint64_t data_offset, uint16_t typeCompress,
                           uint16_t iFolder, uint8_t reserve_size, const uint8_t* reserve,
                           int level);
    // As open above, the blocks encoded as encoding says (its type is the
    // folder's typeCompress); a library's refusal of the level is
    // convert_z_error_code's status for Z_STREAM_ERROR.
    [[nodiscard]] KISTLE_LOCAL int open(std::ostream& output, uint64_t data_offset,
                                        uint16_t iFolder,
                                        const kistle::internal::block_encoding& encoding);
    // What the folder borrows for the calls that add files, until the next
    // use or freeze (see pipeline_helpers): threads that deflate its blocks
    // while the next bytes are read, and where it reports the bytes it
    // takes (once per block at least; when asked to stop, an add fails with
    // CAB_ERROR_STOPPED and the folder is left as after a failed read).
    // Blocks still in flight on threads taken back are written first.
    // Without hold, every add returns with its blocks written, and the
    // folder's state after each call is what it would be without threads.
    // With hold, blocks stay in flight from one add to the next: cCFData
    // and bytes_written count them only once written (at the latest by
    // freeze), and a block that cannot be written fails the call during
    // which that is found, or freeze, with the data stream failed.
    KISTLE_LOCAL void use(const kistle::internal::pipeline_helpers& helpers);
    // Appends the file's bytes to the folder's stream and records its entry,
    // whose cbFile is the number of bytes read and uoffFolderStart the
    // stream's size before them. The path is stored as given.
    // CAB_ERROR_FROZEN_FOLDER, CAB_ERROR_OPEN_FILE, CAB_ERROR_FSTAT,
    // CAB_ERROR_READ for a directory (errno EISDIR), CAB_ERROR_DATETIME for a
    // modification time without a local time, CAB_ERROR_OUT_OF_MEMORY: the
    // folder is unchanged. CAB_ERROR_READ for a failed read,
    // CAB_ERROR_STOPPED when progress asked to stop,
    // CAB_ERROR_TOO_MANY_FILES at the block limit, CAB_ERROR_WRITE or a
    // compression status for a block that could not be written: the bytes
    // read so far stay in the stream without an entry, and later files start
    // behind them, so every entry still matches its bytes (after a failed
    // write, the data stream itself has failed; after a failed compression
    // too, since the block may hold the end of the file before, which is
    // then missing). errno is that of the failed system call.
    [[nodiscard]] int add_file(const char* path);
    // As add_file(path), with the entry stored under a copy of stored_name
    // (path when null).
    [[nodiscard]] int add_file(const char* path, const char* stored_name);
    // Appends what in yields up to its end, as add_file does a file's bytes,
    // under a copy of stored_name, with the DOS date and time of modified
    // (local time) and the read-only bit when read_only is set. A read that
    // leaves in bad fails with CAB_ERROR_READ (in must report failures that
    // way, not by throwing). CAB_ERROR_NO_FILENAME for a null stored_name;
    // the other statuses, and the state after each, are add_file's.
    [[nodiscard]] int add_stream(std::istream& in, const char* stored_name, std::time_t modified,
                                 bool read_only);
    // As add_stream, with the entry's date, time and attribute bits as given.
    [[nodiscard]] KISTLE_LOCAL int add_stream(std::istream& in, const char* stored_name,
                                              uint16_t date, uint16_t time, uint16_t attribs);
    // Records an entry for bytes already in a stream: iFolder,
    // uoffFolderStart and cbFile as given, so that two entries may share
    // the same bytes. CAB_ERROR_FROZEN_FOLDER, CAB_ERROR_NO_FILENAME,
    // CAB_ERROR_OUT_OF_MEMORY: nothing changes.
    [[nodiscard]] KISTLE_LOCAL int add_entry(const char* stored_name, uint16_t folder,
                                             uint64_t offset, uint64_t size, uint16_t date,
                                             uint16_t time, uint16_t attribs);
    // Makes the folder's data blocks blocks of bytes bytes (headers and
    // payloads) that expand to size bytes, which the caller writes, already
    // encoded, at offset of the data stream once the stream's own bytes are
    // written: a folder carried over from another cabinet, never compressed
    // again. For a folder that took nothing yet: CAB_ERROR_BAD_DATA once it
    // holds blocks or bytes; CAB_ERROR_FROZEN_FOLDER.
    [[nodiscard]] KISTLE_LOCAL int adopt_blocks(uint64_t offset, uint16_t blocks, uint64_t bytes,
                                                uint64_t size);
    // Hands back the next full block (the caller owns it), or none while the
    // bytes read so far wait in the pending block. After a failed read
    // (CAB_ERROR_READ) the bytes read, earlier files' included, stay pending.
    [[nodiscard]] int read_block(std::istream& in, uint8_t*& block, int32_t& size);
    // Compresses, check-sums and writes one block, and counts it in cCFData
    // and bytes_written. CAB_STATUS_OK; CAB_ERROR_FROZEN_FOLDER; a status of
    // compress_block (nothing written, and output made to fail: the block is
    // missing from the stream); CAB_ERROR_WRITE when output failed, with the
    // block counted.
    [[nodiscard]] int process_block(const uint8_t* data, uint16_t size);
    // Compresses one block by typeCompress: out is data itself for a stored
    // folder, a buffer the caller frees for a deflate folder, and none (no
    // payload) for any other type. CAB_STATUS_OK; CAB_ERROR_OUT_OF_MEMORY, or
    // a status from convert_z_error_code (out none).
    [[nodiscard]] int compress_block(uint8_t*& out, uint16_t& out_size, const uint8_t* data,
                                     uint16_t size);
    static uint64_t CSUMCompute(const uint8_t* data, uint32_t size, uint64_t seed);
    // Writes the pending block as the folder's last, stops taking files and
    // ends the compressor. After a failure (CAB_ERROR_WRITE or a compression
    // status) the folder keeps its pending block, compressor and output.
    [[nodiscard]] int freeze();
    // Flushes (a failure is not reported), adds the folder's share to the
    // running totals and moves its entries to the end of cabinet_files.
    void close(QueueOf<cfc_fileinfo>& cabinet_files, uint64_t& cabinet_size, uint64_t& data_start);
    // Writes the 16-byte folder entry, whose coffCabStart is data_start +
    // data_offset. CAB_STATUS_OK or CAB_ERROR_WRITE.
    [[nodiscard]] int write_entry(std::ostream& out, uint64_t data_start) const;
    // Releases everything, entries included: the folder is as constructed.
    void reset();

private:
    // Bytes taken into the folder's stream so far: in blocks taken, and pending.
    KISTLE_LOCAL uint64_t stream_size() const;
    [[nodiscard]] KISTLE_LOCAL int add_open_file(int fd, const char* name);
    // The entry of a file about to be read: CAB_ERROR_DATETIME,
    // CAB_ERROR_OUT_OF_MEMORY, and no entry, when it cannot be made.
    [[nodiscard]] KISTLE_LOCAL int new_entry(const char* name, std::time_t modified, bool read_only,
                                             cfc_fileinfo*& entry);
    // As new_entry, with the fixed fields as given.
    [[nodiscard]] KISTLE_LOCAL int new_entry(const char* name, uint16_t date, uint16_t time,
                                             uint16_t attribs, cfc_fileinfo*& entry);
    // Takes in to its end into the stream.
    [[nodiscard]] KISTLE_LOCAL int take(std::istream& in);
    // Records entry once its bytes were taken with status, or drops it.
    [[nodiscard]] KISTLE_LOCAL int end_entry(cfc_fileinfo* entry, int status);
    // The fields are the folder's state: the pipeline takes it from them
    // before each call, and shows its own in them after.
    KISTLE_LOCAL void load_pipeline();
    KISTLE_LOCAL void show_pipeline();
    KISTLE_LOCAL void release();
};

#endif
