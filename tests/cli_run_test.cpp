// The somap binary end to end: arguments and standard input in; standard
// output, standard error (timings masked) and exit status out.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "messages.h"
#include "test_support.h"

namespace {

using somap::testing::mask_timings;
using somap::testing::ProcessResult;
using somap::testing::read_file;
using somap::testing::run_somap;
using somap::testing::TempDir;
using somap::testing::write_file;

const char kUsageBody[] =
    " [options]\n"
    "\n"
    "Trains and applies a self-organizing map to the input tab-separated data on\n"
    "stdin, adding two columns for the x and y coordinates of the winning neuron\n"
    "in the network.\n"
    "\n"
    "If a map is provided, training will be skipped and the map will be applied to\n"
    "the input.  Maps may be saved for later use.\n"
    "\n"
    "options:\n"
    "    -h, --help          this dialog\n"
    "    -a, --apply FILE    apply the saved map to input data to FILE\n"
    "    -s, --save  FILE    train on input data and save the map to FILE\n"
    "    -x, --width X       width in columns of the output array\n"
    "    -y, --height Y      height in columns of the output array\n"
    "    -i, --iterations N  number of training iterations or epochs\n";

std::string usage() { return std::string("usage: ") + SOMAP_BINARY + kUsageBody; }

const char kReports[] =
    "Network Creation\t : #\n"
    "Network Training\t : #\n"
    "Input Recognition\t : #\n"
    "Network Destruction\t : #\n";

struct RunCase {
    const char *name;
    std::vector<std::string> args;
    std::string input;
    std::string out;
    std::string err;  // compared after mask_timings; "<usage>" stands for the usage text
    int status;
};

void PrintTo(const RunCase &c, std::ostream *os) { *os << c.name; }

class RunTable : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTable, OutputErrorAndStatus) {
    const RunCase &c = GetParam();
    ProcessResult result = run_somap(c.args, c.input);
    std::string err = mask_timings(result.err);
    std::string expected_err = c.err == "<usage>" ? usage() : c.err;
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(err, expected_err);
    EXPECT_EQ(result.status, c.status);
}

