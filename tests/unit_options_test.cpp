// Option values, phase report lines and the progress line's text.
#include <gtest/gtest.h>

#include "options.h"
#include "phase_timer.h"
#include "progress.h"

namespace {

struct IntCase {
    const char *text;
    bool ok;
    int value;  // the setting afterwards, starting from 77
};

TEST(ParseIntOption, StreamExtractionRules) {
    const IntCase cases[] = {
        {"12", true, 12},
        {"   12", true, 12},
        {"+5", true, 5},
        {"-5", true, -5},
        {"12 ", false, 12},
        {"12abc", false, 12},
        {"abc", false, 0},
        {"", true, 77},
        {"   ", true, 77},
        {"99999999999", true, 2147483647},
        {"-99999999999", true, -2147483647 - 1},
        {"2147483647", true, 2147483647},
        {"2147483648", true, 2147483647},
        {"0", true, 0},
    };
    for (const IntCase &c : cases) {
        int value = 77;
        bool ok = somap::parse_int_option(c.text, value);
        EXPECT_EQ(ok, c.ok) << '"' << c.text << '"';
        if (ok) {
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        }
    }
}

TEST(PhaseReport, UnitBoundaries) {
    const std::pair<uint64_t, const char *> cases[] = {
        {0, "Phase\t : 0.000000 us\n"},
        {999, "Phase\t : 999.000000 us\n"},
        {1000, "Phase\t : 1.000000 ms\n"},
        {999999, "Phase\t : 999.999000 ms\n"},
        {1000000, "Phase\t : 1.000000 s\n"},
        {59999999, "Phase\t : 59.999999 s\n"},
        {60000000, "Phase\t : 1.000000 m\n"},
        {3599999999, "Phase\t : 60.000000 m\n"},
        {3600000000, "Phase\t : 1.000000 h\n"},
        {7200000000, "Phase\t : 2.000000 h\n"},
    };
    for (const auto &[elapsed, line] : cases)
        EXPECT_EQ(somap::format_phase_report("Phase", elapsed), line) << elapsed;
}

TEST(ProgressLine, Text) {
    struct Case {
        size_t done, total;
        double seconds;
        const char *expected;
    };
    const Case cases[] = {
        {0, 1000, 0.0, "Training: 0 of 1000 vectors (0%)"},
        {250, 1000, 0.5, "Training: 250 of 1000 vectors (25%), 500 vectors/s, 0:02 left"},
        {999, 1000, 10.0, "Training: 999 of 1000 vectors (99%), 100 vectors/s, 0:01 left"},
        {1000, 1000, 4.0, "Training: 1000 of 1000 vectors (100%), 250 vectors/s, 0:00 left"},
        {12345, 2000000, 1.0, "Training: 12.3k of 2.0M vectors (0%), 12.3k vectors/s, 2:42 left"},
        {1, 100000, 1.0, "Training: 1 of 100k vectors (0%), 1 vectors/s, 27:46:39 left"},
        {0, 0, 0.0, "Training: 0 of 0 vectors (100%)"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(somap::format_progress("Training", "vectors", c.done, c.total, c.seconds), c.expected) << c.done;
}

}  // namespace
