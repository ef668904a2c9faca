// Training in sweeps against the plain loop, bit for bit: the cases a sweep
// can get wrong (an early stop anywhere inside it, a winner whose index sum
// changes, ties across blocks, non-finite values, odd shapes, threads,
// cancellation), under sweep policies that put every kind of sweep and
// replay through its paces, for every set of kernels this CPU has and the
// scalar twin.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "som/engine/engine.h"
#include "som/engine/options.h"
#include "som/engine/sweep.h"
#include "som/literal/literal.h"
#include "som/model/network_internal.h"
#include "som/som.h"
#include "test_support.h"
#include "unit_helpers.h"

namespace {

using som_engine::kMaxSweep;
using som_engine::SweepPolicy;
using som_engine::SweepStats;
using somap::testing::all_inputs;
using somap::testing::all_weights;
using somap::testing::bits;
using somap::testing::NetworkPtr;
using somap::testing::row_pointers;
using somap::testing::set_all_weights;

// A training problem: a grid with its starting weights (map-file order),
// the rows, the iteration limit and the time constant (0.0: computed).
struct Problem {
    size_t n = 1, x = 1, y = 1;
    std::vector<double> weights;
    std::vector<std::vector<double>> rows;
    size_t iterations = 1000;
    double time_constant = 0.0;
};

std::string describe(const Problem &p) {
    std::ostringstream out;
    out << "n " << p.n << ", " << p.x << " x " << p.y << ", " << p.rows.size() << " rows, " << p.iterations
        << " iterations, time constant " << p.time_constant;
    return out.str();
}

std::string describe(const SweepPolicy &policy) {
    std::ostringstream out;
    out << "sweeps of " << policy.first << " growing to " << policy.most
        << (policy.lead_block ? ", winner's block first" : "") << (policy.in_place ? ", in place" : "")
        << (policy.skipping ? "" : ", measuring all") << (policy.checking ? ", checking bounds" : "");
    return out.str();
}

NetworkPtr build(const Problem &p) {
    NetworkPtr network(som_network_new(p.n, p.x, p.y));
    set_all_weights(network.get(), p.weights);
    network->time_constant = p.time_constant;
    return network;
}

// The kernels under test: the scalar twin, which only options can name, or
// null for the set som_engine_select chose.
const som_engine::Kernels *tested_kernels = nullptr;

const som_engine::Kernels &kernels_under_test() {
    return tested_kernels != nullptr ? *tested_kernels : som_engine::active();
}

// som_train_observed under `policy` on the kernels under test, its counts to
// *stats when not null.
int train_with(const SweepPolicy &policy, som_network *network, double **rows, size_t row_count, size_t iterations,
               SweepStats *stats = nullptr, const som_internal::Observer &observer = som_internal::Observer{}) {
    som_engine::CallOptions options;
    options.sweeps = policy;
    options.kernels = &kernels_under_test();
    return som_engine::train(network, rows, row_count, iterations, observer, options, stats);
}

void add(SweepStats &total, const SweepStats &more) {
    total.vectors += more.vectors;
    total.searches += more.searches;
    total.sweeps += more.sweeps;
    total.iterations += more.iterations;
    total.replays += more.replays;
    total.sum_changes += more.sum_changes;
    total.early_zeros += more.early_zeros;
    total.measured += more.measured;
    total.skipped += more.skipped;
    total.bound_failures += more.bound_failures;
}

// Equal bit for bit; otherwise says where and how the first values differ.
::testing::AssertionResult same_bits(const char *what, const std::vector<double> &fast,
                                     const std::vector<double> &plain) {
    if (fast.size() != plain.size())
        return ::testing::AssertionFailure() << what << ": sizes " << fast.size() << " and " << plain.size();
    for (size_t k = 0; k < fast.size(); ++k)
        if (bits(fast[k]) != bits(plain[k])) {
            char text[160];
            std::snprintf(text, sizeof text, "%s %zu: fast %a (%016llx), plain %a (%016llx)", what, k, fast[k],
                          static_cast<unsigned long long>(bits(fast[k])), plain[k],
                          static_cast<unsigned long long>(bits(plain[k])));
            return ::testing::AssertionFailure() << text;
        }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_networks(const som_network *fast, const som_network *plain) {
    ::testing::AssertionResult weights = same_bits("weight", all_weights(fast), all_weights(plain));
    if (!weights) return weights;
    ::testing::AssertionResult inputs = same_bits("input", all_inputs(fast), all_inputs(plain));
    if (!inputs) return inputs;
    return same_bits("time constant", {fast->time_constant}, {plain->time_constant});
}

// Trains one copy of the problem's network with the engine under `policy`
// and the current kernels and thread cap, and one with the plain loop;
// `counts` receives what the sweeps did.
::testing::AssertionResult trains_like_plain(const Problem &p, const SweepPolicy &policy,
                                             SweepStats *counts = nullptr) {
    NetworkPtr fast = build(p), plain = build(p);
    std::vector<std::vector<double>> table = p.rows;
    std::vector<double *> rows = row_pointers(table);
    const int status = train_with(policy, fast.get(), rows.data(), rows.size(), p.iterations, counts);
    som_train_plain(plain.get(), rows.data(), rows.size(), p.iterations);
    if (status != SOM_OK) return ::testing::AssertionFailure() << "status " << status << " (" << describe(p) << ")";
    ::testing::AssertionResult same = same_networks(fast.get(), plain.get());
    if (!same) same << " (" << describe(p) << ")";
    return same;
}

// Every shape of sweep sequence: one iteration at a time (with and without
// the second copy), fixed sizes that put sweep boundaries everywhere, the
// largest, growing ones, with and without the winner's block first (which
// also lets the other blocks skip measurements), measuring everything, and
// checking every bound that let a measurement go.
const SweepPolicy kPolicies[] = {
    SweepPolicy{},
    {1, 1, true, false},
    {1, 1, false, true},
    {2, 2, false, false},
    {3, 3, false, false},
    {5, 5, true, false},
    {8, 8, false, false},
    {kMaxSweep, kMaxSweep, false, false},
    {kMaxSweep, kMaxSweep, true, false},
    {kMaxSweep, kMaxSweep, true, false, false},
    {1, kMaxSweep, true, false},
    {7, 13, false, false},
    {6, 6, true, false, true, true},
};

std::vector<double> uniform_values(std::mt19937_64 &random, size_t count, double low, double high) {
    std::uniform_real_distribution<double> uniform(low, high);
    std::vector<double> values(count);
    for (double &v : values) v = uniform(random);
    return values;
}

std::vector<std::vector<double>> uniform_rows(std::mt19937_64 &random, size_t count, size_t n) {
    std::vector<std::vector<double>> rows;
    for (size_t r = 0; r < count; ++r) rows.push_back(uniform_values(random, n, 0.0, 1.0));
    return rows;
}

// The weights the data-driven placement gives: the usual start of training,
// with rows sitting exactly on the corner neurons.
std::vector<double> placed_weights(size_t n, size_t x, size_t y, std::vector<std::vector<double>> rows) {
    NetworkPtr network(som_network_new(n, x, y));
    std::vector<double *> pointers = row_pointers(rows);
    som_init_weights_plain(network.get(), pointers.data(), pointers.size());
    return all_weights(network.get());
}

class SweepDifferential : public ::testing::TestWithParam<const char *> {
  protected:
    void SetUp() override {
        if (std::string(GetParam()) == "scalar") tested_kernels = &som_engine::scalar_kernels();
        else if (som_engine_select(GetParam()) != 0) GTEST_SKIP() << GetParam() << " not supported here";
    }
    void TearDown() override {
        tested_kernels = nullptr;
        som_engine_select("auto");
        som_set_max_threads(0);
    }
};

// Each vector trained on its own, so that the iterations it took show where
// its early stop fell: with sweeps of a fixed size K, at position
// (t - 1) mod K of its sweep. Rows keep coming until every position of
// every size has been met, with and without the winner's block first (which
// ends a sweep at the stop, where otherwise the sweep is replayed).
TEST_P(SweepDifferential, EarlyStopAtEveryPositionOfASweep) {
    std::mt19937_64 random(1201);
    for (size_t size : {size_t{2}, size_t{3}, size_t{5}, size_t{8}, size_t{13}, kMaxSweep}) {
        for (bool lead : {false, true}) {
            const SweepPolicy policy{size, size, lead, false};
            Problem p;
            p.n = 3, p.x = 3, p.y = 4;
            p.weights = uniform_values(random, p.n * p.x * p.y, 0.0, 1.0);
            // With the computed time constant no stop comes between the
            // first and the ninth iteration (the rate first passes one half
            // there); with 3.0 and 6.0 it passes at once or at the second,
            // and stops come early or, once the rate has decayed, not at
            // all; with 45.0 and 70.0 it rises slowly and stops come late.
            std::vector<NetworkPtr> fast, plain;
            for (double time_constant : {0.0, 3.0, 6.0, 45.0, 70.0}) {
                p.time_constant = time_constant;
                fast.push_back(build(p));
                plain.push_back(build(p));
            }
            std::set<size_t> positions;
            for (int row = 0; row < 6000 && positions.size() < size; ++row) {
                som_network *fast_net = fast[row % 5].get();
                som_network *plain_net = plain[row % 5].get();
                // A row near a neuron's current weights, nearer or farther
                // in units of its last place, or one of tiny values far
                // from all weights in those units: early stops from the
                // first iteration to the hundredth.
                const std::vector<double> now = all_weights(plain_net);
                const size_t q = random() % (p.x * p.y);
                const int scale = static_cast<int>(random() % 80);
                std::vector<double> values = uniform_values(random, p.n, -1.0, 1.0);
                for (size_t k = 0; k < p.n; ++k)
                    values[k] = scale < 60 ? now[q * p.n + k] + std::ldexp(values[k], -scale)
                                           : std::ldexp(values[k], -10 * (scale - 59));
                double *pointer = values.data();
                SweepStats counts;
                ASSERT_EQ(train_with(policy, fast_net, &pointer, 1, p.iterations, &counts), SOM_OK);
                const size_t taken = counts.iterations;
                som_train_plain(plain_net, &pointer, 1, p.iterations);
                ASSERT_TRUE(same_networks(fast_net, plain_net))
                    << "row " << row << ", stop after " << taken << " iterations, " << describe(policy);
                if (taken < p.iterations) positions.insert((taken - 1) % size);
            }
            std::string seen;
            for (size_t q : positions) seen += " " + std::to_string(q);
            EXPECT_EQ(positions.size(), size) << describe(policy) << ", positions met:" << seen;
        }
    }
}

// The iteration limit ends vectors before their early stop, at any point of
// a sweep, and the last sweep of a vector also searches the next vector.
TEST_P(SweepDifferential, IterationLimitEndsASweepAnywhere) {
    std::mt19937_64 random(1202);
    Problem p;
    p.n = 4, p.x = 5, p.y = 3;
    p.rows = uniform_rows(random, 6, p.n);
    p.weights = uniform_values(random, p.n * p.x * p.y, 0.0, 1.0);
    for (const SweepPolicy &policy : kPolicies) {
        // Every cut of the shorter sweeps, and the longest sweep's first
        // ones, last ones and the one past it.
        std::vector<size_t> limits;
        for (size_t iterations = 1; iterations <= 33; ++iterations) limits.push_back(iterations);
        for (size_t iterations : {kMaxSweep - 1, kMaxSweep, kMaxSweep + 1, 2 * kMaxSweep + 3}) limits.push_back(iterations);
        for (size_t iterations : limits) {
            p.iterations = iterations;
            ASSERT_TRUE(trains_like_plain(p, policy)) << describe(policy);
        }
    }
}

// The winner's index sum can change within a vector only where a neuron
// overtakes the winner: where the factors push the neurons away (a negative
// time constant, which a caller may set in the record, though the map
// loader refuses one), where NaN factors leave no
// neuron to win, or where every distance overflows until the winner's
// neighbours come within range. Each problem must change some sum inside a
// sweep, and every policy must give the plain result.
TEST_P(SweepDifferential, IndexSumChangesMidSweep) {
    std::mt19937_64 random(1203);
    std::vector<Problem> problems;
    const size_t shapes[][3] = {{1, 1, 9}, {2, 4, 5}, {5, 9, 3}, {3, 2, 17}};
    for (const auto &shape : shapes)
        for (double time_constant : {-27.1, -3.0, -400.0, double{NAN}}) {
            Problem p;
            p.n = shape[0], p.x = shape[1], p.y = shape[2];
            p.weights = uniform_values(random, p.n * p.x * p.y, -1.0, 1.0);
            // Neurons with equal weights on both sides of another's
            // anti-diagonal move alike: they overtake together, tied.
            const size_t neurons = p.x * p.y, a = random() % neurons, b = random() % neurons;
            std::copy(p.weights.begin() + a * p.n, p.weights.begin() + (a + 1) * p.n, p.weights.begin() + b * p.n);
            p.rows = uniform_rows(random, 3, p.n);
            p.iterations = 90;
            p.time_constant = time_constant;
            problems.push_back(p);
        }
    {
        // Every distance is infinite until the neighbours of (0, 0), which
        // can never win (a NaN weight), come close enough: the winner moves
        // from the default (0, 0) to index sum 1 after about a dozen
        // iterations, with the usual learning rate.
        Problem p;
        p.n = 2, p.x = 4, p.y = 6;
        p.weights = uniform_values(random, p.n * p.x * p.y, 0.0, 1.0);
        p.weights[1] = NAN;
        p.rows = {{1e155, 0.5}, {0.25, 1e155}};
        p.iterations = 60;
        problems.push_back(p);
    }
    for (const SweepPolicy &policy : kPolicies) {
        SweepStats total;
        for (const Problem &p : problems) {
            SweepStats counts;
            ASSERT_TRUE(trains_like_plain(p, policy, &counts)) << describe(policy);
            add(total, counts);
        }
        // Sweeps of one iteration assume nothing that could fail.
        if (policy.most > 1 && !policy.in_place) {
            EXPECT_GT(total.sum_changes, 0u) << describe(policy);
        }
    }
}

// The first of equally near neurons wins, also when the later one is in
// the block that a sweep runs first. A = (1, 6) (index sum 7, block 1) wins
// the first row; B = (0, 6) (sum 6, block 0) and C = (0, 8) (sum 8, block 1)
// start with the same weights and, one index sum from A's on either side,
// get the same factors, so they stay tied; picking C instead of B would
// change the factors of the next iteration. The sweep that ends the first
// row, led by A's block, searches the next row, which B and C tie for; and
// with a negative time constant B and C overtake A together, tied.
// Neurons far from everything but A, B and C; A near the first row, B and
// C, with equal weights, near the next rows.
Problem tied_problem(size_t n, size_t x, size_t y, size_t a, size_t b, size_t c) {
    Problem p;
    p.n = n, p.x = x, p.y = y;
    for (size_t q = 0; q < x * y; ++q)
        for (size_t k = 0; k < n; ++k) p.weights.push_back((k % 2 ? -10.0 : 10.0) - static_cast<double>(q + k));
    for (size_t k = 0; k < n; ++k) {
        p.weights[a * n + k] = 0.1;
        p.weights[b * n + k] = p.weights[c * n + k] = 0.9;
    }
    std::vector<double> first(n, 0.1), next(n, 0.9);
    first[0] = 0.12, next[0] = 0.85;
    p.rows = {first, next, next};
    return p;
}

TEST_P(SweepDifferential, TiesAcrossBlocksGoToTheFirstNeuron) {
    const Problem p = tied_problem(2, 3, 9, 1 * 9 + 6, 0 * 9 + 6, 0 * 9 + 8);
    for (const SweepPolicy &policy : kPolicies) {
        ASSERT_TRUE(trains_like_plain(p, policy)) << describe(policy);
    }
    Problem pushed = p;
    pushed.rows = {{0.11, 0.1}};
    pushed.time_constant = -27.1;
    pushed.iterations = 40;
    for (const SweepPolicy &policy : kPolicies) {
        SweepStats counts;
        ASSERT_TRUE(trains_like_plain(pushed, policy, &counts)) << describe(policy);
        if (policy.most > 1 && !policy.in_place) {
            EXPECT_GT(counts.sum_changes, 0u) << describe(policy);
        }
    }
}

// A distance of 0.0 outside the winner's block, before the winner's own:
// the winner's block ends the sweep too late, the check finds the earlier
// stop and the sweep is replayed up to it. A = (0, 8) in block 1 is nearer
// than B = (1, 7) in block 2 (same index sum, so the same factors), but
// A's error is 64 units in the last place of a small component while B's
// is one unit of a large one: B rounds onto the vector first.
TEST_P(SweepDifferential, StopOutsideTheWinnersBlock) {
    Problem p;
    p.n = 2, p.x = 2, p.y = 9;
    const double small = std::ldexp(1.0, -30);
    for (size_t q = 0; q < p.x * p.y; ++q) {
        p.weights.push_back(5.0 + static_cast<double>(q));
        p.weights.push_back(5.0);
    }
    const size_t a = 8, b = 9 + 7;
    p.weights[2 * a] = 1.0, p.weights[2 * a + 1] = small + 64 * std::ldexp(1.0, -82);
    p.weights[2 * b] = 1.0 + DBL_EPSILON, p.weights[2 * b + 1] = small;
    p.rows = {{1.0, small}, {1.0, small}};
    for (const SweepPolicy &policy : kPolicies) {
        SweepStats counts;
        ASSERT_TRUE(trains_like_plain(p, policy, &counts)) << describe(policy);
        if (policy.lead_block && policy.most >= 16) {
            EXPECT_GT(counts.early_zeros, 0u) << describe(policy);
        }
    }
}

// The bound that lets a block's distances go unmeasured, where it is
// tightest. In checking mode every measurement it lets go is made all the
// same, and must lie above the smallest of the winner's block, and every
// bound must lie below the distance it bounds. Neurons on the winner's
// anti-diagonal (the same factors, so the same pace towards the row) start
// farther than the winner by a relative 2^-k for k on both sides of the
// margin; whole problems are scaled to the bound's absolute floor and to
// overflow; components of wildly different magnitudes; convergence to 0.0.
TEST_P(SweepDifferential, SkippedMeasurementsKeepTheirBounds) {
    std::mt19937_64 random(1210);
    std::vector<Problem> problems;
    for (size_t n : {size_t{4}, size_t{12}}) {
        Problem p;
        p.n = n, p.x = 6, p.y = 10;
        p.weights = uniform_values(random, n * p.x * p.y, -1.0, 1.0);
        const std::vector<double> row = uniform_values(random, n, 0.0, 1.0);
        const std::vector<double> error = uniform_values(random, n, -1e-3, 1e-3);
        // The winner (2, 3), index sum 5, and the rest of its anti-diagonal.
        const size_t diagonal[][2] = {{2, 3}, {0, 5}, {1, 4}, {3, 2}, {4, 1}, {5, 0}};
        const int farther[] = {0, 30, 44, 46, 48, 52};
        for (size_t q = 0; q < 6; ++q) {
            const size_t neuron = diagonal[q][0] * p.y + diagonal[q][1];
            const double scale = 1.0 + (farther[q] ? std::ldexp(1.0, -farther[q]) : 0.0);
            for (size_t k = 0; k < n; ++k) p.weights[neuron * n + k] = row[k] + error[k] * scale;
        }
        p.rows = {row, uniform_values(random, n, 0.0, 1.0), row};
        problems.push_back(p);
    }
    for (int scale : {-475, -460, -445, -430, -400, -200, 300, 500, 509}) {
        Problem p;
        p.n = 3 + random() % 7, p.x = 5, p.y = 7;
        p.weights = uniform_values(random, p.n * p.x * p.y, 0.0, 1.0);
        p.rows = uniform_rows(random, 4, p.n);
        for (double &w : p.weights) w = std::ldexp(w, scale);
        for (auto &row : p.rows)
            for (double &v : row) v = std::ldexp(v, scale);
        problems.push_back(p);
    }
    {
        Problem p;
        p.n = 9, p.x = 7, p.y = 5;
        p.weights = uniform_values(random, p.n * p.x * p.y, -1.0, 1.0);
        for (size_t q = 0; q < p.weights.size(); ++q) p.weights[q] = std::ldexp(p.weights[q], static_cast<int>(q % 9) * 60 - 240);
        p.rows = uniform_rows(random, 4, p.n);
        for (auto &row : p.rows)
            for (size_t k = 0; k < p.n; ++k) row[k] = std::ldexp(row[k], static_cast<int>(k) * 60 - 240);
        problems.push_back(p);
    }
    {
        // Rows on neurons of a placed grid: distances reach 0.0 at once and
        // in a handful of iterations elsewhere.
        Problem p;
        p.n = 6, p.x = 8, p.y = 9;
        p.rows = uniform_rows(random, 6, p.n);
        p.weights = placed_weights(p.n, p.x, p.y, p.rows);
        p.rows.push_back(std::vector<double>(p.weights.begin() + 20 * 6, p.weights.begin() + 21 * 6));
        problems.push_back(p);
    }
    problems.push_back(tied_problem(12, 41, 40, 20 * 40 + 20, 39, 40 * 40 + 1));
    const SweepPolicy policies[] = {{16, 32, true, false, true, true}, {5, 5, true, false, true, true}};
    for (unsigned cap : {1u, 2u}) {
        som_set_max_threads(cap);
        for (const SweepPolicy &policy : policies) {
            SweepStats total;
            for (const Problem &p : problems) {
                SweepStats counts;
                ASSERT_TRUE(trains_like_plain(p, policy, &counts)) << describe(policy);
                EXPECT_EQ(counts.bound_failures, 0u) << describe(p) << ", " << describe(policy);
                add(total, counts);
            }
            EXPECT_GT(total.skipped, 0u) << describe(policy);
        }
    }
}

// NaN, infinities, huge and tiny magnitudes and signed zeros in rows and
// weights, and time constants a caller may set in the record (the map
// loader refuses all of these but zero).
TEST_P(SweepDifferential, NonFiniteValues) {
    std::mt19937_64 random(1205);
    const double specials[] = {NAN, -NAN, INFINITY, -INFINITY, 1e300, -1e300, 5e-324, -0.0, 0.0, 1e155, 1e-160};
    std::vector<Problem> problems;
    for (double time_constant : {0.0, 0.0, double{NAN}, double{INFINITY}, -double{INFINITY}, -27.1, 1e-300}) {
        Problem p;
        p.n = 1 + random() % 5, p.x = 1 + random() % 6, p.y = 1 + random() % 6;
        p.weights = uniform_values(random, p.n * p.x * p.y, -1.0, 1.0);
        p.rows = uniform_rows(random, 6, p.n);
        for (double &w : p.weights)
            if (random() % 6 == 0) w = specials[random() % std::size(specials)];
        for (auto &row : p.rows)
            for (double &v : row)
                if (random() % 5 == 0) v = specials[random() % std::size(specials)];
        p.iterations = 70;
        p.time_constant = time_constant;
        problems.push_back(p);
    }
    for (const SweepPolicy &policy : kPolicies) {
        for (const Problem &p : problems) ASSERT_TRUE(trains_like_plain(p, policy)) << describe(policy);
    }
}

// From a single neuron with a single input up: blocks that wrap grid rows,
// padding lanes, input counts around the kernels' unrolling, wide rows.
TEST_P(SweepDifferential, ShapesAndInputCounts) {
    std::mt19937_64 random(1206);
    const size_t shapes[][3] = {{1, 1, 1},  {1, 1, 2},  {2, 2, 1},  {3, 1, 7},  {1, 7, 1},  {5, 3, 5},
                                {8, 5, 3},  {9, 9, 9},  {7, 1, 8},  {15, 2, 4}, {16, 13, 11}, {17, 2, 17},
                                {64, 6, 7}, {100, 3, 3}, {1, 30, 30}, {2, 1, 40}};
    const SweepPolicy policies[] = {SweepPolicy{}, {3, 3, false, false}, {1, 1, false, true}};
    for (const auto &shape : shapes) {
        Problem p;
        p.n = shape[0], p.x = shape[1], p.y = shape[2];
        p.rows = uniform_rows(random, 5, p.n);
        p.weights = random() % 2 ? placed_weights(p.n, p.x, p.y, p.rows)
                                 : uniform_values(random, p.n * p.x * p.y, 0.0, 1.0);
        for (const SweepPolicy &policy : policies) {
            ASSERT_TRUE(trains_like_plain(p, policy)) << describe(policy);
        }
    }
}

// A grid large enough for the partner thread, with the cap at 1 (no partner)
// and 2, grids of two blocks only, which the two threads split, and ties
// between the threads' parts of the grid.
TEST_P(SweepDifferential, ThreadCaps) {
    std::mt19937_64 random(1207);
    std::vector<Problem> problems;
    const size_t shapes[][3] = {{12, 41, 40}, {1100, 2, 8}, {1100, 3, 5}};
    for (const auto &shape : shapes) {
        Problem p;
        p.n = shape[0], p.x = shape[1], p.y = shape[2];
        p.rows = uniform_rows(random, 4, p.n);
        p.weights = placed_weights(p.n, p.x, p.y, p.rows);
        p.rows.push_back(p.rows[1]);
        p.iterations = 300;
        problems.push_back(p);
    }
    // The tie of TiesAcrossBlocksGoToTheFirstNeuron across the threads'
    // chunks: A = (20, 20) in the third of four, B = (0, 39) in the first,
    // C = (40, 1) in the last; pushed apart or not.
    problems.push_back(tied_problem(12, 41, 40, 20 * 40 + 20, 39, 40 * 40 + 1));
    problems.push_back(problems.back());
    problems.back().time_constant = -27.1;
    problems.back().iterations = 40;
    const SweepPolicy policies[] = {SweepPolicy{}, {3, 3, false, false}, {1, 1, false, true}};
    for (unsigned cap : {1u, 2u}) {
        som_set_max_threads(cap);
        for (const SweepPolicy &policy : policies) {
            for (const Problem &p : problems)
                ASSERT_TRUE(trains_like_plain(p, policy)) << "cap " << cap << ", " << describe(policy);
        }
    }
}

// Stopping after `done` vectors leaves the network as training on the first
// `done` rows does, the inputs on the last of them (untouched for none),
// even when the last sweep had already searched the next vector. Training
// reports after every vector here, so that it can stop after each.
TEST_P(SweepDifferential, CancellationKeepsTheFirstRows) {
    SweepPolicy every;
    every.every_report = true;
    std::mt19937_64 random(1208);
    const size_t shapes[][3] = {{3, 4, 5}, {12, 41, 40}};
    for (const auto &shape : shapes) {
        Problem p;
        p.n = shape[0], p.x = shape[1], p.y = shape[2];
        p.rows = uniform_rows(random, 5, p.n);
        p.weights = uniform_values(random, p.n * p.x * p.y, 0.0, 1.0);
        for (unsigned cap : {1u, 2u}) {
            som_set_max_threads(cap);
            for (size_t done = 0; done < p.rows.size(); ++done) {
                NetworkPtr fast = build(p), plain = build(p);
                std::vector<std::vector<double>> table = p.rows;
                std::vector<double *> rows = row_pointers(table);
                auto stop_at = [](void *context, size_t trained, size_t) {
                    return trained == *static_cast<size_t *>(context) ? 1 : 0;
                };
                EXPECT_EQ(train_with(every, fast.get(), rows.data(), rows.size(), p.iterations, nullptr,
                                     som_internal::Observer{stop_at, &done, nullptr}),
                          SOM_ERROR_CANCELLED);
                som_train_plain(plain.get(), rows.data(), done, p.iterations);
                ASSERT_TRUE(same_networks(fast.get(), plain.get())) << "stopped after " << done << ", cap " << cap;
            }
        }
    }
}

// Whenever the callback runs, the network is exactly what training on the
// first `done` rows leaves, inputs included: reports as training makes them
// (fewer where copying the weights back costs) and after every vector, with
// and without the partner thread, and with the vector that ends a sweep's
// search for the next one. Reports run from 0 to the number of rows.
TEST_P(SweepDifferential, CallbacksSeeTheNetworkOfTheRowsReported) {
    std::mt19937_64 random(1211);
    struct Snapshots {
        std::vector<size_t> done;
        std::vector<std::vector<double>> weights, inputs;
        som_network *network;
        static int take(void *self, size_t done, size_t) {
            Snapshots *s = static_cast<Snapshots *>(self);
            s->done.push_back(done);
            s->weights.push_back(all_weights(s->network));
            s->inputs.push_back(all_inputs(s->network));
            return 0;
        }
    };
    const size_t shapes[][3] = {{3, 4, 5}, {12, 41, 40}};
    for (const auto &shape : shapes) {
        Problem p;
        p.n = shape[0], p.x = shape[1], p.y = shape[2];
        // Enough vectors on the small grid that reports, as training makes
        // them, come after some vectors and not after others.
        p.rows = uniform_rows(random, p.x * p.y < 100 ? 400 : 25, p.n);
        p.weights = uniform_values(random, p.n * p.x * p.y, 0.0, 1.0);
        p.iterations = 40;
        for (bool every : {false, true}) {
            SweepPolicy policy;
            policy.every_report = every;
            for (unsigned cap : {1u, 2u}) {
                som_set_max_threads(cap);
                const std::string where = describe(p) + (every ? ", every vector" : "") + ", cap " + std::to_string(cap);
                NetworkPtr fast = build(p), plain = build(p);
                std::vector<std::vector<double>> table = p.rows;
                std::vector<double *> rows = row_pointers(table);
                Snapshots seen;
                seen.network = fast.get();
                ASSERT_EQ(train_with(policy, fast.get(), rows.data(), rows.size(), p.iterations, nullptr,
                                     som_internal::Observer{Snapshots::take, &seen, nullptr}),
                          SOM_OK);
                ASSERT_GE(seen.done.size(), 2u) << where;
                EXPECT_EQ(seen.done.front(), 0u) << where;
                EXPECT_EQ(seen.done.back(), rows.size()) << where;
                EXPECT_TRUE(std::is_sorted(seen.done.begin(), seen.done.end())) << where;
                if (every) {
                    EXPECT_EQ(seen.done.size(), rows.size() + 1) << where;
                }
                // The plain loop one row at a time: the same as on all of
                // them, the time constant being computed once.
                for (size_t k = 0, trained = 0; k < seen.done.size(); ++k) {
                    for (; trained < seen.done[k]; ++trained)
                        ASSERT_EQ(som_train_plain(plain.get(), &rows[trained], 1, p.iterations), SOM_OK);
                    if (seen.done[k] == 0) som_time_constant(plain.get());
                    ASSERT_TRUE(same_bits("weight", seen.weights[k], all_weights(plain.get())))
                        << where << ", report of " << seen.done[k];
                    ASSERT_TRUE(same_bits("input", seen.inputs[k], all_inputs(plain.get())))
                        << where << ", report of " << seen.done[k];
                }
            }
        }
    }
}

// The fast training reports what the plain loop reports where there is
// nothing to train: (0, 0) for no rows, nothing for no iterations, and
// every vector presented to an empty grid or a network without inputs.
TEST_P(SweepDifferential, ReportsWithNothingToTrainAreThePlainLoops) {
    struct Reports {
        std::vector<std::pair<size_t, size_t>> seen;
        static int record(void *self, size_t done, size_t total) {
            static_cast<Reports *>(self)->seen.emplace_back(done, total);
            return 0;
        }
    };
    const size_t cases[][5] = {// n, x, y, rows, iterations
                               {3, 4, 4, 0, 5}, {3, 4, 4, 3, 0}, {3, 0, 4, 3, 5}, {0, 4, 4, 3, 5}, {3, 4, 4, 0, 0}};
    std::vector<std::vector<double>> table(3, std::vector<double>{0.25, 0.5, 0.75});
    std::vector<double *> rows = row_pointers(table);
    for (const auto &c : cases) {
        NetworkPtr fast(som_network_new(c[0], c[1], c[2])), plain(som_network_new(c[0], c[1], c[2]));
        set_all_weights(plain.get(), all_weights(fast.get()));
        Reports fast_reports, plain_reports;
        ASSERT_EQ(som_train_observed(fast.get(), rows.data(), c[3], c[4], Reports::record, &fast_reports), SOM_OK);
        // The plain loop with an observer, which the fast path falls back
        // to without memory.
        ASSERT_EQ(som_train_plain_observed(plain.get(), rows.data(), c[3], c[4],
                                           som_internal::Observer{Reports::record, &plain_reports, nullptr}),
                  SOM_OK);
        EXPECT_EQ(fast_reports.seen, plain_reports.seen)
            << c[0] << " inputs, " << c[1] << " x " << c[2] << ", " << c[3] << " rows, " << c[4] << " iterations";
        EXPECT_TRUE(same_networks(fast.get(), plain.get()));
    }
}

// The sweep kernel itself against the plain order of operations, written
// out here: every stored weight, and each iteration's first nearest neuron
// with its distance to the bit (so a sum taken in any other order shows),
// over ranges of blocks with one left out, with and without the next
// vector's search, into a second copy and in place.
TEST_P(SweepDifferential, KernelMatchesPlainIterations) {
    using namespace som_engine;
    const Kernels &kernels = kernels_under_test();
    std::mt19937_64 random(1209);
    const size_t shapes[][3] = {{1, 1, 1}, {3, 2, 7}, {8, 5, 5}, {13, 3, 9}, {16, 1, 17}, {70, 2, 11}};
    for (const auto &shape : shapes) {
        const size_t n = shape[0], X = shape[1], Y = shape[2], neurons = X * Y;
        const size_t blocks = block_count(neurons), max_sum = X + Y - 2;
        std::vector<double> neighbourhood(2 * max_sum + 1);
        for (size_t e = 0; e < neighbourhood.size(); ++e)
            neighbourhood[e] = som_neighbourhood(static_cast<long long>(max_sum) - static_cast<long long>(e));
        std::vector<uint32_t> index_sum(blocks * kLanes, 0);
        std::vector<int64_t> block_first_sum(blocks, -1);
        for (size_t q = 0; q < neurons; ++q) index_sum[q] = static_cast<uint32_t>(q / Y + q % Y);
        for (size_t b = 0; b < blocks; ++b)
            if ((b + 1) * kLanes <= neurons && b * kLanes / Y == ((b + 1) * kLanes - 1) / Y)
                block_first_sum[b] = index_sum[b * kLanes];
        for (int trial = 0; trial < 40; ++trial) {
            // Magnitudes spread over many binades, so that each sum rounds
            // differently in another order; some exact matches.
            std::vector<double> weights(neurons * n), x(n), next(n);
            for (double &w : weights) w = std::ldexp(uniform_values(random, 1, -1.0, 1.0)[0], static_cast<int>(random() % 40) - 20);
            for (size_t k = 0; k < n; ++k) {
                x[k] = std::ldexp(uniform_values(random, 1, -1.0, 1.0)[0], static_cast<int>(random() % 40) - 20);
                next[k] = random() % 4 == 0 ? x[k] : std::ldexp(uniform_values(random, 1, -1.0, 1.0)[0], 3);
            }
            if (trial % 5 == 0) std::copy(x.begin(), x.end(), weights.begin() + (random() % neurons) * n);
            // NaN of either sign and infinities, in the inputs and the
            // weights: the NaN a weight ends with is the plain code's only
            // if every operation keeps the operand order it has there.
            if (trial % 4 == 1) {
                const double specials[] = {NAN, -NAN, INFINITY, -INFINITY};
                for (double &w : weights)
                    if (random() % 5 == 0) w = specials[random() % 4];
                for (double &v : x)
                    if (random() % 4 == 0) v = specials[random() % 4];
            }
            double *packed = allocate_packed(blocks, n), *other = allocate_packed(blocks, n);
            ASSERT_TRUE(packed && other);
            for (size_t b = 0; b < blocks; ++b)
                for (size_t k = 0; k < n; ++k)
                    for (size_t lane = 0; lane < kLanes; ++lane) {
                        const size_t q = b * kLanes + lane;
                        packed[(b * n + k) * kLanes + lane] = q < neurons ? weights[q * n + k] : NAN;
                    }
            std::copy(packed, packed + blocks * n * kLanes, other);
            const size_t iterations = 1 + random() % kMaxSweep, s = random() % (max_sum + 1);
            double rates[kMaxSweep];
            // The rates of a NaN time constant are NaN (of the sign the
            // record holds).
            const double time_constant = trial % 8 == 1 ? -NAN : trial % 8 == 5 ? NAN : 27.104644554585676;
            for (size_t j = 0; j < iterations; ++j) rates[j] = som_learning_rate(1 + random() % 60, time_constant);
            const size_t begin = random() % blocks, end = begin + 1 + random() % (blocks - begin);
            const size_t skip = random() % 2 ? begin + random() % (end - begin) : SIZE_MAX;
            const bool in_place = random() % 2, search_next = random() % 2;
            SweepJob job;
            job.src = packed;
            job.dst = in_place ? packed : other;
            job.n = n;
            job.x = x.data();
            job.neighbourhood = neighbourhood.data() + (max_sum - s);
            job.rates = rates;
            job.index_sum = index_sum.data();
            job.block_first_sum = block_first_sum.data();
            job.iterations = iterations;
            job.skip = skip;
            job.next_x = search_next ? next.data() : nullptr;
            Nearest out[kMaxSweep + 1];
            kernels.sweep(job, begin, end, out);

            // The plain order, neuron by neuron.
            std::vector<double> best(iterations + 1, DBL_MAX);
            std::vector<size_t> first(iterations + 1, SIZE_MAX);
            std::vector<bool> zero(iterations + 1, false);
            for (size_t q = begin * kLanes; q < end * kLanes && q < neurons; ++q) {
                if (q / kLanes == skip) continue;
                std::vector<double> w(weights.begin() + q * n, weights.begin() + (q + 1) * n);
                for (size_t j = 0; j <= iterations; ++j) {
                    const double *target = x.data();
                    if (j < iterations) {
                        const long long d = static_cast<long long>(s) - static_cast<long long>(index_sum[q]);
                        const double f = som_neighbourhood(d) * rates[j];
                        // Written as the plain loop writes it: the NaN a
                        // sum or product of two NaNs gives depends on how
                        // the compiler orders the operands, which follows
                        // the form of the expression.
                        for (size_t k = 0; k < n; ++k) {
                            const double weight = w[k];
                            w[k] = ((x[k] - weight) * f) + weight;
                        }
                    } else if (search_next) {
                        target = next.data();
                    } else {
                        break;
                    }
                    double distance = 0.0;
                    for (size_t k = 0; k < n; ++k) {
                        const double difference = target[k] - w[k];
                        distance = distance + difference * difference;
                    }
                    if (distance < best[j]) best[j] = distance, first[j] = q;
                    if (distance == 0.0) zero[j] = true;
                }
                for (size_t k = 0; k < n; ++k)
                    ASSERT_EQ(bits(job.dst[(q / kLanes * n + k) * kLanes + q % kLanes]), bits(w[k]))
                        << "neuron " << q << ", input " << k << ", " << iterations << " iterations";
            }
            for (size_t j = 0; j < iterations + (search_next ? 1 : 0); ++j) {
                ASSERT_EQ(out[j].index, first[j]) << "iteration " << j << " of " << iterations;
                ASSERT_EQ(bits(out[j].distance), bits(best[j])) << "iteration " << j << " of " << iterations;
                ASSERT_EQ(out[j].any_zero, bool(zero[j])) << "iteration " << j << " of " << iterations;
            }
            std::free(packed);
            std::free(other);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, SweepDifferential, ::testing::Values("scalar", "generic", "avx2", "avx512"));

}  // namespace
