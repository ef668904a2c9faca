// What the fast paths share: the choice of kernels, the thread cap and the
// packed layout of the weights.
#include "som/engine/engine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "som/base/checked_size.h"

namespace som_engine {

namespace {

// The wide kernels are compiled for x86-64 only; elsewhere the generic ones,
// plain vector code, serve.
#if defined(__x86_64__)
bool avx512_usable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}
// The AVX2 kernels also use fused multiply-add (as an exact subtraction).
bool avx2_usable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
#else
bool avx512_usable() { return false; }
bool avx2_usable() { return false; }
#endif

// The implementations this CPU can run, widest first; "auto" takes the
// first. Built once, race-free, on first use.
struct Available {
    const Kernels *list[3];
    size_t count = 0;
    Available() {
        if (avx512_usable()) list[count++] = &avx512_kernels();
        if (avx2_usable()) list[count++] = &avx2_kernels();
        list[count++] = &generic_kernels();
    }
};

const Available &available() {
    static const Available table;
    return table;
}

// Null until the first call picks the default; each later store replaces
// the whole choice at once.
std::atomic<const Kernels *> selected{nullptr};

// 0: one thread per hardware thread.
std::atomic<unsigned> thread_cap{0};

}  // namespace

const Kernels &active() {
    const Kernels *kernels = selected.load(std::memory_order_acquire);
    if (kernels == nullptr) {
        const Kernels *fallback = available().list[0];
        // Another thread may have chosen meanwhile: its choice stands.
        selected.compare_exchange_strong(kernels, fallback, std::memory_order_acq_rel);
        if (kernels == nullptr) kernels = fallback;
    }
    return *kernels;
}

size_t worker_count(size_t work) {
    // Threads only pay off once a call has enough arithmetic to share, and
    // never beyond one per hardware thread: a cap is a limit, not a request
    // (som_set_max_threads(UINT_MAX) means "no limit").
    if (work < (size_t{1} << 14)) return 1;
    const unsigned hardware = std::thread::hardware_concurrency();
    return std::min<size_t>(som_max_threads(), hardware == 0 ? 1 : hardware);
}

double *allocate_packed(size_t blocks, size_t n) {
    size_t values, bytes;
    if (!som_checked_mul(blocks, kLanes, &values) || !som_checked_mul(values, n, &values) ||
        !som_checked_mul(values, sizeof(double), &bytes) || !som_checked_add(bytes, 63, &bytes))
        return nullptr;
    // aligned_alloc wants a multiple of the alignment, and never zero.
    bytes = bytes < 64 ? 64 : bytes / 64 * 64;
    return static_cast<double *>(std::aligned_alloc(64, bytes));
}

PackedGrid::~PackedGrid() { std::free(weights); }

bool PackedGrid::pack(const som_network *network) {
    const som_output_layer *grid = network->output_layer;
    const size_t Y = grid->neurons_count_y;
    n = network->input_layer->neurons_count;
    neurons = grid->neurons_count_x * Y;
    blocks = block_count(neurons);
    weights = allocate_packed(blocks, n);
    if (weights == nullptr) return false;
    for (size_t b = 0; b < blocks; ++b)
        for (size_t lane = 0; lane < kLanes; ++lane) {
            const size_t p = b * kLanes + lane;
            som_synapse *const *synapses = p < neurons ? grid->neurons[p / Y][p % Y]->synapses : nullptr;
            for (size_t k = 0; k < n; ++k)
                weights[(b * n + k) * kLanes + lane] = synapses ? synapses[k]->weight : NAN;
        }
    return true;
}

void PackedGrid::unpack(som_network *network) const {
    const som_output_layer *grid = network->output_layer;
    const size_t Y = grid->neurons_count_y;
    for (size_t p = 0; p < neurons; ++p) {
        som_synapse *const *synapses = grid->neurons[p / Y][p % Y]->synapses;
        for (size_t k = 0; k < n; ++k)
            synapses[k]->weight = weights[((p / kLanes) * n + k) * kLanes + p % kLanes];
    }
}

}  // namespace som_engine

using namespace som_engine;

extern "C" {

void som_set_max_threads(unsigned threads) { thread_cap.store(threads, std::memory_order_relaxed); }

unsigned som_max_threads(void) {
    const unsigned cap = thread_cap.load(std::memory_order_relaxed);
    if (cap != 0) return cap;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? 1 : hardware;
}

int som_engine_select(const char *name) {
    const Available &table = available();
    if (name == nullptr || std::strcmp(name, "auto") == 0) {
        selected.store(table.list[0], std::memory_order_release);
        return 0;
    }
    for (size_t k = 0; k < table.count; ++k)
        if (std::strcmp(name, table.list[k]->name) == 0) {
            selected.store(table.list[k], std::memory_order_release);
            return 0;
        }
    return -1;
}

const char *som_engine_name(void) { return active().name; }

}  // extern "C"
