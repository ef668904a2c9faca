// How the output's lines are cut into writes, by what the descriptor is. A
// kill stops a write to a regular file between two pages, so a file must get
// a write per line (a killed run then leaves whole lines, as far as a single
// write can promise); a pipe takes up to PIPE_BUF bytes whole, so it gets
// groups of whole lines.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "output_lines.h"

namespace {

std::string line_text(size_t k, std::mt19937 &random) {
    const size_t length = random() % 50 == 0 ? 4000 + random() % 9000 : random() % 300;
    return std::string(length, static_cast<char>('a' + k % 26));
}

size_t line_size(size_t i, size_t j, const std::string &text) {
    return std::to_string(i).size() + std::to_string(j).size() + 2 + text.size() + 1;
}

// The file's size after each add() is where the writes so far end: with a
// write per line it is the end of the line just added, whatever the lines
// before it.
TEST(OutputLinesCuts, ARegularFileGetsAWritePerLine) {
    char name[] = "/tmp/somap-output-lines-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::unlink(name);
    std::mt19937 random(7);
    size_t end = 0;
    {
        somap::OutputLines lines(fd, somap::kWholeWriteBytes);
        for (size_t k = 0; k < 3000; ++k) {
            const std::string text = line_text(k, random);
            const size_t i = random() % 1000, j = random() % 1000;
            end += line_size(i, j, text);
            ASSERT_TRUE(lines.add(i, j, text));
            struct stat st;
            ASSERT_EQ(::fstat(fd, &st), 0);
            ASSERT_EQ(static_cast<size_t>(st.st_size), end) << "line " << k << " was held back";
        }
        ASSERT_TRUE(lines.flush());
    }
    ::close(fd);
}

// Through a sequenced-packet socket every write arrives as one packet: the
// same lines go out in groups of whole lines of at most PIPE_BUF bytes (a
// longer line alone), as full as that allows.
TEST(OutputLinesCuts, AnythingElseGetsGroupsOfWholeLines) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
    const int big = 1 << 22;
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(ends[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    std::mt19937 random(11);
    std::vector<size_t> sizes;
    {
        somap::OutputLines lines(ends[0], somap::kWholeWriteBytes);
        for (size_t k = 0; k < 300; ++k) {
            const std::string text = line_text(k, random);
            const size_t i = random() % 1000, j = random() % 1000;
            sizes.push_back(line_size(i, j, text));
            ASSERT_TRUE(lines.add(i, j, text));
        }
        ASSERT_TRUE(lines.flush());
    }
    ::close(ends[0]);
    std::vector<char> packet(1 << 16);
    size_t next = 0, packets = 0;
    for (ssize_t got; (got = ::recv(ends[1], packet.data(), packet.size(), 0)) > 0; ++packets) {
        size_t held = 0, first = next;
        while (next < sizes.size() && held + sizes[next] <= static_cast<size_t>(got)) held += sizes[next++];
        ASSERT_EQ(held, static_cast<size_t>(got)) << "packet " << packets << " is not whole lines";
        if (next - first > 1) {
            EXPECT_LE(held, somap::kWholeWriteBytes);
        }
        if (next < sizes.size() && sizes[next] <= somap::kWholeWriteBytes) {
            EXPECT_GT(held + sizes[next], somap::kWholeWriteBytes) << "packet " << packets << " could hold more";
        }
    }
    EXPECT_EQ(next, sizes.size());
    EXPECT_LT(packets, sizes.size() / 3) << "lines were not grouped";
    ::close(ends[1]);
}

}  // namespace
