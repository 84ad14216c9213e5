#include "set_plan.h"

#include <algorithm>

#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_header.h>

namespace kistle::internal {

namespace {

constexpr uint16_t continued_from_previous = 0xFFFD;
constexpr uint16_t continued_to_next = 0xFFFE;
constexpr uint16_t continued_both = 0xFFFF;

// Where a file has bytes in a cabinet.
struct fragment {
    uint32_t volume;
    uint16_t folder; // the cabinet's folder
    uint64_t offset; // in that folder's stream
    uint32_t entry;  // the cabinet's entry
};

class planner {
public:
    planner(const std::vector<planned_folder>& folders, const std::vector<planned_file>& files,
            uint64_t trailing_cost, const set_limits& limits)
        : folders(folders), files(files), trailing_cost(trailing_cost), limits(limits),
          fragments(files.size()), last_seen(files.size(), UINT32_MAX) {}

    set_outcome run() {
        // The pieces that begin in each folder, in the order of their bytes.
        std::vector<std::vector<std::pair<uint64_t, uint32_t>>> starting(folders.size());
        for (uint32_t f = 0; f < files.size(); ++f)
            for (const file_piece& piece : files[f].pieces)
                if (piece.folder < folders.size())
                    starting[piece.folder].emplace_back(piece.offset, f);
        for (auto& list : starting)
            std::stable_sort(list.begin(), list.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });

        begin_volume("");
        for (uint32_t d = 0; d < folders.size() && !result.too_small; ++d)
            lay_folder(d, starting[d]);
        result.volumes.back().last_record_only = true;
        size += trailing_cost;
        if (size > limits.volume_size && volume_blocks > 0)
            result.too_small = true;
        finish_entries();
        return std::move(result);
    }

private:
    // What a cabinet takes before any folder or entry.
    uint64_t base_size() const {
        return cabinet_fixed_header_size + 4 + limits.reserve_size + limits.chain_names +
               cabinet_folder_fixed_header::image_size + limits.fixed_cost;
    }
    static constexpr uint64_t cabinet_fixed_header_size = 64;

    uint64_t entry_cost(uint32_t f, bool first) const {
        const planned_file& file = files[f];
        return cabinet_file_fixed_header::image_size + file.name.size() + 1 + file.record_cost +
               (first ? file.companions_cost : 0);
    }

    void begin_volume(const std::string& reason) {
        if (!result.volumes.empty())
            result.reasons.push_back(reason);
        result.volumes.emplace_back();
        size = base_size();
        entries = 0;
        volume_blocks = 0;
    }

    planned_volume& volume() { return result.volumes.back(); }
    const planned_volume& volume() const { return result.volumes.back(); }
    uint32_t volume_number() const { return static_cast<uint32_t>(result.volumes.size() - 1); }

    // Starts the cabinet's folder for data folder d at offset start of its
    // stream, its first block at position.
    void open_volume_folder(uint32_t d, uint64_t start, uint64_t position) {
        volume_folder folder;
        folder.typeCompress = folders[d].typeCompress;
        folder.data_offset = position;
        volume().plan.folders.push_back(folder);
        cut_start = start;
        size += cabinet_folder_fixed_header::image_size;
    }

    // Gives file f an entry in this cabinet, its bytes at offset of data
    // folder d (or of the cabinet's current folder).
    void add_entry(uint32_t f, uint64_t offset) {
        const bool first = fragments[f].empty();
        fragments[f].push_back({volume_number(),
                                static_cast<uint16_t>(volume().plan.folders.size() - 1),
                                offset - cut_start, static_cast<uint32_t>(volume().files.size())});
        volume().files.push_back(f);
        if (first)
            volume().first_files.push_back(f);
        last_seen[f] = volume_number();
        ++entries;
        size += entry_cost(f, first);
    }

    bool fits(uint64_t more_size, uint32_t more_entries, uint32_t more_folders) const {
        return size + more_size <= limits.volume_size && entries + more_entries <= limits.entries &&
               volume().plan.folders.size() + more_folders <= limits.folders;
    }

    // Ends the cabinet before what does not fit and begins the next, in
    // which the files whose bytes run past the cut go on.
    void cut(uint32_t d, uint64_t start, uint64_t position, const std::string& reason,
             const std::vector<uint32_t>& running) {
        begin_volume(reason);
        open_volume_folder(d, start, position);
        for (uint32_t f : running)
            add_entry(f, start);
    }

    // The files whose bytes in data folder d run through offset at.
    std::vector<uint32_t> running_at(uint32_t d, uint64_t at) const {
        std::vector<uint32_t> running;
        for (uint32_t f : volume().files) {
            if (last_seen[f] != volume_number())
                continue;
            for (const file_piece& piece : files[f].pieces)
                if (piece.folder == d && piece.offset < at && at < piece.offset + piece.length) {
                    running.push_back(f);
                    break;
                }
        }
        return running;
    }

