// Map files: a 40-byte header (saved_at, time_constant, n, x, y) followed by
// x*y*n weights, every field the raw 8-byte host image of its value.
#include "som/som.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "som/base/checked_size.h"
#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/base/status.h"
#include "som/io/descriptor_io.h"
#include "som/io/map_bytes.h"
#include "som/io/whole_file.h"
#include "som/model/network_internal.h"

namespace {

static_assert(sizeof(time_t) == 8, "map files store saved_at as 8 bytes");
static_assert(sizeof(double) == 8 && sizeof(uint64_t) == 8, "map fields are 8 bytes");

// Hands the header and weights to `flush` through a buffer of a megabyte,
// each field the 8-byte image of its value; false as soon as flush fails.
template <typename Flush>
bool write_map(const som_network *network, Flush &&flush) {
    const som_output_layer *grid = network->output_layer;
    const uint64_t n = network->input_layer->neurons_count;
    const uint64_t x = grid->neurons_count_x, y = grid->neurons_count_y;
    constexpr size_t kFields = size_t{1} << 17;
    std::vector<uint64_t> buffer(kFields);
    size_t used = 0;
    auto put = [&](const void *field) { std::memcpy(&buffer[used++], field, 8); };
    put(&network->saved_at);
    put(&network->time_constant);
    put(&n);
    put(&x);
    put(&y);
    for (size_t i = 0; i < x; ++i) {
        for (size_t j = 0; j < y; ++j) {
            som_synapse *const *synapses = grid->neurons[i][j]->synapses;
            for (size_t k = 0; k < n; ++k) {
                put(&synapses[k]->weight);
                if (used == kFields) {
                    if (!flush(buffer.data(), used * 8)) return false;
                    used = 0;
                }
            }
        }
    }
    return flush(buffer.data(), used * 8);
}

}  // namespace

extern "C" int som_save(som_network *network, const char *path) {
    if (path == nullptr || path[0] == '\0' || som_network_check(network) != SOM_OK) return SOM_ERROR_INVALID;
    return som_internal::guarded([&] {
        // saved_at changes only once the file can be written, and goes back
        // when the save fails, so a failed save leaves the network as it was.
        const time_t previous = network->saved_at;
        const bool written = som_internal::write_whole_file(path, [&](int fd) {
            network->saved_at = std::time(nullptr);
            return write_map(network, [fd](const void *data, size_t size) {
                return som_internal::write_all(fd, data, size);
            });
        });
        if (!written) {
            network->saved_at = previous;
            return SOM_ERROR_SYSTEM;
        }
        return SOM_OK;
    });
}

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

// Where a map is read from. read() gives up to `size` bytes, fewer only at
// the end, or -1 on a read error.
struct DescriptorSource {
    int fd;
    ssize_t read(void *data, size_t size) { return som_internal::read_full(fd, data, size); }
};

struct MemorySource {
    const unsigned char *data;
    size_t size;
    size_t used = 0;
    ssize_t read(void *out, size_t want) {
        const size_t give = std::min(want, size - used);
        if (give > 0) std::memcpy(out, data + used, give);
        used += give;
        return static_cast<ssize_t>(give);
    }
};

// Reads the weights into a buffer that only grows as data actually arrives,
// so a header that claims more than the file holds never causes a large
// allocation, even where the file's size is unknown (a pipe). SOM_OK,
// SOM_ERROR_FORMAT when the file ends first, SOM_ERROR_SYSTEM on a read
// error.
template <typename Source>
int read_weights(Source &source, size_t count, std::vector<double> &weights) {
    size_t done = 0;
    while (done < count) {
        size_t chunk = count - done;
        size_t cap = done < (1u << 16) ? (1u << 16) : done;
        if (chunk > cap) chunk = cap;
        weights.resize(done + chunk);
        ssize_t got = source.read(weights.data() + done, chunk * sizeof(double));
        if (got < 0) return SOM_ERROR_SYSTEM;
        if (static_cast<size_t>(got) != chunk * sizeof(double)) return SOM_ERROR_FORMAT;
        done += chunk;
    }
    return SOM_OK;
}

// The largest iteration number training can reach, as training converts it
// to double: the C library and the Python module take any size_t iteration
// count, so t goes up to 2^64 - 1, which rounds to 2^64 (the command line's
// -i stops at 2^31 - 1).
constexpr double kLastIteration = 0x1p64;

// A saved map carries either "not computed" (either zero) or the positive
// constant its training computed. Anything else is damage: NaN, infinite
// or negative, or so small that t / T overflows for some iteration t a
// caller can ask for and training would turn every weight into NaN. t / T
// grows with t, so the largest t decides.
bool usable_time_constant(double T) {
    if (std::isnan(T) || std::isinf(T) || T < 0.0) return false;
    return T == 0.0 || std::isfinite(kLastIteration / T);
}

