// Writing a file whole: through a temporary file and a rename for regular
// files, in place for what cannot be renamed over.
#include "whole_file.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace som_internal {

bool write_all(int fd, const void *data, size_t size) {
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            // A descriptor in non-blocking mode (a parent may leave standard
            // output so) is full for now, not failed.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd wait{fd, POLLOUT, 0};
                if (::poll(&wait, 1, -1) >= 0 || errno == EINTR) continue;
            }
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
    void swap(Descriptor &other) { std::swap(fd_, other.fd_); }
    // Closes now, reporting the close's own failure (a delayed write error).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// Writes into a descriptor this process already has open, where the path
// named it (/dev/stdout, /dev/fd/N, /proc/self/fd/N): at its own offset, so
// `somap -s /dev/stdout >> log` appends, and never by replacing the file
// behind it, which would lose what was written there before.
bool write_to_descriptor(int fd, const std::function<bool(int)> &produce) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    if ((flags & O_ACCMODE) == O_RDONLY) {
        errno = EBADF;  // /dev/stdin, say: what the user reads is no place for a map
        return false;
    }
    WriteSignalsDiscarded held;
    return produce(fd);
}

// Writes into what cannot be renamed over (a device, a FIFO, another
// process's descriptor), through a descriptor opened on it.
bool write_in_place(int dir, const char *name, int extra_flags, const std::function<bool(int)> &produce) {
    // Not O_TRUNC: there is nothing to truncate in a device or a pipe, and
    // opening a FIFO waits for its reader, which only an interrupt may end.
    Descriptor fd(::openat(dir, name, O_WRONLY | O_NOCTTY | O_CLOEXEC | extra_flags));
    if (fd.get() < 0) return false;
    WriteSignalsDiscarded held;
    if (!produce(fd.get())) return false;
    return fd.close();
}

bool replace(int dir, const std::string &base, const struct stat *existing,
             const std::function<bool(int)> &produce) {
    // The rename needs only the directory; a file the user may not write
    // must still be refused, as writing it directly would be.
    if (existing != nullptr && ::faccessat(dir, base.c_str(), W_OK, AT_EACCESS) != 0) return false;

    // Held on this thread only: in a program with other threads that leave
    // these signals unblocked, one of them may take the signal instead.
    SignalsBlocked interrupts({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
    // The name must fit the file-name limit even when the target's own name
    // nearly fills it. A new map is created with 0666 for the kernel to
    // apply the umask to, as any new file; a replaced one gets its old mode
    // below (reading the umask would mean setting it, which races with
    // every other thread that creates a file).
    const mode_t create_mode = existing != nullptr ? 0600 : 0666;
    std::string temporary;
    int made = -1;
    for (int attempt = 0; attempt < 100 && made < 0; ++attempt) {
        temporary = "." + base.substr(0, 200) + ".somap-" + random_suffix();
        made = ::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, create_mode);
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
    } remover{dir, temporary};

    bool ok = true;
    if (existing != nullptr) {
        // Ownership first: a change of owner clears set-user-ID bits, which
        // the mode then restores. Only root may give a file away; a member
        // of the group may still keep the group.
        if ((existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) &&
            ::fchown(fd.get(), existing->st_uid, existing->st_gid) != 0)
            (void)::fchown(fd.get(), static_cast<uid_t>(-1), existing->st_gid);
        ok = ::fchmod(fd.get(), existing->st_mode & 07777) == 0;
    }
    {
        WriteSignalsDiscarded held;
        ok = ok && produce(fd.get()) && ::fsync(fd.get()) == 0;
    }
    int saved_errno = errno;
    if (!fd.close() && ok) {
        ok = false;
        saved_errno = errno;
    }
    if (ok && ::renameat(dir, temporary.c_str(), dir, base.c_str()) != 0) {
        ok = false;
        saved_errno = errno;
    }
    if (!ok) {
        errno = saved_errno;
        return false;
    }
    remover.armed = false;
    // Make the rename itself durable; a failure here loses no data. The
    // directory was opened for paths only, which cannot be synced.
    Descriptor sync(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (sync.get() >= 0) ::fsync(sync.get());
    return true;
}

// Whether `dir` is this process's own table of descriptors (/proc/self/fd,
// or a thread's, which shares it).
bool is_own_descriptor_table(int dir) {
    struct stat here;
    if (::fstat(dir, &here) != 0) return false;
    for (const char *table : {"/proc/self/fd", "/proc/thread-self/fd"}) {
        struct stat own;
        if (::stat(table, &own) == 0 && own.st_dev == here.st_dev && own.st_ino == here.st_ino) return true;
    }
    return false;
}

bool on_procfs(int dir) {
    struct statfs info;
    return ::fstatfs(dir, &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
}

bool all_digits(const std::string &text) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

bool write_whole_file(const char *path, const std::function<bool(int fd)> &produce) {
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    // The path is walked one link at a time, each relative to a descriptor
    // of the directory that holds it, so no joined string can outgrow
    // PATH_MAX and the directories need only be searchable.
    Descriptor dir(AT_FDCWD);
    std::string name = path;
    std::vector<char> link(static_cast<size_t>(PATH_MAX) + 1);
    for (int hops = 0; hops < 40; ++hops) {
        const size_t slash = name.rfind('/');
        const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
        if (slash != std::string::npos) {
            const std::string parent = slash == 0 ? "/" : name.substr(0, slash);
            Descriptor holder(::openat(dir.get(), parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (holder.get() < 0) return false;
            dir.swap(holder);
        }
        if (base.empty() || base == "." || base == "..") {
            errno = EISDIR;
            return false;
        }
        struct stat entry;
        if (::fstatat(dir.get(), base.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return false;
            return replace(dir.get(), base, nullptr, produce);
        }
        if (S_ISLNK(entry.st_mode)) {
            // A link in /proc names an open file, not a path: its text
            // ("pipe:[123]", or a file's name that may since have gone)
            // cannot be followed as one.
            if (on_procfs(dir.get())) {
                if (is_own_descriptor_table(dir.get()) && all_digits(base))
                    return write_to_descriptor(std::atoi(base.c_str()), produce);
                return write_in_place(dir.get(), base.c_str(), O_APPEND, produce);
            }
            const ssize_t length = ::readlinkat(dir.get(), base.c_str(), link.data(), PATH_MAX);
            if (length < 0) return false;
            name.assign(link.data(), static_cast<size_t>(length));
            continue;
        }
        if (S_ISDIR(entry.st_mode)) {
            errno = EISDIR;
            return false;
        }
        // Decided by what the path leads to: a device or FIFO cannot be
        // renamed over.
        if (!S_ISREG(entry.st_mode)) return write_in_place(dir.get(), base.c_str(), 0, produce);
        return replace(dir.get(), base, &entry, produce);
    }
    errno = ELOOP;
    return false;
}

}  // namespace som_internal
