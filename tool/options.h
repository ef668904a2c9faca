// Command-line settings of one run and their parsing.
#ifndef SOMAP_TOOL_OPTIONS_H
#define SOMAP_TOOL_OPTIONS_H

#include <string>

namespace somap {

struct RunSettings {
    int iterations = 1000;
    int width = 100;   // second grid dimension (Y)
    int height = 100;  // first grid dimension (X)
    std::string apply_path;
    std::string save_path;
};

// Formatted extraction of an int from `text` into `value` with a string
// stream's default settings; succeeds exactly when the whole text was
// consumed. Empty or blank text succeeds and leaves `value` alone, and
// out-of-range numbers saturate.
bool parse_int_option(const std::string &text, int &value);

// Writes the usage text to standard error.
void print_usage(const char *name);

// Parses argv into settings. Returns -1 to go on with the run, or the exit
// status when the command line ends the process (usage, help, bad value);
// the message has been written by then.
int parse_command_line(int argc, char **argv, RunSettings &settings);

}  // namespace somap

#endif
