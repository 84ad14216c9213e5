#include "range_checks.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <unordered_map>

#include <kistle/cabinet_status.h>

#include "stored_name.h"

namespace kistle::internal {

std::vector<folder_span> folder_spans(cabinet_reader& core) {
    const uint32_t count = static_cast<uint32_t>(core.folder_managers.count);
    std::vector<folder_span> spans(count);
    std::vector<uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0u);
    auto start_of = [&core](uint32_t i) { return core.folder_managers[i]->coffCabStart; };
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return start_of(a) < start_of(b); });
    // Folders that begin at one place overlap one another; one of them is
    // walked, as far as the next place a folder begins.
    for (std::size_t k = 0; k < order.size();) {
        const uint32_t folder = order[k];
        if (core.folder_managers[folder]->cCFData == 0) { // it takes no place
            ++k;
            continue;
        }
        std::size_t next = k + 1;
        while (next < order.size() && (core.folder_managers[order[next]]->cCFData == 0 ||
                                       start_of(order[next]) == start_of(folder))) {
            if (core.folder_managers[order[next]]->cCFData != 0) {
                spans[order[next]].overlaps = static_cast<int32_t>(folder);
                spans[folder].overlaps = static_cast<int32_t>(order[next]);
            }
            ++next;
        }
        folder_span& span = spans[folder];
        const uint64_t stop = next < order.size() ? start_of(order[next]) : UINT64_MAX;
        bool overran = false;
        span.status = core.measure_folder(static_cast<uint16_t>(folder), stop, span.compressed,
                                          span.uncompressed, overran);
        if (overran) {
            span.overlaps = static_cast<int32_t>(order[next]);
            spans[order[next]].overlaps = static_cast<int32_t>(folder);
        }
        k = next;
    }
    return spans;
}

std::vector<int64_t> overlapping_entries(const record_reading& reading, const cabinet_reader& core,
                                         const std::vector<folder_span>& spans) {
    struct range {
        uint64_t start, end;
        uint32_t entry;
    };
    const std::size_t count = reading.entries.size();
    std::vector<int64_t> result(count, -1);
    std::map<uint16_t, std::vector<range>> by_folder;
    for (uint32_t i = 0; i < count; ++i) {
        const entry_source& source = reading.sources[i];
        // Entries of core's own: not those of a set's later cabinets.
        if (source.file < 0 || source.volume != 0)
            continue;
        const cabinet_file_header& file = *core.file_headers[static_cast<uint32_t>(source.file)];
        if (file.cbFile == 0 || file.iFolder >= spans.size())
            continue;
        const uint64_t end = file.uoffFolderStart + file.cbFile < file.uoffFolderStart
                                 ? UINT64_MAX
                                 : file.uoffFolderStart + file.cbFile;
        by_folder[file.iFolder].push_back({file.uoffFolderStart, end, i});
    }
    // Entries of overlapping folders share the same blocks, whatever their
    // offsets: each overlaps the first entry of the other folder.
    for (auto& [folder, ranges] : by_folder) {
        const int32_t other = spans[folder].overlaps;
        if (other < 0)
            continue;
        auto found = by_folder.find(static_cast<uint16_t>(other));
        for (const range& r : ranges)
            result[r.entry] = found != by_folder.end() ? found->second.front().entry : r.entry;
    }
    const auto group_of = [&reading](uint32_t entry) {
        return reading.status == record_status::verified ? reading.sources[entry].link_group
                                                         : entry;
    };
    for (auto& [folder, ranges] : by_folder) {
        std::stable_sort(ranges.begin(), ranges.end(), [](const range& a, const range& b) {
            return a.start != b.start ? a.start < b.start : a.end < b.end;
        });
        // The range reaching furthest so far: what a later start below its
        // end intersects.
        const range* furthest = nullptr;
        for (const range& r : ranges) {
            if (furthest != nullptr && r.start < furthest->end) {
                const bool same_file = group_of(r.entry) == group_of(furthest->entry) &&
                                       r.start == furthest->start && r.end == furthest->end;
                if (!same_file) {
                    result[r.entry] = furthest->entry;
                    if (result[furthest->entry] < 0)
                        result[furthest->entry] = r.entry;
                }
            }
            if (furthest == nullptr || r.end > furthest->end)
                furthest = &r;
        }
    }
    return result;
}

std::vector<int64_t> shadowing_entries(const std::vector<entry>& entries) {
    std::vector<int64_t> result(entries.size(), -1);
    std::unordered_map<std::string, uint32_t> first;
    first.reserve(entries.size());
    for (uint32_t i = 0; i < entries.size(); ++i) {
        auto [at, inserted] = first.emplace(path_of(entries[i].name), i);
        if (!inserted)
            result[i] = at->second;
    }
    return result;
}

} // namespace kistle::internal
