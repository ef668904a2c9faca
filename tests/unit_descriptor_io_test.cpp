// The I/O unit's loops on descriptors a parent may leave in non-blocking
// mode: waited on when the whole of the data matters, given up on at once
// when nobody must wait (a progress line).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "som/io/descriptor_io.h"

namespace {

using som_internal::read_all;
using som_internal::write_all;
using som_internal::write_all_without_waiting;

struct Pipe {
    int read_end = -1, write_end = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) {
            read_end = fds[0];
            write_end = fds[1];
        }
    }
    ~Pipe() {
        if (read_end >= 0) ::close(read_end);
        if (write_end >= 0) ::close(write_end);
    }
    void close_write_end() {
        ::close(write_end);
        write_end = -1;
    }
};

void set_non_blocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

std::string pattern(size_t size) {
    std::string out(size, '\0');
    for (size_t k = 0; k < size; ++k) out[k] = static_cast<char>('a' + k * 7 % 26);
    return out;
}

TEST(DescriptorIo, AFullNonBlockingPipeIsWaitedOnOrGivenUp) {
    Pipe pipe;
    ASSERT_GE(pipe.read_end, 0);
    set_non_blocking(pipe.write_end);
    size_t filled = 0;
    const std::string block(4096, 'x');
    for (ssize_t n; (n = ::write(pipe.write_end, block.data(), block.size())) > 0;) filled += static_cast<size_t>(n);
    ASSERT_EQ(errno, EAGAIN);

    errno = 0;
    EXPECT_FALSE(write_all_without_waiting(pipe.write_end, "abc", 3));
    EXPECT_EQ(errno, EAGAIN);

    // A reader drains the pipe slowly: the waiting write must get all of a
    // megabyte through, in order, behind what filled the pipe.
    const std::string data = pattern(size_t{1} << 20);
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        char buffer[8192];
        for (ssize_t n; (n = ::read(pipe.read_end, buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<size_t>(n));
    });
    const bool written = write_all(pipe.write_end, data.data(), data.size());
    pipe.close_write_end();
    reader.join();
    EXPECT_TRUE(written);
    ASSERT_EQ(received.size(), filled + data.size());
    EXPECT_TRUE(received.compare(filled, data.size(), data) == 0);
}

TEST(DescriptorIo, AnEmptyNonBlockingPipeIsWaitedOnToItsEnd) {
    Pipe pipe;
    ASSERT_GE(pipe.read_end, 0);
    set_non_blocking(pipe.read_end);
    const std::string data = pattern(300000);
    bool sent = true;
    std::thread writer([&] {
        // Pieces with pauses, so the reader finds the pipe empty between them.
        for (size_t at = 0; at < data.size() && sent; at += 100000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            sent = write_all(pipe.write_end, data.data() + at, std::min<size_t>(100000, data.size() - at));
        }
        pipe.close_write_end();
    });
    std::string text = "kept ";
    const bool read = read_all(pipe.read_end, text);
    // Whatever read_all left, the writer must be able to finish.
    ::fcntl(pipe.read_end, F_SETFL, ::fcntl(pipe.read_end, F_GETFL) & ~O_NONBLOCK);
    char rest[4096];
    while (::read(pipe.read_end, rest, sizeof rest) > 0) {
    }
    writer.join();
    ASSERT_TRUE(sent);
    EXPECT_TRUE(read);
    EXPECT_TRUE(text == "kept " + data);
}

}  // namespace
