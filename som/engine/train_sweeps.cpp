// The fast training: the grid packed in blocks and trained in sweeps, each
// several iterations of one vector per pass over the grid, shared with a
// partner thread on large grids.
//
// Why a sweep is the plain loop. The plain loop's iteration t of a vector
// x searches the winner W_t on the weights G_t, updates every weight with
// the factor h(s_t - q) * lr(t), s_t the index sum of W_t and q the
// neuron's, and stops the vector if any distance after the update is 0.0;
// otherwise W_{t+1} is the nearest neuron of G_{t+1}, the weights it just
// made (the next iteration's search sees the same weights, so the
// measurement after an update is also the next search). A sweep starts
// from G_t with W_t known and runs iterations t .. t + K - 1 with the
// factors of s_t throughout: every weight's operations are the plain
// update's, in its order, and iteration j's distances are the plain sums
// over the weights after iteration j (kernels_train.inc). So iteration t
// is exactly the plain one; iteration t + j + 1 is too as long as
// iterations t .. t + j were, the winner they found (the first of the
// smallest distances, over all blocks) has index sum s_t, and none of their
// distances was 0.0 (else the plain loop had stopped). After the sweep the
// caller finds the first iteration where one of these fails: if there is
// none, the sweep's weights are G_{t+K} and its last minimum is W_{t+K}
// (or the vector stopped at its last iteration); if it is iteration j, the
// iterations before and including j were right, and the sweep is run again
// from G_t (kept in the other copy: a sweep reads one copy and writes the
// other) for j + 1 iterations, which gives the same G_{t+j+1}, and the
// vector either stops there (a 0.0) or goes on from W_{t+j+1}, which the
// sweep already found. A distance left out (see the bound in
// bounds/training_skip.h) is one proven above a distance of the same iteration
// that was measured, so it could neither be the first of the smallest nor
// 0.0. Ties go to the smaller index in every combination of minima (lanes,
// blocks, chunks, the winner's block run first), as the plain search's
// strict comparison in row-major order gives them.
#include "som/engine/bounds/training_skip.h"
#include "som/engine/engine.h"
#include "som/engine/options.h"
#include "som/engine/sweep.h"

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/base/status.h"
#include "som/literal/literal.h"
#include "som/base/literal_primitives.h"
#include "som/model/network_internal.h"
#include "som/som.h"

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

// The first of the smallest distances of two neuron sets, whatever their
// order (som_literal::first_of), and whether either had a distance of 0.0.
Nearest first_of(const Nearest &a, const Nearest &b) {
    using som_literal::FirstSmallest;
    const FirstSmallest first = som_literal::first_of(FirstSmallest{a.distance, a.index}, FirstSmallest{b.distance, b.index});
    return Nearest{first.value, first.index, a.any_zero || b.any_zero};
}

// A second thread that helps with every pass over the grid during one
// training call: a plain winner search, or a sweep of several iterations.
// A pass is cut into chunks of blocks that either thread claims from a
// shared word, so the caller never waits for a partner that the scheduler
// has not run: it takes the unclaimed chunks itself and waits only for a
// chunk already in the partner's hands. The caller claims from the front and
// the partner from the back, so each keeps working on the same weights pass
// after pass (in its own core's cache) and only chunks near where they meet
// change hands. The results are combined by distance and then index, so
// who ran which chunk changes no bit.
class TrainingTeam {
  public:
    TrainingTeam(const Kernels &kernels, size_t n, size_t blocks)
        : kernels_(kernels), n_(n), blocks_(blocks), chunks_(blocks < 5 * kMaxChunks ? 2 : kMaxChunks),
          middle_(blocks / 50 * kMiddleChunks), split_(blocks / 2), thread_([this] { serve(); }) {}
    TrainingTeam(const TrainingTeam &) = delete;
    TrainingTeam &operator=(const TrainingTeam &) = delete;

    ~TrainingTeam() {
        stop_.store(true, std::memory_order_relaxed);
        publish((claim_.load(std::memory_order_relaxed) >> 32) + 1);
        thread_.join();
    }

