// Hostile input end to end: odd bytes on standard input, option values at the
// limits of an int, damaged map files, save targets that cannot be written and
// output that nobody reads. Every case states standard output, standard error
// and the exit status, and checks that the run's directory holds afterwards
// exactly what it held before, but for the files the run was meant to write.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "messages.h"
#include "test_support.h"

namespace {

namespace text = somap::text;
using namespace std::string_literals;
using somap::testing::bits;
using somap::testing::mask_timings;
using somap::testing::ProcessResult;
using somap::testing::read_file;
using somap::testing::run_somap;
using somap::testing::run_somap_with_stdout;
using somap::testing::TempDir;
using somap::testing::write_file;

// ---- Expected reports, built from the program's own texts -----------------

std::string phase(const char *name) { return std::string(name) + "\t : #\n"; }

std::string reports() {
    return phase(text::kPhaseCreation) + phase(text::kPhaseTraining) + phase(text::kPhaseRecognition) +
           phase(text::kPhaseDestruction);
}

std::string trained_until_output(size_t rows) {
    return phase(text::kPhaseCreation) + text::kTrainingPrefix + std::to_string(rows) + text::kTrainingSuffix +
           "\n" + phase(text::kPhaseTraining);
}

std::string trained_reports(size_t rows) {
    return trained_until_output(rows) + phase(text::kPhaseRecognition) + phase(text::kPhaseDestruction);
}

std::string loading() { return std::string(text::kLoading) + "\n"; }
std::string load_failed(const std::string &path) { return loading() + text::kLoadFailed + path + "\n"; }
std::string creation_failed() { return std::string(text::kCreationFailed) + "\n"; }

// A save refused for the system error `error`, after the output lines.
std::string save_failed(size_t rows, const std::string &path, int error) {
    return trained_until_output(rows) + phase(text::kPhaseRecognition) + text::kSaveFailed + path + ": " +
           std::strerror(error) + "\n";
}

// ---- Child limits ------------------------------------------------------------

// A run that hangs or spins becomes a failed case rather than a stuck test:
// the alarm survives exec and ends a child that blocks, the CPU limit one
// that loops.
void guard() {
    ::alarm(120);
    rlimit cpu{120, 120};
    ::setrlimit(RLIMIT_CPU, &cpu);
}

void guard_and_limit_file_size() {
    guard();
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit size{48, 48};  // room for the header, not for the weights
    ::setrlimit(RLIMIT_FSIZE, &size);
}

void guard_and_ignore_sigpipe() {
    guard();
    ::signal(SIGPIPE, SIG_IGN);  // stays ignored across exec
}

void guard_and_close_stdout() {
    guard();
    ::close(1);
}

// ---- Directory snapshots ---------------------------------------------------

// Every entry below `root` with its type, permission bits and contents (a
// link's target), so that two snapshots differ exactly when something was
// created, removed or changed.
void snapshot_into(const std::string &root, const std::string &prefix, std::map<std::string, std::string> &out) {
    DIR *dir = ::opendir((root + prefix).c_str());
    if (dir == nullptr) return;
    std::vector<std::string> names;
    while (dirent *entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string &name : names) {
        const std::string relative = prefix + "/" + name, path = root + relative;
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0) continue;
        std::string mode = std::to_string(info.st_mode & 07777) + ":";
        if (S_ISREG(info.st_mode)) {
            // A sparse file of a hundred gigabytes is known by its size.
            const bool huge = info.st_size > (off_t{64} << 20);
            out[relative] = "file " + mode + (huge ? std::to_string(info.st_size) : read_file(path));
        } else if (S_ISLNK(info.st_mode)) {
            std::vector<char> target(4096);
            ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
            out[relative] = "link " + std::string(target.data(), length > 0 ? static_cast<size_t>(length) : 0);
        } else if (S_ISDIR(info.st_mode)) {
            out[relative] = "dir " + mode;
            snapshot_into(root, relative, out);
        } else {
            out[relative] = "other " + mode;
        }
    }
}

