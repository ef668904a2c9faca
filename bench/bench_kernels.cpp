// Kernel benchmarks: the fast paths against the literal ones on the same
// networks, and the input reader's against the literal one on the same
// text. Each benchmark first checks that both give the same bits.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "input_table.h"

#include "som/engine/engine.h"
#include "som/engine/options.h"
#include "som/engine/sweep.h"
#include "som/som.h"
#include "unit_helpers.h"

namespace {

using somap::testing::all_weights;
using somap::testing::set_all_weights;

struct Data {
    std::vector<double> values;
    std::vector<double *> rows;
    Data(size_t count, size_t n, unsigned seed) : values(count * n), rows(count) {
        std::mt19937_64 random(seed);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        for (double &v : values) v = uniform(random);
        for (size_t r = 0; r < count; ++r) rows[r] = values.data() + r * n;
    }
};

void check_same(const std::vector<double> &a, const std::vector<double> &b, const char *what) {
    if (a.size() != b.size() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) != 0) {
        std::fprintf(stderr, "%s: fast and plain results differ\n", what);
        std::exit(1);
    }
}

// One training vector on a side x side grid of n inputs for a fixed number
// of iterations (the data never matches a neuron exactly, so all run).
template <bool Fast>
void BM_Train(benchmark::State &state) {
    const size_t side = static_cast<size_t>(state.range(0)), n = static_cast<size_t>(state.range(1));
    const size_t iterations = 50;
    Data data(2, n, 7);
    // Random starting weights: a vector placed by the initialisation would
    // match a corner exactly and stop after one iteration.
    som_network *net = som_network_new(n, side, side);
    const std::vector<double> start = all_weights(net);
    {
        som_network *other = som_network_new(n, side, side);
        set_all_weights(other, start);
        som_train(net, data.rows.data(), 1, iterations);
        som_train_plain(other, data.rows.data(), 1, iterations);
        check_same(all_weights(net), all_weights(other), "training");
        som_network_destroy(other);
    }
    for (auto _ : state) {
        state.PauseTiming();
        set_all_weights(net, start);
        state.ResumeTiming();
        if (Fast) som_train(net, data.rows.data(), 1, iterations);
        else som_train_plain(net, data.rows.data(), 1, iterations);
    }
    // Six double operations per weight per iteration: sub, mul, add to move
    // it, sub, mul, add to measure it.
    double weights = static_cast<double>(side * side * n);
    state.counters["flops"] = benchmark::Counter(6.0 * weights * iterations * state.iterations(),
                                                 benchmark::Counter::kIsRate);
    state.counters["ns_per_neuron_iter"] = benchmark::Counter(
        static_cast<double>(side * side) * iterations * state.iterations(),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    som_network_destroy(net);
}
BENCHMARK(BM_Train<true>)->Name("train/fast")->Args({100, 8})->Args({50, 8})->Args({40, 64})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Train<false>)->Name("train/plain")->Args({100, 8})->Args({50, 8})->Args({40, 64})->Unit(benchmark::kMillisecond);

