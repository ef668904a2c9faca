// The fast paths behind som_train, som_init_weights and som_find_winners:
// packing, the training driver, threads and the choice of kernels.
#include "engine.h"

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <climits>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "checked_size.h"
#include "network_internal.h"
#include "som.h"

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

const Kernels *best_supported() {
    if (avx512_usable()) return &avx512_kernels();
    if (avx2_usable()) return &avx2_kernels();
    return &generic_kernels();
}

// Tells the core that this thread is spinning.
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Sleeps while *word holds `value`, or wakes one sleeper; where there is no
// futex, the sleeper polls.
void wait_on(std::atomic<uint32_t> &word, uint32_t value) {
#if defined(__linux__)
    syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
#else
    while (word.load(std::memory_order_seq_cst) == value) std::this_thread::yield();
#endif
}

void wake_one(std::atomic<uint32_t> &word) {
#if defined(__linux__)
    syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#else
    (void)word;
#endif
}

const Kernels *selected = nullptr;

}  // namespace

const Kernels &active() {
    if (selected == nullptr) selected = best_supported();
    return *selected;
}

namespace {

size_t block_count(size_t neurons) { return (neurons + kLanes - 1) / kLanes; }

size_t worker_count(size_t work) {
    // Threads only pay off once a call has enough arithmetic to share.
    if (work < (size_t{1} << 14)) return 1;
    unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? 1 : hardware;
}

// Runs body(part, parts) on `parts` threads, the calling one included.
// Parts are independent, so a thread the system refuses (a process or
// memory limit) only means the calling thread runs that part itself.
template <typename Body>
void run_parallel(size_t parts, Body body) {
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(parts);
        for (size_t p = 1; p < parts; ++p) helpers.emplace_back(body, p, parts);
    } catch (const std::exception &) {
    }
    body(0, parts);
    for (size_t p = 1 + helpers.size(); p < parts; ++p) body(p, parts);
    for (std::thread &helper : helpers) helper.join();
}

// Weights of the whole grid in block layout. Padding lanes hold NaN, whose
// distance never wins and is never 0.0.
struct PackedGrid {
    size_t n = 0, neurons = 0, blocks = 0;
    double *weights = nullptr;

    ~PackedGrid() { std::free(weights); }

    bool pack(const som_network *network) {
        const som_output_layer *grid = network->output_layer;
        n = network->input_layer->neurons_count;
        neurons = grid->neurons_count_x * grid->neurons_count_y;
        blocks = block_count(neurons);
        size_t values, bytes;
        if (!som_checked_mul(blocks * kLanes, n, &values) ||
            !som_checked_mul(values, sizeof(double), &bytes))
            return false;
        weights = static_cast<double *>(std::aligned_alloc(64, bytes == 0 ? 64 : (bytes + 63) / 64 * 64));
        if (weights == nullptr) return false;
        for (size_t b = 0; b < blocks; ++b)
            for (size_t k = 0; k < n; ++k)
                for (size_t lane = 0; lane < kLanes; ++lane) {
                    size_t p = b * kLanes + lane;
                    weights[(b * n + k) * kLanes + lane] = p < neurons ? synapse(network, p, k)->weight : NAN;
                }
        return true;
    }

    void unpack(som_network *network) const {
        for (size_t p = 0; p < neurons; ++p)
            for (size_t k = 0; k < n; ++k)
                synapse(network, p, k)->weight = weights[((p / kLanes) * n + k) * kLanes + p % kLanes];
    }

    static som_synapse *synapse(const som_network *network, size_t p, size_t k) {
        const som_output_layer *grid = network->output_layer;
        size_t y = grid->neurons_count_y;
        return grid->neurons[p / y][p % y]->synapses[k];
    }
};

