// Map files: a 40-byte header (saved_at, time_constant, n, x, y) followed by
// x*y*n weights, every field the raw 8-byte host image of its value.
#include "som.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "checked_size.h"
#include "network_internal.h"

namespace {

static_assert(sizeof(time_t) == 8, "map files store saved_at as 8 bytes");
static_assert(sizeof(double) == 8 && sizeof(uint64_t) == 8, "map fields are 8 bytes");

// Writes everything or reports failure; retries short writes and EINTR.
bool write_all(int fd, const void *data, size_t size) {
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t written = ::write(fd, bytes, size);
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

// Reads until `size` bytes or the end of the file; returns the bytes read,
// or -1 on a read error.
ssize_t read_full(int fd, void *data, size_t size) {
    char *bytes = static_cast<char *>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t got = ::read(fd, bytes + done, size - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

void put_field(std::vector<unsigned char> &buffer, const void *field) {
    const unsigned char *bytes = static_cast<const unsigned char *>(field);
    buffer.insert(buffer.end(), bytes, bytes + 8);
}

// Writes the header and weights through a buffer of about a megabyte.
bool write_map(int fd, const som_network *network) {
    const som_output_layer *grid = network->output_layer;
    const uint64_t n = network->input_layer->neurons_count;
    const uint64_t x = grid->neurons_count_x, y = grid->neurons_count_y;
    std::vector<unsigned char> buffer;
    buffer.reserve(1 << 20);
    put_field(buffer, &network->saved_at);
    put_field(buffer, &network->time_constant);
    put_field(buffer, &n);
    put_field(buffer, &x);
    put_field(buffer, &y);
    for (size_t i = 0; i < x; ++i) {
        for (size_t j = 0; j < y; ++j) {
            const som_neuron *out = grid->neurons[i][j];
            for (size_t k = 0; k < out->synapses_count; ++k) {
                put_field(buffer, &out->synapses[k]->weight);
                if (buffer.size() >= (1 << 20)) {
                    if (!write_all(fd, buffer.data(), buffer.size())) return false;
                    buffer.clear();
                }
            }
        }
    }
    return write_all(fd, buffer.data(), buffer.size());
}

// Follows a chain of symbolic links to the path that a save must replace, so
// that the link itself survives. A dangling link resolves to where it points.
bool resolve_links(std::string &path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
        std::vector<char> target(static_cast<size_t>(PATH_MAX) + 1);
        ssize_t length = ::readlink(path.c_str(), target.data(), PATH_MAX);
        if (length < 0) return false;
        std::string link(target.data(), static_cast<size_t>(length));
        if (!link.empty() && link[0] == '/') {
            path = link;
        } else {
            size_t slash = path.rfind('/');
            path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
        }
    }
    errno = ELOOP;
    return false;
}

std::string directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Devices and FIFOs cannot be renamed over: write into them as they are.
int save_in_place(som_network *network, const char *path) {
    int fd = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return -1;
    network->saved_at = std::time(nullptr);
    bool ok = write_map(fd, network);
    int saved_errno = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved_errno = errno;
    }
    errno = saved_errno;
    return ok ? 0 : -1;
}

mode_t default_file_mode() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666) & ~mask;
}

}  // namespace

namespace {

// Holds SIGINT, SIGTERM, SIGHUP and SIGQUIT back for the life of a save, so
// that an interrupt lands after the temporary file has been renamed or
// removed: the map on disk is the old one or the new one, and no temporary
// file is left behind.
class InterruptsHeld {
  public:
    InterruptsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, signal);
        pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~InterruptsHeld() {
        int saved_errno = errno;
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = saved_errno;
    }

  private:
    sigset_t previous_;
};

int save(som_network *network, const char *path);

}  // namespace

extern "C" int som_save(som_network *network, const char *path) {
    if (network == nullptr || path == nullptr || path[0] == '\0') {
        errno = EINVAL;
        return -1;
    }
    return save(network, path);
}

