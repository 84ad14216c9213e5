#include "cabinet_input.h"

#include <cerrno>
#include <istream>
#include <stdexcept>
#include <streambuf>
#include <unistd.h>

namespace {

// Reads a descriptor in the pieces its reader asks for.
class descriptor_input : public std::streambuf {
public:
    explicit descriptor_input(int fd) : fd(fd) {}

protected:
    int_type underflow() override {
        const std::streamsize got = take(small, sizeof small);
        if (got <= 0)
            return traits_type::eof();
        setg(small, small, small + got);
        return traits_type::to_int_type(*gptr());
    }
    std::streamsize xsgetn(char* bytes, std::streamsize wanted) override {
        std::streamsize done = 0;
        if (gptr() < egptr()) {
            done = std::min<std::streamsize>(wanted, egptr() - gptr());
            std::copy(gptr(), gptr() + done, bytes);
            gbump(static_cast<int>(done));
        }
        while (done < wanted) {
            const std::streamsize got = take(bytes + done, wanted - done);
            if (got <= 0)
                break;
            done += got;
        }
        return done;
    }

private:
    // What one read gives; 0 at the end. A failed read ends the stream in
    // an exception, which the reader reports as a failed read.
    std::streamsize take(char* bytes, std::streamsize wanted) {
        for (;;) {
            const ssize_t got = ::read(fd, bytes, static_cast<std::size_t>(wanted));
            if (got >= 0)
                return got;
            if (errno != EINTR)
                throw std::ios_base::failure("standard input");
        }
    }

    int fd;
    char small[4096];
};

} // namespace

void open_cabinet(kistle::reader& cabinet, const std::string& name) {
    if (name != "-") {
        cabinet.open(name);
        return;
    }
    if (isatty(STDIN_FILENO))
        throw std::runtime_error("-: refusing to read a cabinet from a terminal");
    descriptor_input buffer(STDIN_FILENO);
    std::istream in(&buffer);
    cabinet.open(in);
}
