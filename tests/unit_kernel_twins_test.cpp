// Every kernel of every vector kernel set this CPU runs, against its scalar
// twin (som/engine/kernels/kernels_scalar.cpp), on the same packed inputs:
// the same nearest neurons with their distances to the bit, the same
// farthest pairs, the same winners through the filter, and from a sweep the
// same weights, per-iteration minima and bounds for the next vector. Fixed
// seeds; the cases sit where vector code goes wrong: one block, a block and
// a partial one, input counts one below and above each vector width, a
// single input, ties, NaN and infinities of both signs, magnitudes whose
// squares overflow or underflow, and filter survivors one unit in the last
// place apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "som/engine/bounds/training_skip.h"
#include "som/engine/engine.h"
#include "som/engine/search_internal.h"
#include "som/engine/sweep.h"
#include "som/base/literal_primitives.h"
#include "som/som.h"
#include "test_support.h"

namespace {

using som_engine::Farthest;
using som_engine::Kernels;
using som_engine::kLanes;
using som_engine::kMaxSweep;
using som_engine::Nearest;
namespace training_skip = som_engine::training_skip;
using somap::testing::bits;

// Kinds of values, each where some vector code has gone wrong before.
enum class Kind { Uniform, Ties, Specials, Huge, Tiny, Spread };
const Kind kKinds[] = {Kind::Uniform, Kind::Ties, Kind::Specials, Kind::Huge, Kind::Tiny, Kind::Spread};

double value_of(std::mt19937_64 &random, Kind kind) {
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    const double u = uniform(random);
    switch (kind) {
        case Kind::Uniform: return u;
        case Kind::Ties: return static_cast<double>(random() % 5) - 2.0;
        case Kind::Specials: {
            const double specials[] = {NAN, -NAN, INFINITY, -INFINITY, 0.0, -0.0, DBL_MAX, 5e-324};
            return random() % 4 == 0 ? specials[random() % 8] : u;
        }
        case Kind::Huge: return std::ldexp(u, 500 + static_cast<int>(random() % 24));   // squares overflow
        case Kind::Tiny: return std::ldexp(u, -1050 + static_cast<int>(random() % 40));  // squares underflow
        case Kind::Spread: return std::ldexp(u, static_cast<int>(random() % 80) - 40);
    }
    return u;
}

std::vector<double> values_of(std::mt19937_64 &random, Kind kind, size_t count) {
    std::vector<double> out(count);
    for (double &v : out) v = value_of(random, kind);
    return out;
}

// count vectors of n values (vector p at [p * n]) in the packed layout,
// padding lanes NaN as the packed grid has them.
std::vector<double> packed(const std::vector<double> &values, size_t count, size_t n) {
    const size_t blocks = som_engine::block_count(count);
    std::vector<double> out(blocks * n * kLanes, NAN);
    for (size_t p = 0; p < count; ++p)
        for (size_t k = 0; k < n; ++k) out[((p / kLanes) * n + k) * kLanes + p % kLanes] = values[p * n + k];
    return out;
}

::testing::AssertionResult same(const Nearest &vector, const Nearest &twin) {
    if (vector.index == twin.index && bits(vector.distance) == bits(twin.distance) && vector.any_zero == twin.any_zero)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "vector (" << vector.index << ", " << vector.distance << ", "
                                         << vector.any_zero << "), twin (" << twin.index << ", " << twin.distance
                                         << ", " << twin.any_zero << ")";
}

// Equal bits, or both NaN: a bound made from a NaN distance carries the
// NaN of whatever operation met it first, which the contract leaves open.
bool same_or_both_nan(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

// The first of the smallest of two searches over different blocks, as the
// training driver folds them.
Nearest folded(const Nearest &a, const Nearest &b) {
    using som_literal::FirstSmallest;
    const FirstSmallest first = som_literal::first_of(FirstSmallest{a.distance, a.index}, FirstSmallest{b.distance, b.index});
    return Nearest{first.value, first.index, a.any_zero || b.any_zero};
}

class KernelTwins : public ::testing::TestWithParam<const char *> {
  protected:
    void SetUp() override {
        if (som_engine_select(GetParam()) != 0) GTEST_SKIP() << GetParam() << " not supported here";
        vector_ = &som_engine::active();
        som_engine_select("auto");
    }
    const Kernels &vector() const { return *vector_; }
    const Kernels &twin() const { return som_engine::scalar_kernels(); }

  private:
    const Kernels *vector_ = nullptr;
};

// Input counts around every vector width and unrolling (1, W - 1, W, W + 1
// for W = 2, 4, 8, and beyond), neuron counts of one block, a block and a
// partial one, and more.
const size_t kInputs[] = {1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 33};
const size_t kNeurons[] = {1, 7, 8, 9, 16, 17, 41};

TEST_P(KernelTwins, NearestOverAnyRangeOfBlocks) {
    std::mt19937_64 random(3101);
    for (size_t n : kInputs)
        for (size_t neurons : kNeurons)
            for (Kind kind : kKinds) {
                std::vector<double> weights = values_of(random, kind, neurons * n);
                // Duplicates of neurons in other blocks: ties across blocks.
                if (neurons > 8)
                    std::copy_n(weights.begin() + n * (random() % 8), n, weights.begin() + n * (neurons - 1));
                const std::vector<double> grid = packed(weights, neurons, n);
                const size_t blocks = som_engine::block_count(neurons);
                for (int row = 0; row < 4; ++row) {
                    std::vector<double> x = values_of(random, kind, n);
                    // A row on a neuron: a distance of exactly 0.0.
                    if (row == 1) std::copy_n(weights.begin() + n * (random() % neurons), n, x.begin());
                    for (size_t begin = 0; begin < blocks; ++begin)
                        for (size_t end = begin + 1; end <= blocks; ++end)
                            ASSERT_TRUE(same(vector().nearest(grid.data(), n, begin, end, x.data()),
                                             twin().nearest(grid.data(), n, begin, end, x.data())))
                                << n << " inputs, " << neurons << " neurons, kind " << static_cast<int>(kind)
                                << ", blocks " << begin << " to " << end;
                }
            }
}

TEST_P(KernelTwins, BatchOfRowsAroundTheTile) {
    std::mt19937_64 random(3102);
    for (size_t n : kInputs)
        for (Kind kind : kKinds) {
            const size_t neurons = kNeurons[random() % std::size(kNeurons)];
            const std::vector<double> weights = values_of(random, kind, neurons * n);
            const std::vector<double> grid = packed(weights, neurons, n);
            // One to nine rows: none, one and two tiles of four, and partial
            // ones; rows on neurons and repeated rows among them.
            for (size_t count = 1; count <= 9; ++count) {
                std::vector<std::vector<double>> table;
                for (size_t r = 0; r < count; ++r) {
                    table.push_back(values_of(random, kind, n));
                    if (r % 3 == 1) std::copy_n(weights.begin() + n * (random() % neurons), n, table.back().begin());
                    if (r % 4 == 3) table.back() = table[r / 2];
                }
                std::vector<const double *> rows;
                for (const auto &row : table) rows.push_back(row.data());
                std::vector<size_t> from_vector(count), from_twin(count);
                const size_t blocks = som_engine::block_count(neurons);
                vector().nearest_batch(grid.data(), n, blocks, rows.data(), count, from_vector.data());
                twin().nearest_batch(grid.data(), n, blocks, rows.data(), count, from_twin.data());
                ASSERT_EQ(from_vector, from_twin) << n << " inputs, " << neurons << " neurons, " << count << " rows";
            }
        }
}

TEST_P(KernelTwins, FarthestPairOverAnyRangeOfFirstRows) {
    std::mt19937_64 random(3103);
    const size_t row_counts[] = {1, 2, 3, 5, 8, 9, 12, 17, 33};
    for (size_t n : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{8}, size_t{9}})
        for (size_t count : row_counts)
            for (Kind kind : kKinds) {
                const std::vector<double> values = values_of(random, kind, count * n);
                std::vector<const double *> rows;
                for (size_t r = 0; r < count; ++r) rows.push_back(values.data() + r * n);
                // Lanes past the end repeat the last row, as the pair
                // search packs them.
                std::vector<double> padded = values;
                while (padded.size() < som_engine::block_count(count) * kLanes * n)
                    padded.insert(padded.end(), values.end() - static_cast<long>(n), values.end());
                const std::vector<double> grid = packed(padded, padded.size() / n, n);
                // First rows over every range the tile of four meets.
                for (size_t i_begin = 0; i_begin < count; ++i_begin)
                    for (size_t i_end = i_begin + 1; i_end <= count; i_end += 1 + (i_end > 6 ? 3 : 0)) {
                        const Farthest a = vector().farthest_pair(grid.data(), n, count, rows.data(), i_begin, i_end);
                        const Farthest b = twin().farthest_pair(grid.data(), n, count, rows.data(), i_begin, i_end);
                        ASSERT_TRUE(bits(a.distance) == bits(b.distance) && a.first == b.first && a.second == b.second)
                            << n << " inputs, " << count << " rows, kind " << static_cast<int>(kind) << ", first rows "
                            << i_begin << " to " << i_end << ": vector (" << a.distance << ", " << a.first << ", "
                            << a.second << "), twin (" << b.distance << ", " << b.first << ", " << b.second << ")";
                    }
            }
}

// A map for the filter and rows that test it at its bound: for each row,
// two neurons whose distances to it are one unit in the last place apart or
// equal (found by nudging components an ulp at a time), the earlier one the
// nearer in some rows and the farther in others; exact copies of neurons;
// rows far outside the map's spread; special neurons (NaN, infinite).
struct FilterCase {
    std::string name;
    size_t n, neurons;
    std::vector<double> weights;
    std::vector<std::vector<double>> rows;
};

FilterCase filter_case(std::mt19937_64 &random, size_t n, size_t neurons, bool specials) {
    FilterCase c{std::to_string(n) + " inputs, " + std::to_string(neurons) + " neurons" + (specials ? ", special" : ""),
                 n, neurons, values_of(random, Kind::Uniform, neurons * n), {}};
    auto distance = [n](const double *x, const double *w) { return som_literal::squared_distance(x, w, n); };
    for (size_t r = 0; r < 24; ++r) {
        std::vector<double> x = values_of(random, Kind::Uniform, n);
        const size_t a = (2 * r) % neurons, b = (a + 1 + random() % (neurons - 1)) % neurons;
        double *wa = &c.weights[a * n], *wb = &c.weights[b * n];
        for (size_t k = 0; k < n; ++k) wa[k] = x[k] + std::ldexp(static_cast<double>(random() % 64) - 32.0, -12);
        const double target = std::nextafter(distance(x.data(), wa), r % 2 ? INFINITY : -INFINITY);
        for (int attempt = 0; attempt < 4000; ++attempt) {
            for (size_t k = 0; k < n; ++k) {
                double v = wa[k];
                for (int step = static_cast<int>(random() % 3); step > 0; --step)
                    v = std::nextafter(v, (random() & 1) ? INFINITY : -INFINITY);
                wb[k] = v;
            }
            const double d = distance(x.data(), wb);
            if (d == target || (r % 6 == 0 && d == distance(x.data(), wa))) break;
        }
        if (r % 5 == 2) x = std::vector<double>(c.weights.begin() + static_cast<long>(b * n),
                                                c.weights.begin() + static_cast<long>((b + 1) * n));
        if (r % 7 == 3) x[r % n] = 0x1p60;  // beyond the filter's range: searched exactly
        c.rows.push_back(x);
    }
    if (specials) {
        c.weights[(neurons / 3) * n] = NAN;
        c.weights[(neurons / 2) * n + n - 1] = -INFINITY;
    }
    return c;
}

TEST_P(KernelTwins, FilteredRecognitionAtTheBound) {
    std::mt19937_64 random(3104);
    size_t built = 0;
    for (size_t n : {size_t{1}, size_t{3}, size_t{8}, size_t{9}, size_t{17}})
        for (size_t neurons : {size_t{24}, size_t{64}, size_t{600}})
            for (bool specials : {false, true}) {
                FilterCase c = filter_case(random, n, neurons, specials);
                SCOPED_TRACE(c.name);
                const std::vector<double> grid = packed(c.weights, neurons, n);
                const size_t blocks = som_engine::block_count(neurons);
                std::vector<const double *> rows;
                for (const auto &row : c.rows) rows.push_back(row.data());
                // The exact winners over every neuron, from the twin.
                std::vector<size_t> exact(rows.size());
                twin().nearest_batch(grid.data(), n, blocks, rows.data(), rows.size(), exact.data());
                // The float image, and the integer one where the set has it.
                std::vector<bool> images{false};
                if (vector().integer_filter) images.push_back(true);
                for (bool integer : images) {
                    som_engine::FilterGrid filter;
                    if (!filter.build(grid.data(), n, neurons, integer)) continue;
                    ++built;
                    std::vector<size_t> from_vector(rows.size()), from_twin(rows.size());
                    som_engine::FilterCounts vector_counts, twin_counts;
                    vector().nearest_filtered(filter, grid.data(), blocks, rows.data(), rows.size(), from_vector.data(),
                                              &vector_counts);
                    twin().nearest_filtered(filter, grid.data(), blocks, rows.data(), rows.size(), from_twin.data(),
                                            &twin_counts);
                    EXPECT_EQ(from_vector, exact) << (integer ? "integer" : "float") << " image";
                    EXPECT_EQ(from_twin, exact) << (integer ? "integer" : "float") << " image";
                    EXPECT_EQ(vector_counts.rows, rows.size());
                    EXPECT_EQ(twin_counts.rows, rows.size());
                    // The twin's filter decided some rows on its own.
                    EXPECT_LT(twin_counts.exact_rows, twin_counts.rows);
                }
            }
    EXPECT_GT(built, 20u) << "the filter was hardly ever built";
}

// ---- Sweeps -----------------------------------------------------------------

// The tables a sweep reads, for an X by Y grid.
struct SweepTables {
    size_t n, neurons, blocks, max_sum;
    std::vector<double> neighbourhood;
    std::vector<uint32_t> index_sum;
    std::vector<int64_t> block_first_sum;

