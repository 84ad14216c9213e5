// Where kistle's output goes: results on standard output, through a stream
// that remembers a failed write; messages "kistle: PATH: reason" on standard
// error, one per line, with room made first when a progress line is shown.
#ifndef KISTLE_CLI_CONSOLE_H
#define KISTLE_CLI_CONSOLE_H

#include <initializer_list>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

class progress_line;

class console {
public:
    console();
    ~console();
    console(const console&) = delete;
    console& operator=(const console&) = delete;

    // Standard output. A write that fails is remembered; see finish().
    std::ostream& out() { return out_stream; }
    // Whether standard output had a write fail so far.
    bool out_failed() const { return out_buffer.error != 0; }

    // "kistle: text" on standard error.
    void note(std::string_view text);
    // "kistle: path: reason" on standard error.
    void note(std::string_view path, std::string_view reason);

    // A name as it may be shown on standard output (on_error false) or
    // standard error: on a terminal, control characters become '?', so a
    // stored name cannot drive the terminal; elsewhere every byte as it is.
    std::string shown(std::string_view name, bool on_error = false) const;
    bool error_is_terminal() const { return err_terminal; }
    bool output_is_terminal() const { return out_terminal; }
    // Sends out_line's lines to standard error from now on (standard output
    // carries a cabinet).
    void lines_to_error() { lines_on_error = true; }

    // A line on standard output, flushed at once when a progress line may be
    // shown on the same terminal.
    void out_line(std::string_view text);

    // While one lives, messages first clear the progress line given.
    class progress_scope {
    public:
        progress_scope(console& owner_, progress_line& line) : owner(owner_) {
            owner.progress = &line;
        }
        ~progress_scope() { owner.progress = nullptr; }
        progress_scope(const progress_scope&) = delete;
        progress_scope& operator=(const progress_scope&) = delete;

    private:
        console& owner;
    };

    // Flushes standard output. False, after a message naming the system's
    // reason, when any of it was lost.
    bool finish();

private:
    // Writes to a file descriptor through a buffer and keeps the first error.
    struct fd_buffer : std::streambuf {
        explicit fd_buffer(int fd);
        int fd;
        bool closed; // fd was closed at start: every write fails with EBADF
        int error = 0;
        char data[1 << 16];
        bool drain();
        int_type overflow(int_type c) override;
        int sync() override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
    };
    fd_buffer out_buffer;
    std::ostream out_stream;
    bool out_terminal;
    bool err_terminal;
    progress_line* progress = nullptr;
    bool lines_on_error = false;
    // "kistle: " and the parts, then a line end.
    void write_error(std::initializer_list<std::string_view> parts);
    // The most of a message written at once.
    static constexpr std::size_t piece_size = 1 << 16;
};

#endif
