// Creates or extracts through the library with a given number of threads,
// for the rows that compare one thread with every core (cabinet_tool always
// uses every core). Creation puts the files in one deflate folder, as the
// tool does; extraction writes below the current directory.
//
// usage: bench_threads create THREADS CABINET FILE...
//        bench_threads extract THREADS CABINET NAME...
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_reader.h>

namespace {

int create(unsigned threads, const char* cabinet, char** files, int count) {
    cabinet_creator creator;
    creator.set_threads(threads);
    int status = creator.open();
    if (status == 0)
        status = creator.new_folder(1);
    for (int i = 0; status == 0 && i < count; ++i)
        status = creator.add_file(files[i]);
    return status == 0 ? creator.close(cabinet) : status;
}

int extract(unsigned threads, const char* cabinet, char** names, int count) {
    cabinet_reader reader;
    reader.set_threads(threads);
    int status = reader.open(cabinet);
    for (int i = 0; status == 0 && i < count; ++i)
        status = reader.extract(names[i]);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5 || (std::strcmp(argv[1], "create") != 0 && std::strcmp(argv[1], "extract") != 0)) {
        std::fputs("usage: bench_threads create|extract THREADS CABINET NAME...\n", stderr);
        return 2;
    }
    unsigned threads = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    int status = argv[1][0] == 'c' ? create(threads, argv[3], argv + 4, argc - 4)
                                   : extract(threads, argv[3], argv + 4, argc - 4);
    if (status != 0) {
        std::fprintf(stderr, "bench_threads: status %d\n", status);
        return 1;
    }
    return 0;
}
