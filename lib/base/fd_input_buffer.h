// An input stream buffer over a file descriptor (internal), so that a file is
// read through the very descriptor whose status was checked.
#ifndef KISTLE_FD_INPUT_BUFFER_H
#define KISTLE_FD_INPUT_BUFFER_H

#include <streambuf>

namespace kistle::internal {

class fd_input_buffer : public std::streambuf {
public:
    // Reads from fd, which stays the caller's.
    explicit fd_input_buffer(int fd) : fd(fd) {}
    fd_input_buffer(const fd_input_buffer&) = delete;
    fd_input_buffer& operator=(const fd_input_buffer&) = delete;

    // The errno of a read that failed, 0 while none has. A stream sees a
    // failed read as the end of the input, so its reader must ask here.
    int error() const { return read_errno; }

protected:
    int_type underflow() override;
    // Large reads go straight to the caller's memory.
    std::streamsize xsgetn(char* destination, std::streamsize count) override;

private:
    // Reads up to count bytes, fewer only at the end of the input or after
    // a failure.
    std::streamsize fill(char* destination, std::streamsize count);

    int fd;
    int read_errno = 0;
    char small[512];
};

} // namespace kistle::internal

#endif