    // The nearest neuron to x.
    Nearest search(const double *weights, const double *x) {
        weights_ = weights;
        x_ = x;
        job_ = nullptr;
        Nearest out;
        run(&out, 1);
        return out;
    }

    // The job over every block but job.skip; out[j] per iteration.
    void sweep(const SweepJob &job, Nearest *out) {
        job_ = &job;
        run(out, job.iterations + (job.next_x != nullptr ? 1 : 0));
    }

  private:
    // Every claim and completion is an atomic operation on a line both cores
    // write, a round trip between them (a pass of one iteration over 40 x 40
    // neurons of 64 inputs, about 10 us, lost a third of its time to 32 equal
    // chunks), and a chunk that changes hands moves its weights from one
    // core's cache to the other's. So each thread has one large chunk, the
    // caller's at the front and the partner's at the back, and eight small
    // ones (2% of the grid each) lie between them, around a split that moves
    // after every pass towards where the two threads met: the small chunks
    // balance a pass, and the large ones keep their weights where they are.
    static constexpr size_t kMaxChunks = 10, kMiddleChunks = kMaxChunks - 2;

    size_t chunk_begin(size_t chunk) const {
        if (chunks_ < kMaxChunks) return blocks_ * chunk / chunks_;
        if (chunk == 0) return 0;
        if (chunk == kMaxChunks) return blocks_;
        return split_ - middle_ / 2 + (chunk - 1) * middle_ / kMiddleChunks;
    }

    // After a pass: the split moves by half of the small chunks the caller
    // took beyond its half of them (or fell short by).
    void rebalance(size_t taken) {
        if (chunks_ < kMaxChunks || middle_ == 0) return;
        const size_t step = middle_ / kMiddleChunks;
        const size_t lowest = middle_ / 2, highest = blocks_ - (middle_ - middle_ / 2);
        if (taken > kMiddleChunks / 2) {
            const size_t move = step * (taken - kMiddleChunks / 2) / 2;
            split_ = split_ + move < highest ? split_ + move : highest;
        } else if (taken < kMiddleChunks / 2) {
            const size_t move = step * (kMiddleChunks / 2 - taken) / 2;
            split_ = split_ > lowest + move ? split_ - move : lowest;
        }
    }

    // A partner that other work keeps from its core leaves the caller
    // waiting for the chunks it has claimed. When over 64 passes the caller
    // waited more than a third of the time, it runs the next 256 passes
    // alone (the partner, unwoken, sleeps), then tries again. Who runs a
    // chunk changes no result.
    static constexpr unsigned kJudgedPasses = 64, kSoloPasses = 256;

    void run(Nearest *out, size_t count) {
        count_ = count;
        taken_[0] = taken_[1] = 0;
        if (solo_left_ > 0) {
            --solo_left_;
            for (size_t chunk = 0; chunk < chunks_; ++chunk) run_chunk(chunk, 0);
        } else {
            const auto start = std::chrono::steady_clock::now();
            completed_.store(0, std::memory_order_relaxed);
            const uint64_t epoch = (claim_.load(std::memory_order_relaxed) >> 32) + 1;
            publish(epoch);
            const size_t taken = work(epoch, true);
            const auto mine = std::chrono::steady_clock::now();
            for (unsigned spins = 0; completed_.load(std::memory_order_acquire) != chunks_; ++spins) {
                if (spins < 4096) spin_pause();
                else std::this_thread::yield();
            }
            const auto end = std::chrono::steady_clock::now();
            // The partner is idle now: the chunks of the next pass may move.
            rebalance(taken > 0 ? taken - 1 : 0);
            waited_ += end - mine;
            spent_ += end - start;
            if (++judged_ == kJudgedPasses) {
                if (3 * waited_ > spent_) solo_left_ = kSoloPasses;
                judged_ = 0;
                waited_ = spent_ = std::chrono::steady_clock::duration::zero();
            }
        }
        // Each thread has folded its chunks' results into its own; the first
        // of the smallest over both is the grid's, whatever chunks each ran.
        for (size_t j = 0; j < count; ++j) {
            if (taken_[1] == 0) out[j] = folded_[0].values[j];
            else if (taken_[0] == 0) out[j] = folded_[1].values[j];
            else out[j] = first_of(folded_[0].values[j], folded_[1].values[j]);
        }
    }

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

