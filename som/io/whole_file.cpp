// Writing a file whole: through a temporary file and a rename for regular
// files, in place for what cannot be renamed over.
#include "som/io/whole_file.h"

#include <fcntl.h>
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

namespace {

// Blocks `signals` on this thread for the life of the object and restores
// the caller's mask afterwards; errno survives the restore.
class SignalsBlocked {
  public:
    explicit SignalsBlocked(const sigset_t &signals) { pthread_sigmask(SIG_BLOCK, &signals, &previous_); }
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

// Every signal that ends a process left at its default action and that
// comes from outside the running code: a terminal, a user's kill, a timer,
// a resource limit, a realtime signal. Held, any of them waits until the
// temporary file is renamed or removed and then acts as it would have. The
// faults the process raises on itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGTRAP, SIGSYS) are left alone: a fault raised while it is blocked is
// undefined behaviour in POSIX terms, and the temporary file is the least of
// the damage then. SIGABRT is held: abort() unblocks it itself.
sigset_t terminating_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
#ifdef SIGSTKFLT
                       SIGSTKFLT,
#endif
#ifdef SIGPWR
                       SIGPWR,
#endif
                       SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO})
        sigaddset(&signals, signal);
    // The ones below SIGRTMIN belong to the threads library, which keeps
    // them out of any mask it is handed anyway.
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&signals, signal);
    return signals;
}

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

// The open a shell's `>> PATH` makes, less its O_APPEND: the kernel applies
// to it every rule it has for writing to a path (permissions, read-only
// mounts, running programs, and the link and sticky-directory protections,
// fs.protected_symlinks, fs.protected_regular and fs.protected_fifos; O_CREAT
// is what asks for the last two). A save goes ahead only where this open of
// what exists at the path succeeds, so it never writes where an ordinary
// write would have been refused.
constexpr int kWriteOpen = O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC;

// What a path leads to, links followed by hand (see resolve).
struct Target {
    enum Kind {
        kOwnDescriptor,  // one of this process's descriptors, `descriptor`
        kProcessLink,    // another entry of /proc naming an open file
        kEntry,          // `base` in `dir`, which may not exist
    } kind = kEntry;
    int descriptor = -1;
    Descriptor dir{AT_FDCWD};
    std::string base;
    bool exists = false;
    struct stat entry {};
};

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