// The training kernel alone: one sweep of K iterations over a whole
// side x side grid of n inputs, from one packed copy into another, on each
// benchmark thread (every thread has its own grid, as the two threads of a
// training call each have their own part of one). Comparable with
// peak/no_fma_per_thread at the same thread count. With skip 1 the sweep
// runs as training runs it: the winner's block first, and its smallest
// distances as thresholds below which the other blocks' distances are left
// out where a bound allows; with skip 0 every distance is formed. The
// flops counted are the plain loop's six per weight and iteration, whatever
// the kernel leaves out or shares.
void BM_Sweep(benchmark::State &state) {
    const size_t side = static_cast<size_t>(state.range(0)), n = static_cast<size_t>(state.range(1));
    const size_t iterations = static_cast<size_t>(state.range(2));
    const bool skipping = state.range(3) != 0;
    using namespace som_engine;
    som_network *net = som_network_new(n, side, side);
    Data start(side * side, n, 19);
    std::vector<double> weights(start.values);
    som_set_weights(net, weights.data());
    PackedGrid grid;
    if (!grid.pack(net)) {
        state.SkipWithError("no memory");
        return;
    }
    double *other = allocate_packed(grid.blocks, n);
    const size_t max_sum = 2 * side - 2;
    std::vector<double> neighbourhood(2 * max_sum + 1);
    for (size_t e = 0; e < neighbourhood.size(); ++e)
        neighbourhood[e] = som_neighbourhood(static_cast<long long>(max_sum) - static_cast<long long>(e));
    std::vector<uint32_t> index_sum(grid.blocks * kLanes, 0);
    std::vector<int64_t> block_first_sum(grid.blocks, -1);
    for (size_t p = 0; p < grid.neurons; ++p) index_sum[p] = static_cast<uint32_t>(p / side + p % side);
    for (size_t b = 0; b < grid.blocks; ++b) {
        const size_t first = b * kLanes, last = first + kLanes - 1;
        if (last < grid.neurons && first / side == last / side) block_first_sum[b] = index_sum[first];
    }
    double rates[kMaxSweep];
    for (size_t j = 0; j < iterations; ++j) rates[j] = som_learning_rate(j + 1, 27.104644554585676);
    Data data(1, n, 17);
    const double *x = data.rows[0];
    // The winner, and what training derives from the vector.
    size_t winner = 0;
    double best = DBL_MAX;
    for (size_t p = 0; p < grid.neurons; ++p) {
        double distance = 0.0;
        for (size_t k = 0; k < n; ++k) distance = distance + (x[k] - weights[p * n + k]) * (x[k] - weights[p * n + k]);
        if (distance < best) best = distance, winner = p;
    }
    const size_t s = winner / side + winner % side, lead = winner / kLanes;
    const training_skip::Margins margins = training_skip::margins_for(n);
    SweepCounts counts;
    SweepJob job;
    job.src = grid.weights;
    job.dst = other;
    job.n = n;
    job.x = x;
    job.neighbourhood = neighbourhood.data() + (max_sum - s);
    job.rates = rates;
    job.index_sum = index_sum.data();
    job.block_first_sum = block_first_sum.data();
    job.iterations = iterations;
    job.margins = margins;
    job.twice_norm = training_skip::twice_norm(x, n, margins);
    job.counts = &counts;
    const Kernels &kernels = active();
    Nearest first[kMaxSweep + 1], out[kMaxSweep + 1];
    kernels.sweep(job, lead, lead + 1, first);
    double thresholds[kMaxSweep], smallest[kMaxSweep];
    for (size_t j = 0; j < iterations; ++j) {
        smallest[j] = first[j].distance;
        thresholds[j] = training_skip::threshold(smallest[j], first[j].index != SIZE_MAX, margins);
    }
    if (skipping) {
        job.skip = lead;
        job.reach_thresholds = thresholds;
        job.lead_smallest = smallest;
    }
    counts.measured = 0;
    counts.skipped = 0;
    for (auto _ : state) {
        kernels.sweep(job, 0, grid.blocks, out);
        benchmark::DoNotOptimize(out[0].index);
    }
    state.counters["flops"] = benchmark::Counter(6.0 * static_cast<double>(grid.neurons * n * iterations) *
                                                     static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
    const double measured = static_cast<double>(counts.measured), skipped = static_cast<double>(counts.skipped);
    state.counters["measured"] = benchmark::Counter(measured + skipped > 0 ? measured / (measured + skipped) : 1.0,
                                                    benchmark::Counter::kAvgThreads);
    state.SetLabel(kernels.name);
    std::free(other);
    som_network_destroy(net);
}
BENCHMARK(BM_Sweep)
    ->Name("train/sweep_kernel")
    ->ArgNames({"side", "n", "K", "skip"})
    ->Args({50, 8, 16, 1})
    ->Args({50, 8, 16, 0})
    ->Args({100, 8, 32, 1})
    ->Args({40, 64, 16, 1})
    ->Args({40, 64, 16, 0})
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

template <bool Fast>
void BM_Recognise(benchmark::State &state) {
    const size_t side = 100, n = 16, count = static_cast<size_t>(state.range(0));
    Data data(count, n, 11);
    som_network *net = som_network_new(n, side, side);
    std::vector<size_t> wi(count), wj(count);
    for (auto _ : state) {
        if (Fast) {
            som_find_winners(net, data.rows.data(), count, wi.data(), wj.data());
        } else {
            for (size_t r = 0; r < count; ++r) {
                som_set_inputs(net, data.rows[r]);
                wi[r] = wj[r] = 0;
                som_find_winner(net, &wi[r], &wj[r]);
            }
        }
        benchmark::DoNotOptimize(wi.data());
    }
    state.counters["rows_per_s"] =
        benchmark::Counter(static_cast<double>(count) * state.iterations(), benchmark::Counter::kIsRate);
    som_network_destroy(net);
}
BENCHMARK(BM_Recognise<true>)->Name("recognise/fast")->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Recognise<false>)->Name("recognise/plain")->Arg(512)->Unit(benchmark::kMillisecond);

