#include "phase_timer.h"

#include <time.h>

#include <cstdio>

namespace somap {

namespace {

uint64_t phase_start_us = 0;

// A clock that never steps: a wall-clock change during a run (an NTP step,
// a manual date) must not turn into a phase of thousands of hours.
uint64_t now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace

std::string format_phase_report(const char *phase_name, uint64_t elapsed_us) {
    const char *format;
    double value = static_cast<double>(elapsed_us);
    if (elapsed_us <= 999u) {
        format = "%s\t : %lf us\n";
    } else if (elapsed_us <= 999999u) {
        format = "%s\t : %lf ms\n";
        value = value / 1000.0;
    } else if (elapsed_us <= 59999999u) {
        format = "%s\t : %lf s\n";
        value = value / 1000000.0;
    } else if (elapsed_us <= 3599999999u) {
        format = "%s\t : %lf m\n";
        value = value / 60000000.0;
    } else {
        format = "%s\t : %lf h\n";
        value = value / 3600000000.0;
    }
    int length = std::snprintf(nullptr, 0, format, phase_name, value);
    std::string line(static_cast<size_t>(length), '\0');
    std::snprintf(line.data(), line.size() + 1, format, phase_name, value);
    return line;
}

void start_phase_timer() { phase_start_us = now_us(); }

void print_phase_time(const char *phase_name) {
    uint64_t elapsed = now_us() - phase_start_us;
    std::fprintf(stderr, "%s", format_phase_report(phase_name, elapsed).c_str());
    phase_start_us = now_us();
}

}  // namespace somap
