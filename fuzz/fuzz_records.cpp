// The directory records of a cabinet, read in file order from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_header.h>
#include <kistle/cabinet_status.h>

namespace {

// A record just read always writes itself back to a string stream.
void must_write(int status) {
    if (status != CAB_STATUS_OK)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    cabinet_header header;
    if (header.read(in) != 0)
        return 0;
    std::ostringstream out;
    must_write(header.write(out));
    cabinet_folder_header folder;
    for (unsigned i = 0; i < header.cFolders; ++i) {
        if (folder.read(in, header) != 0)
            return 0;
        must_write(folder.write(out));
    }
    cabinet_file_header file;
    for (unsigned i = 0; i < header.cFiles; ++i) {
        if (file.read(in) != 0)
            return 0;
        must_write(file.write(out));
    }
    return 0;
}
