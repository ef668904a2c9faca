// Training, saving and applying maps through the command line.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using somap::testing::mask_timings;
using somap::testing::ProcessResult;
using somap::testing::read_file;
using somap::testing::run_somap;
using somap::testing::TempDir;
using somap::testing::write_file;

const std::string kData =
    "0.1\t0.2\t0.9\n0.8\t0.1\t0.3\n0.5\t0.5\t0.5\n0.9\t0.9\t0.1\n0.2\t0.7\t0.4\n"
    "0.3\t0.3\t0.8\n0.7\t0.6\t0.2\n";
const std::vector<std::string> kSmallGrid = {"-x", "4", "-y", "3", "-i", "30"};

std::vector<std::string> with(std::vector<std::string> args, std::vector<std::string> more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(MapFiles, SaveReportsInOrderAndApplyReproducesTheOutput) {
    TempDir dir;
    const std::string map = dir.file("map");
    ProcessResult trained = run_somap(with(kSmallGrid, {"-s", map}), kData);
    ASSERT_EQ(trained.status, 0) << trained.err;
    EXPECT_EQ(mask_timings(trained.err),
              "Network Creation\t : #\n"
              "Training using 7 input vectors\n"
              "Network Training\t : #\n"
              "Input Recognition\t : #\n"
              "Network Destruction\t : #\n");
    EXPECT_EQ(read_file(map).size(), 40u + 8u * 4 * 3 * 3);

    // Applying the saved map finds the same winners; -x and -y do not change a
    // loaded grid, and -i means nothing without -s.
    ProcessResult applied = run_somap({"-a", map, "-x", "9", "-y", "9", "-i", "5"}, kData);
    EXPECT_EQ(applied.status, 0);
    EXPECT_EQ(applied.out, trained.out);
    EXPECT_EQ(mask_timings(applied.err),
              "Loading ... \n"
              "Network Creation\t : #\n"
              "Network Training\t : #\n"
              "Input Recognition\t : #\n"
              "Network Destruction\t : #\n");
}

TEST(MapFiles, TrainingIsDeterministic) {
    TempDir dir;
    ProcessResult first = run_somap(with(kSmallGrid, {"-s", dir.file("a")}), kData);
    ProcessResult second = run_somap(with(kSmallGrid, {"-s", dir.file("b")}), kData);
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.out, second.out);
    // Maps differ only in their saved-at field.
    EXPECT_EQ(read_file(dir.file("a")).substr(8), read_file(dir.file("b")).substr(8));
}

TEST(MapFiles, ApplyAndSaveOnTheSamePathRetrainsTheLoadedMap) {
    TempDir dir;
    const std::string map = dir.file("map");
    ASSERT_EQ(run_somap(with(kSmallGrid, {"-s", map}), kData).status, 0);
    const std::string before = read_file(map);
    // Initialisation replaces the loaded weights, so retraining on the same
    // data with the same iterations gives the same weights again.
    ProcessResult again = run_somap({"-a", map, "-s", map, "-i", "30"}, kData);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(mask_timings(again.err),
              "Loading ... \n"
              "Network Creation\t : #\n"
              "Training using 7 input vectors\n"
              "Network Training\t : #\n"
              "Input Recognition\t : #\n"
              "Network Destruction\t : #\n");
    EXPECT_EQ(read_file(map).substr(8), before.substr(8));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"map"});
}

TEST(MapFiles, ApplyRefusesRowsShorterThanTheMap) {
    TempDir dir;
    ASSERT_EQ(run_somap(with(kSmallGrid, {"-s", dir.file("map")}), kData).status, 0);
    ProcessResult result = run_somap({"-a", dir.file("map")}, "1\t2\t3\n1\t2\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Loading ... \nline 2 has 2 fields, expected 3\n");
}

