#include "standard_error.h"

#include <cerrno>
#include <unistd.h>

void write_standard_error(std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t written = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += static_cast<std::size_t>(written);
    }
}
