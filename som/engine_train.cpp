// The fast training: the grid packed in blocks, one fused pass per iteration
// that updates, measures again and finds the next winner, shared with a
// partner thread on large grids.
#include "engine.h"

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "network_internal.h"
#include "som.h"
#include "status.h"

namespace som_engine {

namespace {

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
    TrainingTeam(const TrainingTeam &) = delete;
    TrainingTeam &operator=(const TrainingTeam &) = delete;

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

namespace {

int train(som_network *network, double **rows, size_t row_count, size_t iterations, som_progress progress,
          void *context) {
    if (som_network_check(network) != SOM_OK || !som_rows_present(network, rows, row_count)) return SOM_ERROR_INVALID;
    som_time_constant(network);
    if (row_count == 0 || iterations == 0) return SOM_OK;
    const size_t n = network->input_layer->neurons_count;
    const size_t X = network->output_layer->neurons_count_x;
    const size_t Y = network->output_layer->neurons_count_y;
    // With no neuron nothing moves; with no input every distance is 0.0, the
    // first neuron wins and its update changes no weight. Every vector is
    // still presented, so the inputs end holding the last one trained.
    if (X == 0 || Y == 0 || n == 0) {
        if (progress && progress(context, 0, row_count) != 0) return SOM_ERROR_CANCELLED;
        for (size_t r = 0; r < row_count; ++r) {
            som_set_inputs(network, rows[r]);
            if (progress && progress(context, r + 1, row_count) != 0) return SOM_ERROR_CANCELLED;
        }
        return SOM_OK;
    }

    // The index-sum differences span [-(X + Y - 2), X + Y - 2].
    const size_t max_sum = X + Y - 2;
    PackedGrid grid;
    std::vector<double> neighbourhood, factor_by_sum;
    std::vector<uint32_t> index_sum;
    std::vector<int64_t> block_first_sum;
    // Without room for the packed grid and its tables, the plain loop gives
    // the same result in no extra memory.
    bool room = max_sum <= UINT32_MAX && grid.pack(network);
    if (room) {
        try {
            neighbourhood.resize(2 * max_sum + 1);
            factor_by_sum.resize(max_sum + 1);
            index_sum.assign(grid.blocks * kLanes, 0);
            block_first_sum.assign(grid.blocks, -1);
        } catch (const std::bad_alloc &) {
            room = false;
        }
    }
    if (!room) return som_train_plain_observed(network, rows, row_count, iterations, progress, context);

    for (size_t p = 0; p < grid.neurons; ++p) index_sum[p] = static_cast<uint32_t>(p / Y + p % Y);
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
    int status = SOM_OK;
    size_t trained = 0;
    if (progress && progress(context, 0, row_count) != 0) status = SOM_ERROR_CANCELLED;
    for (size_t r = 0; r < row_count && status == SOM_OK; ++r) {
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
        trained = r + 1;
        if (progress && progress(context, trained, row_count) != 0) status = SOM_ERROR_CANCELLED;
    }
    partner.reset();
    grid.unpack(network);
    if (trained > 0) som_set_inputs(network, rows[trained - 1]);
    return status;
}

}  // namespace

extern "C" {

int som_train(som_network *network, double **rows, size_t row_count, size_t iterations) {
    return som_internal::guarded([&] { return train(network, rows, row_count, iterations, nullptr, nullptr); });
}

int som_train_observed(som_network *network, double **rows, size_t row_count, size_t iterations,
                       som_progress progress, void *context) {
    return som_internal::guarded([&] { return train(network, rows, row_count, iterations, progress, context); });
}

}  // extern "C"
