// A cabinet being changed (internal): the old cabinet, opened once, its
// record and directory verified before anything is decided; which of its
// entries stay; and how what stays reaches the new cabinet. A folder whose
// entries all stay is copied block for block from a map of the old file
// (each block's checksum verified before the new cabinet is begun and again
// as it is written, never recompressed); a folder that loses an entry is
// rebuilt from the entries it keeps, each checked against the record's
// checksum first. A set of cabinets is read whole, and its entries stored
// again.
#ifndef KISTLE_CABINET_EDIT_H
#define KISTLE_CABINET_EDIT_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

#include <kistle/archive.h>
#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_reader.h>

#include "outcome.h"
#include "record.h"
#include "record_reader.h"

class cfc_fileinfo;

namespace kistle::internal {

struct block_encoding;
struct block_size_log;

// XXH3 of a file entry as the creator writes it: the record's `e`.
// Throws std::bad_alloc.
uint64_t file_entry_checksum(const cfc_fileinfo& entry);

class cabinet_edit {
public:
    cabinet_edit() = default;
    ~cabinet_edit();
    cabinet_edit(const cabinet_edit&) = delete;
    cabinet_edit& operator=(const cabinet_edit&) = delete;

    // Reads the cabinet at path (opened once). Refuses, naming path, what
    // cannot be changed without losing something: a record that cannot be
    // verified (record_damaged, record_newer), a directory that does not
    // match it (directory_damaged, entry_mismatch), entries whose bytes
    // overlap (overlap), folders that begin at one place (folders_overlap;
    // carry_over finds a copied folder that runs into another), entries of
    // a folder it lacks (invalid_folder), a file that cannot be read
    // (read). Every entry is kept to begin with.
    outcome open(const std::filesystem::path& path);
    void close() noexcept;
    bool is_open() const { return opened; }
    // Whether the cabinet has no record.
    bool plain() const { return reading.status == record_status::none; }
    // The file's identity, so that a tree walk never stores it.
    const struct stat& identity() const { return status; }

    const std::vector<entry>& entries() const { return reading.entries; }
    bool kept(std::size_t index) const { return keep[index]; }
    std::size_t kept_count() const;
    // The kept entries stored under name, byte for byte, in stored order.
    std::vector<std::size_t> named(std::string_view name) const;
    void drop(std::size_t index) { keep[index] = false; }
    // The DOS date, time and attributes of an entry with bytes.
    const cabinet_file_header* file_of(std::size_t index) const;
    // Every entry stored under name, kept or not, in stored order.
    std::vector<std::size_t> all_named(std::string_view name) const;

    // A set, opened from its first cabinet, is read through a reader: its
    // entries are stored again by the writer rather than carried over, and
    // carry_over is not called (mark_carried is). Null for one cabinet.
    reader* set() const { return whole_set.get(); }
    // The set's cabinets, the first included.
    const std::vector<std::filesystem::path>& set_volumes() const { return volumes; }
    void mark_carried() { carry_done = true; }

    // Appends what stays to creator, behind its folders: every folder that
    // keeps an entry, each copied or rebuilt as encoding_of says its type is
    // encoded, with its kept file entries; at most folder_limit folders in
    // all. For a cabinet with a record, kept gets the record's entries of
    // the kept entries in the old order, their file entries numbered from
    // the creator's count before the call, hard links whose first entry
    // went made files (or linked to the first that stays), and the names of
    // their owners and groups. Fails with the old cabinet's damage
    // (checksum, content_mismatch, ...) naming the entry, or the creator's
    // statuses; the creator then holds folders that were only part done.
    // kept_from gets the old index of each of kept's entries.
    // folder_made is called after each folder is begun, and may give a
    // log that gets the sizes of a copied folder's blocks (a rebuilt
    // folder's are the creator's to log).
    outcome carry_over(cabinet_creator& creator,
                       const std::function<block_encoding(uint16_t type)>& encoding_of,
                       uint32_t folder_limit, const std::function<block_size_log*()>& folder_made,
                       record_table& kept, std::vector<std::size_t>& kept_from);

    // Writes the blocks of the folders carry_over copied, in order, each
    // verified again as it is written: the data behind the creator's
    // (cabinet_extras::trailing). A status: CAB_ERROR_CHECKSUM,
    // CAB_ERROR_READ, CAB_ERROR_WRITE, or CAB_ERROR_BAD_DATA when the old
    // cabinet changed since.
    int write_carried(std::ostream& out);
    static int write_carried(void* self, std::ostream& out) {
        return static_cast<cabinet_edit*>(self)->write_carried(out);
    }
    // Their size in bytes; whether carry_over ran.
    uint64_t carried_bytes() const;
    bool carried_over() const { return carry_done; }

    // How many folders carry_over copied whole and rebuilt.
    unsigned copied_folders = 0, rebuilt_folders = 0;

private:
    // Walks folder number's blocks in the old file, verifying each
    // checksum; with out, writes each as the new cabinet holds it (no
    // reserve area); with sizes, logs each block's. bytes gets the size of
    // the blocks so written, uncompressed what they expand to.
    outcome walk_folder(uint16_t number, std::ostream* out, uint64_t& bytes, uint64_t& uncompressed,
                        block_size_log* sizes = nullptr);
    // Adds folder number's staying file entries to creator in a folder of
    // their own: copied (whole), or rebuilt from their bytes.
    outcome carry_folder(uint16_t number, const std::vector<uint32_t>& staying, bool whole,
                         cabinet_creator& creator,
                         const std::function<block_encoding(uint16_t type)>& encoding_of,
                         uint32_t folder_limit, const std::function<block_size_log*()>& folder_made,
                         uint64_t& carried_offset,
                         const std::function<void(uint32_t file)>& carried_entry);
    // Whether a block of the folder that starts at start, found at at,
    // lies where another folder begins.
    bool runs_into_another(uint64_t start, uint64_t at) const;
    outcome check_content(std::size_t file, const std::string& bytes) const;
    // open() for a set's first cabinet: every cabinet read, and its record
    // verified.
    outcome open_set();

    std::filesystem::path path;
    bool opened = false;
    int fd = -1;
    struct stat status = {};
    cabinet_reader core;
    record_reading reading;
    std::vector<bool> keep;
    std::vector<uint64_t> starts; // every folder's first block, sorted
    struct carried_folder {
        uint16_t number;
        uint64_t bytes;
    };
    std::vector<carried_folder> carried; // in the new cabinet's order
    bool carry_done = false;
    // A window of the old file read with pread: a file cut by someone else
    // meanwhile is a short read and an error here, never a fault as a map
    // of it would give.
    std::unique_ptr<uint8_t[]> window;
    uint64_t window_start = 0, window_size = 0;
    // Bytes [at, at + length) of the old file (length at most a block and
    // its header), or nullptr where the file holds fewer.
    const uint8_t* view(uint64_t at, std::size_t length);
    // The entry that describes each file entry.
    std::vector<std::size_t> entry_of_file;
    std::unordered_multimap<std::string_view, std::size_t> by_name;
    std::unique_ptr<reader> whole_set;
    std::vector<std::filesystem::path> volumes;
};

} // namespace kistle::internal

#endif
