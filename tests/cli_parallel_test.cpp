// Recognition splits by lines: GNU parallel feeding chunks of the input to
// separate `somap -a` runs, output kept in order, gives exactly the bytes of
// one run over the whole input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "test_support.h"

namespace {

using somap::testing::ProcessResult;
using somap::testing::read_file;
using somap::testing::run_process;
using somap::testing::run_somap;
using somap::testing::TempDir;
using somap::testing::write_file;

size_t count(const std::string &text, const std::string &what) {
    size_t found = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
    return found;
}

TEST(SplitRecognition, ParallelPipeMatchesOneRun) {
    if (access("/usr/bin/parallel", X_OK) != 0) GTEST_SKIP() << "GNU parallel is not installed";
    TempDir dir;
    std::string data;
    // Uneven lines, blank lines and a CRLF ending, so that chunk borders fall
    // everywhere; a blank line must not shift anything.
    for (int r = 0; r < 3000; ++r) {
        data += std::to_string((r * 37) % 101) + "\t" + std::to_string(r % 13) + ".25\t" +
                std::to_string((r * 7) % 29) + (r % 97 == 0 ? "\r\n" : "\n");
        if (r % 250 == 0) data += "\n";
    }
    const std::string input = dir.file("data.tsv"), map = dir.file("map");
    write_file(input, data);
    const std::string training = data.substr(0, data.find('\n', 20000) + 1);
    ASSERT_EQ(run_somap({"-x", "9", "-y", "7", "-i", "20", "-s", map}, training).status, 0);

    ProcessResult whole = run_somap({"-a", map}, data);
    ASSERT_EQ(whole.status, 0) << whole.err;
    ProcessResult split = run_process(
        "/bin/sh",
        {"-c", "parallel --will-cite --pipe -k --block 4k '" + std::string(SOMAP_BINARY) + "' -a '" + map +
                   "' < '" + input + "'"},
        "");
    ASSERT_EQ(split.status, 0) << split.err;
    EXPECT_GT(count(split.err, "Network Destruction"), 5u) << "the input was not split";
    EXPECT_EQ(split.out, whole.out);
}

}  // namespace
