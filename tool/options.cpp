#include "options.h"

#include <getopt.h>

#include <iostream>
#include <sstream>

#include "messages.h"

namespace somap {

bool parse_int_option(const std::string &text, int &value) {
    std::istringstream stream(text);
    stream >> value;
    return stream.eof();
}

void print_usage(const char *name) {
    std::cerr << text::kUsagePrefix << name << text::kUsageSuffix << std::endl;
    for (size_t line = 1; line < std::size(text::kUsageLines); ++line)
        std::cerr << text::kUsageLines[line] << std::endl;
}

int parse_command_line(int argc, char **argv, RunSettings &settings) {
    if (argc == 1) {
        print_usage(argv[0]);
        return 1;
    }
    static const option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"iterations", required_argument, nullptr, 'i'},
        {"width", required_argument, nullptr, 'x'},
        {"height", required_argument, nullptr, 'y'},
        {"apply", required_argument, nullptr, 'a'},
        {"save", required_argument, nullptr, 's'},
        {nullptr, 0, nullptr, 0},
    };
    // 0 rather than 1 makes glibc's getopt forget a half-read cluster of
    // short options from an earlier parse, not just restart the index.
    optind = 0;
    int choice;
    while ((choice = getopt_long(argc, argv, "hi:x:y:a:s:", long_options, nullptr)) != -1) {
        switch (choice) {
            case 'h':
                print_usage(argv[0]);
                return 0;
            case 'i':
                // A negative count would reach training as 2^64 - c and could
                // run for ever, so it is refused like a value that does not
                // parse.
                if (!parse_int_option(optarg, settings.iterations) || settings.iterations < 0) {
                    std::cerr << text::kBadIterations << std::endl;
                    return 1;
                }
                break;
            case 'x':
                if (!parse_int_option(optarg, settings.width)) {
                    std::cerr << text::kBadWidth << std::endl;
                    return 1;
                }
                break;
            case 'y':
                if (!parse_int_option(optarg, settings.height)) {
                    std::cerr << text::kBadHeight << std::endl;
                    return 1;
                }
                break;
            case 'a':
                settings.apply_path = optarg;
                break;
            case 's':
                settings.save_path = optarg;
                break;
            default:
                break;  // getopt_long has written its own diagnostic
        }
    }
    return -1;
}

}  // namespace somap