    // Runs a chunk and folds its results into those of the thread (0 the
    // caller, 1 the partner).
    void run_chunk(size_t chunk, int thread) {
        const size_t begin = chunk_begin(chunk), end = chunk_begin(chunk + 1);
        Nearest *mine = folded_[thread].values;
        Nearest *out = taken_[thread] == 0 ? mine : results_[thread].values;
        if (job_ == nullptr) out[0] = kernels_.nearest(weights_, n_, begin, end, x_);
        else kernels_.sweep(*job_, begin, end, out);
        if (taken_[thread]++ > 0)
            for (size_t j = 0; j < count_; ++j) mine[j] = first_of(mine[j], out[j]);
    }

    // Runs chunks of this epoch, from the front or from the back, until none
    // is left unclaimed.
    size_t work(uint64_t epoch, bool from_front) {
        size_t taken = 0;
        uint64_t word = claim_.load(std::memory_order_acquire);
        for (;;) {
            if ((word >> 32) != epoch || front_of(word) >= back_of(word)) return taken;
            const uint64_t claimed = from_front ? word + (uint64_t{1} << 16) : word - 1;
            if (!claim_.compare_exchange_weak(word, claimed, std::memory_order_acq_rel)) continue;
            run_chunk(from_front ? front_of(word) : back_of(word) - 1, from_front ? 0 : 1);
            ++taken;
            completed_.fetch_add(1, std::memory_order_acq_rel);
            word = claim_.load(std::memory_order_acquire);
        }
    }

    void serve() {
        som_internal::DefaultFloatingPoint environment;
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
    const size_t n_, blocks_, chunks_;
    // The small chunks' blocks (2% of the grid each) and the middle of
    // them; the caller moves the split between passes, before it publishes
    // the next.
    const size_t middle_;
    size_t split_;
    // Written by the caller before an epoch is published and read only by a
    // thread that has claimed a chunk of it, after the claim's acquire.
    const double *weights_ = nullptr;
    const double *x_ = nullptr;
    const SweepJob *job_ = nullptr;
    struct alignas(64) Slot {
        Nearest values[kMaxSweep + 1];
    };
    // Per thread: a chunk's results, the results of its chunks so far, and
    // how many it has run in this pass (each written by its thread only,
    // read by the caller after the pass).
    Slot results_[2], folded_[2];
    size_t taken_[2] = {0, 0};
    size_t count_ = 0;
    alignas(64) std::atomic<uint64_t> claim_{0};
    alignas(64) std::atomic<size_t> completed_{0};
    alignas(64) std::atomic<uint32_t> wake_word_{0};
    std::atomic<bool> sleeping_{false};
    std::atomic<bool> stop_{false};
    // The caller's alone: how its passes went.
    unsigned judged_ = 0, solo_left_ = 0;
    std::chrono::steady_clock::duration waited_{}, spent_{};
    std::thread thread_;
};

// Iterations whose learning rates a training call works out once.
constexpr size_t kRateTable = 4096;

// Frees the second copy of the packed weights, whichever buffer it is by then.
struct SpareWeights {
    double *weights = nullptr;
    ~SpareWeights() { std::free(weights); }
};

// When training reports. The callback must find the network exactly as
// training on the vectors reported leaves it, so a report first copies the
// packed weights back into the records, which takes about twice as long as
// training one vector of W1 (100 x 100 x 8: 0.27 ms against 0.13 ms, some
// 3.3 ns a weight). So after a vector, a report is due once 250 times what
// a copy takes has gone by since the last report: keeping the records
// current then costs at most 0.4% of the training (1% was measurable on
// W1). The copy's time is estimated at 4 ns a weight until one has been
// measured. Small grids copy in far less time than a vector takes and
// report every vector or few, as the plain loop reports every one; reports
// are due at least every second, so that on the largest grids (over a
// million weights, whose copy takes more than 4 ms) a callback that stops
// the call is still heard within about a second, for up to a few percent
// of the time. The last vector always reports.
class ReportClock {
  public:
    using Clock = std::chrono::steady_clock;

