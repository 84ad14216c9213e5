// Data blocks read with checksum verification from arbitrary bytes; the first
// byte chooses the reserve settings of the cabinet header they belong to.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_header.h>
#include <kistle/cabinet_status.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    cabinet_header header;
    header.flags = (data[0] & 1) ? cfhdrRESERVE_PRESENT : 0;
    header.cbCFData = static_cast<uint8_t>(data[0] >> 1);
    std::istringstream in(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    cabinet_datablock block;
    std::ostringstream out;
    while (true) {
        int status = block.read(in, header);
        if (status != 0 && status != CAB_ERROR_CHECKSUM)
            break;
        // A block just read always writes itself back to a string stream.
        if (block.write(out) != CAB_STATUS_OK)
            std::abort();
    }
    return 0;
}
