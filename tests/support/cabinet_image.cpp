#include "cabinet_image.h"

#include <sstream>
#include <zlib.h>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_header.h>

test_block stored_block(const std::string& data) {
    return {data, static_cast<uint16_t>(data.size()), {}, false};
}

test_block deflate_block(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string packed(size, '\0');
    compress(reinterpret_cast<Bytef*>(&packed[0]), &size,
             reinterpret_cast<const Bytef*>(data.data()), data.size());
    packed.resize(size);
    return {packed, static_cast<uint16_t>(data.size()), {}, false};
}

test_folder folder_of(uint16_t type, const std::string& data, std::size_t block_size) {
    test_folder folder;
    folder.typeCompress = type;
    for (std::size_t at = 0; at < data.size(); at += block_size) {
        std::string part = data.substr(at, block_size);
        folder.blocks.push_back(type == 0 ? stored_block(part) : deflate_block(part));
    }
    return folder;
}

uint16_t
test_cabinet::add_folder(uint16_t type,
                         const std::vector<std::pair<std::string, std::string>>& named_contents,
                         std::size_t block_size) {
    uint16_t number = static_cast<uint16_t>(folders.size());
    std::string data;
    for (const auto& [name, contents] : named_contents) {
        test_file file;
        file.name = name;
        file.cbFile = contents.size();
        file.uoffFolderStart = data.size();
        file.iFolder = number;
        files.push_back(file);
        data += contents;
    }
    folders.push_back(folder_of(type, data, block_size));
    return number;
}

namespace {

bool has_reserve(const test_cabinet& cabinet) {
    return (cabinet.flags & cfhdrRESERVE_PRESENT) != 0;
}

// A reserve area of exactly the size the cabinet calls for.
std::string sized(std::string area, std::size_t size) {
    area.resize(size, '\0');
    return area;
}

std::string header_bytes(const test_cabinet& cabinet, uint64_t cbCabinet, uint64_t coffFiles) {
    cabinet_header header;
    header.signature = cabinet.signature;
    header.cbCabinet = cbCabinet;
    header.coffFiles = cabinet.coffFiles.value_or(coffFiles);
    header.versionMajor = cabinet.versionMajor;
    header.versionMinor = cabinet.versionMinor;
    header.cFolders = static_cast<uint16_t>(cabinet.folders.size());
    header.cFiles = cabinet.cFiles.value_or(static_cast<uint16_t>(cabinet.files.size()));
    header.flags = cabinet.flags;
    header.cbCFHeader = static_cast<uint16_t>(cabinet.header_reserve.size());
    header.cbCFFolder = cabinet.cbCFFolder;
    header.cbCFData = cabinet.cbCFData;
    std::string area = cabinet.header_reserve;
    header.abReserve = area.empty() ? nullptr : reinterpret_cast<uint8_t*>(&area[0]);
    header.szCabinetPrev = cabinet.prev_cabinet.c_str();
    header.szDiskPrev = cabinet.prev_disk.c_str();
    header.szCabinetNext = cabinet.next_cabinet.c_str();
    header.szDiskNext = cabinet.next_disk.c_str();
    std::ostringstream out;
    static_cast<void>(header.write(out)); // a string stream takes every byte
    header.abReserve = nullptr;           // borrowed from area
    return out.str();
}

std::string folder_bytes(const test_cabinet& cabinet, const test_folder& folder,
                         uint64_t coffCabStart) {
    cabinet_folder_header entry;
    entry.coffCabStart = folder.coffCabStart.value_or(coffCabStart);
    entry.cCFData = folder.cCFData.value_or(static_cast<uint16_t>(folder.blocks.size()));
    entry.typeCompress = folder.typeCompress;
    std::string area = sized(folder.reserve, has_reserve(cabinet) ? cabinet.cbCFFolder : 0);
    entry.abReserve = area.empty() ? nullptr : reinterpret_cast<uint8_t*>(&area[0]);
    entry.cbReserve = static_cast<uint8_t>(area.size());
    std::ostringstream out;
    static_cast<void>(entry.write(out)); // a string stream takes every byte
    entry.abReserve = nullptr;
    entry.cbReserve = 0;
    return out.str();
}

std::string file_bytes(const test_file& file) {
    cabinet_file_header entry;
    static_cast<cabinet_file_fixed_header&>(entry) = file;
    entry.szName = file.name.c_str();
    std::ostringstream out;
    static_cast<void>(entry.write(out)); // a string stream takes every byte
    return out.str();
}

std::string block_bytes(const test_cabinet& cabinet, const test_block& block) {
    cabinet_datablock record;
    record.set_compressed_data(reinterpret_cast<const uint8_t*>(block.payload.data()),
                               static_cast<uint16_t>(block.payload.size()), block.cbUncomp);
    std::string area = sized(block.reserve, has_reserve(cabinet) ? cabinet.cbCFData : 0);
    record.set_reserved_area(reinterpret_cast<const uint8_t*>(area.data()),
                             static_cast<uint8_t>(area.size()));
    std::ostringstream out;
    static_cast<void>(record.write(out)); // a string stream takes every byte
    std::string bytes = out.str();
    if (block.bad_checksum)
        bytes[0] = static_cast<char>(bytes[0] ^ 0x01);
    return bytes;
}

} // namespace