// The search paths of recognition side by side on a 100 x 100 map of 16
// inputs placed and trained once on 1000 rows (as `somap -i 1` leaves it),
// over 4096 other rows, one thread: 0 exact over every neuron, 1 the float
// filter, 2 the integer filter where the CPU has it. Checks the winners
// against the exact path first; reports the rows the filter could not decide
// and the exact distances per row it still computed.
void BM_RecogniseFilter(benchmark::State &state) {
    const size_t side = 100, n = 16, count = 4096;
    const int mode = static_cast<int>(state.range(0));
    Data train(1000, n, 17), data(count, n, 19);
    som_network *net = som_network_new(n, side, side);
    som_init_weights(net, train.rows.data(), 1000);
    som_train(net, train.rows.data(), 1000, 1);
    som_set_max_threads(1);
    std::vector<size_t> wi(count), wj(count), ei(count), ej(count);
    som_engine::CallOptions exact, path;
    exact.search.filter_min_work = SIZE_MAX;
    som_engine::find_winners(net, data.rows.data(), count, ei.data(), ej.data(), exact, nullptr);
    path.search.filter_min_work = mode == 0 ? SIZE_MAX : 1;
    path.search.integer_filter = mode == 2;
    som_engine::FilterCounts counts;
    som_engine::find_winners(net, data.rows.data(), count, wi.data(), wj.data(), path, &counts);
    if (wi != ei || wj != ej) {
        std::fprintf(stderr, "filtered and exact winners differ\n");
        std::exit(1);
    }
    for (auto _ : state) {
        som_engine::find_winners(net, data.rows.data(), count, wi.data(), wj.data(), path, nullptr);
        benchmark::DoNotOptimize(wi.data());
    }
    state.counters["ns_per_row_neuron"] = benchmark::Counter(
        static_cast<double>(count * side * side) * state.iterations(),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["exact_rows_share"] = static_cast<double>(counts.exact_rows) / static_cast<double>(counts.rows);
    state.counters["exact_distances_per_row"] =
        static_cast<double>(counts.exact_distances) / static_cast<double>(counts.rows);
    som_set_max_threads(0);
    som_network_destroy(net);
}
BENCHMARK(BM_RecogniseFilter)->Name("recognise/path")->ArgName("exact0_float1_int2")->Arg(0)->Arg(1)->Arg(2)
    ->Unit(benchmark::kMillisecond);

template <bool Fast>
void BM_Init(benchmark::State &state) {
    const size_t count = static_cast<size_t>(state.range(0)), n = 8;
    Data data(count, n, 13);
    som_network *net = som_network_new(n, 10, 10);
    for (auto _ : state) {
        if (Fast) som_init_weights(net, data.rows.data(), count);
        else som_init_weights_plain(net, data.rows.data(), count);
    }
    som_network_destroy(net);
}
BENCHMARK(BM_Init<true>)->Name("init/fast")->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Init<false>)->Name("init/plain")->Arg(5000)->Unit(benchmark::kMillisecond);

