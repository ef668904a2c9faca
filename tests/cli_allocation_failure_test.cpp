// Memory running out anywhere in a run: every large allocation of a run is
// made to fail in turn (a preloaded shim fails the Nth allocation of at
// least 4 KiB), and every such run must end in one of two ways: status 0
// with exactly the output and map of a run that had all the memory it
// wanted (a fast path that falls back to the plain one), or status 1 with a
// message that says what failed, no map written and any old file untouched.
// Never a map from a phase that did not complete, and never status 0 with
// anything less.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "messages.h"
#include "test_support.h"

namespace {

namespace text = somap::text;
using somap::testing::mask_timings;
using somap::testing::ProcessResult;
using somap::testing::read_file;
using somap::testing::run_process;
using somap::testing::TempDir;
using somap::testing::write_file;

// Rows of 1000 fields, so that the allocations a phase makes for one row
// (the centre of the placement, a neuron's synapse list) are large too.
std::string wide_rows() {
    std::string out;
    uint64_t seed = 7;
    for (int r = 0; r < 40; ++r) {
        for (int f = 0; f < 1000; ++f) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            out += std::to_string((seed >> 40) % 1000 / 1000.0);
            out += f + 1 < 1000 ? '\t' : '\n';
        }
    }
    return out;
}

// Over a megabyte of rows, which the reader cuts in two and parses on two
// threads where the machine has them, with a field in the second half too
// long for the quick number parser: its allocations fail on whichever
// thread took that half, the started one or the caller, and the run must
// end the same way. Measured by somap-render, whose run after the reading
// is short whatever fails.
std::string rows_read_in_pieces() {
    std::string out;
    uint64_t seed = 11;
    for (int r = 0; r < 19000; ++r) {
        for (int f = 0; f < 8; ++f) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            out += std::to_string((seed >> 40) % 10000 / 10000.0);
            out += f + 1 < 8 ? '\t' : '\n';
        }
        if (r == 15000) {
            out += "0.";
            for (int d = 0; d < 5000; ++d) out += static_cast<char>('1' + d % 9);
            for (int f = 1; f < 8; ++f) out += "\t0.5";
            out += '\n';
        }
    }
    return out;
}

// What the child gets, set in it before exec.
long g_fail_at = 0;
std::string g_mark;

void preload_shim() {
    ::setenv("LD_PRELOAD", SOMAP_ALLOCATION_SHIM, 1);
    // Under AddressSanitizer its runtime must come first, which a preload
    // displaces; the shim then fails the C allocations only.
    const char *asan = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS", (std::string("verify_asan_link_order=0:") + (asan ? asan : "")).c_str(), 1);
    ::setenv("SOMAP_FAIL_BYTES", "4096", 1);
    ::setenv("SOMAP_FAIL_MARK", g_mark.c_str(), 1);
    if (g_fail_at > 0) ::setenv("SOMAP_FAIL_AT", std::to_string(g_fail_at).c_str(), 1);
    ::alarm(120);
}

struct RunCase {
    const char *name;
    const char *program;
    std::vector<std::string> args;  // "@" stands for the run's directory
    const char *output;             // the file the run writes, relative to the directory
    bool old_output;                // whether an older one is there before the run
    bool map_output;                // compared past its 8-byte time stamp
    std::string (*input)() = wide_rows;
};

void PrintTo(const RunCase &c, std::ostream *os) { *os << c.name; }

std::string expand(const std::string &arg, const std::string &dir) {
    std::string out;
    for (char c : arg) out += c == '@' ? dir : std::string(1, c);
    return out;
}

// The texts a failed run may end with, one of which must name what failed.
bool failure_named(const ProcessResult &run) {
    for (const char *message : {text::kOutOfMemory, text::kLoadFailed})
        if (run.err.find(message) != std::string::npos) return true;
    return run.out.find(text::kCreationFailed) != std::string::npos ||
           run.err.find("somap-render: out of memory") != std::string::npos;
}

// Large outputs compare without gtest printing megabytes on a mismatch.
::testing::AssertionResult same_bytes(const std::string &actual, const std::string &expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << at;
}

class AllocationFailure : public ::testing::TestWithParam<RunCase> {};

