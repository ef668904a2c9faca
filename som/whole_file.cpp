// Writing a file whole: through a temporary file and a rename for regular
// files, in place for what cannot be renamed over.
#include "whole_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace som_internal {

bool write_all(int fd, const void *data, size_t size) {
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
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

namespace {

// Blocks `signals` on this thread for the life of the object and restores
// the caller's mask afterwards; errno survives the restore.
class SignalsBlocked {
  public:
    explicit SignalsBlocked(std::initializer_list<int> signals) {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int signal : signals) sigaddset(&blocked, signal);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~SignalsBlocked() {
        const int saved_errno = errno;
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = saved_errno;
    }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

  private:
    sigset_t previous_;
};

// A write beyond the file-size limit raises SIGXFSZ, and one into a pipe
// nobody reads raises SIGPIPE; either kills a process that left them at
// their default, which a shell does. Held for the life of a write, they only
// make the write fail (EFBIG, EPIPE), and the ones the write raised are
// taken off the pending set before the mask is restored. A signal that was
// already pending before stays pending.
class WriteSignalsDiscarded {
  public:
    WriteSignalsDiscarded() : blocked_({SIGXFSZ, SIGPIPE}) {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        xfsz_was_pending_ = sigismember(&pending, SIGXFSZ) == 1;
        pipe_was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~WriteSignalsDiscarded() {
        const int saved_errno = errno;
        sigset_t pending, raised;
        sigemptyset(&pending);
        sigemptyset(&raised);
        sigpending(&pending);
        if (!xfsz_was_pending_ && sigismember(&pending, SIGXFSZ) == 1) sigaddset(&raised, SIGXFSZ);
        if (!pipe_was_pending_ && sigismember(&pending, SIGPIPE) == 1) sigaddset(&raised, SIGPIPE);
        const timespec now{0, 0};
        while (sigtimedwait(&raised, nullptr, &now) > 0) {
        }
        errno = saved_errno;
    }
    WriteSignalsDiscarded(const WriteSignalsDiscarded &) = delete;
    WriteSignalsDiscarded &operator=(const WriteSignalsDiscarded &) = delete;

  private:
    SignalsBlocked blocked_;
    bool xfsz_was_pending_ = false, pipe_was_pending_ = false;
};

// Follows a chain of symbolic links to the path that a replacement must
// create, so that the link itself survives. A dangling link resolves to
// where it points.
bool resolve_links(std::string &path) {
    std::vector<char> target(static_cast<size_t>(PATH_MAX) + 1);
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
        const ssize_t length = ::readlink(path.c_str(), target.data(), PATH_MAX);
        if (length < 0) return false;
        const std::string link(target.data(), static_cast<size_t>(length));
        if (!link.empty() && link[0] == '/') {
            path = link;
        } else {
            const size_t slash = path.rfind('/');
            path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
        }
    }
    errno = ELOOP;
    return false;
}

mode_t default_file_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666) & ~mask;
}

// Six characters for a temporary name; uniqueness comes from O_EXCL, this
// only makes a collision unlikely.
std::string random_suffix() {
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static uint64_t counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t state = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
                     (static_cast<uint64_t>(::getpid()) << 40) ^
                     __atomic_add_fetch(&counter, 0x9E3779B97F4A7C15ull, __ATOMIC_RELAXED);
    std::string out;
    for (int c = 0; c < 6; ++c) {
        // splitmix64 steps
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        out += kAlphabet[z % (sizeof kAlphabet - 1)];
    }
    return out;
}

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            const int saved_errno = errno;
            ::close(fd_);
            errno = saved_errno;
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    // Closes now, reporting the close's own failure (a delayed write error).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

bool write_in_place(const char *path, const std::function<bool(int)> &produce) {
    // Not O_TRUNC: there is nothing to truncate in a device or a pipe, and
    // opening a FIFO waits for its reader, which only an interrupt may end.
    Descriptor fd(::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    WriteSignalsDiscarded held;
    if (!produce(fd.get())) return false;
    return fd.close();
}

bool replace(const std::string &target, const struct stat *existing, const std::function<bool(int)> &produce) {
    const size_t slash = target.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") {
        errno = EISDIR;
        return false;
    }
    // Everything below works relative to the directory, so the length of
    // the whole path never limits the temporary file's name.
    Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return false;
    // The rename needs only the directory; a file the user may not write
    // must still be refused, as writing it directly would be.
    if (existing != nullptr && ::faccessat(dir.get(), base.c_str(), W_OK, AT_EACCESS) != 0) return false;

    SignalsBlocked interrupts({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
    // The name must fit the file-name limit even when the target's own name
    // nearly fills it.
    std::string temporary;
    int made = -1;
    for (int attempt = 0; attempt < 100 && made < 0; ++attempt) {
        temporary = "." + base.substr(0, 200) + ".somap-" + random_suffix();
        made = ::openat(dir.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (made < 0 && errno != EEXIST) return false;
    }
    if (made < 0) return false;
    Descriptor fd(made);
    // Removed on every way out but a completed rename, an exception from
    // `produce` included.
    struct Remover {
        int dir;
        const std::string &name;
        bool armed = true;
        ~Remover() {
            if (!armed) return;
            const int saved_errno = errno;
            ::unlinkat(dir, name.c_str(), 0);
            errno = saved_errno;
        }
    } remover{dir.get(), temporary};

    bool ok = true;
    if (existing != nullptr) {
        // Ownership first: a change of owner clears set-user-ID bits, which
        // the mode below then restores. Only root may give a file away; a
        // member of the group may still keep the group.
        if ((existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) &&
            ::fchown(fd.get(), existing->st_uid, existing->st_gid) != 0)
            (void)::fchown(fd.get(), static_cast<uid_t>(-1), existing->st_gid);
    }
    const mode_t mode = existing != nullptr ? (existing->st_mode & 07777) : default_file_mode();
    ok = ::fchmod(fd.get(), mode) == 0;
    {
        WriteSignalsDiscarded held;
        ok = ok && produce(fd.get()) && ::fsync(fd.get()) == 0;
    }
    int saved_errno = errno;
    if (!fd.close() && ok) {
        ok = false;
        saved_errno = errno;
    }
    if (ok && ::renameat(dir.get(), temporary.c_str(), dir.get(), base.c_str()) != 0) {
        ok = false;
        saved_errno = errno;
    }
    if (!ok) {
        errno = saved_errno;
        return false;
    }
    remover.armed = false;
    // Make the rename itself durable; a failure here loses no data.
    ::fsync(dir.get());
    return true;
}

}  // namespace

bool write_whole_file(const char *path, const std::function<bool(int fd)> &produce) {
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    struct stat existing;
    bool exists = false;
    if (::stat(path, &existing) == 0) {
        exists = true;
        if (S_ISDIR(existing.st_mode)) {
            errno = EISDIR;
            return false;
        }
        // Decided by what the path leads to: a device, FIFO or pipe (also
        // through /dev/stdout, whose link text names no file) cannot be
        // renamed over.
        if (!S_ISREG(existing.st_mode)) return write_in_place(path, produce);
    } else if (errno != ENOENT) {
        return false;
    }
    std::string target = path;
    if (!resolve_links(target)) return false;
    return replace(target, exists ? &existing : nullptr, produce);
}

}  // namespace som_internal