// The map `source` holds. `sized`: the bytes left in it are known
// (`available`), as in a regular file or memory, and a header declaring more
// is refused before anything is read or allocated for it.
template <typename Source>
int read_map(Source &source, bool sized, uint64_t available, som_network **out) {
    unsigned char raw[SOM_MAP_HEADER_BYTES];
    const ssize_t got = source.read(raw, sizeof raw);
    if (got < 0) return SOM_ERROR_SYSTEM;
    if (got != static_cast<ssize_t>(sizeof raw)) return SOM_ERROR_FORMAT;
    map_header header;
    std::memcpy(&header.saved_at, raw + 0, 8);
    std::memcpy(&header.time_constant, raw + 8, 8);
    std::memcpy(&header.n, raw + 16, 8);
    std::memcpy(&header.x, raw + 24, 8);
    std::memcpy(&header.y, raw + 32, 8);
    if (!usable_time_constant(header.time_constant)) return SOM_ERROR_FORMAT;

    size_t grid, count, bytes, total;
    if (!som_checked_mul(header.x, header.y, &grid) || !som_checked_mul(grid, header.n, &count) ||
        !som_checked_mul(count, sizeof(double), &bytes) ||
        !som_checked_add(bytes, SOM_MAP_HEADER_BYTES, &total))
        return SOM_ERROR_TOO_LARGE;
    if (sized && available < total) return SOM_ERROR_FORMAT;
    size_t needed;
    if (!som_network_memory(header.n, header.x, header.y, &needed)) return SOM_ERROR_TOO_LARGE;
    // A pipe has no size, but the network is built only once all `total`
    // bytes have arrived, so `total` is then the bytes actually read.
    if (!memory_justified(needed, sized ? available : total)) return SOM_ERROR_TOO_LARGE;
    // A file may really be as large as its header says (a sparse one costs
    // nothing on disk) and still hold a network no machine here can: the
    // network and the buffer the weights are read into must fit in
    // physical memory, as creation demands, before a single weight is read.
    if (!som_network_fits(header.n, header.x, header.y, bytes)) return SOM_ERROR_TOO_LARGE;

    std::vector<double> weights;
    const int status = read_weights(source, count, weights);
    if (status != SOM_OK) return status;

    som_network *network = som_network_build(header.n, header.x, header.y, count ? weights.data() : nullptr);
    if (network == nullptr) return SOM_ERROR_MEMORY;
    network->saved_at = static_cast<time_t>(header.saved_at);
    network->time_constant = header.time_constant;
    *out = network;
    return SOM_OK;
}

int load_from(int fd, som_network **out) {
    struct stat info;
    if (::fstat(fd, &info) != 0) return SOM_ERROR_SYSTEM;
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return SOM_ERROR_SYSTEM;
    }
    // A regular file says how much is left from where the map starts.
    uint64_t file_bytes = 0;
    if (S_ISREG(info.st_mode)) {
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        file_bytes = at >= 0 && at <= info.st_size ? static_cast<uint64_t>(info.st_size - at) : 0;
    }
    DescriptorSource source{fd};
    return read_map(source, S_ISREG(info.st_mode), file_bytes, out);
}

som_network *finish_load(int status, som_network *network, int *status_out) {
    if (status_out != nullptr) *status_out = status;
    return status == SOM_OK ? network : nullptr;
}

}  // namespace

extern "C" {

som_network *som_load_fd(int fd, int *status) {
    // The check of the time constant divides.
    som_internal::DefaultFloatingPoint environment;
    som_network *network = nullptr;
    const int result = fd < 0 ? SOM_ERROR_INVALID : som_internal::guarded([&] { return load_from(fd, &network); });
    return finish_load(result, network, status);
}

som_network *som_load_status(const char *path, int *status) {
    if (path == nullptr) return finish_load(SOM_ERROR_INVALID, nullptr, status);
    // Non-blocking open so that a FIFO without a writer reads as empty
    // instead of hanging the run; reads themselves block as usual.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return finish_load(SOM_ERROR_SYSTEM, nullptr, status);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    som_network *network = som_load_fd(fd, status);
    const int saved_errno = errno;
    ::close(fd);
    errno = saved_errno;
    return network;
}

som_network *som_load(const char *path) { return som_load_status(path, nullptr); }

}  // extern "C"

int som_internal::map_bytes(const som_network *network, std::string &out) {
    if (som_network_check(network) != SOM_OK) return SOM_ERROR_INVALID;
    return guarded([&] {
        std::string bytes;
        write_map(network, [&bytes](const void *data, size_t size) {
            bytes.append(static_cast<const char *>(data), size);
            return true;
        });
        out.swap(bytes);
        return SOM_OK;
    });
}

som_network *som_internal::map_from_bytes(const void *data, size_t size, int *status) {
    if (data == nullptr && size > 0) return finish_load(SOM_ERROR_INVALID, nullptr, status);
    // As for som_load_fd: the check of the time constant divides.
    DefaultFloatingPoint environment;
    MemorySource source{static_cast<const unsigned char *>(data), size};
    som_network *network = nullptr;
    int result = guarded([&] { return read_map(source, true, size, &network); });
    if (result == SOM_OK && source.used != size) {
        som_network_destroy(network);
        network = nullptr;
        result = SOM_ERROR_FORMAT;
    }
    return finish_load(result, network, status);
}