    void lay_folder(uint32_t d, const std::vector<std::pair<uint64_t, uint32_t>>& starting) {
        const planned_folder& folder = folders[d];
        // A file that goes on from the folder before begins a cabinet here.
        std::vector<uint32_t> continuing;
        for (const auto& [offset, f] : starting)
            if (offset == 0 && !fragments[f].empty())
                continuing.push_back(f);
        if (!continuing.empty() || !fits(cabinet_folder_fixed_header::image_size, 0, 1)) {
            if (volume_blocks > 0 || entries > 0)
                begin_volume(continuing.empty() ? "folders" : "a file larger than a folder");
        }
        std::size_t next = 0; // the next piece of starting to take
        uint64_t start = 0, position = folder.data_offset;
        bool folder_open = false;
        for (uint32_t b = 0; b < folder.block_count; ++b) {
            const uint64_t image = cabinet_datablock_header_size + (folder.blocks[b] >> 16);
            const uint64_t end = start + (folder.blocks[b] & 0xFFFF);
            // The entries whose bytes begin in this block come with it;
            // those without bytes follow as they fit.
            const std::size_t block_first = next;
            std::size_t until = next;
            uint64_t cost = image, count = 0;
            while (until < starting.size() && starting[until].first < end) {
                const uint32_t f = starting[until].second;
                if (files[f].size != 0 && !(last_seen[f] == volume_number() && folder_open)) {
                    cost += entry_cost(f, fragments[f].empty());
                    ++count;
                }
                ++until;
            }
            if (!folder_open)
                cost += cabinet_folder_fixed_header::image_size;
            if (!fits(cost, static_cast<uint32_t>(count), folder_open ? 0 : 1) &&
                (volume_blocks > 0 || entries > 0)) {
                const bool size_is_why = size + cost > limits.volume_size;
                cut(d, start, position, size_is_why ? "size" : "files", running_at(d, start));
                folder_open = true;
                if (!fits(cost - cabinet_folder_fixed_header::image_size,
                          static_cast<uint32_t>(count), 0)) {
                    result.too_small = true;
                    return;
                }
            }
            if (!folder_open) {
                open_volume_folder(d, start, position);
                folder_open = true;
            }
            for (; next < until; ++next) {
                const uint32_t f = starting[next].second;
                if (files[f].size != 0 && last_seen[f] != volume_number())
                    add_entry(f, starting[next].first);
            }
            volume_folder& kept = volume().plan.folders.back();
            kept.data_size += image;
            ++kept.blocks;
            ++volume_blocks;
            size += image;
            start = end;
            position += image;
            // An entry without bytes may stand anywhere in the folder: where
            // the cabinet has no room for it, at the start of the next.
            for (std::size_t k = block_first; k < until; ++k) {
                const uint32_t f = starting[k].second;
                if (files[f].size != 0)
                    continue;
                if (!fits(entry_cost(f, true), 1, 0)) {
                    const bool size_is_why = size + entry_cost(f, true) > limits.volume_size;
                    cut(d, start, position, size_is_why ? "size" : "files", running_at(d, start));
                    if (!fits(entry_cost(f, true), 1, 0)) {
                        result.too_small = true;
                        return;
                    }
                }
                add_entry(f, std::max(starting[k].first, cut_start));
            }
        }
        // Entries without bytes at the folder's end, and a folder without
        // blocks: in the cabinet at hand while they fit, then in the next.
        for (; next < starting.size(); ++next) {
            const uint32_t f = starting[next].second;
            if (last_seen[f] == volume_number() && folder_open)
                continue;
            const uint64_t cost = entry_cost(f, fragments[f].empty());
            if (!fits(cost + (folder_open ? 0 : cabinet_folder_fixed_header::image_size), 1,
                      folder_open ? 0 : 1) &&
                (volume_blocks > 0 || entries > 0)) {
                const bool size_is_why = size + cost > limits.volume_size;
                cut(d, start, position, size_is_why ? "size" : "files", running_at(d, start));
                folder_open = true;
                if (!fits(cost, 1, 0)) {
                    result.too_small = true;
                    return;
                }
            }
            if (!folder_open) {
                open_volume_folder(d, start, position);
                folder_open = true;
            }
            if (last_seen[f] != volume_number())
                add_entry(f, starting[next].first);
        }
    }

    // Each cabinet's entries, now that every file's cabinets are known.
    void finish_entries() {
        for (uint32_t f = 0; f < files.size(); ++f) {
            const std::vector<fragment>& where = fragments[f];
            for (std::size_t k = 0; k < where.size(); ++k) {
                const fragment& at = where[k];
                volume_entry entry;
                entry.fields.cbFile = files[f].size;
                entry.fields.date = files[f].date;
                entry.fields.time = files[f].time;
                entry.fields.attribs = files[f].attribs;
                entry.name = files[f].name;
                const bool alone = where.size() == 1;
                if (alone) {
                    entry.fields.iFolder = at.folder;
                    entry.fields.uoffFolderStart = at.offset;
                } else if (k == 0) {
                    entry.fields.iFolder = continued_to_next;
                    entry.fields.uoffFolderStart = at.offset;
                } else {
                    entry.fields.iFolder =
                        k + 1 == where.size() ? continued_from_previous : continued_both;
                    entry.fields.uoffFolderStart = 0;
                }
                std::vector<volume_entry>& list = result.volumes[at.volume].plan.entries;
                if (list.size() <= at.entry)
                    list.resize(at.entry + 1);
                list[at.entry] = std::move(entry);
            }
        }
    }

    static constexpr uint64_t cabinet_datablock_header_size = 16;

    const std::vector<planned_folder>& folders;
    const std::vector<planned_file>& files;
    const uint64_t trailing_cost;
    const set_limits& limits;
    set_outcome result;
    std::vector<std::vector<fragment>> fragments; // by file
    std::vector<uint32_t> last_seen;              // the last cabinet with an entry of a file
    uint64_t size = 0;
    uint32_t entries = 0;
    uint64_t volume_blocks = 0;
    uint64_t cut_start = 0; // where the cabinet's last folder begins in its data folder
};

} // namespace

set_outcome plan_set(const std::vector<planned_folder>& folders,
                     const std::vector<planned_file>& files, uint64_t trailing_cost,
                     const set_limits& limits) {
    return planner(folders, files, trailing_cost, limits).run();
}

} // namespace kistle::internal
