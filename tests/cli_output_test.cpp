// How the output lines leave the program: each write carries whole lines,
// none more than a pipe takes in one piece (PIPE_BUF bytes) unless it is a
// single longer line; the literal build writes every line on its own. A
// write that fails part-way leaves the same bytes in both builds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "messages.h"
#include "test_support.h"

namespace {

using somap::testing::ProcessResult;
using somap::testing::read_file;
using somap::testing::run_process;
using somap::testing::run_process_with_stdout;
using somap::testing::TempDir;

constexpr size_t kPipeWhole = PIPE_BUF;

// Three fields and a padding field that make the output line (with its
// "i<TAB>j<TAB>" of a grid below 10 by 10, and its newline) `size` bytes.
std::string input_line(size_t row, size_t size) {
    char fields[64];
    std::snprintf(fields, sizeof fields, "%.3f\t%.3f\t%.3f\t", (row * 37 % 101) / 101.0, (row * 59 % 103) / 103.0,
                  (row * 17 % 97) / 97.0);
    std::string line = fields;
    line.append(size - 5 - line.size(), '0');
    return line + "\n";
}

// Output lines of sizes that meet the limit from every side: runs of 241
// bytes (17 of them make PIPE_BUF + 1) and of 256 (16 make exactly
// PIPE_BUF), each after a line that fills a group on its own; short lines;
// lines of exactly PIPE_BUF and PIPE_BUF + 1 bytes, and one of 10,000.
std::string mixed_input() {
    std::vector<size_t> sizes;
    for (size_t block = 0; block < 6; ++block) {
        sizes.push_back(3990 + block);
        sizes.insert(sizes.end(), 20, block % 2 ? 256 : 241);
        for (size_t k = 0; k < 12; ++k) sizes.push_back(24 + (block * 7 + k * 5) % 40);
        sizes.push_back(1500 + block);
    }
    sizes.insert(sizes.end(), {kPipeWhole, 30, kPipeWhole + 1, 30, 10000, 30, 30});
    std::string input;
    for (size_t row = 0; row < sizes.size(); ++row) input += input_line(row, sizes[row]);
    return input;
}

struct Binaries {
    const char *name, *path;
};
const Binaries kFast{"somap", SOMAP_BINARY}, kPlain{"somap-plain", SOMAP_PLAIN_BINARY};

// A map of 4 by 3 neurons trained on the input's rows, shared by both builds.
std::string make_map(const TempDir &dir, const std::string &input) {
    const std::string map = dir.file("map");
    ProcessResult trained = run_process(SOMAP_PLAIN_BINARY, {"-x", "4", "-y", "3", "-i", "5", "-s", map}, input);
    EXPECT_EQ(trained.status, 0) << trained.err;
    return map;
}

// The program's writes, one message each: its standard output is a
// sequenced-packet socket, which keeps the bounds of every write.
std::vector<std::string> writes_of(const char *program, const std::vector<std::string> &args,
                                   const std::string &input, int &status) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        ADD_FAILURE() << "socketpair failed";
        return {};
    }
    std::vector<std::string> writes;
    std::thread reader([&] {
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const ssize_t got = ::recv(ends[0], buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            writes.emplace_back(buffer.data(), static_cast<size_t>(got));
        }
    });
    ProcessResult result = run_process_with_stdout(ends[1], program, args, input);
    ::close(ends[1]);  // the reader sees the end once the program's copy is gone too
    reader.join();
    ::close(ends[0]);
    status = result.status;
    EXPECT_EQ(result.status, 0) << result.err;
    return writes;
}

