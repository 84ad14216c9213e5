#include "progress.h"

#include "human_units.h"
#include "standard_error.h"

#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Redraws closer together than this only cost time.
constexpr std::chrono::milliseconds least_redraw_interval(200);

std::size_t terminal_width() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

} // namespace

progress_line::progress_line(bool enabled_, std::uint64_t total_, std::chrono::milliseconds delay)
    : enabled(enabled_), total(total_), start(clock::now()), show_after(delay),
      redraw_interval(std::min(delay, least_redraw_interval)), last_draw(start) {}

progress_line::~progress_line() {
    clear();
}

void progress_line::update(std::uint64_t done_now) {
    done = done_now;
    if (!enabled)
        return;
    clock::time_point now = clock::now();
    if (now - start < show_after || (on_screen && now - last_draw < redraw_interval))
        return;
    last_draw = now;
    draw(false);
}

void progress_line::draw(bool final) {
    double seconds = std::chrono::duration<double>(clock::now() - start).count();
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string line;
    if (final) {
        line = human_size(done) + " in " + human_duration(seconds);
    } else {
        unsigned percent =
            total > 0 ? static_cast<unsigned>(std::min<std::uint64_t>(done, total) * 100 / total)
                      : 100;
        char head[8];
        std::snprintf(head, sizeof head, "%3u%%", percent);
        line = std::string(head) + "  " + human_size(done) + " of " + human_size(total);
    }
    line += ", " + human_size(saturated(rate)) + "/s";
    if (!final && !stage.empty())
        line += ", " + stage;
    else if (!final && rate > 0 && total > done)
        line += ", " + human_duration(static_cast<double>(total - done) / rate) + " left";
    // A line wider than the terminal would wrap, and \r would not reach its start.
    std::size_t width = terminal_width();
    if (line.size() >= width)
        line.resize(width - 1);
    write_standard_error("\r" + line + "\033[K" + (final ? "\n" : ""));
    shown = true;
    on_screen = !final;
}

void progress_line::set_stage(std::string what) {
    stage = std::move(what);
    if (enabled && clock::now() - start >= show_after)
        draw(false);
}

void progress_line::clear() {
    if (on_screen) {
        write_standard_error("\r\033[K");
        on_screen = false;
    }
}

void progress_line::finish() {
    if (!enabled || !shown)
        return;
    draw(true);
    enabled = false;
}
