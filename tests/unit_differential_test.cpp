// The fast paths against the literal ones, bit for bit, over randomized
// cases with fixed seeds.
#include <gtest/gtest.h>

#include <cstdio>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "som/som.h"
#include "test_support.h"
#include "unit_helpers.h"

namespace {

using somap::testing::all_inputs;
using somap::testing::all_weights;
using somap::testing::bits;
using somap::testing::make_network;
using somap::testing::NetworkPtr;
using somap::testing::set_all_weights;

// Equal bit for bit; otherwise says where and how the first values differ.
::testing::AssertionResult same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
    for (size_t k = 0; k < a.size(); ++k)
        if (bits(a[k]) != bits(b[k])) {
            char text[128];
            std::snprintf(text, sizeof text, "value %zu: %a (%016llx) and %a (%016llx)", k, a[k],
                          static_cast<unsigned long long>(bits(a[k])), b[k],
                          static_cast<unsigned long long>(bits(b[k])));
            return ::testing::AssertionFailure() << text;
        }
    return ::testing::AssertionSuccess();
}

// Random data with the hard cases mixed in: NaN, infinities, repeated rows,
// and rows copied from a neuron's weights so the early stop fires.
struct Rows {
    std::vector<std::vector<double>> values;
    std::vector<double *> pointers;
    Rows(std::mt19937_64 &random, size_t count, size_t n, const std::vector<double> &weights) {
        std::uniform_real_distribution<double> uniform(-1.0, 1.0);
        for (size_t r = 0; r < count; ++r) {
            std::vector<double> row(n);
            for (double &v : row) v = uniform(random);
            int kind = static_cast<int>(random() % 10);
            if (kind == 0 && n > 0) row[random() % n] = NAN;
            if (kind == 1 && n > 0) row[random() % n] = (random() & 1) ? INFINITY : -INFINITY;
            if (kind == 2 && r > 0) row = values[random() % r];
            if (kind == 3 && n > 0 && weights.size() >= n) {
                size_t neuron = random() % (weights.size() / n);
                row.assign(weights.begin() + static_cast<long>(neuron * n),
                           weights.begin() + static_cast<long>(neuron * n + n));
            }
            if (kind == 4) for (double &v : row) v = std::round(v * 2.0);  // ties in distances
            values.push_back(row);
        }
        for (auto &row : values) pointers.push_back(row.data());
    }
};

// Records what an observed call reports.
struct Progress {
    std::vector<std::pair<size_t, size_t>> reports;
    static int record(void *self, size_t done, size_t total) {
        static_cast<Progress *>(self)->reports.emplace_back(done, total);
        return 0;
    }
    // From 0 to `total`, never falling, the total never changing.
    bool rises_to(size_t total) const {
        if (reports.empty() || reports.front().first != 0 || reports.back().first != total) return false;
        for (size_t k = 0; k < reports.size(); ++k)
            if (reports[k].second != total || (k > 0 && reports[k].first < reports[k - 1].first)) return false;
        return true;
    }
};

class EngineDifferential : public ::testing::TestWithParam<const char *> {
  protected:
    void SetUp() override {
        if (som_engine_select(GetParam()) != 0) GTEST_SKIP() << GetParam() << " not supported here";
    }
    void TearDown() override { som_engine_select("auto"); }
};