const std::string kOneByOne = "0\t0\t1\t2\n0\t0\t3\t4\n";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, RunTable,
    ::testing::Values(
        RunCase{"NoArgumentPrintsUsage", {}, "1\t2\n", "", "<usage>", 1},
        RunCase{"HelpShort", {"-h"}, "", "", "<usage>", 0},
        RunCase{"HelpLong", {"--help"}, "", "", "<usage>", 0},
        RunCase{"HelpAfterValidOption", {"-x", "5", "-h"}, "", "", "<usage>", 0},
        RunCase{"BadWidthBeforeHelp", {"-x", "abc", "-h"}, "", "", "could not parse --width, -x\n", 1},
        RunCase{"WidthTrailingSpace", {"-x", "7 "}, "1\n", "", "could not parse --width, -x\n", 1},
        RunCase{"HeightJunk", {"-y", "12abc"}, "1\n", "", "could not parse --height, -y\n", 1},
        RunCase{"IterationsJunk", {"-i", "abc"}, "1\n", "", "could not parse --iterations, -i\n", 1},
        RunCase{"NegativeIterations", {"-i", "-1"}, "1\n", "", "could not parse --iterations, -i\n", 1},
        RunCase{"OptionTakenAsWidthValue", {"-x", "-y", "5"}, "1\n", "", "could not parse --width, -x\n", 1},
        RunCase{"OneNeuronGrid", {"-x", "1", "-y", "1"}, "1\t2\n3\t4\n", kOneByOne, kReports, 0},
        RunCase{"LongFormsWithEquals", {"--width=1", "--height", "1"}, "1\t2\n3\t4\n", kOneByOne, kReports, 0},
        RunCase{"NoFinalNewline", {"-x", "1", "-y", "1"}, "1\t2\n3\t4", kOneByOne, kReports, 0},
        RunCase{"BlankLinesAreSkipped", {"-x", "1", "-y", "1"}, "\n1\t2\n\n\r\n3\t4\n\n", kOneByOne, kReports, 0},
        RunCase{"CarriageReturnIsEchoed", {"-x", "1", "-y", "1"}, "1\t2\r\n3\t4\r\n",
                "0\t0\t1\t2\r\n0\t0\t3\t4\r\n", kReports, 0},
        RunCase{"EmptyGridPrintsZeros", {"-x", "0"}, "5\t6\n7\t8\n", "0\t0\t5\t6\n0\t0\t7\t8\n", kReports, 0},
        RunCase{"EmptyInput", {"-x", "3"}, "", "", kReports, 0},
        RunCase{"OnlyBlankLines", {"-x", "3"}, "\n\n\r\n", "", kReports, 0},
        RunCase{"NonOptionWordRunsWithDefaults", {"word"}, "", "", kReports, 0},
        RunCase{"ShortRowIsRefused", {"-x", "1", "-y", "1"}, "1\t2\t3\n\n4\t5\n", "",
                "line 3 has 2 fields, expected 3\n", 1},
        RunCase{"ShortRowOfOneField", {"-x", "1", "-y", "1"}, "1\t2\n7\n", "",
                "line 2 has 1 field, expected 2\n", 1},
        RunCase{"LongerRowsAreFine", {"-x", "1", "-y", "1"}, "1\n2\t3\n", "0\t0\t1\n0\t0\t2\t3\n", kReports, 0},
        RunCase{"TrailingTabAddsNoField", {"-x", "1", "-y", "1"}, "1\t2\n3\t4\t\n", "0\t0\t1\t2\n0\t0\t3\t4\t\n",
                kReports, 0},
        RunCase{"NegativeWidthFailsCreation", {"-x", "-1"}, "1\n", "ERROR: som_network_new failed.\n", "", 1},
        RunCase{"GridBeyondMemoryFails", {"-x", "200000", "-y", "200000"}, "1\t2\t3\n",
                "ERROR: som_network_new failed.\n", "", 1},
        RunCase{"GridBeyondSizeFails", {"-x", "2000000000", "-y", "2000000000"}, "1\t2\t3\n",
                "ERROR: som_network_new failed.\n", "", 1},
        RunCase{"SaveWithoutInput", {"-s", "/nonexistent-dir/map"}, "\n\n", "", "no input vectors to train on\n", 1},
        RunCase{"ApplyMissingFile", {"-a", "/nonexistent-dir/map"}, "1\t2\n", "",
                "Loading ... \ncould not load SOM from /nonexistent-dir/map\n", 1},
        RunCase{"ApplyEmptyPath", {"-a", "", "-x", "1", "-y", "1"}, "1\t2\n3\t4\n", kOneByOne, kReports, 0},
        // An empty path is no save, so scripts may pass -s "$OPTIONAL".
        RunCase{"SaveEmptyPath", {"-x", "1", "-y", "1", "-s", ""}, "1\t2\n3\t4\n", kOneByOne, kReports, 0},
        // getopt's own diagnostic, and the run goes on.
        RunCase{"SaveWithoutValue", {"-x", "1", "-y", "1", "-s"}, "1\t2\n3\t4\n", kOneByOne,
                std::string(SOMAP_BINARY) + ": option requires an argument -- 's'\n" + kReports, 0},
        RunCase{"UnknownOption", {"-x", "1", "-q", "-y", "1"}, "1\t2\n3\t4\n", kOneByOne,
                std::string(SOMAP_BINARY) + ": invalid option -- 'q'\n" + kReports, 0}),
    [](const ::testing::TestParamInfo<RunCase> &info) { return std::string(info.param.name); });

// Map file header fields (n, X, Y) after a training run with the options
// given: the grid a command line asks for, read back from what it saved.
struct Grid {
    uint64_t n, x, y;
};

Grid saved_grid(const std::vector<std::string> &options, ProcessResult *result_out = nullptr) {
    TempDir dir;
    std::vector<std::string> args = options;
    args.insert(args.end(), {"-i", "1", "-s", dir.file("map")});
    ProcessResult result = run_somap(args, "1\n2\n");
    if (result_out) *result_out = result;
    std::string map = read_file(dir.file("map"));
    Grid grid{~0ull, ~0ull, ~0ull};
    if (map.size() >= 40) {
        std::memcpy(&grid.n, map.data() + 16, 8);
        std::memcpy(&grid.x, map.data() + 24, 8);
        std::memcpy(&grid.y, map.data() + 32, 8);
    }
    return grid;
}