// Finds what `path` leads to without acting on it. The path is walked one
// link at a time, each relative to a descriptor of the directory that holds
// it, so no joined string can outgrow PATH_MAX and the directories need only
// be searchable. Nothing here decides whether a link may be followed: every
// way out of write_whole_file lets the kernel follow the same links first.
bool resolve(const char *path, Target &target) {
    std::string name = path;
    std::vector<char> link(static_cast<size_t>(PATH_MAX) + 1);
    for (int hops = 0; hops < 40; ++hops) {
        const size_t slash = name.rfind('/');
        target.base = slash == std::string::npos ? name : name.substr(slash + 1);
        if (slash != std::string::npos) {
            const std::string parent = slash == 0 ? "/" : name.substr(0, slash);
            Descriptor holder(::openat(target.dir.get(), parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (holder.get() < 0) return false;
            target.dir.swap(holder);
        }
        if (target.base.empty() || target.base == "." || target.base == "..") {
            errno = EISDIR;
            return false;
        }
        const int dir = target.dir.get();
        if (::fstatat(dir, target.base.c_str(), &target.entry, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return false;
            target.kind = Target::kEntry;
            target.exists = false;
            return true;
        }
        if (S_ISLNK(target.entry.st_mode)) {
            // A link in /proc names an open file, not a path: its text
            // ("pipe:[123]", or a file's name that may since have gone)
            // cannot be followed as one.
            if (on_procfs(dir)) {
                const bool own = is_own_descriptor_table(dir) && all_digits(target.base);
                target.kind = own ? Target::kOwnDescriptor : Target::kProcessLink;
                if (own) target.descriptor = std::atoi(target.base.c_str());
                return true;
            }
            const ssize_t length = ::readlinkat(dir, target.base.c_str(), link.data(), PATH_MAX);
            if (length < 0) return false;
            name.assign(link.data(), static_cast<size_t>(length));
            continue;
        }
        target.kind = Target::kEntry;
        target.exists = true;
        return true;
    }
    errno = ELOOP;
    return false;
}

bool replace(const char *path, const Target &target, const std::function<bool(int)> &produce);

// Writes into what cannot be renamed over (a device, a FIFO, another
// process's descriptor) through the kernel's own open of the path, made
// once: opening a FIFO waits for its reader (only an interrupt may end
// that, so nothing is held yet), and a second open of a FIFO or a device
// would not meet the same reader or the same state.
bool write_in_place(const char *path, const Target &target, const std::function<bool(int)> &produce) {
    const bool append = target.kind == Target::kProcessLink;
    // Not O_TRUNC: there is nothing to truncate in a device or a pipe.
    Descriptor fd(::open(path, kWriteOpen | (append ? O_APPEND : 0), 0666));
    if (fd.get() < 0) return false;
    struct stat opened;
    if (::fstat(fd.get(), &opened) != 0) return false;
    // A regular file here was put in place of the device or FIFO after the
    // path was resolved (or made by this open, when that went away first):
    // it is replaced like any regular file, never written into.
    if (S_ISREG(opened.st_mode) && !append) {
        fd.close();
        return replace(path, target, produce);
    }
    WriteSignalsDiscarded held;
    if (!produce(fd.get())) return false;
    return fd.close();
}

// Writes a regular file (or one where nothing is yet) through a temporary
// file in its directory, renamed over it once complete.
bool replace(const char *path, const Target &target, const std::function<bool(int)> &produce) {
    // Held on this thread only, from the first file this makes to the last
    // one it removes or renames: in a program with other threads that leave
    // these signals unblocked, one of them may take the signal instead.
    SignalsBlocked held(terminating_signals());
    const int dir = target.dir.get();
    const std::string &base = target.base;

    // The kernel decides whether this path may be written, links and all.
    // First without O_CREAT, so that nothing is made where nothing is (a
    // link the kernel will not follow is refused the same way), then, where
    // a file exists, as the shell opens it: the sticky-directory protections
    // bind only an open that may create. Non-blocking, since a FIFO put here
    // since the path was resolved must not keep the signals held while it
    // waits for a reader.
    struct stat existing;
    bool exists = false;
    {
        Descriptor opened(::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
        if (opened.get() < 0 && errno != ENOENT) return false;
        if (opened.get() >= 0) {
            Descriptor as_the_shell(::open(path, kWriteOpen | O_NONBLOCK, 0666));
            struct stat first;
            if (as_the_shell.get() < 0 || ::fstat(opened.get(), &first) != 0 ||
                ::fstat(as_the_shell.get(), &existing) != 0)
                return false;
            // Both opens, and the rename, must meet the very same file: a
            // path that changes while it is being saved is not saved.
            struct stat named;
            if (!S_ISREG(existing.st_mode) || first.st_dev != existing.st_dev || first.st_ino != existing.st_ino ||
                ::fstatat(dir, base.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != existing.st_dev ||
                named.st_ino != existing.st_ino) {
                errno = EAGAIN;
                return false;
            }
            exists = true;
        }
    }

    // The name must fit the file-name limit even when the target's own name
    // nearly fills it. A new map is created with 0666 for the kernel to
    // apply the umask to, as any new file; a replaced one gets its old mode
    // below (reading the umask would mean setting it, which races with
    // every other thread that creates a file).
    const mode_t create_mode = exists ? 0600 : 0666;
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
    if (exists) {
        // Ownership first: a change of owner clears set-user-ID bits, which
        // the mode then restores. Only root may give a file away; a member
        // of the group may still keep the group. The owner gets nothing a
        // write in place would not have given them: the shell's open above
        // succeeded, so the process could have written its map into their
        // file, which they could then rewrite at will; the replacement ends
        // the same way, a file of theirs holding the map. Where the kernel
        // protects the process from writing into another user's file
        // (fs.protected_regular in a sticky directory), that open has
        // already refused.
        if ((existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) &&
            ::fchown(fd.get(), existing.st_uid, existing.st_gid) != 0)
            (void)::fchown(fd.get(), static_cast<uid_t>(-1), existing.st_gid);
        ok = ::fchmod(fd.get(), existing.st_mode & 07777) == 0;
    }
    {
        WriteSignalsDiscarded discarded;
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

}  // namespace

bool names_own_descriptor(const char *path) {
    if (path == nullptr || path[0] == '\0') return false;
    const int saved_errno = errno;
    Target target;
    const bool own = resolve(path, target) && target.kind == Target::kOwnDescriptor;
    errno = saved_errno;
    return own;
}

bool write_whole_file(const char *path, const std::function<bool(int fd)> &produce) {
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    // The kernel walks the path first, links and all, under its own rules
    // (fs.protected_symlinks among them): a path-only open touches nothing
    // it reaches, not even a FIFO or a device. Only what it lets through is
    // resolved below, to find what to replace; a path that leads nowhere yet
    // is left to the opens that may create it.
    {
        Descriptor walked(::open(path, O_PATH | O_CLOEXEC));
        if (walked.get() < 0 && errno != ENOENT) return false;
    }
    Target target;
    if (!resolve(path, target)) return false;
    switch (target.kind) {
    case Target::kOwnDescriptor: {
        // The descriptor is this process's already, whatever it is open on
        // (a socket, say, which no open reaches), so only the links that
        // lead to it are left for the kernel to allow: a path-only open
        // follows them under its rules and touches nothing.
        Descriptor links(::open(path, O_PATH | O_CLOEXEC));
        if (links.get() < 0) return false;
        return write_to_descriptor(target.descriptor, produce);
    }
    case Target::kProcessLink: return write_in_place(path, target, produce);
    case Target::kEntry:
        // Decided by what the path leads to: a device or FIFO cannot be
        // renamed over; a directory is refused by the kernel's open.
        if (target.exists && !S_ISREG(target.entry.st_mode) && !S_ISDIR(target.entry.st_mode))
            return write_in_place(path, target, produce);
        return replace(path, target, produce);
    }
    errno = EINVAL;
    return false;
}

}  // namespace som_internal