    ReportClock(bool every_vector, size_t weights)
        : every_vector_(every_vector), last_(Clock::now()),
          copy_(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(4) * weights)) {}

    bool due() const {
        if (every_vector_) return true;
        return Clock::now() - last_ >= std::min<Clock::duration>(kMostApart, kCopyShare * copy_);
    }
    void copied(Clock::duration took) { copy_ = took; }
    void reported() { last_ = Clock::now(); }

  private:
    static constexpr int kCopyShare = 250;
    static constexpr std::chrono::seconds kMostApart{1};

    bool every_vector_;
    Clock::time_point last_;
    Clock::duration copy_;
};

// A vector as its sweeps see it: the vector, the one after it (null for the
// last), and 2 X for both (bounds/training_skip.h).
struct Presented {
    const double *x, *next_x;
    double twice_norm, next_twice_norm;
};

// How a sweep went, against the plain loop: its first `kept` iterations were
// the plain loop's, and the vector stops after them when `stop` is set (a
// distance of 0.0); kept short of the sweep's length means the sweep must be
// replayed up to there.
struct Verdict {
    size_t kept;
    bool stop;
};

// One training call in sweeps. What it sets up once: the packed grid and its
// spare copy, the tables of factors and rates, the kernels and the partner
// thread. Its steps, for each vector in turn: the first search (unless the
// vector before found the winner already), then sweeps, each led by the
// winner's block, run over the rest of the grid, verified against the plain
// loop's assumptions and replayed up to where they failed; and the hand-over
// of the weights to the records whenever the callback is told, and at the
// end.
class Training {
  public:
    Training(som_network *network, double **rows, size_t row_count, size_t iterations,
             const som_internal::Observer &observer, const CallOptions &options)
        : network_(network), rows_(rows), row_count_(row_count), iterations_(iterations), observer_(observer),
          n_(network->input_layer->neurons_count), y_(network->output_layer->neurons_count_y),
          max_sum_(network->output_layer->neurons_count_x + y_ - 2), policy_(within_limits(options.sweeps)),
          kernels_(options.kernels != nullptr ? *options.kernels : active()),
          skipping_(policy_.skipping && training_skip::applies(n_)), margins_(training_skip::margins_for(n_)) {
        tallies_.checking = policy_.checking;
    }

    // Packs the grid and makes the tables; false without memory for them.
    bool prepare();

    // Trains every vector; SOM_OK or SOM_ERROR_CANCELLED.
    int run();

    SweepStats stats() const {
        SweepStats out = counts_;
        out.measured = tallies_.measured.load(std::memory_order_relaxed);
        out.skipped = tallies_.skipped.load(std::memory_order_relaxed);
        out.bound_failures = tallies_.failures.load(std::memory_order_relaxed);
        return out;
    }

  private:
    // The policy as training takes it: at least one iteration a sweep, at
    // most what the kernels hold.
    static SweepPolicy within_limits(SweepPolicy policy) {
        policy.most = policy.most < 1 ? 1 : policy.most > kMaxSweep ? kMaxSweep : policy.most;
        policy.first = policy.first < 1 ? 1 : policy.first > policy.most ? policy.most : policy.first;
        return policy;
    }

    double rate_of(size_t t) const {
        return t <= rate_table_.size() ? rate_table_[t - 1] : som_internal::learning_rate(t, network_->time_constant);
    }
    size_t index_sum_of(const Nearest &winner) const {
        const size_t w = winner.index == SIZE_MAX ? 0 : winner.index;
        return w / y_ + w % y_;
    }

