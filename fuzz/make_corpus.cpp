// Writes the seed corpus of every fuzz target: cabinets that the library's
// own creator makes (stored and deflate folders, several files, files across
// block boundaries) and hand-laid ones with reserve areas, chain names and
// values the creator never writes.
//   make_corpus DIRECTORY
// fills DIRECTORY/reader, archive, records, datablock, extract_data and
// inflate. The archive target also gets cabinets with kistle's record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#include <zlib.h>

#include <kistle/archive.h>
#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_reader.h>

#include "cabinet_image.h"
#include "little_endian.h"
#include "record.h"

using namespace kistle::internal;

namespace {

// Text that deflate shrinks, but not to nothing.
std::string text(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + (i * seed / 7 + i / 101) % 26);
    return bytes;
}

// Bytes deflate cannot shrink.
std::string noise(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct creator_folder {
    uint16_t type;
    std::vector<std::pair<std::string, std::size_t>> files; // name and size
};

// A cabinet made by the creator in the current directory, from files it
// writes there first.
std::string created(const std::vector<creator_folder>& folders) {
    cabinet_creator creator;
    if (creator.open() != 0)
        return {};
    unsigned seed = 1;
    for (const creator_folder& folder : folders) {
        if (creator.new_folder(folder.type) != 0)
            return {};
        for (const auto& [name, size] : folder.files) {
            std::string::size_type slash = name.rfind('/');
            if (slash != std::string::npos)
                mkdir(name.substr(0, slash).c_str(), 0700);
            if (!write_file(name, text(size, seed++)) || creator.add_file(name.c_str()) != 0)
                return {};
        }
    }
    if (creator.close("made.cab") != 0)
        return {};
    return read_file("made.cab");
}

// Folders of small blocks, so that blocks, reserve areas and file boundaries
// are many in few bytes.
test_cabinet hand_laid(uint16_t flags) {
    test_cabinet cabinet;
    cabinet.flags = flags;
    cabinet.add_folder(1, {{"a.txt", text(40, 3)}, {"dir/b", text(9, 4)}, {"empty", ""}}, 16);
    cabinet.add_folder(0, {{"c", text(20, 5)}, {"\\d\\e", text(30, 6)}}, 12);
    return cabinet;
}

std::vector<std::pair<std::string, std::string>> cabinets() {
    std::vector<std::pair<std::string, std::string>> made;
    made.emplace_back("created_empty", created({}));
    made.emplace_back("created_no_files", created({{1, {}}}));
    made.emplace_back(
        "created_deflate_boundaries",
        created({{1, {{"one", 30000}, {"sub/two", 5000}, {"three", 0}}}, {1, {{"four", 70000}}}}));
    made.emplace_back("created_stored_and_deflate",
                      created({{0, {{"s1", 33000}, {"s2", 10}}}, {1, {{"d1", 100}}}}));
    made.emplace_back("created_other_type", created({{2, {{"x", 50}}}}));

    test_cabinet reserved = hand_laid(cfhdrRESERVE_PRESENT);
    reserved.header_reserve = std::string("abc\0def", 7);
    reserved.cbCFFolder = 4;
    reserved.cbCFData = 3;
    made.emplace_back("reserve_areas", build_cabinet(reserved));
    test_cabinet chained = hand_laid(cfhdrPREV_CABINET | cfhdrNEXT_CABINET);
    chained.prev_cabinet = "prev.cab";
    chained.prev_disk = "Disk 1";
    chained.next_cabinet = "next.cab";
    chained.next_disk = "";
    made.emplace_back("chain_names", build_cabinet(chained));
    test_cabinet everything = chained;
    everything.flags = cfhdrPREV_CABINET | cfhdrNEXT_CABINET | cfhdrRESERVE_PRESENT;
    everything.header_reserve = "r";
    everything.cbCFFolder = 1;
    everything.cbCFData = 2;
    everything.files[0].iFolder = ifoldCONTINUED_FROM_PREV;
    everything.files[1].attribs = 0xFF;
    everything.files[1].date = 0xFFFF;
    everything.files[1].time = 0xFFFF;
    made.emplace_back("all_flags", build_cabinet(everything));
    return made;
}

bool write_seed(const std::string& directory, const std::string& name, const std::string& bytes) {
    mkdir(directory.c_str(), 0700);
    return write_file(directory + "/" + name, bytes);
}

// The seeds of the block and range targets: one byte of reserve settings,
// as those targets read it, before a folder's blocks.
std::string reserve_byte(const cabinet_header& header) {
    bool reserve = (header.flags & cfhdrRESERVE_PRESENT) && header.cbCFData < 128;
    return std::string(1, static_cast<char>(reserve ? 1 | header.cbCFData << 1 : 0));
}

std::string range_prefix(const std::string& settings, const cabinet_folder_manager& folder,
                         uint64_t offset, uint64_t length) {
    uint8_t bytes[32] = {};
    put_le16(bytes + 8, folder.cCFData); // coffCabStart 0: the blocks follow
    put_le16(bytes + 10, folder.typeCompress);
    put_le64(bytes + 16, offset);
    put_le64(bytes + 24, length);
    return settings + std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

bool write_seeds(const std::string& out, const std::string& name, const std::string& image) {
    bool ok = write_seed(out + "/reader", name, image) &&
              write_seed(out + "/archive", name, image) &&
              write_seed(out + "/records", name, image);
    std::string path = out + "/" + name + ".cab";
    write_file(path, image);
    cabinet_reader reader;
    if (reader.open(path.c_str()) != 0)
        return false;
    std::remove(path.c_str());
    std::string settings = reserve_byte(reader.header);
    for (uint64_t i = 0; i < reader.folder_managers.count; ++i) {
        const cabinet_folder_manager& folder = *reader.folder_managers[i];
        uint64_t end = i + 1 < reader.folder_managers.count
                           ? reader.folder_managers[i + 1]->coffCabStart
                           : image.size();
        std::string blocks = image.substr(folder.coffCabStart, end - folder.coffCabStart);
        std::string folder_name = name + "_" + std::to_string(i);
        ok = ok && write_seed(out + "/datablock", folder_name, settings + blocks);
        for (uint64_t j = 0; j < reader.file_headers.count; ++j) {
            const cabinet_file_header& file = *reader.file_headers[j];
            if (file.iFolder == i)
                ok = ok &&
                     write_seed(out + "/extract_data", folder_name + "_" + std::to_string(j),
                                range_prefix(settings, folder, file.uoffFolderStart, file.cbFile) +
                                    blocks);
        }
        // The whole folder, its first block's payload damaged: what follows
        // that block may be recovered.
        uint64_t compressed = 0, uncompressed = 0;
        const std::size_t first_payload = 16 + reader.header.block_reserve_size();
        if (reader.measure_folder(static_cast<uint16_t>(i), compressed, uncompressed) == 0 &&
            folder.cCFData > 1 && blocks.size() > first_payload) {
            std::string damaged = blocks;
            damaged[first_payload] = static_cast<char>(damaged[first_payload] ^ 0x01);
            ok = ok && write_seed(out + "/extract_data", folder_name + "_damaged",
                                  range_prefix(settings, folder, 0, uncompressed) + damaged);
        }
    }
    return ok;
}

// The inflate target's seeds: cbUncomp, then zlib streams of every kind of
// block zlib writes.
bool write_inflate_seeds(const std::string& out) {
    const std::string data = text(20000, 3) + std::string(5000, 'z') + text(7000, 11);
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE};
    bool ok = true;
    for (int level : {0, 1, 6, 9}) {
        for (int strategy : strategies) {
            z_stream stream = {};
            if (deflateInit2(&stream, level, Z_DEFLATED, 15, 8, strategy) != Z_OK)
                return false;
            std::string payload(deflateBound(&stream, data.size()), '\0');
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
            stream.avail_in = static_cast<uInt>(data.size());
            stream.next_out = reinterpret_cast<Bytef*>(&payload[0]);
            stream.avail_out = static_cast<uInt>(payload.size());
            int result = deflate(&stream, Z_FINISH);
            payload.resize(stream.total_out);
            deflateEnd(&stream);
            uint8_t size[2];
            put_le16(size, static_cast<uint16_t>(data.size()));
            ok = ok && result == Z_STREAM_END &&
                 write_seed(out + "/inflate",
                            "level" + std::to_string(level) + "_" + std::to_string(strategy),
                            std::string(reinterpret_cast<const char*>(size), 2) + payload);
        }
    }
    return ok;
}

// Cabinets with kistle's record: a tree of every kind of entry, in a deflate
// folder and a stored one, whole and as a plain cabinet.
bool write_record_seeds(const std::string& out) {
    const std::string tree = "record-tree";
    mkdir(tree.c_str(), 0755);
    mkdir((tree + "/dir").c_str(), 0750);
    if (!write_file(tree + "/dir/a.txt", text(40000, 5)) || !write_file(tree + "/b", "b") ||
        symlink("dir/a.txt", (tree + "/link").c_str()) != 0 ||
        link((tree + "/b").c_str(), (tree + "/dir/b-again").c_str()) != 0)
        return false;
    bool ok = true;
    for (bool plain : {false, true}) {
        const std::string path = plain ? "plain.cab" : "record.cab";
        std::error_code ec;
        kistle::writer out_cabinet;
        out_cabinet.open(path, ec);
        out_cabinet.set_plain(plain);
        out_cabinet.add_tree(tree, "tree", {}, ec);
        out_cabinet.new_folder(kistle::compression::stored, ec);
        out_cabinet.add_bytes("stored", text(500, 9), 1709647628, false, ec);
        out_cabinet.commit(ec);
        ok = ok && !ec && write_seed(out + "/archive", path, read_file(path));
    }
    // A set of three cabinets, one after the other, as the archive target
    // splits its input; a file continues through the second.
    std::error_code ec;
    kistle::writer set;
    set.set_volume_size(40 * 1024);
    set.open("set.cab", ec);
    set.add_bytes("first", text(2000, 3), 1709647628, false, ec);
    set.add_bytes("long", noise(80000, 4), 1709647628, false, ec);
    set.commit(ec);
    const std::string volumes =
        read_file("set.cab") + read_file("set.2.cab") + read_file("set.3.cab");
    return ok && !ec && write_seed(out + "/archive", "set", volumes);
}

// The record target's seeds: a file count, then a table's CBOR, with every
// kind of entry.
bool write_table_seeds(const std::string& out) {
    record_table table;
    record_entry dir;
    dir.type = record_type::directory;
    dir.name = "d";
    dir.has_owner = true;
    dir.uid = 1000;
    dir.gid = 100;
    table.entries.push_back(dir);
    record_entry file;
    file.file = 0;
    file.nanoseconds = 5;
    file.seconds = -1;
    table.entries.push_back(file);
    record_entry link;
    link.type = record_type::symlink;
    link.name = "d/l";
    link.target = "../f";
    table.entries.push_back(link);
    record_entry hard;
    hard.type = record_type::hardlink;
    hard.file = 1;
    hard.link = 1;
    table.entries.push_back(hard);
    table.owners[1000] = "ana";
    table.groups[100] = "users";
    const std::string record = encode_record(table);
    // Without the 24 bytes before the table and the 8 after it.
    const std::string body = record.substr(24, record.size() - 32);
    return write_seed(out + "/record", "table", std::string(1, 2) + body) &&
           write_seed(out + "/record", "empty", std::string(1, 0) + body.substr(0, 0));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_corpus DIRECTORY\n", stderr);
        return 2;
    }
    std::string out = argv[1];
    mkdir(out.c_str(), 0700);
    // The creator's inputs are made in a directory of their own.
    std::string inputs = out + "/inputs";
    mkdir(inputs.c_str(), 0700);
    char* absolute = realpath(out.c_str(), nullptr);
    if (absolute == nullptr || chdir(inputs.c_str()) != 0) {
        std::perror(out.c_str());
        return 1;
    }
    out = absolute;
    std::free(absolute);
    for (const auto& [name, image] : cabinets()) {
        if (image.empty() || !write_seeds(out, name, image)) {
            std::fprintf(stderr, "make_corpus: %s failed\n", name.c_str());
            return 1;
        }
    }
    if (!write_record_seeds(out) || !write_table_seeds(out)) {
        std::fputs("make_corpus: the record seeds failed\n", stderr);
        return 1;
    }
    if (!write_inflate_seeds(out)) {
        std::fputs("make_corpus: the inflate seeds failed\n", stderr);
        return 1;
    }
    return 0;
}
