// The phase timer: one report line per phase on standard error.
#ifndef SOMAP_TOOL_PHASE_TIMER_H
#define SOMAP_TOOL_PHASE_TIMER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace somap {

// The report line for a phase that took `elapsed_us` microseconds, unit
// chosen by size: "Network Creation\t : 1.000000 ms\n".
std::string format_phase_report(const char *phase_name, uint64_t elapsed_us);

// Starts the first phase.
void start_phase_timer();

// Reports the phase that just ended and starts the next one; the time spent
// writing the report belongs to no phase.
void print_phase_time(const char *phase_name);

}  // namespace somap

#endif