    void train_vector(size_t r);
    Nearest first_search(const double *x);
    SweepJob sweep_job(const Presented &vector, size_t s, size_t done, size_t size, bool bounds_in);
    void lead(SweepJob &job, size_t lead_block, const double *next_x);
    void sweep_rest(const SweepJob &job, bool leading);
    Verdict verify(const SweepJob &job, size_t s) const;
    void replay(SweepJob &job, const Verdict &verdict);
    void hand_over(size_t trained);

    // The whole grid's passes, shared with the partner thread where there
    // is one.
    Nearest search(const double *x) {
        if (partner_) return partner_->search(grid_.weights, x);
        return kernels_.nearest(grid_.weights, n_, 0, grid_.blocks, x);
    }
    void run_sweep(const SweepJob &job, Nearest *out) {
        if (partner_) partner_->sweep(job, out);
        else kernels_.sweep(job, 0, grid_.blocks, out);
    }

    som_network *const network_;
    double **const rows_;
    const size_t row_count_, iterations_;
    const som_internal::Observer &observer_;
    const size_t n_, y_;
    // The index-sum differences span [-max_sum_, max_sum_].
    const size_t max_sum_;
    SweepPolicy policy_;
    const Kernels &kernels_;
    // Distances left unformed where the bound (bounds/training_skip.h) shows
    // them too far to matter.
    const bool skipping_;
    const training_skip::Margins margins_;

    PackedGrid grid_;
    // A sweep of several iterations writes into a second copy, so that the
    // weights at its start stay for a replay.
    SpareWeights spare_;
    // neighbourhood_[max_sum_ - s + q] is the factor of index sum q when the
    // winner's is s: h(s - q).
    std::vector<double> neighbourhood_;
    std::vector<uint32_t> index_sum_;
    std::vector<int64_t> block_first_sum_;
    // The learning rates of the first iterations, the same for every vector.
    std::vector<double> rate_table_;
    // Each block's lower bounds for the next vector (SweepJob::bounds).
    std::vector<double> bounds_;
    std::unique_ptr<TrainingTeam> partner_;

    SweepStats counts_;
    SweepCounts tallies_;
    // The current sweep's rates, its thresholds and the winner's block's
    // smallest distances; its results in the winner's block, over the grid,
    // and replayed.
    double rates_[kMaxSweep], reach_thresholds_[kMaxSweep], lead_smallest_[kMaxSweep];
    Nearest lead_[kMaxSweep + 1], found_[kMaxSweep + 1], replayed_[kMaxSweep + 1];

    // Iterations of the next vector's first sweep: sweeps as long as the
    // policy allows, as long as winners' index sums hold (see train_vector).
    size_t first_sweep_ = 0;
    // The first winner of the next vector, when the last sweep of this one
    // has searched for it already.
    bool next_known_ = false;
    Nearest next_winner_{};
};

bool Training::prepare() {
    // Index sums are kept in 32 bits.
    if (max_sum_ > UINT32_MAX || !grid_.pack(network_)) return false;
    try {
        neighbourhood_.resize(2 * max_sum_ + 1);
        index_sum_.assign(grid_.blocks * kLanes, 0);
        block_first_sum_.assign(grid_.blocks, -1);
        rate_table_.resize(iterations_ < kRateTable ? iterations_ : kRateTable);
        bounds_.resize(2 * kLanes * grid_.blocks);
    } catch (const std::bad_alloc &) {
        return false;
    }
    // Without room for the copy, every sweep is one iteration, which never
    // needs one, in place.
    if (!policy_.in_place) spare_.weights = allocate_packed(grid_.blocks, n_);
    if (spare_.weights == nullptr) policy_.first = policy_.most = 1;
    first_sweep_ = policy_.first;

    for (size_t p = 0; p < grid_.neurons; ++p) index_sum_[p] = static_cast<uint32_t>(p / y_ + p % y_);
    for (size_t b = 0; b < grid_.blocks; ++b) {
        size_t first = b * kLanes, last = first + kLanes - 1;
        // Padding lanes read factors past the last real one: keep them inside
        // the table by requiring the whole block within one row.
        if (last < grid_.neurons && first / y_ == last / y_)
            block_first_sum_[b] = static_cast<int64_t>(index_sum_[first]);
    }
    for (size_t e = 0; e <= 2 * max_sum_; ++e)
        neighbourhood_[e] = som_internal::neighbourhood(static_cast<long long>(max_sum_) - static_cast<long long>(e));
    for (size_t t = 1; t <= rate_table_.size(); ++t)
        rate_table_[t - 1] = som_internal::learning_rate(t, network_->time_constant);

    if (worker_count(grid_.neurons * n_) > 1 && grid_.blocks >= 2) {
        // Without a partner thread (the system may refuse one) the caller
        // runs every pass alone, to the same result.
        try {
            partner_ = std::make_unique<TrainingTeam>(kernels_, n_, grid_.blocks);
        } catch (const std::exception &) {
        }
    }
    return true;
}