// The earlier range holds the smaller indices, so it keeps ties.
Nearest combine(const Nearest &earlier, const Nearest &later) {
    Nearest out = earlier;
    if (later.index != SIZE_MAX && (earlier.index == SIZE_MAX || later.distance < earlier.distance)) {
        out.distance = later.distance;
        out.index = later.index;
    }
    out.any_zero = earlier.any_zero || later.any_zero;
    return out;
}

// A second thread that helps with every pass over the grid during one
// training call. A pass is cut into chunks of blocks that either thread
// claims from a shared word, so the caller never waits for a partner that
// the scheduler has not run: it takes the unclaimed chunks itself and waits
// only for a chunk already in the partner's hands. The caller claims from
// the front and the partner from the back, so each keeps working on the same
// weights pass after pass (in its own core's cache) and only chunks near
// where they meet change hands. The chunks' results are combined in chunk
// order, so who ran which chunk changes no bit.
class TrainingTeam {
  public:
    TrainingTeam(const Kernels &kernels, PackedGrid &grid, const uint32_t *index_sum,
                 const int64_t *block_first_sum)
        : kernels_(kernels), grid_(grid), index_sum_(index_sum), block_first_sum_(block_first_sum),
          chunks_(grid.blocks < kMaxChunks ? grid.blocks : kMaxChunks), thread_([this] { serve(); }) {}

    ~TrainingTeam() {
        stop_.store(true, std::memory_order_relaxed);
        publish((claim_.load(std::memory_order_relaxed) >> 32) + 1);
        thread_.join();
    }

    // factor_by_sum null: a plain winner search; otherwise update and measure.
    Nearest pass(const double *x, const double *factor_by_sum) {
        x_ = x;
        factor_by_sum_ = factor_by_sum;
        completed_.store(0, std::memory_order_relaxed);
        const uint64_t epoch = (claim_.load(std::memory_order_relaxed) >> 32) + 1;
        publish(epoch);
        work(epoch, true);
        for (unsigned spins = 0; completed_.load(std::memory_order_acquire) != chunks_; ++spins) {
            if (spins < 4096) spin_pause();
            else std::this_thread::yield();
        }
        Nearest out = results_[0].value;
        for (size_t c = 1; c < chunks_; ++c) out = combine(out, results_[c].value);
        return out;
    }

  private:
    // Every claim and completion is an atomic operation on a line both cores
    // write, a round trip between them; on a 40 x 40 grid of 64 inputs (a
    // pass of about 10 us) 32 chunks cost a third of the time, 4 balance
    // well enough (measured: 65-72 ms against 72-99 ms for 200 vectors).
    static constexpr size_t kMaxChunks = 4;

    // The claim word: epoch << 32 | front << 16 | back; chunks [front, back)
    // are unclaimed.
    static uint64_t front_of(uint64_t word) { return (word >> 16) & 0xffff; }
    static uint64_t back_of(uint64_t word) { return word & 0xffff; }

    void publish(uint64_t epoch) {
        claim_.store(epoch << 32 | chunks_, std::memory_order_seq_cst);
        if (sleeping_.load(std::memory_order_seq_cst)) wake_one(wake_word_);
        wake_word_.fetch_add(1, std::memory_order_seq_cst);
        if (sleeping_.load(std::memory_order_seq_cst)) wake_one(wake_word_);
    }

    // Runs chunks of this epoch, from the front or from the back, until none
    // is left unclaimed.
    void work(uint64_t epoch, bool from_front) {
        uint64_t word = claim_.load(std::memory_order_acquire);
        for (;;) {
            if ((word >> 32) != epoch || front_of(word) >= back_of(word)) return;
            const uint64_t claimed = from_front ? word + (uint64_t{1} << 16) : word - 1;
            if (!claim_.compare_exchange_weak(word, claimed, std::memory_order_acq_rel)) continue;
            const size_t chunk = from_front ? front_of(word) : back_of(word) - 1;
            const size_t begin = grid_.blocks * chunk / chunks_, end = grid_.blocks * (chunk + 1) / chunks_;
            results_[chunk].value =
                factor_by_sum_ == nullptr
                    ? kernels_.nearest(grid_.weights, grid_.n, begin, end, x_)
                    : kernels_.update_nearest(grid_.weights, grid_.n, begin, end, x_, factor_by_sum_,
                                              index_sum_, block_first_sum_);
            completed_.fetch_add(1, std::memory_order_acq_rel);
            word = claim_.load(std::memory_order_acquire);
        }
    }