namespace {

int save(som_network *network, const char *path) {
    std::string target = path;
    if (!resolve_links(target)) return -1;

    struct stat existing;
    bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    // Interrupts are not held for a device or FIFO: there is no old map to
    // protect there, and opening a FIFO waits for a reader, which only an
    // interrupt may end.
    if (exists && !S_ISREG(existing.st_mode)) return save_in_place(network, target.c_str());
    InterruptsHeld held;

    // A sibling temporary file is renamed over the target only once it holds
    // the whole map on disk, so a failure leaves the old map as it was.
    std::string directory = directory_of(target);
    std::string base = target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    // The temporary name must fit the file-name limit even when the map's
    // own name nearly fills it.
    std::string temporary = directory + "/." + base.substr(0, 200) + ".somap-XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -1;

    network->saved_at = std::time(nullptr);
    mode_t mode = exists ? (existing.st_mode & 07777) : default_file_mode();
    bool ok = ::fchmod(fd, mode) == 0 && write_map(fd, network) && ::fsync(fd) == 0;
    int saved_errno = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved_errno = errno;
    }
    if (ok && ::rename(name.data(), target.c_str()) != 0) {
        ok = false;
        saved_errno = errno;
    }
    if (!ok) {
        ::unlink(name.data());
        errno = saved_errno;
        return -1;
    }
    // Make the rename itself durable; a failure here loses no data.
    int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return 0;
}

}  // namespace

namespace {

struct map_header {
    int64_t saved_at;
    double time_constant;
    uint64_t n, x, y;
};

// A short file must not make the loader allocate far more than it holds:
// weights cost 8 bytes on file, and with at least one input and one neuron
// the network needs at most 31 bytes of memory per byte of them (n = 1 with
// one-column rows costs about 22), so 32 times the file accepts every such
// map. What it refuses is a header declaring many neurons or inputs with no
// weights to back them (no inputs, or a zero grid dimension beside a huge
// one), beyond a fixed allowance that covers every small map.
constexpr uint64_t kMemoryPerFileByte = 32;
constexpr uint64_t kMemoryAllowance = uint64_t{64} << 20;

bool memory_justified(size_t needed, uint64_t file_bytes) {
    uint64_t limit;
    if (__builtin_mul_overflow(file_bytes, kMemoryPerFileByte, &limit) ||
        __builtin_add_overflow(limit, kMemoryAllowance, &limit))
        return true;
    return static_cast<uint64_t>(needed) <= limit;
}

// Reads the weights into a buffer that only grows as data actually arrives,
// so a header that claims more than the file holds never causes a large
// allocation, even where the file's size is unknown (a pipe).
bool read_weights(int fd, size_t count, std::vector<double> &weights) {
    size_t done = 0;
    while (done < count) {
        size_t chunk = count - done;
        size_t cap = done < (1u << 16) ? (1u << 16) : done;
        if (chunk > cap) chunk = cap;
        weights.resize(done + chunk);
        ssize_t got = read_full(fd, weights.data() + done, chunk * sizeof(double));
        if (got < 0 || static_cast<size_t>(got) != chunk * sizeof(double)) return false;
        done += chunk;
    }
    return true;
}

som_network *load_from(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) return nullptr;

    unsigned char raw[SOM_MAP_HEADER_BYTES];
    if (read_full(fd, raw, sizeof raw) != static_cast<ssize_t>(sizeof raw)) return nullptr;
    map_header header;
    std::memcpy(&header.saved_at, raw + 0, 8);
    std::memcpy(&header.time_constant, raw + 8, 8);
    std::memcpy(&header.n, raw + 16, 8);
    std::memcpy(&header.x, raw + 24, 8);
    std::memcpy(&header.y, raw + 32, 8);

    // A saved map carries either "not computed" (either zero) or the positive
    // constant its training computed; anything else is damage.
    if (std::isnan(header.time_constant) || std::isinf(header.time_constant) ||
        header.time_constant < 0.0)
        return nullptr;

    size_t grid, count, bytes, total;
    if (!som_checked_mul(header.x, header.y, &grid) || !som_checked_mul(grid, header.n, &count) ||
        !som_checked_mul(count, sizeof(double), &bytes) ||
        !som_checked_add(bytes, SOM_MAP_HEADER_BYTES, &total))
        return nullptr;
    if (S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) < total) return nullptr;
    size_t needed;
    if (!som_network_memory(header.n, header.x, header.y, &needed)) return nullptr;
    // A pipe has no size, but the network is built only once all `total`
    // bytes have arrived, so `total` is then the bytes actually read.
    const uint64_t file_bytes = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : total;
    if (!memory_justified(needed, file_bytes)) return nullptr;

    std::vector<double> weights;
    if (!read_weights(fd, count, weights)) return nullptr;

    som_network *network =
        som_network_build(header.n, header.x, header.y, count ? weights.data() : nullptr);
    if (network == nullptr) return nullptr;
    network->saved_at = static_cast<time_t>(header.saved_at);
    network->time_constant = header.time_constant;
    return network;
}

}  // namespace

extern "C" som_network *som_load(const char *path) {
    if (path == nullptr) return nullptr;
    // Non-blocking open so that a FIFO without a writer reads as empty
    // instead of hanging the run; reads themselves block as usual.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    som_network *network = load_from(fd);
    ::close(fd);
    return network;
}