TEST(MapFiles, ApplyWithEmptyInputRunsAllPhases) {
    TempDir dir;
    ASSERT_EQ(run_somap(with(kSmallGrid, {"-s", dir.file("map")}), kData).status, 0);
    ProcessResult result = run_somap({"-a", dir.file("map")}, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
}

TEST(MapFiles, EmptyOrTruncatedMapIsNotLoaded) {
    TempDir dir;
    ASSERT_EQ(run_somap(with(kSmallGrid, {"-s", dir.file("map")}), kData).status, 0);
    const std::string whole = read_file(dir.file("map"));
    for (size_t length : {size_t{0}, size_t{39}, size_t{40}, whole.size() - 1}) {
        write_file(dir.file("cut"), whole.substr(0, length));
        ProcessResult result = run_somap({"-a", dir.file("cut")}, kData);
        EXPECT_EQ(result.status, 1) << length;
        EXPECT_EQ(result.out, "") << length;
        EXPECT_EQ(result.err, "Loading ... \ncould not load SOM from " + dir.file("cut") + "\n") << length;
    }
}

TEST(MapFiles, EmptyGridSavesHeaderOnly) {
    TempDir dir;
    ProcessResult result = run_somap({"-x", "0", "-s", dir.file("map")}, "1\t2\n3\t4\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "0\t0\t1\t2\n0\t0\t3\t4\n");
    EXPECT_EQ(read_file(dir.file("map")).size(), 40u);
}

TEST(MapFiles, FailedSaveKeepsTheOldMapAndFailsTheRun) {
    TempDir dir;
    const std::string map = dir.file("map");
    write_file(map, "the user's old map");
    ::chmod(dir.path().c_str(), 0555);
    // Root ignores directory permissions; a file-size limit fails the write
    // for everyone.
    auto limit = [] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit size{100, 100};
        ::setrlimit(RLIMIT_FSIZE, &size);
    };
    ProcessResult result = run_somap(with(kSmallGrid, {"-s", map}), kData, +limit);
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 7);
    EXPECT_EQ(mask_timings(result.err),
              "Network Creation\t : #\n"
              "Training using 7 input vectors\n"
              "Network Training\t : #\n"
              "Input Recognition\t : #\n"
              "could not save SOM to " + map + ": " + std::strerror(::geteuid() == 0 ? EFBIG : EACCES) + "\n");
    EXPECT_EQ(read_file(map), "the user's old map");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"map"});
}

TEST(MapFiles, SaveIntoMissingDirectoryFails) {
    TempDir dir;
    const std::string map = dir.file("missing/map");
    ProcessResult result = run_somap(with(kSmallGrid, {"-s", map}), kData);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("could not save SOM to " + map + ": " + std::strerror(ENOENT) + "\n"),
              std::string::npos);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

// Threads are an optimisation: where the system refuses them, the run does
// the same work on one thread and writes the same bytes. A stack limit far
// beyond memory makes every new thread's stack allocation fail.
void refuse_threads() {
    rlimit stack{rlim_t{1} << 40, rlim_t{1} << 40};
    ::setrlimit(RLIMIT_STACK, &stack);
}

TEST(MapFiles, RefusedThreadsChangeNothing) {
    TempDir dir;
    std::string data;
    for (int r = 0; r < 400; ++r)
        data += std::to_string(r % 17) + "\t" + std::to_string((r * 7) % 23) + "\t" + std::to_string(r % 5) + "\n";
    // Big enough for the training partner, the threaded pair search and the
    // threaded recognition.
    const std::vector<std::string> grid = {"-x", "70", "-y", "60", "-i", "3"};
    ProcessResult threaded = run_somap(with(grid, {"-s", dir.file("threaded")}), data);
    ProcessResult alone = run_somap(with(grid, {"-s", dir.file("alone")}), data, refuse_threads);
    ASSERT_EQ(threaded.status, 0) << threaded.err;
    ASSERT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(alone.out, threaded.out);
    EXPECT_EQ(mask_timings(alone.err), mask_timings(threaded.err));
    // Everything after the saved-at field.
    EXPECT_EQ(read_file(dir.file("alone")).substr(8), read_file(dir.file("threaded")).substr(8));
}

}  // namespace