    void serve() {
        uint64_t seen = 0;
        for (;;) {
            // Between passes the caller does only a little scalar work, so a
            // short spin usually catches the next pass; then sleep, so that
            // an idle partner never takes a core from anyone.
            uint64_t epoch = claim_.load(std::memory_order_acquire) >> 32;
            for (int spin = 0; epoch == seen && spin < 512; ++spin) {
                spin_pause();
                epoch = claim_.load(std::memory_order_acquire) >> 32;
            }
            if (epoch == seen) {
                uint32_t ticket = wake_word_.load(std::memory_order_seq_cst);
                sleeping_.store(true, std::memory_order_seq_cst);
                if ((claim_.load(std::memory_order_seq_cst) >> 32) == seen && !stop_.load(std::memory_order_relaxed))
                    wait_on(wake_word_, ticket);
                sleeping_.store(false, std::memory_order_seq_cst);
                continue;
            }
            seen = epoch;
            if (stop_.load(std::memory_order_relaxed)) return;
            work(epoch, false);
        }
    }

    const Kernels &kernels_;
    PackedGrid &grid_;
    const uint32_t *index_sum_;
    const int64_t *block_first_sum_;
    const size_t chunks_;
    // Written by the caller before an epoch is published and read only by a
    // thread that has claimed a chunk of it, after the claim's acquire.
    const double *x_ = nullptr;
    const double *factor_by_sum_ = nullptr;
    struct alignas(64) Slot {
        Nearest value;
    };
    Slot results_[kMaxChunks];
    alignas(64) std::atomic<uint64_t> claim_{0};
    alignas(64) std::atomic<size_t> completed_{0};
    alignas(64) std::atomic<uint32_t> wake_word_{0};
    std::atomic<bool> sleeping_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

}  // namespace som_engine

using namespace som_engine;

