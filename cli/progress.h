// The progress line of create and extract: bytes done of total, rate and
// time left, redrawn in place on standard error. It appears only on a
// terminal, and only once the work has taken about a second.
#ifndef KISTLE_CLI_PROGRESS_H
#define KISTLE_CLI_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

class progress_line {
public:
    // enabled: standard error is a terminal and the user did not ask for
    // quiet. The line shows once the work has taken delay.
    progress_line(bool enabled, std::uint64_t total,
                  std::chrono::milliseconds delay = std::chrono::milliseconds(1000));
    ~progress_line();
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;

    // done counts bytes from the start of the whole run.
    void update(std::uint64_t done);
    // From now on the line says what is being done instead of the time left
    // (work the byte count does not cover, such as writing the cabinet).
    void set_stage(std::string what);
    // Erases the line, if shown, so that a message can take its place; the
    // next update draws it again.
    void clear();
    // When the line was shown: draws the final state and ends the line.
    void finish();

private:
    using clock = std::chrono::steady_clock;
    bool enabled;
    std::uint64_t total;
    std::uint64_t done = 0;
    clock::time_point start;
    std::chrono::milliseconds show_after;
    std::chrono::milliseconds redraw_interval;
    clock::time_point last_draw;
    std::string stage;  // what is being done, once the bytes are
    bool shown = false; // the line was drawn at least once
    bool on_screen = false;
    void draw(bool final);
};

#endif
