#include <kistle/archive.h>
#include <ostream>

#include "cabinet_input.h"
#include "command_line.h"
#include "commands.h"
#include "console.h"

namespace {

std::string flag_names(unsigned flags) {
    static const struct {
        unsigned bit;
        const char* name;
    } names[] = {{0x0001, "previous cabinet"}, {0x0002, "next cabinet"}, {0x0004, "reserve areas"}};
    std::string result;
    for (const auto& n : names) {
        if ((flags & n.bit) == 0)
            continue;
        result += result.empty() ? "" : ", ";
        result += n.name;
    }
    return result.empty() ? "none" : result;
}

std::string compression_name(unsigned type) {
    switch (type) {
    case 0:
        return "stored";
    case 1:
        return "deflate";
    default:
        return "unsupported (" + std::to_string(type) + ")";
    }
}

std::string record_text(const kistle::cabinet_info& header) {
    const std::string version = std::to_string(header.record_version_major) + "." +
                                std::to_string(header.record_version_minor);
    switch (header.record) {
    case kistle::record_status::none:
        return "none (a plain cabinet)";
    case kistle::record_status::verified:
        return "version " + version +
               (header.directory_verified ? ", verified" : ", verified; the directory is damaged");
    case kistle::record_status::damaged:
        return "damaged; read as a plain cabinet";
    case kistle::record_status::newer:
        return "version " + version + ", newer than this kistle reads; read as a plain cabinet";
    }
    return "";
}

} // namespace

int run_info(const options& o, console& out) {
    kistle::reader cabinet;
    open_cabinet(cabinet, o.cabinet);
    kistle::cabinet_info header = cabinet.info();
    char flags[8];
    std::snprintf(flags, sizeof flags, "0x%04x", header.flags);
    out.out_line("cabinet:        " + o.cabinet);
    out.out_line("version:        " + std::to_string(header.version_major) + "." +
                 std::to_string(header.version_minor));
    std::string size = "size:           " + std::to_string(header.size) + " bytes";
    if (header.actual_size != header.size)
        size += " (the file has " + std::to_string(header.actual_size) + ")";
    out.out_line(size);
    out.out_line("folders:        " + std::to_string(header.folders));
    out.out_line("files:          " + std::to_string(header.files));
    out.out_line("flags:          " + std::string(flags) + " (" + flag_names(header.flags) + ")");
    out.out_line("set:            id " + std::to_string(header.set_id) + ", position " +
                 std::to_string(header.set_index));
    if ((header.flags & 0x0001) != 0)
        out.out_line("previous:       " + header.previous_cabinet + " on disk " +
                     header.previous_disk);
    if ((header.flags & 0x0002) != 0)
        out.out_line("next:           " + header.next_cabinet + " on disk " + header.next_disk);
    out.out_line("reserve sizes:  header " + std::to_string(header.header_reserve) + ", folder " +
                 std::to_string(header.folder_reserve) + ", block " +
                 std::to_string(header.block_reserve) + " bytes");
    out.out_line("record:         " + record_text(header));
    // The set it begins (or the chain it is part of): each cabinet found.
    const std::vector<kistle::volume_info>& volumes = cabinet.volumes();
    if (volumes.size() > 1 || (header.flags & 0x0003) != 0) {
        for (std::size_t i = 0; i < volumes.size(); ++i) {
            const kistle::volume_info& v = volumes[i];
            std::string line = (i == 0 ? "cabinets:       " : "                ") + v.path.native();
            if (v.status)
                line += ": " + v.status.message();
            else
                line += " (position " + std::to_string(v.index) + ", " + std::to_string(v.size) +
                        " bytes, " + std::to_string(v.files) + " files)";
            out.out_line(line);
        }
    }

    std::vector<kistle::folder_info> folders = cabinet.folders();
    if (folders.empty())
        return exit_success;
    out.out_line("");
    char line[160];
    std::snprintf(line, sizeof line, "%6s  %-12s %7s %16s %16s", "folder", "compression", "blocks",
                  "compressed", "uncompressed");
    out.out_line(line);
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const kistle::folder_info& f = folders[i];
        std::snprintf(line, sizeof line, "%6zu  %-12s %7u %16llu %16llu", i,
                      compression_name(f.type).c_str(), static_cast<unsigned>(f.blocks),
                      static_cast<unsigned long long>(f.compressed_size),
                      static_cast<unsigned long long>(f.uncompressed_size));
        out.out_line(header.record_folder == i ? std::string(line) + "  (record)" : line);
    }
    return exit_success;
}
