// Writes a cabinet header record to memory and reads it back through libkistle.
#include <kistle/kistle.h>

#include <cstdio>
#include <sstream>

int main() {
    cabinet_header header;
    header.init();
    std::stringstream bytes;
    int status = header.write(bytes);
    cabinet_header copy;
    if (status == 0)
        status = copy.read(bytes);
    std::printf("%s: %llu bytes\n", get_cabinet_error_string(status),
                static_cast<unsigned long long>(copy.cbCabinet));
    return status == 0 ? 0 : 1;
}