size_t line_count(const std::string &text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

size_t first_line_size(const std::string &text) { return text.find('\n') + 1; }

TEST(OutputWrites, WholeLinesNoMoreThanAPipeTakesWhole) {
    TempDir dir;
    const std::string input = mixed_input();
    const std::string map = make_map(dir, input);
    const ProcessResult reference = run_process(SOMAP_PLAIN_BINARY, {"-a", map}, input);
    ASSERT_EQ(reference.status, 0) << reference.err;
    ASSERT_EQ(line_count(reference.out), line_count(input));

    int status = -1;
    const std::vector<std::string> writes = writes_of(kFast.path, {"-a", map}, input, status);
    std::string joined;
    size_t long_lines = 0, grouped = 0;
    for (size_t k = 0; k < writes.size(); ++k) {
        const std::string &w = writes[k];
        joined += w;
        ASSERT_FALSE(w.empty());
        EXPECT_EQ(w.back(), '\n') << "write " << k << " ends inside a line";
        const size_t lines = line_count(w);
        if (lines == 1 && w.size() > kPipeWhole) ++long_lines;
        if (lines > 1) ++grouped;
        EXPECT_TRUE(lines == 1 || w.size() <= kPipeWhole)
            << "write " << k << " holds " << lines << " lines in " << w.size() << " bytes";
        // As few writes as the rule allows: the next line would not have fit.
        if (k + 1 < writes.size()) {
            EXPECT_GT(w.size() + first_line_size(writes[k + 1]), kPipeWhole)
                << "write " << k << " of " << w.size() << " bytes left out a line of "
                << first_line_size(writes[k + 1]);
        }
    }
    EXPECT_EQ(joined, reference.out) << "the writes together are not the literal build's output";
    EXPECT_EQ(long_lines, 2u) << "the lines of PIPE_BUF + 1 and 10,000 bytes, each alone";
    EXPECT_GT(grouped, 10u);

    const std::vector<std::string> plain = writes_of(kPlain.path, {"-a", map}, input, status);
    ASSERT_EQ(plain.size(), line_count(input)) << "the literal build writes every line on its own";
    joined.clear();
    for (const std::string &w : plain) {
        EXPECT_EQ(line_count(w), 1u);
        joined += w;
    }
    EXPECT_EQ(joined, reference.out);
}

// A file-size limit cuts the output where the file reaches it: the write
// that crosses it is short, its continuation fails. Both builds leave the
// same bytes (whole lines, then part of the line the limit falls in), fail
// the same way, and say the same.
rlim_t g_file_limit = 0;

void limit_file_size() {
    rlimit limit{g_file_limit, g_file_limit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

TEST(OutputWrites, FileSizeLimitLeavesTheLiteralBuildsBytes) {
    TempDir dir;
    const std::string input = mixed_input();
    const std::string map = make_map(dir, input);
    const ProcessResult reference = run_process(SOMAP_PLAIN_BINARY, {"-a", map}, input);
    ASSERT_EQ(reference.status, 0);
    // Limits all over the output, inside groups of short lines and inside
    // lines that go alone, and one right where a line that goes alone starts.
    std::vector<size_t> limits;
    for (size_t limit = 1; limit < reference.out.size(); limit += 4099) limits.push_back(limit);
    const size_t alone = reference.out.find(std::string(kPipeWhole, '0'));
    ASSERT_NE(alone, std::string::npos);
    limits.push_back(reference.out.rfind('\n', alone) + 1);
    for (const size_t limit : limits) {
        for (const Binaries &binary : {kFast, kPlain}) {
            SCOPED_TRACE(std::string(binary.name) + " with a limit of " + std::to_string(limit) + " bytes");
            const std::string path = dir.file(std::string(binary.name) + ".out");
            const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(out, 0);
            g_file_limit = limit;
            const ProcessResult result = run_process_with_stdout(out, binary.path, {"-a", map}, input, limit_file_size);
            ::close(out);
            EXPECT_EQ(result.status, 1);
            const std::string failed = std::string(somap::text::kOutputFailed) + "\n";
            ASSERT_GE(result.err.size(), failed.size());
            EXPECT_EQ(result.err.substr(result.err.size() - failed.size()), failed) << result.err;
            EXPECT_EQ(read_file(path), reference.out.substr(0, limit));
        }
    }
}

}  // namespace
