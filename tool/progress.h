// A live progress line for long phases, shown only when standard error is a
// terminal, so that scripts and logs see exactly the phase reports.
#ifndef SOMAP_TOOL_PROGRESS_H
#define SOMAP_TOOL_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <string>

namespace somap {

// The text of one progress line (without the carriage return and erase that
// surround it): "Training: 250 of 1000 vectors (25%), 480 vectors/s, 0:02 left".
// The rate and the time left are left out until some work is done.
std::string format_progress(const char *label, const char *unit, size_t done, size_t total,
                            double elapsed_seconds);

class ProgressLine {
  public:
    // Shows nothing unless `fd` is a terminal.
    explicit ProgressLine(int fd);
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    bool enabled() const { return enabled_; }

    // Starts a new task; its reports come through `report`.
    void begin(const char *label, const char *unit);

    // A som_progress callback; `self` is the ProgressLine. Never asks the
    // call to stop.
    static int report(void *self, size_t done, size_t total);

    // Erases the line, if one is shown.
    void clear();

  private:
    using Clock = std::chrono::steady_clock;
    void show(size_t done, size_t total);

    int fd_;
    bool enabled_;
    bool shown_ = false;
    const char *label_ = "";
    const char *unit_ = "";
    Clock::time_point started_{};
    Clock::time_point last_shown_{};
};

}  // namespace somap

#endif