int Training::run() {
    int status = SOM_OK;
    size_t trained = 0;
    // The vectors the records hold the training of: none yet, and so they
    // are what training on none leaves.
    size_t in_records = 0;
    ReportClock clock(policy_.every_report, grid_.neurons * n_);
    if (observer_.stop(0, row_count_)) status = SOM_ERROR_CANCELLED;
    clock.reported();
    for (size_t r = 0; r < row_count_ && status == SOM_OK; ++r) {
        train_vector(r);
        trained = r + 1;
        ++counts_.vectors;
        if (observer_.present() && (trained == row_count_ || clock.due())) {
            const ReportClock::Clock::time_point start = ReportClock::Clock::now();
            hand_over(trained);
            in_records = trained;
            clock.copied(ReportClock::Clock::now() - start);
            if (observer_.stop(trained, row_count_)) status = SOM_ERROR_CANCELLED;
            clock.reported();
        }
    }
    partner_.reset();
    if (in_records != trained) hand_over(trained);
    return status;
}

// Sweeps grow while their assumptions hold; a changed index sum starts
// them again from one iteration. The next vector starts with sweeps half as
// long after an index sum changed in this one, twice as long (up to the
// most) otherwise.
void Training::train_vector(size_t r) {
    const double *x = rows_[r];
    const double *next_x = r + 1 < row_count_ ? rows_[r + 1] : nullptr;
    const Presented vector{x, next_x, training_skip::twice_norm(x, n_, margins_),
                           next_x != nullptr ? training_skip::twice_norm(next_x, n_, margins_) : 0.0};
    // The bounds the last vector's last sweep left hold for this vector's
    // first sweep.
    bool bounds_in = next_known_;
    Nearest winner = first_search(x);
    size_t done = 0, size = first_sweep_;
    bool changed = false;
    while (done < iterations_) {
        const size_t s = index_sum_of(winner);
        SweepJob job = sweep_job(vector, s, done, size, bounds_in);
        bounds_in = false;
        // The winner's block goes first: the early stop almost always comes
        // from the winner itself, so where its block first reaches a
        // distance of 0.0 is where the sweep should end.
        const bool leading = policy_.lead_block && job.iterations > 1;
        if (leading) lead(job, (winner.index == SIZE_MAX ? 0 : winner.index) / kLanes, next_x);
        sweep_rest(job, leading);
        const size_t count = job.iterations;
        const Verdict verdict = verify(job, s);
        if (verdict.kept < count) replay(job, verdict);
        if (job.dst != job.src) std::swap(grid_.weights, spare_.weights);
        done += verdict.kept;
        counts_.iterations += verdict.kept;
        if ((verdict.stop || done == iterations_) && job.next_x != nullptr) {
            next_known_ = true;
            next_winner_ = found_[count];
        }
        if (verdict.stop) break;
        winner = found_[verdict.kept - 1];
        if (verdict.kept < count) {
            size = 1;
            changed = true;
        } else {
            size = 2 * size < policy_.most ? 2 * size : policy_.most;
        }
    }
    if (changed) first_sweep_ = first_sweep_ / 2 > 0 ? first_sweep_ / 2 : 1;
    else first_sweep_ = 2 * first_sweep_ < policy_.most ? 2 * first_sweep_ : policy_.most;
}

