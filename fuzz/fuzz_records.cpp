// The directory records of a cabinet, read in file order from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_header.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    cabinet_header header;
    if (header.read(in) != 0)
        return 0;
    std::ostringstream out;
    header.write(out);
    cabinet_folder_header folder;
    for (unsigned i = 0; i < header.cFolders; ++i) {
        if (folder.read(in, header) != 0)
            return 0;
        folder.write(out);
    }
    cabinet_file_header file;
    for (unsigned i = 0; i < header.cFiles; ++i) {
        if (file.read(in) != 0)
            return 0;
        file.write(out);
    }
    return 0;
}