TEST_P(AllocationFailure, EveryRunSucceedsWholeOrFailsWithoutAMap) {
    const RunCase &c = GetParam();
    TempDir fixtures;
    const std::string input = c.input();
    // The map the runs apply or retrain, and an older file to replace.
    ASSERT_EQ(run_process(SOMAP_BINARY, {"-x", "3", "-y", "4", "-i", "2", "-s", fixtures.file("base.map")}, input)
                  .status,
              0);
    const std::string base_map = read_file(fixtures.file("base.map"));
    const std::string old = c.map_output ? base_map : std::string("an older picture\n");

    auto run = [&](long fail_at, const TempDir &dir) {
        write_file(dir.file("base.map"), base_map);
        if (c.old_output) write_file(dir.file(c.output), old);
        std::vector<std::string> args;
        for (const std::string &arg : c.args) args.push_back(expand(arg, dir.path()));
        g_fail_at = fail_at;
        g_mark = dir.file("failed-once");
        return run_process(c.program, args, input, preload_shim);
    };

    TempDir whole_dir;
    const ProcessResult whole = run(0, whole_dir);
    ASSERT_EQ(whole.status, 0) << whole.err;
    const std::string whole_output = read_file(whole_dir.file(c.output));
    auto past_stamp = [&](const std::string &bytes) { return c.map_output ? bytes.substr(8) : bytes; };

    long failed = 0, succeeded = 0;
    for (long k = 1;; ++k) {
        ASSERT_LT(k, 5000) << "the runs never stopped meeting a failure";
        TempDir dir;
        const ProcessResult result = run(k, dir);
        const bool met = ::access(dir.file("failed-once").c_str(), F_OK) == 0;
        std::vector<std::string> expected = {"base.map"};
        if (met) expected.push_back("failed-once");
        const std::string context = "allocation " + std::to_string(k) + ": status " + std::to_string(result.status) +
                                    ", standard error:\n" + result.err;
        if (result.status == 0) {
            succeeded += met;
            EXPECT_TRUE(same_bytes(result.out, whole.out)) << context;
            EXPECT_EQ(mask_timings(result.err), mask_timings(whole.err)) << context;
            EXPECT_TRUE(same_bytes(past_stamp(read_file(dir.file(c.output))), past_stamp(whole_output))) << context;
            expected.push_back(c.output);
        } else {
            ++failed;
            EXPECT_EQ(result.status, 1) << context;
            EXPECT_TRUE(met) << context;
            EXPECT_TRUE(failure_named(result)) << context << "\nstandard output:\n" << result.out.substr(0, 300);
            if (c.old_output) {
                EXPECT_TRUE(same_bytes(read_file(dir.file(c.output)), old)) << context;
                expected.push_back(c.output);
            }
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(dir.entries(), expected) << context;
        if (!met) break;
        if (::testing::Test::HasFailure()) break;
    }
    std::cout << c.name << ": " << failed << " runs failed, " << succeeded << " succeeded without an allocation\n";
    EXPECT_GT(failed, 0) << "no allocation of the run ever failed";
}

INSTANTIATE_TEST_SUITE_P(
    Runs, AllocationFailure,
    ::testing::Values(
        RunCase{"TrainANewMap", SOMAP_BINARY, {"-x", "3", "-y", "4", "-i", "2", "-s", "@/new.map"}, "new.map", false,
                true},
        RunCase{"RetrainOverTheOldMap", SOMAP_BINARY, {"-a", "@/old.map", "-s", "@/old.map", "-i", "2"}, "old.map",
                true, true},
        RunCase{"ReferenceProgramTrains", SOMAP_PLAIN_BINARY, {"-x", "3", "-y", "4", "-i", "2", "-s", "@/new.map"},
                "new.map", false, true},
        RunCase{"DrawOverAnOlderPicture", SOMAP_RENDER_BINARY, {"-o", "@/picture.svg", "@/base.map"}, "picture.svg",
                true, false},
        RunCase{"MeasureDataReadInPieces", SOMAP_RENDER_BINARY, {"-s", "-", "-o", "@/quality", "@/base.map"},
                "quality", false, false, rows_read_in_pieces}),
    [](const ::testing::TestParamInfo<RunCase> &info) { return std::string(info.param.name); });

}  // namespace
