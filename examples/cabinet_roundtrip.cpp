// Creates a cabinet of two small files and reads it back, through libkistle
// alone. Run it in an empty directory: it writes hello.txt, numbers.txt,
// example.cab and, below out/, the extracted copies.
#include <kistle/kistle.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string contents(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int fail(const char* what, int status) {
    std::fprintf(stderr, "%s: %s (%d)\n", what, get_cabinet_error_string(status), status);
    return 1;
}

} // namespace

int main() {
    std::ofstream("hello.txt") << "Hello, cabinet!\n";
    std::ofstream numbers("numbers.txt");
    for (int i = 0; i < 10000; ++i)
        numbers << i << '\n';
    numbers.close();

    cabinet_creator creator;
    if (int status = creator.open())
        return fail("open", status);
    if (int status = creator.new_folder(COMPRESSION_TYPE_DEFLATE))
        return fail("new_folder", status);
    for (const char* name : {"hello.txt", "numbers.txt"}) {
        if (int status = creator.add_file(name))
            return fail(name, status);
    }
    if (int status = creator.close("example.cab"))
        return fail("close", status);

    cabinet_reader reader;
    if (int status = reader.open("example.cab"))
        return fail("open example.cab", status);
    std::printf("example.cab: %llu bytes, %u files\n",
                static_cast<unsigned long long>(reader.header.cbCabinet), reader.header.cFiles);
    // The reader writes below the current directory.
    mkdir("out", 0777);
    if (chdir("out") != 0)
        return 1;
    for (uint64_t i = 0; i < reader.file_headers.count; ++i) {
        const cabinet_file_header& file = *reader.file_headers[i];
        if (int status = reader.extract(file.szName.str()))
            return fail(file.szName.str(), status);
        std::string original = "../" + std::string(file.szName.str());
        bool same = contents(file.szName.str()) == contents(original.c_str());
        std::printf("%-12s %8llu bytes  %s\n", file.szName.str(),
                    static_cast<unsigned long long>(file.cbFile), same ? "identical" : "DIFFERENT");
        if (!same)
            return 1;
    }
    if (int status = reader.close())
        return fail("close", status);
    return 0;
}