// The winner of the vector's first iteration: the one the last sweep of the
// vector before found, where it searched for it, else searched for now.
Nearest Training::first_search(const double *x) {
    if (next_known_) {
        next_known_ = false;
        return next_winner_;
    }
    ++counts_.searches;
    return search(x);
}

// The sweep of up to `size` iterations from iteration done + 1 with the
// factors of the winner's index sum s, into the spare copy where there is
// one. A sweep that ends the vector also searches for the next one's first
// winner.
SweepJob Training::sweep_job(const Presented &vector, size_t s, size_t done, size_t size, bool bounds_in) {
    SweepJob job;
    job.src = grid_.weights;
    job.dst = spare_.weights ? spare_.weights : grid_.weights;
    job.n = n_;
    job.x = vector.x;
    job.neighbourhood = neighbourhood_.data() + (max_sum_ - s);
    job.rates = rates_;
    job.index_sum = index_sum_.data();
    job.block_first_sum = block_first_sum_.data();
    job.iterations = size < iterations_ - done ? size : iterations_ - done;
    job.margins = margins_;
    job.twice_norm = vector.twice_norm;
    job.counts = &tallies_;
    job.bounds = bounds_.data();
    job.bounds_in = bounds_in;
    job.next_twice_norm = vector.next_twice_norm;
    for (size_t j = 0; j < job.iterations; ++j) rates_[j] = rate_of(done + 1 + j);
    if (done + job.iterations == iterations_) job.next_x = vector.next_x;
    return job;
}

// The winner's block alone, first. It also searches the next vector, in
// case the vector stops within the sweep; where its kernel can, it ends at
// the stop, and otherwise it runs again up to it. The sweep is cut there,
// searches the next vector if the vector ends with it, leaves this block out
// from now on, and gives the other blocks thresholds: they measure only what
// this block's smallest distances leave possible, where the rates let the
// bound hold.
void Training::lead(SweepJob &job, size_t lead_block, const double *next_x) {
    const bool limit_reached = job.next_x != nullptr;
    bool stopped = false;
    job.next_x = next_x;
    job.stopped = &stopped;
    kernels_.sweep(job, lead_block, lead_block + 1, lead_);
    job.stopped = nullptr;
    size_t until = job.iterations;
    for (size_t j = 0; j < job.iterations && until == job.iterations; ++j)
        if (lead_[j].any_zero) until = j + 1;
    if (stopped) {
        lead_[until] = lead_[job.iterations];
        job.iterations = until;
    } else if (until < job.iterations) {
        job.iterations = until;
        kernels_.sweep(job, lead_block, lead_block + 1, lead_);
    } else if (!limit_reached && !lead_[until - 1].any_zero) {
        // The vector goes on after this sweep.
        job.next_x = nullptr;
    }
    job.skip = lead_block;
    if (skipping_ && training_skip::rates_allow(rates_, job.iterations)) {
        for (size_t j = 0; j < job.iterations; ++j) {
            lead_smallest_[j] = lead_[j].distance;
            reach_thresholds_[j] = training_skip::threshold(lead_smallest_[j], lead_[j].index != SIZE_MAX, margins_);
        }
        job.reach_thresholds = reach_thresholds_;
        job.lead_smallest = lead_smallest_;
    }
}

// The sweep over the grid, but the winner's block when it led, whose results
// are then folded in.
void Training::sweep_rest(const SweepJob &job, bool leading) {
    run_sweep(job, found_);
    ++counts_.sweeps;
    const size_t count = job.iterations;
    if (leading)
        for (size_t j = 0; j < count + (job.next_x != nullptr ? 1 : 0); ++j) found_[j] = first_of(found_[j], lead_[j]);
    // Checking mode: each threshold came from a distance of its own
    // iteration, so nothing found can lie above it.
    if (tallies_.checking && job.reach_thresholds != nullptr)
        for (size_t j = 0; j < count; ++j)
            if (!(found_[j].distance <= lead_smallest_[j])) tallies_.failures.fetch_add(1, std::memory_order_relaxed);
}

