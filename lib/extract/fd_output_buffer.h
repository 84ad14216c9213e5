// An output stream buffer over a file descriptor (internal): extraction writes
// through std::ostream into files opened relative to a directory descriptor.
#ifndef KISTLE_FD_OUTPUT_BUFFER_H
#define KISTLE_FD_OUTPUT_BUFFER_H

#include <cstddef>
#include <streambuf>

class fd_output_buffer : public std::streambuf {
public:
    // Writes to fd, which it owns from now on: the destructor closes it if
    // close() was not called.
    explicit fd_output_buffer(int fd);
    ~fd_output_buffer() override;
    fd_output_buffer(const fd_output_buffer&) = delete;
    fd_output_buffer& operator=(const fd_output_buffer&) = delete;

    int descriptor() const { return fd; }
    // Writes out what is buffered and closes the descriptor. False when any
    // write since construction, or the close, failed.
    bool close();

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* bytes, std::streamsize count) override;
    int sync() override;

private:
    bool write_all(const char* bytes, std::size_t count);
    bool drain();

    static constexpr std::size_t buffer_size = 64 * 1024;
    static constexpr std::size_t direct_size = 16 * 1024; // pieces written without the buffer
    int fd;
    bool failed = false;
    char buffer[buffer_size];
};

#endif