extern "C" {

int som_engine_select(const char *name) {
    if (name == nullptr || std::strcmp(name, "auto") == 0) {
        selected = best_supported();
        return 0;
    }
    if (std::strcmp(name, "generic") == 0) {
        selected = &generic_kernels();
        return 0;
    }
    if (std::strcmp(name, "avx2") == 0 && avx2_usable()) {
        selected = &avx2_kernels();
        return 0;
    }
    if (std::strcmp(name, "avx512") == 0 && avx512_usable()) {
        selected = &avx512_kernels();
        return 0;
    }
    return -1;
}

const char *som_engine_name(void) { return active().name; }

void som_train(som_network *network, double **rows, size_t row_count, size_t iterations) {
    som_train_observed(network, rows, row_count, iterations, nullptr, nullptr);
}

void som_train_observed(som_network *network, double **rows, size_t row_count, size_t iterations,
                        som_progress progress, void *context) {
    som_time_constant(network);
    if (row_count == 0 || iterations == 0) return;
    const size_t n = network->input_layer->neurons_count;
    const size_t X = network->output_layer->neurons_count_x;
    const size_t Y = network->output_layer->neurons_count_y;
    // Every vector is presented at least once, so the inputs end holding the
    // last one whatever else happens.
    som_set_inputs(network, rows[row_count - 1]);
    // With no neuron nothing moves; with no input every distance is 0.0, the
    // first neuron wins and its update changes no weight.
    if (X == 0 || Y == 0 || n == 0) return;

    PackedGrid grid;
    // The index-sum differences span [-(X + Y - 2), X + Y - 2].
    const size_t max_sum = X + Y - 2;
    std::vector<double> neighbourhood(2 * max_sum + 1), factor_by_sum(max_sum + 1);
    std::vector<uint32_t> index_sum;
    if (max_sum > UINT32_MAX || !grid.pack(network)) {
        som_train_plain(network, rows, row_count, iterations);
        return;
    }
    index_sum.assign(grid.blocks * kLanes, 0);
    for (size_t p = 0; p < grid.neurons; ++p) index_sum[p] = static_cast<uint32_t>(p / Y + p % Y);
    std::vector<int64_t> block_first_sum(grid.blocks, -1);
    for (size_t b = 0; b < grid.blocks; ++b) {
        size_t first = b * kLanes, last = first + kLanes - 1;
        // Padding lanes read factors past the last real one: keep them inside
        // the table by requiring the whole block within one row.
        if (last < grid.neurons && first / Y == last / Y) block_first_sum[b] = static_cast<int64_t>(index_sum[first]);
    }
    for (size_t e = 0; e <= 2 * max_sum; ++e)
        neighbourhood[e] = som_neighbourhood(static_cast<long long>(e) - static_cast<long long>(max_sum));

    const Kernels &kernels = active();
    std::unique_ptr<TrainingTeam> partner;
    if (worker_count(grid.neurons * n) > 1 && grid.blocks >= 2) {
        // Without a partner thread (the system may refuse one) the caller
        // runs every pass alone, to the same result.
        try {
            partner = std::make_unique<TrainingTeam>(kernels, grid, index_sum.data(), block_first_sum.data());
        } catch (const std::exception &) {
        }
    }
    auto pass = [&](const double *x, const double *factor_by_sum) {
        if (partner) return partner->pass(x, factor_by_sum);
        if (factor_by_sum == nullptr) return kernels.nearest(grid.weights, n, 0, grid.blocks, x);
        return kernels.update_nearest(grid.weights, n, 0, grid.blocks, x, factor_by_sum, index_sum.data(),
                                      block_first_sum.data());
    };

    const double T = network->time_constant;
    if (progress) progress(context, 0, row_count);
    for (size_t r = 0; r < row_count; ++r) {
        const double *x = rows[r];
        Nearest winner = pass(x, nullptr);
        for (size_t t = 1; t <= iterations; ++t) {
            const double lr = som_learning_rate(t, T);
            const size_t w = winner.index == SIZE_MAX ? 0 : winner.index;
            const size_t s = w / Y + w % Y;
            // factor_by_sum[q] is the factor of every neuron whose index sum
            // is q: h(s - q) * lr.
            for (size_t q = 0; q <= max_sum; ++q) factor_by_sum[q] = neighbourhood[s - q + max_sum] * lr;
            // Updating and re-measuring in one pass also yields the next
            // iteration's winner: same vector, same weights.
            winner = pass(x, factor_by_sum.data());
            if (winner.any_zero) break;
        }
        if (progress) progress(context, r + 1, row_count);
    }
    partner.reset();
    grid.unpack(network);
}

void som_find_winners(som_network *network, double **rows, size_t row_count, size_t *winners_i,
                      size_t *winners_j) {
    const size_t n = network->input_layer->neurons_count;
    const size_t Y = network->output_layer->neurons_count_y;
    const size_t neurons = network->output_layer->neurons_count_x * Y;
    if (row_count == 0) return;
    som_set_inputs(network, rows[row_count - 1]);
    std::vector<size_t> winners(row_count, SIZE_MAX);
    PackedGrid grid;
    if (neurons == 0 || n == 0) {
        // An empty grid chooses nothing; without inputs every distance is
        // 0.0 and the first neuron wins: (0, 0) either way.
    } else if (grid.pack(network)) {
        const Kernels &kernels = active();
        size_t parts = worker_count(row_count * neurons * n);
        run_parallel(parts, [&](size_t part, size_t total) {
            size_t begin = row_count * part / total, end = row_count * (part + 1) / total;
            kernels.nearest_batch(grid.weights, n, grid.blocks, rows + begin, end - begin,
                                  winners.data() + begin);
        });
    } else {
        for (size_t r = 0; r < row_count; ++r) {
            size_t i = 0, j = 0;
            som_set_inputs(network, rows[r]);
            som_find_winner(network, &i, &j);
            winners[r] = i * Y + j;
        }
    }
    for (size_t r = 0; r < row_count; ++r) {
        size_t w = winners[r] == SIZE_MAX ? 0 : winners[r];
        winners_i[r] = Y == 0 ? 0 : w / Y;
        winners_j[r] = Y == 0 ? 0 : w % Y;
    }
}

}  // extern "C"