    SweepTables(size_t inputs, size_t X, size_t Y)
        : n(inputs), neurons(X * Y), blocks(som_engine::block_count(X * Y)), max_sum(X + Y - 2),
          neighbourhood(2 * max_sum + 1), index_sum(blocks * kLanes, 0), block_first_sum(blocks, -1) {
        for (size_t e = 0; e < neighbourhood.size(); ++e)
            neighbourhood[e] = som_neighbourhood(static_cast<long long>(max_sum) - static_cast<long long>(e));
        for (size_t q = 0; q < neurons; ++q) index_sum[q] = static_cast<uint32_t>(q / Y + q % Y);
        for (size_t b = 0; b < blocks; ++b)
            if ((b + 1) * kLanes <= neurons && b * kLanes / Y == ((b + 1) * kLanes - 1) / Y)
                block_first_sum[b] = index_sum[b * kLanes];
    }
};

// What one kernel's sweep left: the weights where it wrote them, its
// per-iteration minima, the bounds for the next vector, its counts.
struct SweepResult {
    std::vector<double> weights, bounds;
    Nearest out[kMaxSweep + 1];
    uint64_t skipped = 0, failures = 0;
    bool stopped = false;
};

// Runs `job` (with its src, dst and bounds replaced by copies of the given
// ones) on blocks [begin, end) of one kernel set.
SweepResult run_sweep(const Kernels &kernels, som_engine::SweepJob job, const std::vector<double> &start,
                      const std::vector<double> &bounds, size_t begin, size_t end, bool in_place, bool stop) {
    SweepResult result;
    std::vector<double> src = start;
    result.weights = start;
    result.bounds = bounds;
    job.src = src.data();
    job.dst = in_place ? src.data() : result.weights.data();
    job.bounds = job.bounds != nullptr ? result.bounds.data() : nullptr;
    job.stopped = stop ? &result.stopped : nullptr;
    som_engine::SweepCounts counts;
    counts.checking = job.counts != nullptr && job.counts->checking;
    job.counts = &counts;
    kernels.sweep(job, begin, end, result.out);
    if (in_place) result.weights = src;
    result.skipped = counts.skipped.load();
    result.failures = counts.failures.load();
    return result;
}

::testing::AssertionResult same_sweeps(const SweepResult &a, const SweepResult &b, size_t minima) {
    for (size_t k = 0; k < a.weights.size(); ++k)
        if (bits(a.weights[k]) != bits(b.weights[k]))
            return ::testing::AssertionFailure() << "weight " << k << ": " << a.weights[k] << " and " << b.weights[k];
    for (size_t j = 0; j < minima; ++j) {
        ::testing::AssertionResult one = same(a.out[j], b.out[j]);
        if (!one) return one << " (iteration " << j << ")";
    }
    for (size_t k = 0; k < a.bounds.size(); ++k)
        if (!same_or_both_nan(a.bounds[k], b.bounds[k]))
            return ::testing::AssertionFailure() << "bound " << k << ": " << a.bounds[k] << " and " << b.bounds[k];
    return ::testing::AssertionSuccess();
}

// Weights, each iteration's first nearest neuron with its distance and
// whether one was 0.0, and the bounds left for the next vector, over ranges
// of blocks with one left out, with and without the next vector's search,
// in place and into a second copy. Then as training runs a sweep: the
// winner's block first, its smallest distances making thresholds below
// which the other blocks may leave distances unformed (the two kernels
// leave out different ones; folded with the winner's block their results
// agree), starting from the bounds a previous sweep left, every bound
// checked in checking mode; and a one-block sweep that the kernel may end
// at the first distance of 0.0.
TEST_P(KernelTwins, SweepsAsTrainingRunsThem) {
    std::mt19937_64 random(3105);
    uint64_t vector_skipped = 0, twin_skipped = 0;
    const size_t shapes[][3] = {{1, 1, 1}, {1, 3, 5}, {2, 2, 9}, {3, 4, 4}, {4, 1, 17}, {7, 3, 3}, {8, 5, 5},
                                {9, 2, 8}, {16, 3, 7}, {17, 2, 9}, {33, 1, 9}, {5, 6, 7}};
    for (const auto &shape : shapes) {
        const SweepTables tables(shape[0], shape[1], shape[2]);
        const size_t n = tables.n, neurons = tables.neurons, blocks = tables.blocks;
        for (int trial = 0; trial < 36; ++trial) {
            const Kind kind = kKinds[trial % std::size(kKinds)];
            std::vector<double> weights = values_of(random, kind == Kind::Specials ? kind : Kind::Spread, neurons * n);
            std::vector<double> x = values_of(random, kind, n), next = values_of(random, kind, n);
            if (kind == Kind::Huge || kind == Kind::Tiny)
                for (double &w : weights) w = value_of(random, kind);
            // The row on a neuron (a distance of 0.0 at once, or soon), and
            // the next row on the row.
            if (trial % 3 == 0)
                std::copy(x.begin(), x.end(), weights.begin() + static_cast<long>(n * (random() % neurons)));
            if (trial % 4 == 0) next = x;
            const std::vector<double> start = packed(weights, neurons, n);
            const std::vector<double> no_bounds(2 * kLanes * blocks, 0.0);
            // Rates of the computed time constant, of 3.0 (rates past one
            // half at once), NaN of either sign, and of a negative one.
            const double time_constants[] = {27.104644554585676, 3.0, NAN, -NAN, -27.1};
            const double time_constant = time_constants[trial % 5];
            double rates[kMaxSweep];
            const size_t iterations = 1 + random() % kMaxSweep, s = random() % (tables.max_sum + 1);
            for (size_t j = 0; j < iterations; ++j) rates[j] = som_learning_rate(1 + random() % 80, time_constant);
            const training_skip::Margins margins = training_skip::margins_for(n);

            som_engine::SweepJob job;
            job.n = n;
            job.x = x.data();
            job.neighbourhood = tables.neighbourhood.data() + (tables.max_sum - s);
            job.rates = rates;
            job.index_sum = tables.index_sum.data();
            job.block_first_sum = tables.block_first_sum.data();
            job.iterations = iterations;
            job.margins = margins;
            job.twice_norm = training_skip::twice_norm(x.data(), n, margins);
            job.next_twice_norm = training_skip::twice_norm(next.data(), n, margins);
            const std::string where = std::to_string(n) + " inputs, " + std::to_string(neurons) + " neurons, trial " +
                                      std::to_string(trial) + ", " + std::to_string(iterations) + " iterations";

            // Any range of blocks, one left out or none, next vector or not.
            {
                const size_t begin = random() % blocks, end = begin + 1 + random() % (blocks - begin);
                som_engine::SweepJob plain = job;
                plain.skip = random() % 2 ? begin + random() % (end - begin) : SIZE_MAX;
                plain.next_x = random() % 2 ? next.data() : nullptr;
                std::vector<double> bounds = no_bounds;
                plain.bounds = bounds.data();
                const bool in_place = random() % 2;
                const SweepResult a = run_sweep(vector(), plain, start, bounds, begin, end, in_place, false);
                const SweepResult b = run_sweep(twin(), plain, start, bounds, begin, end, in_place, false);
                ASSERT_TRUE(same_sweeps(a, b, iterations + (plain.next_x != nullptr ? 1 : 0))) << where;
            }

            // As training runs it: the winner's block, then the rest with
            // thresholds, from the weights and bounds a sweep of the vector
            // before left (or from the start, knowing nothing).
            const size_t lead_block = random() % blocks;
            const bool bounds_in = trial % 2 == 1;
            std::vector<double> bounds = no_bounds, from = start;
            if (bounds_in) {
                som_engine::SweepJob before = job;
                before.x = next.data();
                before.twice_norm = job.next_twice_norm;
                before.next_x = x.data();
                before.next_twice_norm = job.twice_norm;
                before.bounds = bounds.data();
                const SweepResult left = run_sweep(twin(), before, start, bounds, 0, blocks, false, false);
                bounds = left.bounds;
                from = left.weights;
            }
            for (bool checking : {false, true}) {
                som_engine::SweepJob led = job;
                led.next_x = next.data();
                led.bounds = bounds.data();
                led.bounds_in = bounds_in;
                const SweepResult lead = run_sweep(twin(), led, from, bounds, lead_block, lead_block + 1, false, false);
                if (!training_skip::rates_allow(rates, iterations)) break;
                double thresholds[kMaxSweep], smallest[kMaxSweep];
                for (size_t j = 0; j < iterations; ++j) {
                    smallest[j] = lead.out[j].distance;
                    thresholds[j] = training_skip::threshold(smallest[j], lead.out[j].index != SIZE_MAX, margins);
                }
                led.skip = lead_block;
                led.reach_thresholds = thresholds;
                led.lead_smallest = smallest;
                som_engine::SweepCounts check;
                check.checking = checking;
                led.counts = &check;
                SweepResult a = run_sweep(vector(), led, from, bounds, 0, blocks, false, false);
                SweepResult b = run_sweep(twin(), led, from, bounds, 0, blocks, false, false);
                vector_skipped += a.skipped;
                twin_skipped += b.skipped;
                EXPECT_EQ(a.failures, 0u) << where << ", a bound of the vector set did not hold";
                EXPECT_EQ(b.failures, 0u) << where << ", a bound of the twin did not hold";
                for (size_t j = 0; j <= iterations; ++j) {
                    a.out[j] = folded(a.out[j], lead.out[j]);
                    b.out[j] = folded(b.out[j], lead.out[j]);
                }
                ASSERT_TRUE(same_sweeps(a, b, iterations + 1)) << where << (checking ? ", checking" : "");
            }

            // One block that the kernel may end at its first distance of 0.0:
            // then its weights and next-vector search are those after that
            // iteration.
            {
                som_engine::SweepJob one = job;
                one.next_x = next.data();
                const size_t block = random() % blocks;
                const SweepResult a = run_sweep(vector(), one, start, no_bounds, block, block + 1, false, true);
                size_t until = iterations;
                for (size_t j = 0; j < iterations && until == iterations; ++j)
                    if (a.out[j].any_zero) until = j + 1;
                one.iterations = a.stopped ? until : iterations;
                SweepResult b = run_sweep(twin(), one, start, no_bounds, block, block + 1, false, true);
                EXPECT_FALSE(b.stopped) << "the twin never ends a sweep early";
                if (a.stopped) {
                    ASSERT_LT(until, iterations) << where;
                    b.out[iterations] = b.out[until];
                    for (size_t j = until; j < iterations; ++j) b.out[j] = a.out[j];
                }
                ASSERT_TRUE(same_sweeps(a, b, iterations + 1)) << where << ", one block";
            }
        }
    }
    // The thresholds let both leave distances out.
    EXPECT_GT(vector_skipped, 0u);
    EXPECT_GT(twin_skipped, 0u);
}

// The update's addition at its edges, where the sets with fused
// multiply-add form some of them as p * 1.0 + w: every weight of the table
// below meets every input value of its row in lanes and positions that add
// on either unit (odd and even places of the unrolled groups, the tail
// after them), with factors that cancel exactly, round to signed zeros,
// overflow and underflow, all to the bit of the twin's plain additions.
// First with every distance measured, then with thresholds that let every
// block leave them out (the other loops), and for inputs with a NaN, which
// meet weights with NaN of the other sign.
TEST_P(KernelTwins, SweepUpdatesAtTheEdgesOfAddition) {
    const double edges[] = {0.0,     -0.0,     5e-324,   -5e-324,  0x1p-1022, -0x1p-1022, 0x1.8p-1070,
                            DBL_MAX, -DBL_MAX, INFINITY, -INFINITY, 1.0,       -1.0,       0x1p-1000,
                            3.0,     -0x1p1000, NAN,      -NAN,     0.1,       -0.75};
    const size_t count = std::size(edges);
    // Negative rates, under which a weight of -0.0 with an input of 0.0
    // gets a product of -0.0 and stays -0.0; then rates of one (x - w + w:
    // exact cancellation to +0.0 where x is 0), ones that carry a product
    // into the subnormals or past DBL_MAX, and a NaN last (it leaves every
    // weight NaN).
    const std::vector<double> rate_tables[] = {{-1.0, -0x1p-60, -2.0},
                                               {1.0, 0.5, 0x1p-1060, 0x1p1000, 3.0, 0.25, -1.0, NAN}};
    const size_t n = 19, X = 3, Y = 7;  // two groups of eight and a tail; three blocks
    const SweepTables tables(n, X, Y);
    std::vector<double> weights(tables.neurons * n);
    for (size_t p = 0; p < tables.neurons; ++p)
        for (size_t k = 0; k < n; ++k) weights[p * n + k] = edges[(p + 3 * k) % count];
    const std::vector<double> start = packed(weights, tables.neurons, n);
    const std::vector<double> no_bounds(2 * kLanes * tables.blocks, 0.0);
    double reach_thresholds[kMaxSweep], lead_smallest[kMaxSweep];
    std::fill(std::begin(reach_thresholds), std::end(reach_thresholds), -1.0);
    std::fill(std::begin(lead_smallest), std::end(lead_smallest), -1.0);
    const training_skip::Margins margins = training_skip::margins_for(n);
    for (size_t shift = 0; shift < count; ++shift)
        for (const std::vector<double> &rates : rate_tables)
            for (bool with_nan : {false, true})
                for (bool skipping : {false, true}) {
                    std::vector<double> x(n), next(n);
                    for (size_t k = 0; k < n; ++k) {
                        x[k] = edges[(k + shift) % count];
                        next[k] = edges[(k + 2 * shift + 1) % count];
                        if (!with_nan && std::isnan(x[k])) x[k] = -0.0;
                    }
                    if (with_nan) x[shift % n] = shift % 2 ? NAN : -NAN;
                    som_engine::SweepJob job;
                    job.n = n;
                    job.x = x.data();
                    job.next_x = next.data();
                    job.neighbourhood = tables.neighbourhood.data() + (tables.max_sum - shift % (tables.max_sum + 1));
                    job.rates = rates.data();
                    job.index_sum = tables.index_sum.data();
                    job.block_first_sum = tables.block_first_sum.data();
                    job.iterations = rates.size();
                    job.margins = margins;
                    job.twice_norm = training_skip::twice_norm(x.data(), n, margins);
                    job.next_twice_norm = training_skip::twice_norm(next.data(), n, margins);
                    if (skipping) {
                        // Every bound that is a number lies above these
                        // thresholds: distances go unmeasured, through the
                        // loops that leave them out.
                        job.reach_thresholds = reach_thresholds;
                        job.lead_smallest = lead_smallest;
                    }
                    const std::string where = "shift " + std::to_string(shift) + ", " + std::to_string(rates.size()) +
                                              " rates" + (with_nan ? ", NaN in x" : "") +
                                              (skipping ? ", skipping" : "");
                    const SweepResult a = run_sweep(vector(), job, start, no_bounds, 0, tables.blocks, false, false);
                    const SweepResult b = run_sweep(twin(), job, start, no_bounds, 0, tables.blocks, false, false);
                    if (!skipping) {
                        ASSERT_TRUE(same_sweeps(a, b, job.iterations + 1)) << where;
                        continue;
                    }
                    EXPECT_GT(a.skipped, 0u) << where;
                    for (size_t k = 0; k < a.weights.size(); ++k)
                        ASSERT_EQ(bits(a.weights[k]), bits(b.weights[k])) << where << ", weight " << k;
                    ASSERT_TRUE(same(a.out[job.iterations], b.out[job.iterations])) << where << ", next vector";
                }
}

INSTANTIATE_TEST_SUITE_P(VectorSets, KernelTwins, ::testing::Values("generic", "avx2", "avx512"));

}  // namespace
