#include "set_reader.h"

#include <algorithm>
#include <cerrno>

#include <kistle/cabinet_header.h>
#include <kistle/cabinet_status.h>

#include "volume_names.h"

namespace kistle::internal {

namespace {

constexpr uint16_t continued_from_previous = 0xFFFD;
constexpr uint16_t continued_to_next = 0xFFFE;
constexpr uint16_t continued_both = 0xFFFF;

std::error_code code_of(int status) {
    return std::error_code(status, category());
}

volume_info info_of(const std::filesystem::path& path, const cabinet_reader& core) {
    volume_info info;
    info.path = path;
    info.set_id = core.header.setID;
    info.index = core.header.iCabinet;
    info.size = core.header.cbCabinet;
    info.folders = core.header.cFolders;
    info.files = core.header.cFiles;
    return info;
}

class set_merger {
public:
    set_merger(record_reading& reading, set_reading& set) : reading(reading), set(set) {}

    // The first cabinet's entries keep their numbers.
    void take_first(cabinet_reader& core) {
        for (uint32_t n = 0; n < reading.entries.size(); ++n) {
            const int64_t file = reading.sources[n].file;
            if (file < 0)
                continue;
            const cabinet_file_header& header = *core.file_headers[static_cast<uint32_t>(file)];
            if (header.iFolder == continued_to_next) {
                begin(n, 0, core, reading, header, pending);
            } else if (header.iFolder == continued_from_previous ||
                       header.iFolder == continued_both) {
                // A later cabinet read alone: its first bytes are elsewhere.
                continued_file& alone = set.continued[n];
                alone.status = CAB_ERROR_SET_CONTINUED;
                alone.why = "its first bytes are in the cabinet before";
            }
        }
    }

    void take(uint32_t v, set_volume& volume) {
        record_reading& own = volume.reading;
        std::vector<uint32_t> seen;    // pending files this cabinet went on with
        std::vector<uint32_t> carried; // and those of them that go on further
        std::vector<uint32_t> started; // files it begins that go on
        volume.merged.assign(own.entries.size(), UINT32_MAX);
        for (uint32_t n = 0; n < own.entries.size(); ++n) {
            const int64_t file = own.sources[n].file;
            const cabinet_file_header* header =
                file >= 0 ? volume.core.file_headers[static_cast<uint32_t>(file)] : nullptr;
            if (header != nullptr &&
                (header->iFolder == continued_from_previous || header->iFolder == continued_both)) {
                go_on(v, volume, n, *header, seen, carried);
                continue;
            }
            const uint32_t m = static_cast<uint32_t>(reading.entries.size());
            volume.merged[n] = m;
            entry e = own.entries[n];
            e.volume = static_cast<uint16_t>(v);
            entry_source source = own.sources[n];
            source.volume = v;
            source.link_group = source.link_group < n ? volume.merged[source.link_group] : m;
            reading.entries.push_back(std::move(e));
            reading.sources.push_back(source);
            if (header != nullptr && header->iFolder == continued_to_next)
                begin(m, v, volume.core, own, *header, started);
        }
        // What this cabinet did not go on with, it should have.
        for (uint32_t m : pending)
            if (std::find(seen.begin(), seen.end(), m) == seen.end())
                fail(m, CAB_ERROR_ENTRY_MISMATCH, "the next cabinet does not go on with it");
        pending = std::move(carried);
        pending.insert(pending.end(), started.begin(), started.end());
        gap_status = CAB_STATUS_OK;
        for (problem p : own.damage) {
            if (p.other.empty())
                p.other = volume.path.filename().native();
            reading.damage.push_back(std::move(p));
        }
    }

    // A cabinet that could not be read: the files going on into it fail
    // with status; those going on out of it, in the next cabinet found,
    // are listed and fail so too.
    void gap(int status, const std::string& why) {
        for (uint32_t m : pending)
            fail(m, status, why);
        gap_status = status;
        gap_why = why;
    }

