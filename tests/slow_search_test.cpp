// The filtered searches at the sizes they are built for, against exact
// searches over everything: minutes, so only with SOMAP_SLOW=1 (CTest label
// `slow`).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "som/engine/engine.h"
#include "som/engine/options.h"
#include "som/som.h"
#include "unit_helpers.h"

namespace {

using somap::testing::make_network;
using somap::testing::NetworkPtr;
using som_engine::FilterCounts;
using som_engine::PairCounts;
using som_engine::CallOptions;

struct Table {
    size_t n;
    std::vector<double> values;
    std::vector<double *> rows;
    Table(size_t count, size_t fields) : n(fields), values(count * fields), rows(count) {
        for (size_t r = 0; r < count; ++r) rows[r] = values.data() + r * fields;
    }
};

Table uniform(size_t count, size_t n, unsigned seed) {
    Table t(count, n);
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (double &v : t.values) v = std::round(u(random) * 1e4) / 1e4;
    return t;
}

Table clusters(size_t count, size_t n, size_t k, unsigned seed) {
    Table t(count, n);
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> u(0.0, 10.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> centres(k * n);
    for (double &c : centres) c = u(random);
    for (size_t r = 0; r < count; ++r) {
        const size_t c = random() % k;
        for (size_t f = 0; f < n; ++f) t.rows[r][f] = std::round((centres[c * n + f] + normal(random)) * 1e4) / 1e4;
    }
    return t;
}

// A 100 x 100 map of 16 inputs trained a little, as the tool would leave
// it, applied to 20,000 rows with every kernel set and the scalar twin,
// integer filter on and off, against the literal search.
TEST(SlowSearch, RecognitionOfALargeMap) {
    Table train = uniform(1000, 16, 1);
    NetworkPtr network = make_network(16, 100, 100);
    ASSERT_EQ(som_init_weights(network.get(), train.rows.data(), train.rows.size()), SOM_OK);
    ASSERT_EQ(som_train(network.get(), train.rows.data(), train.rows.size(), 1), SOM_OK);
    Table data = uniform(20000, 16, 2);
    std::vector<size_t> expected(data.rows.size());
    for (size_t r = 0; r < data.rows.size(); ++r) {
        size_t i = 0, j = 0;
        som_set_inputs(network.get(), data.rows[r]);
        som_find_winner(network.get(), &i, &j);
        expected[r] = i * 100 + j;
    }
    for (const char *engine : {"scalar", "generic", "avx2", "avx512"}) {
        const bool twin = std::string(engine) == "scalar";
        if (!twin && som_engine_select(engine) != 0) continue;
        for (bool integer : {false, true}) {
            CallOptions options;
            options.search.integer_filter = integer;
            if (twin) options.kernels = &som_engine::scalar_kernels();
            std::vector<size_t> wi(data.rows.size()), wj(data.rows.size());
            FilterCounts counts;
            ASSERT_EQ(som_engine::find_winners(network.get(), data.rows.data(), data.rows.size(), wi.data(), wj.data(),
                                               options, &counts),
                      SOM_OK);
            for (size_t r = 0; r < data.rows.size(); ++r)
                ASSERT_EQ(wi[r] * 100 + wj[r], expected[r]) << engine << " integer " << integer << " row " << r;
            EXPECT_LT(counts.exact_rows * 100, counts.rows) << engine;  // the filter decided nearly every row
        }
    }
    som_engine_select("auto");
}

// Placement from large tables against every pair compared by the vector
// kernel (itself compared with the literal loop elsewhere), with one and two
// threads.
TEST(SlowSearch, PlacementFromLargeTables) {
    struct Case {
        const char *name;
        Table table;
    };
    std::vector<Case> cases;
    cases.push_back({"uniform 8", uniform(100000, 8, 3)});
    cases.push_back({"clusters 20", clusters(60000, 20, 12, 4)});
    cases.push_back({"clusters 5", clusters(100000, 5, 4, 5)});
    for (Case &c : cases) {
        size_t first = 0, second = 0;
        {
            CallOptions every;
            every.search.pair_min_rows = SIZE_MAX;
            ASSERT_EQ(som_engine::farthest_pair(c.table.rows.data(), c.table.rows.size(), c.table.n, &first, &second,
                                                som_internal::Observer{}, every, nullptr),
                      SOM_OK);
        }
        for (unsigned threads : {1u, 2u}) {
            som_set_max_threads(threads);
            size_t a = 0, b = 0;
            PairCounts counts;
            ASSERT_EQ(som_engine::farthest_pair(c.table.rows.data(), c.table.rows.size(), c.table.n, &a, &b,
                                                som_internal::Observer{}, CallOptions{}, &counts),
                      SOM_OK);
            EXPECT_EQ(a, first) << c.name << ", " << threads << " threads";
            EXPECT_EQ(b, second) << c.name << ", " << threads << " threads";
            EXPECT_FALSE(counts.every_pair) << c.name;
            EXPECT_LT(counts.candidate_rows * 10, c.table.rows.size()) << c.name;
        }
        som_set_max_threads(0);
    }
}

// Many small random maps and tables of every kind, with the filters forced.
TEST(SlowSearch, RandomizedSoak) {
    std::mt19937_64 random(31337);
    for (int trial = 0; trial < 8000; ++trial) {
        const size_t n = 1 + random() % 20, x = 1 + random() % 15, y = 1 + random() % 15;
        const size_t count = 1 + random() % 200;
        Table table(count, n);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        const int kind = trial % 5;
        for (double &v : table.values) {
            v = u(random);
            if (kind == 1) v = std::round(v * 2);
            if (kind == 2) v = std::ldexp(v, static_cast<int>(random() % 200) - 100);
            if (kind == 3 && random() % 50 == 0) v = random() % 2 ? NAN : INFINITY;
        }
        NetworkPtr network = make_network(n, x, y);
        std::vector<double> weights(x * y * n);
        for (size_t p = 0; p < weights.size(); ++p)
            weights[p] = kind == 4 ? table.values[p % table.values.size()] : u(random) * (kind == 2 ? 1e3 : 1.0);
        somap::testing::set_all_weights(network.get(), weights);
        CallOptions options;
        options.search = {1, 2, 1 + random() % 8};
        options.search.integer_filter = random() % 2;
        std::vector<size_t> wi(count), wj(count);
        ASSERT_EQ(som_engine::find_winners(network.get(), table.rows.data(), count, wi.data(), wj.data(), options,
                                           nullptr),
                  SOM_OK);
        for (size_t r = 0; r < count; ++r) {
            size_t i = 0, j = 0;
            som_set_inputs(network.get(), table.rows[r]);
            som_find_winner(network.get(), &i, &j);
            ASSERT_EQ(wi[r] * y + wj[r], i * y + j) << "trial " << trial << " row " << r;
        }
        double best = 0.0;
        size_t a = 0, b = 0;
        for (size_t i = 0; i < count; ++i)
            for (size_t j = i + 1; j < count; ++j) {
                double d = 0.0;
                for (size_t k = 0; k < n; ++k) d = d + std::fabs(table.rows[i][k] - table.rows[j][k]);
                if (d > best) best = d, a = i, b = j;
            }
        size_t first = 0, second = 0;
        ASSERT_EQ(som_engine::farthest_pair(table.rows.data(), count, n, &first, &second, som_internal::Observer{},
                                            options, nullptr),
                  SOM_OK);
        ASSERT_EQ(first, a) << "trial " << trial;
        ASSERT_EQ(second, b) << "trial " << trial;
    }
}

}  // namespace
