// The progress line: drawn on a terminal during placement and training,
// erased before the phase report, and absent everywhere else.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using somap::testing::mask_timings;
using somap::testing::run_somap;
using somap::testing::TempDir;
using somap::testing::write_file;

struct TerminalRun {
    std::string terminal;  // everything written to the terminal (standard error)
    int status = -1;
};

// Runs somap with standard error on a pseudo-terminal, standard input from
// `input_path` and standard output discarded.
TerminalRun run_on_terminal(const std::vector<std::string> &args, const std::string &input_path) {
    TerminalRun result;
    int master = -1;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) return result;
    if (child == 0) {
        int in = open(input_path.c_str(), O_RDONLY);
        int out = open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(125);
        std::vector<char *> argv{const_cast<char *>(SOMAP_BINARY)};
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(SOMAP_BINARY, argv.data());
        _exit(126);
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) result.terminal.append(buffer, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR) continue;
        else break;  // EIO once the child has closed the terminal
    }
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string training_data(size_t rows) {
    std::string data;
    for (size_t r = 0; r < rows; ++r)
        data += std::to_string(r % 7) + "\t" + std::to_string(r % 11) + "\t" + std::to_string((r * 5) % 13) + "\n";
    return data;
}

TEST(ProgressLine, DrawnOnATerminalAndErasedBeforeTheReport) {
    TempDir dir;
    const std::string data = dir.file("data.tsv");
    write_file(data, training_data(400));
    const std::vector<std::string> args = {"-x", "12", "-y", "9", "-i", "50", "-s", dir.file("map")};

    TerminalRun shown = run_on_terminal(args, data);
    ASSERT_EQ(shown.status, 0) << shown.terminal;
    // The terminal turns each newline into CR LF.
    std::string text = std::regex_replace(shown.terminal, std::regex("\r\n"), "\n");
    // The first report of each task is drawn at once, whatever the speed.
    EXPECT_NE(text.find("\rPlacing weights: 0 of 79.8k pairs (0%)\x1b[K"), std::string::npos) << text;
    EXPECT_NE(text.find("\rTraining: 0 of 400 vectors (0%)\x1b[K"), std::string::npos) << text;
    // The line is erased right before the training phase's report.
    EXPECT_NE(text.find("\r\x1b[KNetwork Training\t : "), std::string::npos) << text;

    // Without the drawn lines the terminal saw exactly what a pipe sees.
    std::string without = std::regex_replace(text, std::regex("\r[^\r\n]*\x1b\\[K"), "");
    somap::testing::ProcessResult piped = run_somap(args, training_data(400));
    ASSERT_EQ(piped.status, 0);
    EXPECT_EQ(mask_timings(without), mask_timings(piped.err));
    EXPECT_EQ(piped.err.find_first_of("\r\x1b"), std::string::npos) << piped.err;
}

TEST(ProgressLine, NothingWhenOnlyApplying) {
    TempDir dir;
    const std::string data = dir.file("data.tsv"), map = dir.file("map");
    write_file(data, training_data(50));
    ASSERT_EQ(run_somap({"-x", "4", "-y", "4", "-i", "5", "-s", map}, training_data(50)).status, 0);
    TerminalRun applied = run_on_terminal({"-a", map}, data);
    ASSERT_EQ(applied.status, 0);
    EXPECT_EQ(applied.terminal.find('\x1b'), std::string::npos) << applied.terminal;
}

}  // namespace