    // The chain ended: at its last cabinet (status OK), or at one that
    // could not be read.
    void end(int status, const std::string& why) {
        for (uint32_t m : pending)
            if (status != CAB_STATUS_OK)
                fail(m, status, why);
            else
                fail(m, CAB_ERROR_VOLUME_MISSING, "it goes on past the set's last cabinet");
        pending.clear();
        // Where the first cabinet's record vouches for its entries, a file
        // that continues needs every cabinet's record to vouch for its part.
        if (reading.status == record_status::verified)
            for (auto& [m, file] : set.continued)
                if (!file.verified)
                    fail(m, CAB_ERROR_ENTRY_MISMATCH, "a cabinet's record does not vouch for it");
    }

private:
    // Entry m, whose file begins at header's start in cabinet v's last
    // folder of files and runs to that folder's end.
    void begin(uint32_t m, uint32_t v, cabinet_reader& core, const record_reading& own,
               const cabinet_file_header& header, std::vector<uint32_t>& started) {
        continued_file& file = set.continued[m];
        started.push_back(m);
        uint16_t folder = static_cast<uint16_t>(core.folder_managers.count);
        if (folder > 0)
            --folder;
        if (own.record_folder && *own.record_folder == folder && folder > 0)
            --folder;
        uint64_t compressed = 0, length = 0;
        errno = 0;
        if (core.folder_managers.count == 0) {
            file.status = CAB_ERROR_INVALID_FOLDER;
        } else if (int status = core.measure_folder(folder, compressed, length)) {
            file.status = status;
        } else if (header.uoffFolderStart > length ||
                   length - header.uoffFolderStart > header.cbFile) {
            file.status = CAB_ERROR_RANGE_PAST_END;
        } else {
            file.parts.push_back(
                {v, folder, header.uoffFolderStart, length - header.uoffFolderStart});
            file.verified = reading.entries[m].verified;
        }
        if (file.status != CAB_STATUS_OK)
            file.why = "where it begins";
    }

    // Entry n of cabinet v goes on with a pending file of the same name and
    // size: all of the first folder, or, where the file ends, as much of it
    // as is still missing.
    void go_on(uint32_t v, set_volume& volume, uint32_t n, const cabinet_file_header& header,
               std::vector<uint32_t>& seen, std::vector<uint32_t>& carried) {
        const entry& e = volume.reading.entries[n];
        auto found = std::find_if(pending.begin(), pending.end(), [&](uint32_t m) {
            return reading.entries[m].name == e.name && reading.entries[m].size == e.size &&
                   std::find(seen.begin(), seen.end(), m) == seen.end();
        });
        if (found == pending.end() && gap_status != CAB_STATUS_OK) {
            // Its first bytes were in the cabinet that could not be read:
            // it is listed, and fails as the files going on into it do.
            const uint32_t m = static_cast<uint32_t>(reading.entries.size());
            volume.merged[n] = m;
            entry listed = e;
            listed.volume = static_cast<uint16_t>(v);
            entry_source source = volume.reading.sources[n];
            source.volume = v;
            source.link_group = m;
            reading.entries.push_back(std::move(listed));
            reading.sources.push_back(source);
            continued_file& file = set.continued[m];
            file.status = gap_status;
            file.why = gap_why;
            seen.push_back(m);
            if (header.iFolder == continued_both)
                carried.push_back(m);
            return;
        }
        if (found == pending.end()) {
            // Unless its record already named it as damaged.
            if (e.verified || volume.reading.status != record_status::verified)
                reading.damage.push_back(
                    {e.name, code_of(CAB_ERROR_ENTRY_MISMATCH), volume.path.filename().native()});
            return;
        }
        const uint32_t m = *found;
        volume.merged[n] = m;
        seen.push_back(m);
        if (header.iFolder == continued_both)
            carried.push_back(m);
        continued_file& file = set.continued[m];
        if (file.status != CAB_STATUS_OK)
            return;
        const entry_source& first = reading.sources[m];
        const entry_source& here = volume.reading.sources[n];
        file.verified = file.verified && e.verified && here.has_content == first.has_content &&
                        here.content == first.content;
        uint64_t so_far = 0;
        for (const set_part& part : file.parts)
            so_far += part.length;
        uint64_t compressed = 0, length = 0;
        errno = 0;
        if (volume.core.folder_managers.count == 0) {
            fail(m, CAB_ERROR_INVALID_FOLDER, volume.path.filename().native());
            return;
        }
        if (int status = volume.core.measure_folder(0, compressed, length)) {
            fail(m, status, volume.path.filename().native());
            return;
        }
        const uint64_t left = e.size - std::min(e.size, so_far);
        if (header.iFolder == continued_both) {
            if (length >= left) {
                fail(m, CAB_ERROR_ENTRY_MISMATCH, "its bytes end before its last cabinet");
                return;
            }
            file.parts.push_back({v, 0, 0, length});
        } else {
            if (so_far >= e.size || header.uoffFolderStart != 0 || length < left) {
                fail(m, CAB_ERROR_ENTRY_MISMATCH, "its parts do not add up to its size");
                return;
            }
            file.parts.push_back({v, 0, 0, left});
        }
    }