std::string build_cabinet(const test_cabinet& cabinet) {
    // The sizes do not depend on the offsets, so a first layout finds them.
    std::string files;
    for (const test_file& file : cabinet.files)
        files += file_bytes(file);
    std::vector<std::string> blocks;
    for (const test_folder& folder : cabinet.folders) {
        std::string run;
        for (const test_block& block : folder.blocks)
            run += block_bytes(cabinet, block);
        blocks.push_back(run);
    }
    uint64_t folders_size = 0;
    for (const test_folder& folder : cabinet.folders)
        folders_size += folder_bytes(cabinet, folder, 0).size();
    uint64_t header_size = header_bytes(cabinet, 0, 0).size();
    uint64_t coffFiles = header_size + folders_size;
    uint64_t total = coffFiles + files.size();
    for (const std::string& run : blocks)
        total += run.size();

    std::string image = header_bytes(cabinet, total, coffFiles);
    uint64_t block_start = coffFiles + files.size();
    for (std::size_t i = 0; i < cabinet.folders.size(); ++i) {
        image += folder_bytes(cabinet, cabinet.folders[i], block_start);
        block_start += blocks[i].size();
    }
    image += files;
    for (const std::string& run : blocks)
        image += run;
    return image;
}

void reserve_in_every_block(test_cabinet& cabinet, const std::string& reserve) {
    cabinet.flags |= cfhdrRESERVE_PRESENT;
    cabinet.cbCFData = static_cast<uint8_t>(reserve.size());
    for (test_folder& folder : cabinet.folders) {
        for (test_block& block : folder.blocks)
            block.reserve = reserve;
    }
}

void for_each_block_byte_change(
    const test_cabinet& cabinet,
    const std::function<void(const std::string& damaged, const block_byte_change& change)>& visit) {
    const std::string image = build_cabinet(cabinet);
    std::istringstream in(image);
    cabinet_header header;
    cabinet_folder_header folder;
    if (header.read(in) != 0 || folder.read(in, header) != 0)
        return;
    const std::size_t reserve = has_reserve(cabinet) ? cabinet.cbCFData : 0;
    uint64_t block_start = folder.coffCabStart;
    const std::vector<test_block>& blocks = cabinet.folders[0].blocks;
    for (std::size_t number = 0; number < blocks.size(); ++number) {
        const std::size_t size = 16 + reserve + blocks[number].payload.size();
        for (std::size_t at = 0; at < size; ++at) {
            for (int change = 1; change < 256; ++change) {
                std::string damaged = image;
                damaged[block_start + at] = static_cast<char>(damaged[block_start + at] ^ change);
                visit(damaged, {static_cast<int>(number), at, change});
            }
        }
        block_start += size;
    }
}
