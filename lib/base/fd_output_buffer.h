// An output stream buffer over a file descriptor (internal): extraction and
// the creator write through std::ostream into files opened relative to a
// directory descriptor.
#ifndef KISTLE_FD_OUTPUT_BUFFER_H
#define KISTLE_FD_OUTPUT_BUFFER_H

#include <cstddef>
#include <streambuf>

namespace kistle::internal {

class fd_output_buffer : public std::streambuf {
public:
    // Writes to fd, which it owns from now on (the destructor closes it if
    // close() was not called), through the size bytes at buffer, which it
    // does not own.
    fd_output_buffer(int fd, char* buffer, std::size_t size);
    ~fd_output_buffer() override;
    fd_output_buffer(const fd_output_buffer&) = delete;
    fd_output_buffer& operator=(const fd_output_buffer&) = delete;

    int descriptor() const { return fd; }
    // Writes out what is buffered and closes the descriptor. False when any
    // write since construction, or the close, failed.
    [[nodiscard]] bool close();

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool drain();

    int fd;
    bool failed = false;
    char* buffer;
    std::size_t size;
};

} // namespace kistle::internal

#endif
