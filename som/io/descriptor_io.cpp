#include "som/io/descriptor_io.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace som_internal {

namespace {

// A descriptor in non-blocking mode (a parent may hand one over so) that
// has no data yet, or no room yet, is waited on, not taken for failed or
// ended. True when the call should be tried again.
bool waited(int fd, short event) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd wait{fd, event, 0};
    return ::poll(&wait, 1, -1) >= 0 || errno == EINTR;
}

bool write_loop(int fd, const void *data, size_t size, bool wait_when_full) {
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (wait_when_full && waited(fd, POLLOUT)) continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

ssize_t read_some(int fd, void *data, size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, data, size);
        if (got >= 0) return got;
        if (errno == EINTR || waited(fd, POLLIN)) continue;
        return -1;
    }
}

ssize_t read_full(int fd, void *data, size_t size) {
    char *bytes = static_cast<char *>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = read_some(fd, bytes + done, size - done);
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

bool read_all(int fd, std::string &text) {
    size_t used = text.size();
    // One buffer of the announced size (and a byte to see the end) instead
    // of doubling, which fills up to twice the input with zeros.
    struct stat info;
    size_t expected = 0;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (at >= 0 && at <= info.st_size) expected = static_cast<size_t>(info.st_size - at);
    }
    text.resize(used + std::max<size_t>(expected + 1, 1 << 16));
    for (;;) {
        if (used == text.size()) text.resize(text.size() * 2);
        const ssize_t got = read_some(fd, &text[used], text.size() - used);
        if (got > 0) {
            used += static_cast<size_t>(got);
            continue;
        }
        if (got == 0) break;
        const int saved_errno = errno;
        text.resize(used);
        errno = saved_errno;
        return false;
    }
    text.resize(used);
    return true;
}

bool write_all(int fd, const void *data, size_t size) { return write_loop(fd, data, size, true); }

bool write_all_without_waiting(int fd, const void *data, size_t size) {
    return write_loop(fd, data, size, false);
}

}  // namespace som_internal