// The sweep is the plain loop's as far as its assumptions held: iteration
// j + 1 was right if the winner after iteration j has the assumed index sum
// s, and the plain loop would have run it only if no distance after
// iteration j was 0.0.
Verdict Training::verify(const SweepJob &job, size_t s) const {
    const size_t count = job.iterations;
    for (size_t j = 0; j < count; ++j) {
        if (found_[j].any_zero) return Verdict{j + 1, true};
        if (j + 1 < count && index_sum_of(found_[j]) != s) return Verdict{j + 1, false};
    }
    return Verdict{count, false};
}

// The sweep again from its start (the weights there are still in the copy
// it read), over the whole grid, for the iterations that were right: they
// give the same weights and minima as before.
void Training::replay(SweepJob &job, const Verdict &verdict) {
    ++counts_.replays;
    if (verdict.stop) ++counts_.early_zeros;
    else ++counts_.sum_changes;
    job.iterations = verdict.kept;
    job.skip = SIZE_MAX;
    job.next_x = nullptr;
    job.reach_thresholds = nullptr;
    run_sweep(job, replayed_);
}

// The records brought up to date: the weights of training on the first
// `trained` vectors, the inputs holding the last of them.
void Training::hand_over(size_t trained) {
    grid_.unpack(network_);
    som_set_inputs(network_, rows_[trained - 1]);
}

int train_sweeps(som_network *network, double **rows, size_t row_count, size_t iterations,
                 const som_internal::Observer &observer, const CallOptions &options, SweepStats *stats) {
    if (som_network_check(network) != SOM_OK || !som_rows_present(network, rows, row_count)) return SOM_ERROR_INVALID;
    som_internal::time_constant(network);
    // No iteration presents no vector, and reports nothing.
    if (iterations == 0) return SOM_OK;
    const size_t n = network->input_layer->neurons_count;
    const size_t X = network->output_layer->neurons_count_x;
    const size_t Y = network->output_layer->neurons_count_y;
    // With no neuron nothing moves; with no input every distance is 0.0, the
    // first neuron wins and its update changes no weight. Every vector is
    // still presented, so the inputs end holding the last one trained; with
    // no vector the callback hears of none, (0, 0), as from the plain loop.
    if (row_count == 0 || X == 0 || Y == 0 || n == 0) {
        if (observer.stop(0, row_count)) return SOM_ERROR_CANCELLED;
        for (size_t r = 0; r < row_count; ++r) {
            som_set_inputs(network, rows[r]);
            if (observer.stop(r + 1, row_count)) return SOM_ERROR_CANCELLED;
        }
        return SOM_OK;
    }
    Training training(network, rows, row_count, iterations, observer, options);
    // Without room for the packed grid and its tables, the plain loop gives
    // the same result in no extra memory.
    if (!training.prepare()) return som_train_plain_observed(network, rows, row_count, iterations, observer);
    const int status = training.run();
    if (stats) *stats = training.stats();
    return status;
}

}  // namespace

int train(som_network *network, double **rows, size_t row_count, size_t iterations,
          const som_internal::Observer &observer, const CallOptions &options, SweepStats *stats) {
    if (stats) *stats = SweepStats{};
    return som_internal::guarded(
        [&] { return train_sweeps(network, rows, row_count, iterations, observer, options, stats); });
}

}  // namespace som_engine

extern "C" {

int som_train(som_network *network, double **rows, size_t row_count, size_t iterations) {
    som_internal::DefaultFloatingPoint environment;
    return som_engine::train(network, rows, row_count, iterations, som_internal::Observer{}, som_engine::CallOptions{},
                             nullptr);
}

int som_train_observed(som_network *network, double **rows, size_t row_count, size_t iterations,
                       som_progress progress, void *context) {
    som_internal::DefaultFloatingPoint environment;
    const som_internal::Observer observer{progress, context, &environment};
    return som_engine::train(network, rows, row_count, iterations, observer, som_engine::CallOptions{}, nullptr);
}

}  // extern "C"
