// The map loader on arbitrary files. Whatever it accepts must be the map the
// file describes: saved again, it gives the same bytes except the saved-at
// field (which a save sets) and anything after the declared weights (which a
// load ignores). And no accepted header may make the network larger than
// the file justifies, nor the memory actually taken larger than the
// library's own estimate, which both that rule and creation rely on.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "som/som.h"

#if defined(__SANITIZE_ADDRESS__)
#define SOMAP_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOMAP_FUZZ_ASAN 1
#endif
#endif

#ifdef SOMAP_FUZZ_ASAN
// Part of every sanitizer runtime; GCC ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#else
#include <malloc.h>
#endif

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_map_loader: %s\n", what);
    std::abort();
}

// Heap bytes in use, as the allocator in force counts them.
size_t heap_in_use() {
#ifdef SOMAP_FUZZ_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    // Large blocks are mapped on their own and counted apart.
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// The input goes to an anonymous memory file loaded through its /proc path:
// a regular file with a size, as a map on disk is, without touching the disk.
// Saves go to a private directory in memory where there is one, as a real
// save does, rename and all.
struct Files {
    int input_fd = -1;
    std::string input_path;
    std::string directory;
    std::string output_path;

    Files() {
        input_fd = memfd_create("somap-fuzz-map", MFD_CLOEXEC);
        if (input_fd < 0) fail("memfd_create failed");
        input_path = "/proc/self/fd/" + std::to_string(input_fd);
        const char *const bases[] = {"/dev/shm", std::getenv("TMPDIR"), "/tmp"};
        for (const char *base : bases) {
            if (base == nullptr || base[0] == '\0') continue;
            std::string pattern = std::string(base) + "/somap-fuzz-XXXXXX";
            if (mkdtemp(pattern.data()) != nullptr) {
                directory = pattern;
                break;
            }
        }
        if (directory.empty()) fail("no temporary directory");
        output_path = directory + "/map";
    }
    ~Files() {
        unlink(output_path.c_str());
        rmdir(directory.c_str());
        close(input_fd);
    }
};

Files &files() {
    static Files instance;
    return instance;
}

void write_input(int fd, const uint8_t *data, size_t size) {
    if (ftruncate(fd, 0) != 0) fail("ftruncate failed");
    size_t done = 0;
    while (done < size) {
        ssize_t wrote = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (wrote <= 0) fail("pwrite failed");
        done += static_cast<size_t>(wrote);
    }
}

std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint64_t field(const uint8_t *data, size_t offset) {
    uint64_t value;
    std::memcpy(&value, data + offset, 8);
    return value;
}

// The topology som_network_new builds: synapse k of every output neuron
// joins input neuron k, and every input neuron lists its synapses in
// row-major order of the output neurons.
void check_wiring(const som_network *network) {
    const som_input_layer *inputs = network->input_layer;
    const som_output_layer *grid = network->output_layer;
    const size_t n = inputs->neurons_count;
    size_t position = 0;
    for (size_t i = 0; i < grid->neurons_count_x; ++i) {
        for (size_t j = 0; j < grid->neurons_count_y; ++j, ++position) {
            const som_neuron *out = grid->neurons[i][j];
            if (out->synapses_count != n) fail("an output neuron has the wrong synapse count");
            for (size_t k = 0; k < n; ++k) {
                const som_synapse *synapse = out->synapses[k];
                if (synapse->neuron_out != out || synapse->neuron_in != inputs->neurons[k] ||
                    inputs->neurons[k]->synapses[position] != synapse)
                    fail("a synapse joins the wrong neurons");
            }
        }
    }
    for (size_t k = 0; k < n; ++k)
        if (inputs->neurons[k]->synapses_count != position)
            fail("an input neuron has the wrong synapse count");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Files &f = files();
    write_input(f.input_fd, data, size);

    const size_t heap_before = heap_in_use();
    som_network *network = som_load(f.input_path.c_str());
    const size_t heap_after = heap_in_use();
    if (network == nullptr) return 0;

    if (size < SOM_MAP_HEADER_BYTES) fail("accepted a file shorter than the header");
    const uint64_t n = field(data, 16), x = field(data, 24), y = field(data, 32);
    if (network->input_layer->neurons_count != n || network->output_layer->neurons_count_x != x ||
        network->output_layer->neurons_count_y != y)
        fail("sizes differ from the header");
    uint64_t count = 0, declared = 0;
    if (__builtin_mul_overflow(n, x, &count) || __builtin_mul_overflow(count, y, &count) ||
        __builtin_mul_overflow(count, uint64_t{8}, &declared) ||
        __builtin_add_overflow(declared, uint64_t{SOM_MAP_HEADER_BYTES}, &declared))
        fail("accepted sizes whose byte count overflows");
    if (declared > size) fail("accepted a file shorter than its weights");
    const double time_constant = network->time_constant;
    if (!std::isfinite(time_constant) || time_constant < 0.0)
        fail("accepted a NaN, infinite or negative time constant");
    // t / T for the largest iteration count the library takes, 2^64 - 1.
    if (time_constant != 0.0 && !std::isfinite(0x1p64 / time_constant))
        fail("accepted a time constant too small for some iteration count");
    check_wiring(network);
    if (static_cast<uint64_t>(network->saved_at) != field(data, 0)) fail("saved_at differs");

    size_t estimate = 0;
    if (!som_network_memory(n, x, y, &estimate)) fail("accepted a network whose size overflows");
    // 32 bytes per byte of file plus 64 MiB, as the loader documents.
    if (estimate > 32 * static_cast<uint64_t>(size) + (uint64_t{64} << 20))
        fail("accepted a network larger than the file justifies");
    if (heap_after > heap_before && heap_after - heap_before > estimate)
        fail("the network took more memory than its estimate");

    if (som_save(network, f.output_path.c_str()) != 0) fail("saving an accepted map failed");
    const int64_t saved_at = static_cast<int64_t>(network->saved_at);
    som_network_destroy(network);

    const std::string saved = read_all(f.output_path);
    if (saved.size() != declared) fail("saved size differs from the declared size");
    if (std::memcmp(saved.data(), &saved_at, 8) != 0) fail("saved_at field is not the save time");
    if (std::memcmp(saved.data() + 8, data + 8, declared - 8) != 0)
        fail("saved bytes differ from the loaded file");
    return 0;
}
