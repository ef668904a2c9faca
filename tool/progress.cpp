#include "progress.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "file_io.h"

namespace somap {

namespace {

// Redrawing more often than this only costs time and flickers.
constexpr std::chrono::milliseconds kRedrawInterval{150};

// Counts beyond a few digits read better as 12.3k, 4.56M, 7.89G.
std::string human_count(double value) {
    static const char *const suffixes[] = {"", "k", "M", "G", "T"};
    size_t s = 0;
    if (value >= 9999.5) {
        do {
            value /= 1000.0;
            ++s;
        } while (value >= 999.5 && s + 1 < sizeof suffixes / sizeof *suffixes);
    }
    char text[32];
    if (s == 0) std::snprintf(text, sizeof text, "%.0f", value);
    else std::snprintf(text, sizeof text, "%.*f%s", value < 99.95 ? 1 : 0, value, suffixes[s]);
    return text;
}

std::string clock_time(double seconds) {
    uint64_t whole = static_cast<uint64_t>(std::ceil(seconds));
    char text[48];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, whole / 3600, whole / 60 % 60,
                      whole % 60);
    else
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, whole / 60, whole % 60);
    return text;
}

}  // namespace

std::string format_progress(const char *label, const char *unit, size_t done, size_t total,
                            double elapsed_seconds) {
    std::string line = label;
    line += ": ";
    line += human_count(static_cast<double>(done));
    line += " of ";
    line += human_count(static_cast<double>(total));
    line += ' ';
    line += unit;
    const int percent = total == 0 ? 100 : static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total));
    line += " (" + std::to_string(percent) + "%)";
    if (done > 0 && elapsed_seconds > 0.0) {
        const double rate = static_cast<double>(done) / elapsed_seconds;
        line += ", " + human_count(rate) + " " + unit + "/s";
        line += ", " + clock_time(static_cast<double>(total - done) / rate) + " left";
    }
    return line;
}

ProgressLine::ProgressLine(int fd) : fd_(fd), enabled_(isatty(fd) == 1) {}

void ProgressLine::begin(const char *label, const char *unit) {
    label_ = label;
    unit_ = unit;
    started_ = Clock::now();
    last_shown_ = Clock::time_point{};
}

int ProgressLine::report(void *self, size_t done, size_t total) {
    auto *line = static_cast<ProgressLine *>(self);
    if (!line->enabled_) return 0;
    // The first report shows at once, so even a short task says what it is.
    const Clock::time_point now = Clock::now();
    if (done != 0 && now - line->last_shown_ < kRedrawInterval) return 0;
    line->last_shown_ = now;
    line->show(done, total);
    return 0;
}

void ProgressLine::show(size_t done, size_t total) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();
    // Carriage return, the text, then erase whatever a longer line left.
    write_without_waiting(fd_, "\r" + format_progress(label_, unit_, done, total, elapsed) + "\x1b[K");
    shown_ = true;
}

void ProgressLine::clear() {
    if (!shown_) return;
    write_without_waiting(fd_, "\r\x1b[K");
    shown_ = false;
}

}  // namespace somap