// The pair search of the initialisation, vectorised across the second row
// and split across threads by pair count.
bool som_engine_farthest_pair(double **rows, size_t row_count, size_t n, size_t *first,
                              size_t *second, som_progress progress, void *context) {
    size_t blocks = block_count(row_count), values, bytes;
    if (!som_checked_mul(blocks * kLanes, n, &values) || !som_checked_mul(values, sizeof(double), &bytes))
        return false;
    double *packed = static_cast<double *>(std::aligned_alloc(64, bytes == 0 ? 64 : (bytes + 63) / 64 * 64));
    if (packed == nullptr) return false;
    for (size_t b = 0; b < blocks; ++b)
        for (size_t k = 0; k < n; ++k)
            for (size_t lane = 0; lane < kLanes; ++lane) {
                size_t r = b * kLanes + lane;
                packed[(b * n + k) * kLanes + lane] = r < row_count ? rows[r][k] : 0.0;
            }
    const Kernels &kernels = active();
    const size_t pairs = row_count * (row_count - 1) / 2;
    // Pairs whose first row lies before row i.
    auto pairs_before = [row_count](size_t i) { return i * (row_count - 1) - i * (i - 1) / 2; };
    // The first row at which the pairs before reach `target`.
    auto row_at = [&](size_t target) {
        size_t low = 0, high = row_count;
        while (low < high) {
            size_t middle = low + (high - low) / 2;
            if (pairs_before(middle) < target) low = middle + 1;
            else high = middle;
        }
        return low;
    };
    // Someone watching gets a report after each of a few dozen slices of the
    // pairs; threads share each slice.
    const size_t slices = progress != nullptr && row_count > 1 ? 64 : 1;
    const size_t parts = worker_count(pairs * n);
    std::vector<Farthest> results;
    if (progress) progress(context, 0, pairs);
    for (size_t slice = 0; slice < slices; ++slice) {
        const size_t slice_begin = row_at(pairs / slices * slice);
        const size_t slice_end = slice + 1 == slices ? row_count : row_at(pairs / slices * (slice + 1));
        if (slice_begin == slice_end) continue;
        const size_t first = pairs_before(slice_begin), count = pairs_before(slice_end) - first;
        const size_t offset = results.size();
        results.resize(offset + parts);
        run_parallel(parts, [&](size_t part, size_t total) {
            // Row i has row_count - 1 - i partners: cut where the pairs
            // before reach part / total of the slice's.
            auto cut = [&](size_t share) {
                return share == total ? slice_end : std::max(slice_begin, row_at(first + count / total * share));
            };
            results[offset + part] = kernels.farthest_pair(packed, n, row_count, rows, cut(part), cut(part + 1));
        });
        if (progress) progress(context, pairs_before(slice_end), pairs);
    }
    std::free(packed);
    Farthest best{0.0, SIZE_MAX, SIZE_MAX};
    for (const Farthest &result : results) {
        if (result.first == SIZE_MAX) continue;
        if (best.first == SIZE_MAX || result.distance > best.distance ||
            (result.distance == best.distance &&
             (result.first < best.first || (result.first == best.first && result.second < best.second))))
            best = result;
    }
    *first = best.first == SIZE_MAX ? 0 : best.first;
    *second = best.first == SIZE_MAX ? 0 : best.second;
    return true;
}
