#include "cabinet_parse.h"

#include <sstream>
#include <zlib.h>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_header.h>

#include "scratch_dir.h"

namespace {

// The block's one zlib stream, which must end exactly with the payload.
bool inflate_block(const cabinet_datablock& block, std::string& out) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return false;
    std::string expanded(block.cbUncomp + 1u, '\0');
    stream.next_in = block.abData;
    stream.avail_in = block.cbData;
    stream.next_out = reinterpret_cast<Bytef*>(&expanded[0]);
    stream.avail_out = static_cast<uInt>(expanded.size());
    int result = inflate(&stream, Z_FINISH);
    bool ok = result == Z_STREAM_END && stream.avail_in == 0 && stream.total_out == block.cbUncomp;
    inflateEnd(&stream);
    out.append(expanded, 0, block.cbUncomp);
    return ok;
}

std::string read_folder(std::istream& in, const cabinet_header& header, parsed_folder& folder) {
    cabinet_datablock block;
    for (uint16_t i = 0; i < folder.cCFData; ++i) {
        if (int status = block.read(in, header))
            return "block " + std::to_string(i) + ": status " + std::to_string(status);
        folder.cbData.push_back(block.cbData);
        folder.cbUncomp.push_back(block.cbUncomp);
        bool last = i + 1 == folder.cCFData;
        if (block.cbUncomp == 0 || block.cbUncomp > 32767 || (!last && block.cbUncomp != 32767))
            return "block " + std::to_string(i) + ": cbUncomp " + std::to_string(block.cbUncomp);
        if (folder.typeCompress == 0) {
            if (block.cbData != block.cbUncomp)
                return "stored block with cbData != cbUncomp";
            folder.data.append(reinterpret_cast<const char*>(block.abData), block.cbData);
        } else if (folder.typeCompress == 1) {
            if (!inflate_block(block, folder.data))
                return "block " + std::to_string(i) + " is not one complete zlib stream";
        } else if (block.cbData != 0) {
            return "block of an unknown type carries a payload";
        }
    }
    return "";
}

std::string parse(std::istream& in, parsed_cabinet& cabinet) {
    cabinet_header header;
    if (int status = header.read(in))
        return "header: status " + std::to_string(status);
    cabinet.cbCabinet = header.cbCabinet;
    cabinet.coffFiles = header.coffFiles;
    cabinet.cFolders = header.cFolders;
    cabinet.cFiles = header.cFiles;
    if (header.signature != CABINET_SIGNATURE || header.versionMajor != 1 ||
        header.versionMinor != 3 || header.flags != 0 || header.setID != 0 ||
        header.iCabinet != 0 || header.reserved1 != 0 || header.reserved2 != 0 ||
        header.reserved3 != 0 || header.cbCFHeader != 0 || header.cbCFFolder != 0 ||
        header.cbCFData != 0)
        return "not the plain header of a new cabinet";
    if (header.cbCabinet != cabinet.bytes.size())
        return "cbCabinet is not the file's length";
    if (header.coffFiles != 64 + 16u * header.cFolders)
        return "coffFiles is not behind the folder entries";

    for (uint16_t i = 0; i < header.cFolders; ++i) {
        cabinet_folder_header entry;
        if (int status = entry.read(in, header))
            return "folder entry: status " + std::to_string(status);
        parsed_folder folder;
        static_cast<cabinet_folder_fixed_header&>(folder) = entry;
        cabinet.folders.push_back(folder);
    }
    for (uint16_t i = 0; i < header.cFiles; ++i) {
        cabinet_file_header entry;
        if (int status = entry.read(in))
            return "file entry: status " + std::to_string(status);
        parsed_file file;
        static_cast<cabinet_file_fixed_header&>(file) = entry;
        file.name = entry.szName.str();
        cabinet.files.push_back(file);
    }
    for (parsed_folder& folder : cabinet.folders) {
        if (folder.coffCabStart != static_cast<uint64_t>(in.tellg()))
            return "folder data does not follow the entries and the folder before";
        std::string error = read_folder(in, header, folder);
        if (!error.empty())
            return error;
    }
    if (in.peek() != std::char_traits<char>::eof())
        return "bytes behind the last block";
    // Each folder's files follow one another in entry order and fill its stream.
    std::vector<uint64_t> filled(cabinet.folders.size());
    for (const parsed_file& file : cabinet.files) {
        if (file.iFolder >= cabinet.folders.size() || file.uoffFolderStart != filled[file.iFolder])
            return "file entry " + file.name + " is not where its folder's stream stands";
        filled[file.iFolder] += file.cbFile;
    }
    for (std::size_t i = 0; i < cabinet.folders.size(); ++i) {
        const parsed_folder& folder = cabinet.folders[i];
        if (folder.typeCompress <= 1 && filled[i] != folder.data.size())
            return "folder " + std::to_string(i) + " holds other bytes than its files";
    }
    return "";
}

} // namespace

std::string parsed_cabinet::content(const parsed_file& file) const {
    return folders.at(file.iFolder).data.substr(file.uoffFolderStart, file.cbFile);
}

parsed_cabinet parse_cabinet(const std::string& path) {
    parsed_cabinet cabinet;
    cabinet.bytes = scratch_dir::read(path);
    std::istringstream in(cabinet.bytes);
    cabinet.error = parse(in, cabinet);
    return cabinet;
}

std::string sample_bytes(std::size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        // Runs of text with some noise, so deflate has work to do.
        bytes[i] = (state >> 28) < 12 ? "cabinet "[i % 8] : static_cast<char>(state >> 16);
    }
    return bytes;
}