TEST_P(EngineDifferential, TrainingMatchesPlain) {
    std::mt19937_64 random(99);
    // Grids 0..3 wide and odd sizes; n = 0, 1, odd and large; one large grid
    // so that the threaded path runs too.
    const size_t shapes[][3] = {{1, 0, 3}, {2, 3, 0}, {0, 2, 2}, {1, 1, 1}, {1, 1, 2}, {3, 2, 3},
                                {5, 3, 3}, {7, 1, 9}, {2, 9, 1}, {64, 3, 5}, {3, 13, 11}, {9, 17, 5},
                                {8, 60, 60}, {130, 7, 3}};
    for (const auto &shape : shapes) {
        const size_t n = shape[0], x = shape[1], y = shape[2];
        NetworkPtr fast = make_network(n, x, y), plain = make_network(n, x, y);
        std::vector<double> start = all_weights(fast.get());
        set_all_weights(plain.get(), start);
        Rows rows(random, 1 + random() % 12, n, start);
        // Some runs start from the data-driven placement, some from random
        // weights; iterations vary so that both the limit and the early
        // stop end vectors.
        if (random() % 2) {
            som_init_weights_plain(fast.get(), rows.pointers.data(), rows.pointers.size());
            som_init_weights_plain(plain.get(), rows.pointers.data(), rows.pointers.size());
        }
        size_t iterations = (x * y * n > 10000) ? 40 : 1 + random() % 300;
        Progress watched;
        const bool observed = random() % 2;
        if (observed)
            som_train_observed(fast.get(), rows.pointers.data(), rows.pointers.size(), iterations,
                               Progress::record, &watched);
        else
            som_train(fast.get(), rows.pointers.data(), rows.pointers.size(), iterations);
        if (observed) {
            EXPECT_TRUE(watched.rises_to(rows.pointers.size()));
        } else {
            EXPECT_TRUE(watched.reports.empty());
        }
        som_train_plain(plain.get(), rows.pointers.data(), rows.pointers.size(), iterations);
        EXPECT_TRUE(same_bits(all_weights(fast.get()), all_weights(plain.get()))) << n << " " << x << "x" << y;
        EXPECT_TRUE(same_bits(all_inputs(fast.get()), all_inputs(plain.get()))) << n << " " << x << "x" << y;
        EXPECT_EQ(bits(fast.get()->time_constant), bits(plain.get()->time_constant));
    }
}

TEST_P(EngineDifferential, RecognitionMatchesPlain) {
    std::mt19937_64 random(5);
    const size_t shapes[][3] = {{1, 0, 3}, {3, 3, 0}, {0, 4, 4}, {1, 1, 1}, {3, 2, 3}, {5, 9, 7},
                                {16, 30, 30}, {17, 3, 11}};
    for (const auto &shape : shapes) {
        const size_t n = shape[0], x = shape[1], y = shape[2];
        NetworkPtr net = make_network(n, x, y);
        std::vector<double> weights = all_weights(net.get());
        if (!weights.empty()) {
            weights[random() % weights.size()] = NAN;  // a neuron that can never win
            if (weights.size() > n) std::copy(weights.begin(), weights.begin() + static_cast<long>(n),
                                              weights.end() - static_cast<long>(n));  // a tie
            set_all_weights(net.get(), weights);
        }
        Rows rows(random, 1 + random() % 700, n, weights);
        size_t count = rows.pointers.size();
        std::vector<size_t> wi(count), wj(count);
        som_find_winners(net.get(), rows.pointers.data(), count, wi.data(), wj.data());
        for (size_t r = 0; r < count; ++r) {
            size_t i = 0, j = 0;
            som_set_inputs(net.get(), rows.pointers[r]);
            som_find_winner(net.get(), &i, &j);
            ASSERT_EQ(wi[r], i) << r;
            ASSERT_EQ(wj[r], j) << r;
        }
    }
}

TEST_P(EngineDifferential, InitialisationMatchesPlain) {
    std::mt19937_64 random(3);
    const size_t shapes[][3] = {{1, 1, 1}, {2, 3, 3}, {5, 4, 7}, {3, 1, 5}, {9, 3, 2}};
    for (size_t count : {1u, 2u, 3u, 7u, 8u, 9u, 17u, 200u, 1100u}) {
        for (const auto &shape : shapes) {
            const size_t n = shape[0], x = shape[1], y = shape[2];
            NetworkPtr fast = make_network(n, x, y), plain = make_network(n, x, y);
            Rows rows(random, count, n, {});
            // Equal greatest distances in several pairs probe the first-pair
            // rule across lanes and threads.
            if (count > 4 && random() % 2)
                for (size_t r = 0; r < count; ++r)
                    for (double &v : rows.values[r]) v = static_cast<double>(random() % 3);
            // Watching the search slices it differently; the result stays.
            Progress watched;
            const bool observed = random() % 2;
            if (observed)
                som_init_weights_observed(fast.get(), rows.pointers.data(), count, Progress::record, &watched);
            else
                som_init_weights(fast.get(), rows.pointers.data(), count);
            som_init_weights_plain(plain.get(), rows.pointers.data(), count);
            if (observed) {
                EXPECT_TRUE(watched.rises_to(count * (count - 1) / 2)) << count;
            }
            ASSERT_TRUE(same_bits(all_weights(fast.get()), all_weights(plain.get()))) << count << " rows, n " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EngineDifferential, ::testing::Values("generic", "avx2", "avx512"));

}  // namespace
