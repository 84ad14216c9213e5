// Creates a cabinet through the library with one deflate folder per file, as
// an application that keeps files apart would: new_folder, then add_file,
// for each name read from standard input (one a line), then close. Names are
// taken relative to the current directory.
//
// usage: bench_folders CABINET < NAMES
#include <cstdio>
#include <iostream>
#include <string>

#include <kistle/cabinet_creator.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: bench_folders CABINET < NAMES\n", stderr);
        return 2;
    }
    cabinet_creator creator;
    int status = creator.open();
    std::string name;
    unsigned long count = 0;
    while (status == 0 && std::getline(std::cin, name)) {
        status = creator.new_folder(1);
        if (status == 0)
            status = creator.add_file(name.c_str());
        ++count;
    }
    if (status == 0)
        status = creator.close(argv[1]);
    if (status != 0) {
        std::fprintf(stderr, "bench_folders: status %d at file %lu\n", status, count);
        return 1;
    }
    return 0;
}