    void fail(uint32_t m, int status, const std::string& why) {
        continued_file& file = set.continued[m];
        if (file.status != CAB_STATUS_OK)
            return;
        file.status = status;
        file.why = why;
    }

    record_reading& reading;
    set_reading& set;
    std::vector<uint32_t> pending;  // files that go on in the next cabinet
    int gap_status = CAB_STATUS_OK; // why the cabinet before the next could not be read
    std::string gap_why;
};

} // namespace

void read_set(const std::filesystem::path& first_path, cabinet_reader& first,
              record_reading& reading, volume_opener open, void* context, set_reading& set) {
    set_merger merger(reading, set);
    merger.take_first(first);
    set.volumes.push_back(info_of(first_path.empty() ? "-" : first_path, first));
    const cabinet_header& head = first.header;
    if ((head.flags & cfhdrPREV_CABINET) != 0 || head.iCabinet != 0) {
        // A later cabinet alone: what it holds whole is read.
        set.volumes.back().status = code_of(CAB_ERROR_SET_CONTINUED);
        merger.end(CAB_ERROR_SET_CONTINUED, "it goes on in the next cabinet");
        return;
    }
    if (first_path.empty() && (head.flags & cfhdrNEXT_CABINET) != 0) {
        // Read from a stream: the cabinets after it are not looked for.
        volume_info info;
        info.path = head.szCabinetNext.str();
        info.index = 1;
        info.status = code_of(CAB_ERROR_VOLUME_MISSING);
        set.volumes.push_back(info);
        merger.end(CAB_ERROR_VOLUME_MISSING, "a set is read from its files, not from a stream");
        return;
    }
    const std::filesystem::path directory = first_path.parent_path();
    const cabinet_header* last = &head;
    // Past a cabinet that could not be read, the next ones are looked for
    // by the naming rule alone, as long as there is a file there.
    bool by_number = false;
    for (uint32_t v = 1; v <= 0xFFFF && (by_number || (last->flags & cfhdrNEXT_CABINET) != 0);
         ++v) {
        // Where the cabinet says the next one is, or where kistle puts it.
        std::vector<std::filesystem::path> candidates;
        const std::string named = by_number ? std::string() : last->szCabinetNext.str();
        if (is_plain_file_name(named))
            candidates.push_back(directory / named);
        const std::filesystem::path numbered = volume_path(first_path, v + 1);
        if (candidates.empty() || candidates.front() != numbered)
            candidates.push_back(numbered);
        int status = CAB_ERROR_VOLUME_MISSING;
        std::filesystem::path tried = candidates.front();
        std::unique_ptr<set_volume> found;
        for (const std::filesystem::path& candidate : candidates) {
            auto volume = std::make_unique<set_volume>();
            volume->path = candidate;
            errno = 0;
            int opened = open(context, *volume);
            if (opened == CAB_STATUS_OK) {
                const cabinet_header& h = volume->core.header;
                if (h.setID != head.setID || h.iCabinet != v || (h.flags & cfhdrPREV_CABINET) == 0)
                    opened = CAB_ERROR_FOREIGN_VOLUME;
            } else if (opened == CAB_ERROR_OPEN_STREAM && errno == ENOENT) {
                continue; // not there: the other name, if any
            }
            if (opened == CAB_STATUS_OK) {
                found = std::move(volume);
                break;
            }
            // A file there that is no part of this set says more than a
            // name where nothing is.
            if (status == CAB_ERROR_VOLUME_MISSING) {
                status = opened;
                tried = candidate;
            }
        }
        if (!found) {
            if (by_number && status == CAB_ERROR_VOLUME_MISSING)
                break; // nothing more to look for
            volume_info info;
            info.path = tried;
            info.index = static_cast<uint16_t>(v);
            info.status = code_of(status);
            set.volumes.push_back(info);
            merger.gap(status, "it needs " + tried.filename().native());
            set.later.emplace_back(); // none at its place
            by_number = true;
            continue;
        }
        set.volumes.push_back(info_of(found->path, found->core));
        merger.take(v, *found);
        set.later.push_back(std::move(found));
        last = &set.later.back()->core.header;
        by_number = false;
    }
    merger.end(CAB_STATUS_OK, {});
}

} // namespace kistle::internal