struct GridCase {
    const char *name;
    std::vector<std::string> options;
    uint64_t x, y;
};

void PrintTo(const GridCase &c, std::ostream *os) { *os << c.name; }

class GridTable : public ::testing::TestWithParam<GridCase> {};

TEST_P(GridTable, OptionsGiveGrid) {
    const GridCase &c = GetParam();
    ProcessResult result;
    Grid grid = saved_grid(c.options, &result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(grid.n, 1u);
    EXPECT_EQ(grid.x, c.x);
    EXPECT_EQ(grid.y, c.y);
}

INSTANTIATE_TEST_SUITE_P(
    OptionValues, GridTable,
    ::testing::Values(
        GridCase{"Defaults", {}, 100, 100},
        GridCase{"HeightIsFirstDimension", {"-y", "3", "-x", "5"}, 3, 5},
        GridCase{"EmptyValueKeepsDefault", {"-x", "", "-y", "2"}, 2, 100},
        GridCase{"BlankValueKeepsEarlierValue", {"-x", "4", "-x", "   ", "-y", "2"}, 2, 4},
        GridCase{"LeadingSpaceAccepted", {"-x", " 7", "-y", "2"}, 2, 7},
        GridCase{"PlusSignAccepted", {"-x", "+5", "-y", "2"}, 2, 5},
        GridCase{"LastValueWins", {"-x", "5", "-x", "6", "-y", "2"}, 2, 6},
        GridCase{"LongFormNextWord", {"--width", "5", "--height=2"}, 2, 5},
        GridCase{"HugeValueSaturates", {"-x", "99999999999", "-y", "0"}, 0, 2147483647}),
    [](const ::testing::TestParamInfo<GridCase> &info) { return std::string(info.param.name); });

TEST(CommandLine, MissingOptionValueGetsGetoptDiagnosticAndRuns) {
    ProcessResult result = run_somap({"-y", "1", "-x"}, "1\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("requires an argument"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.substr(0, 2), "0\t");
}

TEST(CommandLine, RandomGridIndicesStayInsideTheGrid) {
    // -y is the first index's range, -x the second's.
    std::string input;
    for (int k = 0; k < 200; ++k) input += std::to_string(k % 7) + "\t" + std::to_string(k % 5) + "\n";
    ProcessResult result = run_somap({"-y", "3", "-x", "5"}, input);
    ASSERT_EQ(result.status, 0);
    size_t lines = 0, start = 0;
    while (start < result.out.size()) {
        size_t end = result.out.find('\n', start);
        std::string line = result.out.substr(start, end - start);
        unsigned i = 9, j = 9;
        ASSERT_EQ(std::sscanf(line.c_str(), "%u\t%u\t", &i, &j), 2) << line;
        EXPECT_LT(i, 3u);
        EXPECT_LT(j, 5u);
        start = end + 1;
        ++lines;
    }
    EXPECT_EQ(lines, 200u);
}

TEST(CommandLine, WideRowOnSmallGrid) {
    // A million fields must not make creation quadratic in the row length.
    std::string line;
    line.reserve(2000000);
    for (int k = 0; k < 1000000; ++k) {
        if (k) line += '\t';
        line += static_cast<char>('0' + k % 10);
    }
    ProcessResult result = run_somap({"-x", "2", "-y", "2"}, line + "\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.size(), line.size() + 5);
}

// The address-space limit that stands in for a machine without enough
// memory for the input; AddressSanitizer reserves far more than it at start.
void limit_memory() {
    rlimit space{rlim_t{64} << 20, rlim_t{64} << 20};
    ::setrlimit(RLIMIT_AS, &space);
}

TEST(CommandLine, InputBeyondMemoryEndsWithAMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit stops AddressSanitizer itself";
#else
    std::string row;
    for (int f = 0; f < 100; ++f) row += (f ? "\t" : "") + std::to_string(0.125 * f);
    row += '\n';
    std::string data;
    data.reserve(row.size() * 120000);
    for (int r = 0; r < 120000; ++r) data += row;  // about 60 MB of text
    ProcessResult result = run_somap({"-x", "2", "-y", "2"}, data, limit_memory);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, std::string(somap::text::kOutOfMemory) + "\n");
    EXPECT_EQ(result.out, "");
#endif
}

}  // namespace
