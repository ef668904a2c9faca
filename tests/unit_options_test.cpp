// Option values and phase report lines.
#include <gtest/gtest.h>

#include "options.h"
#include "phase_timer.h"

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

}  // namespace