// The most distant pair: bounded search against comparing every pair (the
// vector kernel), on uniform rows of 8 fields (arg 0) and rows of 20 fields
// in 12 Gaussian clusters (arg 1). Reports the rows left for pair by pair
// comparison.
template <bool Bounded>
void BM_Pairs(benchmark::State &state) {
    const bool clustered = state.range(0) == 1;
    const size_t count = static_cast<size_t>(state.range(1)), n = clustered ? 20 : 8;
    Data data(count, n, 23);
    if (clustered) {
        std::mt19937_64 random(29);
        std::normal_distribution<double> normal(0.0, 1.0);
        std::uniform_real_distribution<double> uniform(0.0, 10.0);
        std::vector<double> centres(12 * n);
        for (double &c : centres) c = uniform(random);
        for (size_t r = 0; r < count; ++r) {
            const size_t c = random() % 12;
            for (size_t k = 0; k < n; ++k) data.rows[r][k] = centres[c * n + k] + normal(random);
        }
    }
    som_engine::CallOptions options;
    if (!Bounded) options.search.pair_min_rows = SIZE_MAX;
    som_engine::PairCounts counts;
    size_t a = 0, b = 0;
    for (auto _ : state) {
        som_engine::farthest_pair(data.rows.data(), count, n, &a, &b, som_internal::Observer{}, options, &counts);
        benchmark::DoNotOptimize(a);
    }
    state.counters["rows_left"] = static_cast<double>(counts.candidate_rows);
}
BENCHMARK(BM_Pairs<true>)->Name("pairs/bounded")->ArgNames({"clustered", "rows"})
    ->Args({0, 250000})->Args({0, 1000000})->Args({1, 400000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pairs<false>)->Name("pairs/every")->ArgNames({"clustered", "rows"})
    ->Args({0, 20000})->Args({1, 20000})->Unit(benchmark::kMillisecond);

// Placement (the most distant pair, then the corners and blends of a 10 x 10
// grid) of uniform rows of 8 fields, with and without one field of DBL_MAX
// in the middle row (what the reader makes of 1e999): such a row is
// compared with every other one on its own, and must not send the whole
// table to the all-pairs search. Compare the two lines of one size. Up to
// 40,000 rows the pair is first checked against the all-pairs search.
void BM_InitWild(benchmark::State &state) {
    const size_t count = static_cast<size_t>(state.range(0)), n = 8;
    const bool wild = state.range(1) != 0;
    Data data(count, n, 37);
    if (wild) data.rows[count / 2][3] = DBL_MAX;
    if (count <= 40000) {
        size_t a = 0, b = 0, every_a = 0, every_b = 0;
        som_engine::CallOptions every;
        every.search.pair_min_rows = SIZE_MAX;
        som_engine::farthest_pair(data.rows.data(), count, n, &a, &b, som_internal::Observer{}, som_engine::CallOptions{},
                                  nullptr);
        som_engine::farthest_pair(data.rows.data(), count, n, &every_a, &every_b, som_internal::Observer{}, every,
                                  nullptr);
        if (a != every_a || b != every_b) {
            std::fprintf(stderr, "placement: the bounded and the all-pairs search differ\n");
            std::exit(1);
        }
    }
    som_network *net = som_network_new(n, 10, 10);
    for (auto _ : state) som_init_weights(net, data.rows.data(), count);
    som_network_destroy(net);
}
BENCHMARK(BM_InitWild)->Name("init/dbl_max_row")->ArgNames({"rows", "dbl_max"})
    ->Args({40000, 0})->Args({40000, 1})->Args({200000, 0})->Args({200000, 1})->Unit(benchmark::kMillisecond);

// The machine's peak rate of separate multiplies and adds (no fused
// multiply-add), the yardstick for the training kernel's flops: independent
// chains of AVX-512 adds and multiplies, as many as the CPU can overlap, on
// every core.
__attribute__((target("avx512f"), noinline)) double peak_chains(long rounds) {
    typedef double v8 __attribute__((vector_size(64)));
    v8 a[8], m[8];
    const v8 factor = {1.0000001, 1.0000001, 1.0000001, 1.0000001, 1.0000001, 1.0000001, 1.0000001, 1.0000001};
    const v8 step = {1e-300, 1e-300, 1e-300, 1e-300, 1e-300, 1e-300, 1e-300, 1e-300};
    const v8 one = {1, 1, 1, 1, 1, 1, 1, 1};
    for (int c = 0; c < 8; ++c) {
        a[c] = one * static_cast<double>(c);
        m[c] = one;
    }
    for (long r = 0; r < rounds; ++r) {
        for (int c = 0; c < 8; ++c) {
            a[c] = a[c] + step;
            m[c] = m[c] * factor;
        }
    }
    double out = 0;
    for (int c = 0; c < 8; ++c) out += a[c][0] + m[c][0];
    return out;
}

void BM_PeakNoFma(benchmark::State &state) {
    if (!__builtin_cpu_supports("avx512f")) {
        state.SkipWithError("no AVX-512 on this CPU");
        return;
    }
    const long rounds = 1 << 20;
    volatile long volatile_rounds = rounds;  // keeps each call from being hoisted out of the loop
    for (auto _ : state) benchmark::DoNotOptimize(peak_chains(volatile_rounds));
    // Per round: 8 vector adds and 8 vector multiplies of 8 doubles.
    state.counters["flops"] =
        benchmark::Counter(128.0 * rounds * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PeakNoFma)->Name("peak/no_fma_per_thread")->Threads(1)->Threads(2)->UseRealTime();

// The input reader on text already in memory: `lines` lines of 8 fields of
// four decimals, as bench/workloads.sh writes them for W4. The fast reader
// on one thread and on as many as the library allows (the argument 0), and
// the literal reader; the first call of each is checked against the
// literal table. Wall time: the fast reader's threads are its own.
const std::string &reader_text(size_t lines) {
    static std::string text;
    static size_t made = 0;
    if (made != lines) {
        std::mt19937_64 random(405);
        char field[16];
        text.clear();
        for (size_t r = 0; r < lines; ++r)
            for (int f = 0; f < 8; ++f) {
                std::snprintf(field, sizeof field, "%.4f%c", static_cast<double>(random() % 10000) / 10000.0,
                              f < 7 ? '\t' : '\n');
                text += field;
            }
        made = lines;
    }
    return text;
}

void check_same_table(const std::string &text, const somap::InputTable &table) {
    std::istringstream in(text);
    somap::InputTable plain;
    somap::read_input_table_plain(in, plain);
    if (plain.values.size() != table.values.size() || plain.size() != table.size() ||
        std::memcmp(plain.values.data(), table.values.data(), plain.values.size() * sizeof(double)) != 0) {
        std::fprintf(stderr, "reader: fast and plain tables differ\n");
        std::exit(1);
    }
}

void BM_ReadFast(benchmark::State &state) {
    const std::string &text = reader_text(static_cast<size_t>(state.range(0)));
    somap::ParseSharing sharing;
    sharing.threads = static_cast<unsigned>(state.range(1));
    bool checked = false;
    for (auto _ : state) {
        state.PauseTiming();
        std::string copy = text;
        somap::InputTable table;
        state.ResumeTiming();
        somap::build_input_table(std::move(copy), table, sharing);
        state.PauseTiming();
        if (!checked) check_same_table(text, table);
        checked = true;
        table = somap::InputTable();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadFast)->Name("read/fast")->ArgNames({"lines", "threads"})->Args({1000000, 1})->Args({1000000, 0})
    ->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadPlain(benchmark::State &state) {
    const std::string &text = reader_text(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::istringstream in(text);
        somap::InputTable table;
        somap::read_input_table_plain(in, table);
        benchmark::DoNotOptimize(table.values.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadPlain)->Name("read/plain")->ArgNames({"lines"})->Arg(100000)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
