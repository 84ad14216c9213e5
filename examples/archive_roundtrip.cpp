// Makes a cabinet from a file and from memory, lists it, tests it and
// extracts it, through <kistle/archive.h> alone. Run it in an empty
// directory: it writes hello.txt, archive.cab and, below restored/, the
// extracted files.
#include <kistle/archive.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace {

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main() {
    try {
        std::ofstream("hello.txt") << "Hello, cabinet!\n";
        std::string numbers;
        for (int i = 0; i < 10000; ++i)
            numbers += std::to_string(i) + '\n';

        kistle::writer out("archive.cab");
        out.add_file("hello.txt");
        out.add_bytes("data/numbers.txt", numbers, std::time(nullptr));
        out.commit(); // archive.cab appears now, complete

        kistle::reader in("archive.cab");
        for (const kistle::entry& e : in.entries())
            std::printf("%-18s %8llu bytes%s\n", e.name.c_str(),
                        static_cast<unsigned long long>(e.size),
                        e.read_only() ? "  read-only" : "");
        for (const kistle::problem& p : in.test())
            std::printf("damaged: %s: %s\n", p.name.c_str(), p.code.message().c_str());

        std::filesystem::create_directory("restored");
        in.extract_all("restored");
        bool same = contents("restored/hello.txt") == contents("hello.txt") &&
                    in.read(*in.find("data/numbers.txt")) == numbers;
        std::printf("restored: %s\n", same ? "identical" : "DIFFERENT");

        // The same failures without exceptions.
        std::error_code ec;
        in.open("missing.cab", ec);
        std::printf("missing.cab: %s\n", ec.message().c_str());
        std::printf("libkistle %s\n", kistle::version());
        return same ? 0 : 1;
    } catch (const kistle::error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