std::map<std::string, std::string> snapshot(const std::string &root) {
    std::map<std::string, std::string> out;
    snapshot_into(root, "", out);
    return out;
}

// "@" stands for the case's directory wherever it appears.
std::string expand(const std::string &text, const std::string &dir) {
    std::string out;
    for (char c : text) {
        if (c == '@') out += dir;
        else out += c;
    }
    return out;
}

// Large strings compare without gtest printing megabytes on a mismatch.
::testing::AssertionResult same_text(const std::string &actual, const std::string &expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    auto around = [at](const std::string &s) { return ::testing::PrintToString(s.substr(at, 60)); };
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << at << ": " << around(actual)
                                         << " instead of " << around(expected);
}

// ---- Map fixtures ----------------------------------------------------------

std::string field(const void *value) { return std::string(static_cast<const char *>(value), 8); }

std::string map_bytes(double time_constant, uint64_t n, uint64_t x, uint64_t y, const std::vector<double> &weights) {
    int64_t saved_at = 1700000000;
    std::string out = field(&saved_at) + field(&time_constant) + field(&n) + field(&x) + field(&y);
    for (double w : weights) out += field(&w);
    return out;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// One input, a 1 by 2 grid: 1 is nearest (0, 0), 9 nearest (0, 1).
std::string two_neuron_map() { return map_bytes(0.0, 1, 1, 2, {0.0, 10.0}); }
const std::string kTwoNeuronInput = "1\n9\n";
const std::string kTwoNeuronOutput = "0\t0\t1\n0\t1\t9\n";

// An old map of two inputs that a save must replace whole or not at all.
std::string old_map() { return map_bytes(0.0, 2, 1, 2, {0.0, 0.0, 10.0, 10.0}); }

// ---- The table ---------------------------------------------------------------

enum class Stdout { Captured, ClosedPipe, FullDevice };

struct BadInputCase {
    const char *name;
    std::vector<std::string> args;  // "@" stands for the case's directory
    std::string input;
    std::string out;  // "@" expanded
    std::string err;  // after mask_timings, "@" expanded
    int status;
    std::vector<std::string> changed = {};  // entries ("/name") the run may create or change
    void (*prepare)(const std::string &dir) = nullptr;
    void (*setup)() = guard;
    Stdout output = Stdout::Captured;
    std::string (*make_input)() = nullptr;  // built on demand, standing for `input`
    bool echo = false;                      // `out` is "0<TAB>0<TAB>" and the one-line input
    std::vector<double> weights = {};       // when set, /map is a 1 by 1 map of exactly these
    std::vector<double> (*make_weights)() = nullptr;
    std::vector<uint64_t> header = {};  // when set, n, X and Y of /map
    bool needs_permissions = false;     // meaningless where permissions do not bite (root)
};

void PrintTo(const BadInputCase &c, std::ostream *os) { *os << c.name; }

class BadInput : public ::testing::TestWithParam<BadInputCase> {};

void expect_map(const std::string &path, const std::vector<uint64_t> &header, const std::vector<double> *weights) {
    const std::string map = read_file(path);
    ASSERT_GE(map.size(), 40u) << path;
    uint64_t fields[3];
    std::memcpy(fields, map.data() + 16, 24);
    if (!header.empty()) {
        EXPECT_EQ(std::vector<uint64_t>(fields, fields + 3), header);
    }
    if (weights != nullptr) {
        ASSERT_EQ(fields[0], weights->size());
        EXPECT_EQ(fields[1], 1u);
        EXPECT_EQ(fields[2], 1u);
        ASSERT_EQ(map.size(), 40 + 8 * weights->size());
        size_t wrong = 0;
        for (size_t k = 0; k < weights->size(); ++k) {
            double stored;
            std::memcpy(&stored, map.data() + 40 + 8 * k, 8);
            if (bits(stored) != bits((*weights)[k]) && wrong++ < 5)
                ADD_FAILURE() << "weight " << k << " is " << stored << ", expected " << (*weights)[k];
        }
        EXPECT_EQ(wrong, 0u);
    }
}

TEST_P(BadInput, ReportsAndLeavesNoTrace) {
    const BadInputCase &c = GetParam();
    if (c.needs_permissions && ::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    TempDir dir;
    if (c.prepare) c.prepare(dir.path());
    const auto before = snapshot(dir.path());

    std::vector<std::string> args;
    for (const std::string &arg : c.args) args.push_back(expand(arg, dir.path()));
    const std::string input = c.make_input ? c.make_input() : c.input;

    ProcessResult result;
    if (c.output == Stdout::Captured) {
        result = run_somap(args, input, c.setup);
    } else if (c.output == Stdout::ClosedPipe) {
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        ::close(ends[0]);  // the reader has gone before the first line
        result = run_somap_with_stdout(ends[1], args, input, c.setup);
        ::close(ends[1]);
    } else {
        int full = ::open("/dev/full", O_WRONLY);
        ASSERT_GE(full, 0);
        result = run_somap_with_stdout(full, args, input, c.setup);
        ::close(full);
    }

    const std::string expected_out = c.echo ? "0\t0\t" + input : expand(c.out, dir.path());
    EXPECT_TRUE(same_text(result.out, expected_out));
    EXPECT_EQ(mask_timings(result.err), expand(c.err, dir.path()));
    EXPECT_EQ(result.status, c.status);

    // Nothing may appear, vanish or change but what the case names.
    auto after = snapshot(dir.path());
    for (const std::string &name : c.changed) {
        EXPECT_EQ(after.count(name), 1u) << name << " was not written";
        after.erase(name);
    }
    auto unchanged = before;
    for (const std::string &name : c.changed) unchanged.erase(name);
    EXPECT_TRUE(after == unchanged) << "the directory changed beyond " << ::testing::PrintToString(c.changed)
                                    << "; now " << ::testing::PrintToString(dir.entries());

    if (c.make_weights) {
        const std::vector<double> weights = c.make_weights();
        expect_map(dir.file("map"), c.header, &weights);
    } else if (!c.weights.empty() || !c.header.empty()) {
        expect_map(dir.file("map"), c.header, c.weights.empty() ? nullptr : &c.weights);
    }
}

std::string case_name(const ::testing::TestParamInfo<BadInputCase> &info) { return info.param.name; }

// ---- Standard input ------------------------------------------------------------
//
// A one-line input trained on a 1 by 1 grid for no iterations leaves the
// neuron holding exactly the values read, so the saved map shows how every
// field was converted.

const std::vector<std::string> kReadBack = {"-x", "1", "-y", "1", "-i", "0", "-s", "@/map"};

BadInputCase read_back(const char *name, std::string input, std::vector<double> weights) {
    BadInputCase c{name, kReadBack, std::move(input), "", trained_reports(1), 0, {"/map"}};
    c.echo = true;
    c.weights = std::move(weights);
    return c;
}

// One field of fifty million digits, far beyond any double, then a plain one.
std::string fifty_megabyte_line() { return std::string(50'000'000, '1') + "\t8\n"; }

std::string million_fields() {
    std::string line;
    line.reserve(2'000'001);
    for (int k = 0; k < 1'000'000; ++k) {
        if (k) line += '\t';
        line += static_cast<char>('0' + k % 10);
    }
    return line + "\n";
}

std::vector<double> million_weights() {
    std::vector<double> weights(1'000'000);
    for (size_t k = 0; k < weights.size(); ++k) weights[k] = static_cast<double>(k % 10);
    return weights;
}

BadInputCase big(BadInputCase c, std::string (*make_input)(), std::vector<double> (*make_weights)()) {
    c.make_input = make_input;
    c.make_weights = make_weights;
    return c;
}

std::vector<double> fifty_megabyte_weights() { return {DBL_MAX, 8.0}; }

INSTANTIATE_TEST_SUITE_P(
    StandardInput, BadInput,
    ::testing::Values(
        read_back("NulBytesEndANumber", "1\0" "5\t\0" "7\t2\n"s, {1.0, 0.0, 2.0}),
        read_back("InvalidUtf8IsEchoedAndReadAsZero", "\xff\xfe\t1\xc3\t\xe2\x82\n", {0.0, 1.0, 0.0}),
        read_back("CrLfEndingIsEchoedAndIgnored", "1.5\t2\r\n", {1.5, 2.0}),
        // A lone carriage return splits neither lines nor fields.
        read_back("LoneCarriageReturnsEndNothing", "1\t2\r3\t4\r\n", {1.0, 2.0, 4.0}),
        read_back("InfinityAndNanWordsAreZero", "inf\t-inf\tnan\t-nan\tINFINITY\t+inf\n", {0, 0, 0, 0, 0, 0}),
        read_back("OutOfRangeSaturatesOrUnderflows", "1e999\t-1e999\t1e-999\t-1e-999\n",
                  {DBL_MAX, -DBL_MAX, 0.0, -0.0}),
        read_back("HexFloatsStopAtTheX", "0x10\t0X1P4\t-0x1p3\t0x\n", {0.0, 0.0, -0.0, 0.0}),
        read_back("ThousandsSeparatorsEndTheNumber", "1,000\t1 000\t1'000\t1.000,5\t12,345.5\n",
                  {1.0, 1.0, 1.0, 1.0, 12.0}),
        read_back("IncompleteNumbersAreZero", "-\t+\t.\t1e\t1e+\te5\n", {0, 0, 0, 0, 0, 0}),
        big(read_back("FiftyMegabyteLine", "", {}), fifty_megabyte_line, fifty_megabyte_weights),
        big(read_back("MillionFields", "", {}), million_fields, million_weights)),
    case_name);

// ---- Option values at the limits of an int -------------------------------------
//
// Each value is tried on a tiny training run; the saved header shows the grid
// the value gave (-y is the first dimension, X; -x the second, Y).

const std::string kPair = "1\t2\n3\t4\n";
const std::string kPairOnEmptyGrid = "0\t0\t1\t2\n0\t0\t3\t4\n";

BadInputCase grid_run(const char *name, std::vector<std::string> options, std::string out,
                      std::vector<uint64_t> header) {
    options.insert(options.end(), {"-s", "@/map"});
    BadInputCase c{name, options, kPair, std::move(out), trained_reports(2), 0, {"/map"}};
    c.header = std::move(header);
    return c;
}

BadInputCase refused(const char *name, std::vector<std::string> options, std::string out, std::string err) {
    options.insert(options.end(), {"-s", "@/map"});
    return BadInputCase{name, options, kPair, std::move(out), std::move(err), 1};
}

const std::string kBadWidth = std::string(text::kBadWidth) + "\n";
const std::string kBadHeight = std::string(text::kBadHeight) + "\n";
const std::string kBadIterations = std::string(text::kBadIterations) + "\n";

INSTANTIATE_TEST_SUITE_P(
    OptionLimits, BadInput,
    ::testing::Values(
        grid_run("WidthZero", {"-x", "0", "-y", "2", "-i", "1"}, kPairOnEmptyGrid, {2, 2, 0}),
        refused("WidthNegative", {"-x", "-1", "-y", "0", "-i", "1"}, creation_failed(), ""),
        refused("WidthIntMin", {"-x", "-2147483648", "-y", "0", "-i", "1"}, creation_failed(), ""),
        refused("WidthBelowIntMin", {"-x", "-2147483649", "-y", "0", "-i", "1"}, creation_failed(), ""),
        grid_run("WidthIntMax", {"-x", "2147483647", "-y", "0", "-i", "1"}, kPairOnEmptyGrid, {2, 0, 2147483647}),
        grid_run("WidthBeyondIntSaturates", {"-x", "2147483648", "-y", "0", "-i", "1"}, kPairOnEmptyGrid,
                 {2, 0, 2147483647}),
        refused("WidthIntMaxBeyondMemory", {"-x", "2147483647", "-y", "1000", "-i", "1"}, creation_failed(), ""),
        grid_run("WidthEmptyKeepsDefault", {"-x", "", "-y", "0", "-i", "1"}, kPairOnEmptyGrid, {2, 0, 100}),
        grid_run("WidthSpacesKeepDefault", {"-x", "   ", "-y", "0", "-i", "1"}, kPairOnEmptyGrid, {2, 0, 100}),
        grid_run("WidthLeadingSpaces", {"-x", "  3", "-y", "0", "-i", "1"}, kPairOnEmptyGrid, {2, 0, 3}),
        refused("WidthTrailingSpace", {"-x", "3 ", "-y", "0", "-i", "1"}, "", kBadWidth),
        refused("WidthInnerSpace", {"-x", "1 2", "-y", "0", "-i", "1"}, "", kBadWidth),

        grid_run("HeightZero", {"-y", "0", "-x", "2", "-i", "1"}, kPairOnEmptyGrid, {2, 0, 2}),
        refused("HeightNegative", {"-y", "-1", "-x", "0", "-i", "1"}, creation_failed(), ""),
        refused("HeightIntMin", {"-y", "-2147483648", "-x", "0", "-i", "1"}, creation_failed(), ""),
        refused("HeightBelowIntMin", {"-y", "-2147483649", "-x", "0", "-i", "1"}, creation_failed(), ""),
        // Every one of 2^31 - 1 rows costs memory even with no column: beyond
        // any machine once the rows have columns.
        refused("HeightIntMax", {"-y", "2147483647", "-x", "1000", "-i", "1"}, creation_failed(), ""),
        refused("HeightBeyondIntSaturates", {"-y", "2147483648", "-x", "1000", "-i", "1"}, creation_failed(), ""),
        grid_run("HeightEmptyKeepsDefault", {"-y", "", "-x", "0", "-i", "1"}, kPairOnEmptyGrid, {2, 100, 0}),
        grid_run("HeightSpacesKeepDefault", {"-y", "   ", "-x", "0", "-i", "1"}, kPairOnEmptyGrid, {2, 100, 0}),
        refused("HeightTrailingSpace", {"-y", "3 ", "-x", "0", "-i", "1"}, "", kBadHeight),

        // Two equal rows: the first iteration finds an exact match and ends
        // the training, so even the largest count finishes at once.
        BadInputCase{"IterationsIntMax", {"-x", "2", "-y", "2", "-i", "2147483647", "-s", "@/map"},
                     "5\t1\n5\t1\n", "0\t0\t5\t1\n0\t0\t5\t1\n", trained_reports(2), 0, {"/map"}},
        BadInputCase{"IterationsBeyondIntSaturates", {"-x", "2", "-y", "2", "-i", "2147483648", "-s", "@/map"},
                     "5\t1\n5\t1\n", "0\t0\t5\t1\n0\t0\t5\t1\n", trained_reports(2), 0, {"/map"}},
        grid_run("IterationsZero", {"-i", "0", "-x", "0", "-y", "1"}, kPairOnEmptyGrid, {2, 1, 0}),
        grid_run("IterationsEmptyKeepsDefault", {"-i", "", "-x", "0", "-y", "1"}, kPairOnEmptyGrid, {2, 1, 0}),
        grid_run("IterationsSpacesKeepDefault", {"-i", "  ", "-x", "0", "-y", "1"}, kPairOnEmptyGrid, {2, 1, 0}),
        refused("IterationsNegative", {"-i", "-1"}, "", kBadIterations),
        refused("IterationsIntMin", {"-i", "-2147483648"}, "", kBadIterations),
        refused("IterationsBelowIntMin", {"-i", "-2147483649"}, "", kBadIterations),
        refused("IterationsTrailingSpace", {"-i", "5 "}, "", kBadIterations)),
    case_name);

// ---- Map files to apply ------------------------------------------------------------

BadInputCase apply(const char *name, void (*prepare)(const std::string &), std::string out, std::string err,
                   int status, std::vector<std::string> args = {"-a", "@/map"}) {
    BadInputCase c{name, std::move(args), kTwoNeuronInput, std::move(out), std::move(err), status};
    c.prepare = prepare;
    return c;
}

BadInputCase not_loaded(const char *name, void (*prepare)(const std::string &)) {
    return apply(name, prepare, "", load_failed("@/map"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    MapFiles, BadInput,
    ::testing::Values(
        apply("IntactMapLoads", [](const std::string &d) { write_file(d + "/map", two_neuron_map()); },
              kTwoNeuronOutput, loading() + reports(), 0),
        apply("BytesAfterTheWeightsAreIgnored",
              [](const std::string &d) { write_file(d + "/map", two_neuron_map() + "trailing junk"); },
              kTwoNeuronOutput, loading() + reports(), 0),
        not_loaded("CutInsideTheHeader",
                   [](const std::string &d) { write_file(d + "/map", two_neuron_map().substr(0, 20)); }),
        not_loaded("CutInsideTheWeights", [](const std::string &d) {
            const std::string whole = two_neuron_map();
            write_file(d + "/map", whole.substr(0, whole.size() - 3));
        }),
        not_loaded("SizesWhoseProductOverflows", [](const std::string &d) {
            write_file(d + "/map", map_bytes(0.0, uint64_t{1} << 63, uint64_t{1} << 63, 2, {1.0, 2.0}));
        }),
        not_loaded("SizesBeyondTheFile", [](const std::string &d) {
            write_file(d + "/map", map_bytes(0.0, 1, 1, uint64_t{1} << 40, {1.0, 2.0}));
        }),
        not_loaded("HugeGridWithoutInputs", [](const std::string &d) {
            write_file(d + "/map", map_bytes(0.0, 0, 1u << 16, 1u << 16, {}));
        }),
        // As long as its header says (128 GiB, sparse) but beyond memory:
        // refused from the header, not read for minutes first.
        not_loaded("SparseFileBeyondMemory", [](const std::string &d) {
            write_file(d + "/map", map_bytes(0.0, 1, 1u << 17, 1u << 17, {}));
            if (::truncate((d + "/map").c_str(), 40 + (off_t{8} << 34)) != 0) write_file(d + "/map", "");
        }),
        not_loaded("NanTimeConstant",
                   [](const std::string &d) { write_file(d + "/map", map_bytes(kNaN, 1, 1, 2, {0.0, 10.0})); }),
        not_loaded("InfiniteTimeConstant", [](const std::string &d) {
            write_file(d + "/map", map_bytes(std::numeric_limits<double>::infinity(), 1, 1, 2, {0.0, 10.0}));
        }),
        not_loaded("NegativeTimeConstant",
                   [](const std::string &d) { write_file(d + "/map", map_bytes(-1.0, 1, 1, 2, {0.0, 10.0})); }),
        // Weights load bit for bit, NaN included; a NaN distance never wins.
        apply("NanWeightNeverWins",
              [](const std::string &d) { write_file(d + "/map", map_bytes(0.0, 1, 1, 2, {kNaN, 10.0})); },
              "0\t1\t1\n0\t1\t9\n", loading() + reports(), 0),
        apply("AllWeightsNanLeaveTheFirstNeuron",
              [](const std::string &d) { write_file(d + "/map", map_bytes(0.0, 1, 1, 2, {kNaN, kNaN})); },
              "0\t0\t1\n0\t0\t9\n", loading() + reports(), 0),
        not_loaded("DirectoryInsteadOfAFile", [](const std::string &d) { ::mkdir((d + "/map").c_str(), 0755); }),
        // A FIFO nobody writes to reads as empty rather than hanging the run.
        not_loaded("FifoWithoutAWriter", [](const std::string &d) { ::mkfifo((d + "/map").c_str(), 0644); }),
        apply("DevNull", nullptr, "", load_failed("/dev/null"), 1, {"-a", "/dev/null"})),
    case_name);

// ---- Save targets ------------------------------------------------------------------
//
// A 1 by 2 grid trained on two rows; a failed save keeps the output lines
// already written, leaves any old map as it was and no temporary file.

const std::string kPairOnTwoNeurons = "0\t1\t1\t2\n0\t0\t3\t4\n";

// `error` 0: saved; otherwise the system error that refuses the save.
BadInputCase save_to(const char *name, std::string target, void (*prepare)(const std::string &), int error,
                     std::vector<std::string> changed = {}) {
    BadInputCase c{name,   {"-x", "2", "-y", "1", "-i", "5", "-s", target},
                   kPair,  kPairOnTwoNeurons,
                   error == 0 ? trained_reports(2) : save_failed(2, target, error),
                   error == 0 ? 0 : 1,
                   std::move(changed)};
    c.prepare = prepare;
    return c;
}

constexpr int kSaved = 0;

void old_map_in_place(const std::string &d) { write_file(d + "/map", old_map()); }

BadInputCase read_only_directory() {
    BadInputCase c = save_to("ReadOnlyDirectory", "@/locked/map", [](const std::string &d) {
        ::mkdir((d + "/locked").c_str(), 0755);
        write_file(d + "/locked/map", old_map());
        ::chmod((d + "/locked").c_str(), 0555);
    }, EACCES);
    c.needs_permissions = true;
    return c;
}

BadInputCase file_size_limit() {
    BadInputCase c = save_to("FileSizeLimit", "@/map", old_map_in_place, EFBIG);
    c.setup = guard_and_limit_file_size;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    SaveTargets, BadInput,
    ::testing::Values(
        save_to("NewFile", "@/map", nullptr, kSaved, {"/map"}),
        save_to("MissingDirectory", "@/missing/map", nullptr, ENOENT),
        save_to("ParentIsAFile", "@/plain/map", [](const std::string &d) { write_file(d + "/plain", "x"); }, ENOTDIR),
        read_only_directory(),
        save_to("FullDevice", "/dev/full", nullptr, ENOSPC),
        file_size_limit(),
        save_to("DirectoryAsTarget", "@/map", [](const std::string &d) { ::mkdir((d + "/map").c_str(), 0755); },
                EISDIR),
        // The link stays a link; the map it names is replaced.
        save_to("SymbolicLink", "@/link", [](const std::string &d) {
            write_file(d + "/real", old_map());
            ::symlink("real", (d + "/link").c_str());
        }, kSaved, {"/real"}),
        // A dangling link: the map is made where it points.
        save_to("DanglingLink", "@/link", [](const std::string &d) { ::symlink("real", (d + "/link").c_str()); },
                kSaved, {"/real"}),
        save_to("DanglingLinkIntoMissingDirectory", "@/link",
                [](const std::string &d) { ::symlink("missing/map", (d + "/link").c_str()); }, ENOENT),
        // A link to itself is followed until the kernel gives up.
        save_to("LinkLoop", "@/link", [](const std::string &d) { ::symlink("link", (d + "/link").c_str()); },
                ELOOP),
        [] {
            // Loading the grid of the old map, retraining and replacing it.
            BadInputCase c{"SameAsTheApplyPath", {"-a", "@/map", "-s", "@/map", "-i", "5"}, kPair,
                           kPairOnTwoNeurons, loading() + reports(), 0, {"/map"}};
            c.err = loading() + phase(text::kPhaseCreation) + text::kTrainingPrefix + "2" +
                    text::kTrainingSuffix + "\n" + phase(text::kPhaseTraining) +
                    phase(text::kPhaseRecognition) + phase(text::kPhaseDestruction);
            c.prepare = old_map_in_place;
            c.header = {2, 1, 2};
            return c;
        }()),
    case_name);

// ---- Standard output that cannot take the lines -------------------------------------
//
// The lines are lost, so the run stops at the first one: no further report, no
// map saved, a failed status. A reader that went away ends the run as quietly
// as SIGPIPE would.

BadInputCase unwritable(const char *name, Stdout output, void (*setup)(), std::string tail, int status) {
    BadInputCase c{name, {"-x", "2", "-y", "1", "-i", "5", "-s", "@/map"}, kPair, "",
                   trained_until_output(2) + tail, status};
    c.output = output;
    c.setup = setup;
    return c;
}

const std::string kOutputFailed = std::string(text::kOutputFailed) + "\n";

INSTANTIATE_TEST_SUITE_P(
    Output, BadInput,
    ::testing::Values(unwritable("ClosedPipe", Stdout::ClosedPipe, guard, "", 128 + SIGPIPE),
                      unwritable("ClosedPipeWithSigpipeIgnored", Stdout::ClosedPipe, guard_and_ignore_sigpipe, "", 1),
                      unwritable("FullDevice", Stdout::FullDevice, guard, kOutputFailed, 1),
                      unwritable("ClosedDescriptor", Stdout::Captured, guard_and_close_stdout, kOutputFailed, 1)),
    case_name);

// ---- Locale ------------------------------------------------------------------------

// The locale the environment names must change nothing: numbers are read with
// a full stop, timings written with one, in a comma-decimal locale too.
std::string g_locale;

void guard_in_locale() {
    guard();
    for (const char *variable : {"LC_ALL", "LANG", "LC_NUMERIC"}) ::setenv(variable, g_locale.c_str(), 1);
}

// A locale whose decimal separator is a comma, where one is installed.
std::string comma_locale() {
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8", "ru_RU.UTF-8",
                             "es_ES.UTF-8", "it_IT.UTF-8", "pt_BR.UTF-8", "de_DE", "fr_FR"}) {
        locale_t locale = ::newlocale(LC_ALL_MASK, name, static_cast<locale_t>(0));
        if (locale == static_cast<locale_t>(0)) continue;
        bool comma = std::strcmp(::nl_langinfo_l(RADIXCHAR, locale), ",") == 0;
        ::freelocale(locale);
        if (comma) return name;
    }
    return "";
}

TEST(BadInputLocale, CommaDecimalLocaleChangesNothing) {
    std::string found = comma_locale();
    g_locale = found.empty() ? "de_DE.UTF-8" : found;
    if (found.empty()) std::cout << "no comma-decimal locale installed; running with " << g_locale << " named\n";

    const std::string input = "1,5\t2.5\t1e3\n0.25\t-3,75\t.5\n7\t8\t9\n";
    struct Outcome {
        ProcessResult trained, applied;
        std::string map;
    };
    auto run_all = [&](void (*setup)()) {
        TempDir dir;
        Outcome o;
        o.trained = run_somap({"-x", "3", "-y", "2", "-i", "20", "-s", dir.file("map")}, input, setup);
        o.applied = run_somap({"-a", dir.file("map")}, input, setup);
        o.map = read_file(dir.file("map"));
        return o;
    };
    const Outcome classic = run_all(guard), local = run_all(guard_in_locale);
    ASSERT_EQ(classic.trained.status, 0) << classic.trained.err;
    EXPECT_EQ(local.trained.status, 0);
    EXPECT_EQ(local.applied.status, 0);
    EXPECT_EQ(local.trained.out, classic.trained.out);
    EXPECT_EQ(local.applied.out, classic.applied.out);
    // Masking only recognises figures with a full stop.
    EXPECT_EQ(mask_timings(local.trained.err), trained_reports(3));
    EXPECT_EQ(mask_timings(local.applied.err), loading() + reports());
    ASSERT_EQ(local.map.size(), classic.map.size());
    EXPECT_EQ(local.map.substr(8), classic.map.substr(8));

    // Read back through a 1 by 1 map: "1,5" is 1 and "2.5" is 2.5 there too.
    TempDir dir;
    ProcessResult read = run_somap({"-x", "1", "-y", "1", "-i", "0", "-s", dir.file("map")}, "1,5\t2.5\n",
                                   guard_in_locale);
    ASSERT_EQ(read.status, 0) << read.err;
    const std::vector<double> weights = {1.0, 2.5};
    expect_map(dir.file("map"), {}, &weights);
}

}  // namespace
