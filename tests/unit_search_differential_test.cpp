// The filtered searches against the literal ones, bit for bit, on data made
// to break a filter: ties, distances one unit in the last place apart,
// duplicates, values at the ends of the float and double ranges, NaN and
// infinity, and maxima that exist only through rounding. The filters' size
// thresholds are lowered so that small cases go through every stage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "som/engine/engine.h"
#include "som/engine/options.h"
#include "som/som.h"
#include "test_support.h"
#include "unit_helpers.h"

namespace {

using somap::testing::all_weights;
using somap::testing::bit_patterns;
using somap::testing::make_network;
using somap::testing::NetworkPtr;
using somap::testing::row_pointers;
using somap::testing::set_all_weights;
using som_engine::FilterCounts;
using som_engine::PairCounts;
using som_engine::CallOptions;

using Table = std::vector<std::vector<double>>;

class ThreadCap {
  public:
    explicit ThreadCap(unsigned cap) { som_set_max_threads(cap); }
    ~ThreadCap() { som_set_max_threads(0); }
    ThreadCap(const ThreadCap &) = delete;
    ThreadCap &operator=(const ThreadCap &) = delete;
};

// A kernel set, and whether recognition may filter with integers where the
// set can (AVX-512 VNNI) or must keep to floats.
struct Kernels {
    const char *name, *engine;
    bool integer;
};

class SearchDifferential : public ::testing::TestWithParam<Kernels> {
  protected:
    void SetUp() override {
        // The scalar twin is named in the options only; the others are
        // chosen for the public calls too.
        if (std::string(GetParam().engine) == "scalar") kernels_ = &som_engine::scalar_kernels();
        else if (som_engine_select(GetParam().engine) != 0) GTEST_SKIP() << GetParam().engine << " not supported here";
        else kernels_ = &som_engine::active();
    }
    void TearDown() override { som_engine_select("auto"); }
    // The library's thresholds, on the kernels under test.
    CallOptions defaults() const {
        CallOptions options;
        options.kernels = kernels_;
        return options;
    }
    // The filters' thresholds lowered so that small data goes through them.
    CallOptions everywhere(size_t direct = 2) const {
        CallOptions options = defaults();
        options.search = {1, 2, direct, GetParam().integer};
        return options;
    }

  private:
    const som_engine::Kernels *kernels_ = nullptr;
};

// ---- Recognition ----------------------------------------------------------

struct MapCase {
    std::string name;
    size_t n, x, y;
    std::vector<double> weights;  // map-file order
    Table rows;
    bool filtered;  // some rows must be decided by the filter's survivors
};

// The literal search, row by row.
std::vector<size_t> literal_winners(som_network *network, Table &rows) {
    std::vector<size_t> out;
    const size_t y = network->output_layer->neurons_count_y;
    for (auto &row : rows) {
        size_t i = 0, j = 0;
        som_set_inputs(network, row.data());
        som_find_winner(network, &i, &j);
        out.push_back(i * y + j);
    }
    return out;
}

void expect_same_winners(MapCase &c, const CallOptions &options) {
    SCOPED_TRACE(c.name);
    NetworkPtr network = make_network(c.n, c.x, c.y);
    ASSERT_NE(network, nullptr);
    set_all_weights(network.get(), c.weights);
    std::vector<double *> rows = row_pointers(c.rows);
    const std::vector<size_t> expected = literal_winners(network.get(), c.rows);

    std::vector<size_t> wi(rows.size()), wj(rows.size());
    FilterCounts counts;
    ASSERT_EQ(som_engine::find_winners(network.get(), rows.data(), rows.size(), wi.data(), wj.data(), options, &counts),
              SOM_OK);
    for (size_t r = 0; r < rows.size(); ++r) ASSERT_EQ(wi[r] * c.y + wj[r], expected[r]) << "row " << r;
    EXPECT_EQ(counts.rows, rows.size());
    if (c.filtered) {
        EXPECT_LT(counts.exact_rows, counts.rows) << "the filter never decided";
    }

    // The public entry point (with the library's own thresholds) gives the
    // same, and leaves the last row presented.
    std::fill(wi.begin(), wi.end(), SIZE_MAX);
    ASSERT_EQ(som_find_winners(network.get(), rows.data(), rows.size(), wi.data(), wj.data()), SOM_OK);
    for (size_t r = 0; r < rows.size(); ++r) ASSERT_EQ(wi[r] * c.y + wj[r], expected[r]) << "row " << r;
    EXPECT_EQ(bit_patterns(somap::testing::all_inputs(network.get())), bit_patterns(c.rows.back()));
}

std::vector<double> random_values(std::mt19937_64 &random, size_t count, double low, double high) {
    std::uniform_real_distribution<double> uniform(low, high);
    std::vector<double> out(count);
    for (double &v : out) v = uniform(random);
    return out;
}

double literal_distance(const double *x, const double *w, size_t n) {
    double distance = 0.0;
    for (size_t k = 0; k < n; ++k) {
        const double difference = x[k] - w[k];
        distance = distance + difference * difference;
    }
    return distance;
}

// Neurons in pairs whose distances to a row differ by one unit in the last
// place, or not at all, found by nudging components one ulp at a time; the
// earlier neuron of a pair is the nearer in half of the pairs, the later in
// the other half, and the pairs lie among decoys just farther away.
MapCase last_bit_apart(std::mt19937_64 &random) {
    MapCase c{"LastBitApart", 6, 8, 8, {}, {}, true};
    const size_t n = c.n, neurons = c.x * c.y;
    std::vector<double> w(neurons * n);
    for (size_t p = 0; p < neurons; ++p) {
        const std::vector<double> v = random_values(random, n, -1.0, 1.0);
        std::copy(v.begin(), v.end(), w.begin() + static_cast<long>(p * n));
    }
    size_t adjacent = 0;
    for (size_t r = 0; r < 24; ++r) {
        const size_t a = (2 * r) % neurons, b = a + 1;
        std::vector<double> x = random_values(random, n, -1.0, 1.0);
        // Neuron a near the row, b a copy of a nudged by a few ulps.
        for (size_t k = 0; k < n; ++k) w[a * n + k] = x[k] + std::ldexp(static_cast<double>(random() % 64) - 32.0, -12);
        const double target = literal_distance(x.data(), &w[a * n], n);
        bool found = false;
        for (int attempt = 0; attempt < 20000 && !found; ++attempt) {
            for (size_t k = 0; k < n; ++k) {
                double v = w[a * n + k];
                for (int step = static_cast<int>(random() % 3); step > 0; --step)
                    v = std::nextafter(v, (random() & 1) ? INFINITY : -INFINITY);
                w[b * n + k] = v;
            }
            const double d = literal_distance(x.data(), &w[b * n], n);
            found = d == std::nextafter(target, r % 2 ? INFINITY : -INFINITY) || (r % 6 == 0 && d == target &&
                                                                                    w[b * n] != w[a * n]);
        }
        adjacent += found;
        c.rows.push_back(x);
    }
    EXPECT_GE(adjacent, 12u) << "too few neighbours one ulp apart were found";
    c.weights = w;
    return c;
}

std::vector<MapCase> map_cases() {
    std::mt19937_64 random(20240613);
    std::vector<MapCase> cases;

    // Rows exactly between two, four or more neurons of an integer lattice.
    {
        MapCase c{"EquidistantRows", 3, 6, 6, {}, {}, true};
        for (size_t i = 0; i < 6; ++i)
            for (size_t j = 0; j < 6; ++j) c.weights.insert(c.weights.end(), {2.0 * i, 2.0 * j, 1.0});
        for (double a = -1; a <= 11; a += 1)
            for (double b = -1; b <= 11; b += 1) c.rows.push_back({a, b, (a + b) / 4});
        cases.push_back(c);
    }
    cases.push_back(last_bit_apart(random));

    // Every neuron equal but a few, rows repeated: more survivors than a row
    // may collect.
    {
        MapCase c{"DuplicateNeuronsAndRows", 4, 20, 20, {}, {}, true};
        for (size_t p = 0; p < 400; ++p) {
            const bool other = p % 97 == 5;
            c.weights.insert(c.weights.end(), {other ? 0.5 : 0.25, 0.75, -0.5, other ? 1.0 : 0.0});
        }
        for (size_t r = 0; r < 60; ++r) c.rows.push_back({0.25 * (r % 3), 0.75, -0.5, r % 2 ? 1.0 : 0.0});
        cases.push_back(c);
    }
    // Small integers everywhere: distances full of ties.
    {
        MapCase c{"IntegerTies", 4, 12, 10, {}, {}, true};
        for (size_t v = 0; v < 120 * 4; ++v) c.weights.push_back(static_cast<double>(random() % 3));
        for (size_t r = 0; r < 200; ++r) {
            std::vector<double> row(4);
            for (double &v : row) v = static_cast<double>(random() % 4) - 0.5 * (random() % 2);
            c.rows.push_back(row);
        }
        cases.push_back(c);
    }
    // Magnitudes at the ends of the float range, and far beyond it: the
    // map's spread decides what the floats must hold, and rows too far from
    // the map's centre are searched exactly.
    {
        MapCase c{"FloatRangeEnds", 3, 5, 7, {}, {}, true};
        const double scales[] = {0x1p127, 0x1p-126, 0x1p-140, 0x1p-149, 0x1p-160};
        for (size_t p = 0; p < 35; ++p)
            for (size_t k = 0; k < 3; ++k)
                c.weights.push_back(scales[p % 5] * (static_cast<double>(random() % 9) - 4.0) + (p % 7 == 0 ? 0x1p-150 : 0.0));
        for (size_t r = 0; r < 120; ++r) {
            std::vector<double> row(3);
            for (double &v : row) v = scales[random() % 5] * (static_cast<double>(random() % 17) - 8.0) * 0.5;
            if (r % 10 == 3) row[r % 3] = 0x1p60;  // beyond the filter's range
            c.rows.push_back(row);
        }
        cases.push_back(c);
    }
    {
        MapCase c{"TinySpread", 5, 6, 6, {}, {}, true};
        // Tiny differences on top of the smallest normal floats.
        for (size_t v = 0; v < 36 * 5; ++v) c.weights.push_back(0x1p-126 + std::ldexp(static_cast<double>(random() % 5), -149));
        for (size_t r = 0; r < 80; ++r) {
            std::vector<double> row(5);
            for (double &v : row) v = 0x1p-126 + std::ldexp(static_cast<double>(random() % 7), -150);
            c.rows.push_back(row);
        }
        cases.push_back(c);
    }
    // Near DBL_MAX: squares and sums that overflow, distances of exactly
    // DBL_MAX or infinity that never win; a few such neurons among ordinary
    // ones (measured exactly on every row), rows of every kind.
    {
        MapCase c{"NearDoubleMax", 2, 10, 10, random_values(random, 200, -1.0, 1.0), {}, true};
        const double big = 0x1.fffffffffffffp1023;
        const double edges[] = {big, -big, 1e154, 1.3407807929942596e154, 0.5, -0.25, 1e300, 3.0};
        for (size_t p = 0; p < 100; p += 17) c.weights[2 * p] = edges[p % 8], c.weights[2 * p + 1] = edges[(p * 3 + 1) % 8];
        for (size_t r = 0; r < 64; ++r) c.rows.push_back({edges[r % 8] * ((r / 8) % 2 ? -1 : 1), edges[(r / 8) % 8]});
        for (size_t r = 0; r < 40; ++r) c.rows.push_back({0.05 * r - 1.0, 1.0 - 0.05 * r});
        cases.push_back(c);
    }
    // Maps of huge, tiny and subnormal magnitude: the filter works in units
    // of the map's spread; where squares underflow, its allowance for that
    // sends the rows the exact way.
    {
        const double magnitudes[] = {1e250, 1e-150, 1e-310};
        for (double magnitude : magnitudes) {
            MapCase c{"Magnitude" + std::to_string(std::ilogb(magnitude)), 3, 8, 8, {}, {}, magnitude > 1e-300};
            for (size_t v = 0; v < 64 * 3; ++v) c.weights.push_back(magnitude * (1.0 + 0.001 * static_cast<double>(random() % 100)));
            for (size_t r = 0; r < 60; ++r) {
                std::vector<double> row(3);
                for (double &v : row) v = magnitude * (1.0 + 0.001 * static_cast<double>(random() % 120));
                c.rows.push_back(row);
            }
            cases.push_back(c);
        }
    }
    // NaN and infinities: in a few neurons (measured exactly on every row),
    // in many (the whole map searched exactly), and in rows.
    for (size_t specials : {2u, 40u}) {
        MapCase c{"NaNAndInfinity" + std::to_string(specials), 3, 9, 9, {}, {}, specials < 10};
        c.weights = random_values(random, 81 * 3, -2.0, 2.0);
        for (size_t s = 0; s < specials; ++s)
            c.weights[(s * 37) % 81 * 3 + s % 3] = s % 3 == 0 ? NAN : (s % 3 == 1 ? INFINITY : -INFINITY);
        c.weights[10 * 3] = 0.0;  // a special neuron that can still win: -0.0 below
        for (size_t r = 0; r < 90; ++r) {
            std::vector<double> row = random_values(random, 3, -2.0, 2.0);
            if (r % 9 == 1) row[r % 3] = NAN;
            if (r % 9 == 2) row[r % 3] = r % 2 ? INFINITY : -INFINITY;
            if (r % 9 == 4) row = {c.weights[(r % 81) * 3], c.weights[(r % 81) * 3 + 1], c.weights[(r % 81) * 3 + 2]};
            c.rows.push_back(row);
        }
        cases.push_back(c);
    }
    {
        MapCase c{"OneInput", 1, 20, 20, random_values(random, 400, -3.0, 3.0), {}, true};
        for (size_t p = 0; p < 400; p += 7) c.weights[p] = c.weights[p / 2];  // repeats
        for (size_t r = 0; r < 300; ++r) c.rows.push_back({r % 5 == 0 ? c.weights[r] : (static_cast<double>(r) - 150.0) / 50.0});
        cases.push_back(c);
    }
    {
        MapCase c{"ManyInputs", 300, 4, 5, random_values(random, 20 * 300, 0.0, 1.0), {}, true};
        for (size_t r = 0; r < 30; ++r) c.rows.push_back(random_values(random, 300, 0.0, 1.0));
        c.rows[3].assign(c.weights.begin() + 300, c.weights.begin() + 600);
        cases.push_back(c);
    }
    {
        // More inputs than the filter's bound is written for: exact.
        MapCase c{"TooManyInputs", 4100, 3, 3, random_values(random, 9 * 4100, 0.0, 1.0), {}, false};
        for (size_t r = 0; r < 5; ++r) c.rows.push_back(random_values(random, 4100, 0.0, 1.0));
        cases.push_back(c);
    }
    // A common offset far above the spread: the filter must not lose the
    // differences to cancellation.
    {
        MapCase c{"LargeOffset", 4, 10, 10, {}, {}, true};
        for (size_t v = 0; v < 400; ++v) c.weights.push_back(1e6 + std::ldexp(static_cast<double>(random() % 1000), -30));
        for (size_t r = 0; r < 150; ++r) {
            std::vector<double> row(4);
            for (double &v : row) v = 1e6 + std::ldexp(static_cast<double>(random() % 1000), -30);
            c.rows.push_back(row);
        }
        cases.push_back(c);
    }
    // One ordinary neuron far beyond the spread of the others (the integer
    // image declines such a map), and rows far outside the map (each row is
    // quantized on its own scale).
    {
        MapCase c{"FarNeuronAndFarRows", 5, 9, 9, random_values(random, 81 * 5, -1.0, 1.0), {}, true};
        for (size_t k = 0; k < 5; ++k) c.weights[40 * 5 + k] = 300.0 + k;
        for (size_t r = 0; r < 100; ++r) {
            std::vector<double> row = random_values(random, 5, -1.0, 1.0);
            if (r % 4 == 1) for (double &v : row) v *= 1e5;
            if (r % 4 == 2) for (double &v : row) v *= 1e-9;
            c.rows.push_back(row);
        }
        cases.push_back(c);
        for (size_t k = 0; k < 5; ++k) c.weights[40 * 5 + k] = 0.5 + k;  // now within the spread
        c.name = "FarRows";
        cases.push_back(c);
    }
    // Big enough to be shared between threads; rows on neurons and copies.
    {
        MapCase c{"Random", 16, 30, 30, random_values(random, 900 * 16, 0.0, 1.0), {}, true};
        for (size_t r = 0; r < 1500; ++r) {
            if (r % 50 == 7) c.rows.push_back(std::vector<double>(c.weights.begin() + static_cast<long>(r % 900 * 16),
                                                                  c.weights.begin() + static_cast<long>(r % 900 * 16 + 16)));
            else if (r % 50 == 9) c.rows.push_back(c.rows[r / 2]);
            else c.rows.push_back(random_values(random, 16, -0.2, 1.2));
        }
        cases.push_back(c);
    }
    return cases;
}

TEST_P(SearchDifferential, RecognitionMatchesTheLiteralSearch) {
    for (MapCase &c : map_cases()) expect_same_winners(c, everywhere());
}

TEST_P(SearchDifferential, RecognitionWithOneAndTwoThreads) {
    std::vector<MapCase> cases = map_cases();
    for (unsigned cap : {1u, 2u}) {
        ThreadCap threads(cap);
        expect_same_winners(cases.back(), everywhere());
    }
}

TEST_P(SearchDifferential, ReadOnlySearchesShareOneNetwork) {
    const CallOptions options = everywhere();
    MapCase c = map_cases().back();
    NetworkPtr network = make_network(c.n, c.x, c.y);
    set_all_weights(network.get(), c.weights);
    const std::vector<size_t> expected = literal_winners(network.get(), c.rows);
    std::vector<double *> rows = row_pointers(c.rows);
    std::vector<std::vector<size_t>> wi(3, std::vector<size_t>(rows.size())), wj = wi;
    std::vector<int> status(3, -1);
    {
        std::vector<std::thread> callers;
        for (size_t t = 0; t < 3; ++t)
            callers.emplace_back([&, t] {
                status[t] = som_engine::find_winners(network.get(), rows.data(), rows.size(), wi[t].data(),
                                                     wj[t].data(), options, nullptr);
            });
        for (std::thread &caller : callers) caller.join();
    }
    for (size_t t = 0; t < 3; ++t) {
        ASSERT_EQ(status[t], SOM_OK);
        for (size_t r = 0; r < rows.size(); ++r) ASSERT_EQ(wi[t][r] * c.y + wj[t][r], expected[r]) << t << " " << r;
    }
}

// ---- Placement ------------------------------------------------------------

// The literal pair search: the first pair in (i, j) order at the strictly
// greatest distance above 0.0, (0, 0) when there is none.
std::pair<size_t, size_t> literal_pair(const Table &rows) {
    double best = 0.0;
    std::pair<size_t, size_t> out{0, 0};
    for (size_t i = 0; i < rows.size(); ++i)
        for (size_t j = i + 1; j < rows.size(); ++j) {
            double distance = 0.0;
            for (size_t k = 0; k < rows[i].size(); ++k) distance = distance + std::fabs(rows[i][k] - rows[j][k]);
            if (distance > best) {
                best = distance;
                out = {i, j};
            }
        }
    return out;
}

struct PairCase {
    std::string name;
    Table rows;
    bool bounded;  // the bounds must have left out some rows
};

// Places a 3 x 4 grid both ways and compares the weights, and the pair
// itself against the literal search.
void expect_same_placement(PairCase &c, const CallOptions &options) {
    SCOPED_TRACE(c.name);
    const size_t n = c.rows[0].size();
    std::vector<double *> rows = row_pointers(c.rows);
    size_t first = SIZE_MAX, second = SIZE_MAX;
    PairCounts counts;
    ASSERT_EQ(som_engine::farthest_pair(rows.data(), rows.size(), n, &first, &second, som_internal::Observer{}, options,
                                        &counts),
              SOM_OK);
    const std::pair<size_t, size_t> expected = literal_pair(c.rows);
    EXPECT_EQ(first, expected.first);
    EXPECT_EQ(second, expected.second);
    if (c.bounded) {
        EXPECT_FALSE(counts.every_pair);
        EXPECT_LT(counts.candidate_rows, c.rows.size()) << "the bounds left out nothing";
    }
    // Rows beyond the bounds' range, a few of them, do not cost the bounds.
    size_t wild = 0;
    for (const std::vector<double> &row : c.rows) {
        bool nan = false, huge = false;
        for (double v : row) nan = nan || std::isnan(v), huge = huge || std::fabs(v) > 0x1p900;
        wild += !nan && huge;
    }
    if (wild > 0 && 8 * wild <= c.rows.size() && c.rows.size() >= options.search.pair_min_rows) {
        EXPECT_FALSE(counts.every_pair);
        EXPECT_EQ(counts.unbounded_rows, wild);
    }

    NetworkPtr fast = make_network(n, 3, 4), plain = make_network(n, 3, 4), public_call = make_network(n, 3, 4);
    ASSERT_EQ(som_engine::init_weights(fast.get(), rows.data(), rows.size(), som_internal::Observer{}, options), SOM_OK);
    ASSERT_EQ(som_init_weights_plain(plain.get(), rows.data(), rows.size()), SOM_OK);
    EXPECT_EQ(bit_patterns(all_weights(fast.get())), bit_patterns(all_weights(plain.get())));
    // The public call, with the library's own thresholds, too.
    ASSERT_EQ(som_init_weights(public_call.get(), rows.data(), rows.size()), SOM_OK);
    EXPECT_EQ(bit_patterns(all_weights(public_call.get())), bit_patterns(all_weights(plain.get())));
}

Table random_table(std::mt19937_64 &random, size_t count, size_t n, double low, double high) {
    Table out;
    for (size_t r = 0; r < count; ++r) out.push_back(random_values(random, n, low, high));
    return out;
}

// Rows in Gaussian clusters, the shape the ball bound is for.
Table clustered(std::mt19937_64 &random, size_t count, size_t n, size_t clusters) {
    std::normal_distribution<double> normal(0.0, 1.0);
    const Table centres = random_table(random, clusters, n, 0.0, 10.0);
    Table out;
    for (size_t r = 0; r < count; ++r) {
        std::vector<double> row = centres[random() % clusters];
        for (double &v : row) v = std::round((v + normal(random)) * 1e4) / 1e4;
        out.push_back(row);
    }
    return out;
}

// Rows whose greatest computed distance belongs to another pair than the
// greatest real one: 2^53 + 0.9 + 0.9 + 0.9 rounds to 2^53 at each step,
// while 2^53 + 2 is exact. Decoys fill the table; the check that the real
// maximum lies elsewhere keeps the case honest.
PairCase rounding_decides(std::mt19937_64 &random) {
    PairCase c{"GreatestOnlyThroughRounding", {}, true};
    const double big = 0x1p53;
    for (size_t r = 0; r < 200; ++r) c.rows.push_back(random_values(random, 4, 0.0, 0.5));
    c.rows[17] = {0.0, 0.0, 0.0, 0.0};
    c.rows[40] = {big, 0.9, 0.9, 0.9};  // real distance 2^53 + 2.7 from row 17, computed 2^53
    c.rows[90] = {big, 2.0, 0.0, 0.0};  // real 2^53 + 2, computed 2^53 + 2
    for (size_t r = 100; r < 200; r += 9) c.rows[r] = {big - 2.0, 0.25 * (r % 4), 0.0, 0.0};
    long double real_best = 0;
    std::pair<size_t, size_t> real_pair;
    for (size_t i = 0; i < c.rows.size(); ++i)
        for (size_t j = i + 1; j < c.rows.size(); ++j) {
            long double d = 0;
            for (size_t k = 0; k < 4; ++k) d += std::fabs(static_cast<long double>(c.rows[i][k]) - c.rows[j][k]);
            if (d > real_best) real_best = d, real_pair = {i, j};
        }
    EXPECT_NE(real_pair, literal_pair(c.rows)) << "the case no longer depends on rounding";
    return c;
}

std::vector<PairCase> pair_cases() {
    std::mt19937_64 random(77);
    std::vector<PairCase> cases;
    {
        // Corners of a small integer cube: many pairs share the greatest
        // distance, and the first in (i, j) order must win.
        PairCase c{"SeveralPairsAtTheGreatestDistance", {}, true};
        for (size_t r = 0; r < 400; ++r)
            c.rows.push_back({static_cast<double>(random() % 3), static_cast<double>(random() % 3),
                              static_cast<double>(random() % 3)});
        cases.push_back(c);
    }
    cases.push_back(rounding_decides(random));
    {
        PairCase c{"AllRowsEqual", Table(300, {1.5, -0.0, 2.0}), false};
        for (size_t r = 0; r < 300; r += 3) c.rows[r][1] = 0.0;  // -0.0 and 0.0 are equal
        cases.push_back(c);
    }
    {
        PairCase c{"AllEqualButOne", Table(300, {1.5, 0.0}), false};
        c.rows[211] = {1.5, 1e-300};
        cases.push_back(c);
    }
    {
        // Twenty distinct rows, each repeated many times over.
        PairCase c{"ManyDuplicates", {}, true};
        const Table distinct = random_table(random, 20, 5, -1.0, 1.0);
        for (size_t r = 0; r < 600; ++r) c.rows.push_back(distinct[(r * 7) % 20]);
        cases.push_back(c);
    }
    {
        PairCase c{"NaNRows", random_table(random, 300, 3, -1.0, 1.0), true};
        for (size_t r = 0; r < 300; r += 11) c.rows[r][r % 3] = NAN;
        c.rows[0] = {NAN, NAN, NAN};
        cases.push_back(c);
    }
    {
        PairCase c{"OnlyNaNPairs", Table(40, {NAN, 1.0}), false};
        c.rows[5] = {2.0, 1.0};
        cases.push_back(c);
    }
    {
        // Infinite and huge values: every pair is compared.
        PairCase c{"InfiniteAndHuge", random_table(random, 200, 2, -1.0, 1.0), false};
        c.rows[50] = {INFINITY, 0.0};
        c.rows[120] = {1e300, -1e300};
        c.rows[130] = {-INFINITY, 1.0};
        cases.push_back(c);
    }
    {
        // Every distance to row 3 rounds to the same value: all tie.
        PairCase c{"HugeFinite", random_table(random, 200, 3, -1e200, 1e200), false};
        c.rows[3] = {0x1p899, -0x1p899, 0.0};
        cases.push_back(c);
    }
    cases.push_back(PairCase{"Uniform8", random_table(random, 2000, 8, 0.0, 1.0), true});
    cases.push_back(PairCase{"Clustered20", clustered(random, 3000, 20, 12), true});
    cases.push_back(PairCase{"Clustered6", clustered(random, 2000, 6, 5), true});
    {
        PairCase c{"OneInput", {}, true};
        for (size_t r = 0; r < 500; ++r) c.rows.push_back({static_cast<double>((r * 37) % 101) - 50.0});
        cases.push_back(c);
    }
    cases.push_back(PairCase{"TwoRows", {{1.0, 2.0}, {3.0, -1.0}}, false});
    cases.push_back(PairCase{"OneRow", {{1.0, 2.0}}, false});
    return cases;
}

TEST_P(SearchDifferential, PlacementMatchesTheLiteralSearch) {
    // Pair comparison starting at once, after a round or after several.
    for (size_t direct : {2u, 64u}) {
        for (PairCase &c : pair_cases()) {
            const bool bounded = c.bounded && c.rows.size() > direct;
            PairCase tried{c.name + " direct " + std::to_string(direct), c.rows, bounded};
            expect_same_placement(tried, everywhere(direct));
        }
    }
}

TEST_P(SearchDifferential, PlacementWithOneAndTwoThreads) {
    std::mt19937_64 random(5);
    PairCase c{"Clustered", clustered(random, 6000, 9, 6), true};
    for (unsigned cap : {1u, 2u}) {
        ThreadCap threads(cap);
        expect_same_placement(c, everywhere(16));
    }
}

// Reports after each slice, rising to the number of pairs; a request to stop
// at any report ends the call with no weight changed.
TEST_P(SearchDifferential, PlacementReportsProgressAndStopsWhenAsked) {
    std::mt19937_64 random(11);
    Table table = clustered(random, 5000, 4, 3);
    std::vector<double *> rows = row_pointers(table);
    const size_t total = table.size() * (table.size() - 1) / 2;
    struct Watch {
        std::vector<size_t> done;
        size_t stop_at = SIZE_MAX;
        static int report(void *self, size_t done, size_t total) {
            Watch *watch = static_cast<Watch *>(self);
            EXPECT_EQ(total, 12497500u);
            watch->done.push_back(done);
            return watch->done.size() > watch->stop_at ? 1 : 0;
        }
    };
    const CallOptions options = everywhere(64);
    Watch all;
    NetworkPtr network = make_network(4, 3, 3);
    ASSERT_EQ(som_engine::init_weights(network.get(), rows.data(), rows.size(),
                                       som_internal::Observer{Watch::report, &all, nullptr}, options),
              SOM_OK);
    ASSERT_GE(all.done.size(), 3u);
    EXPECT_EQ(all.done.front(), 0u);
    EXPECT_EQ(all.done.back(), total);
    EXPECT_TRUE(std::is_sorted(all.done.begin(), all.done.end()));

    for (size_t stop : {size_t{0}, size_t{1}, all.done.size() / 2, all.done.size() - 1}) {
        NetworkPtr stopped = make_network(4, 3, 3);
        const std::vector<double> before = all_weights(stopped.get());
        Watch watch;
        watch.stop_at = stop;
        EXPECT_EQ(som_engine::init_weights(stopped.get(), rows.data(), rows.size(),
                                           som_internal::Observer{Watch::report, &watch, nullptr}, options),
                  SOM_ERROR_CANCELLED)
            << stop;
        EXPECT_EQ(watch.done.size(), stop + 1);
        EXPECT_EQ(bit_patterns(all_weights(stopped.get())), bit_patterns(before)) << stop;
    }
}

// Rows with a value the bounds cannot take (beyond 2^900, infinite) are
// compared with every other row on their own, and the bounds still work on
// the rest: the same pair as the literal search, ties between the two kinds
// of pairs going to the first in (i, j) order, wherever those rows lie.
TEST_P(SearchDifferential, PlacementWithRowsBeyondTheBounds) {
    std::mt19937_64 random(29);
    const double huge = 0x1p900 * 1.5;
    const Table wild_sets[] = {
        {{DBL_MAX, 0.5, 0.5}},
        // Equal rows, and distances to every ordinary row that all round to
        // DBL_MAX: ties everywhere.
        {{DBL_MAX, 0.0, 0.0}, {DBL_MAX, 0.0, 0.0}},
        {{-DBL_MAX, 1.0, 1.0}, {1e300, -1e300, 0.0}, {INFINITY, 0.0, 0.0}, {NAN, DBL_MAX, 0.0}, {-INFINITY, 2.0, 0.0}},
        {{huge, 0.25, 0.75}, {-huge, 0.5, 0.5}},
        // Infinite distances to every ordinary row, NaN between the two.
        {{INFINITY, 0.0, 0.0}, {INFINITY, 1.0, 0.0}},
    };
    for (size_t set = 0; set < std::size(wild_sets); ++set) {
        const Table &wild = wild_sets[set];
        for (const char *where : {"start", "middle", "end", "spread"}) {
            Table rows = random_table(random, 400, 3, 0.0, 1.0);
            for (size_t w = 0; w < wild.size(); ++w) {
                const size_t at = std::string(where) == "start"    ? w
                                  : std::string(where) == "middle" ? 200 + w
                                  : std::string(where) == "end"    ? rows.size() - wild.size() + w
                                                                   : 13 + 89 * w;
                rows[at] = wild[w];
            }
            PairCase c{"wild set " + std::to_string(set) + " at the " + where, rows, false};
            expect_same_placement(c, everywhere(16));
        }
    }
}

// The two kinds of pairs against each other at the limit: an ordinary pair
// 2^901 apart, and a row just beyond 2^900 whose distance to one of them
// rounds to exactly 2^901 (2^901 + 2^848 ties to even), before or after
// the ordinary pair in (i, j) order; and an ordinary pair farther apart
// than any pair with the wild row. With a table large enough for the
// production thresholds too.
TEST_P(SearchDifferential, PlacementTiesAcrossRowsBeyondTheBounds) {
    std::mt19937_64 random(31);
    const double limit = 0x1p900, beyond = 0x1p900 + 0x1p848;
    for (size_t wild_at : {size_t{3}, size_t{150}, size_t{299}}) {
        Table rows = random_table(random, 300, 2, -1.0, 1.0);
        rows[100] = {limit, 0.0};
        rows[200] = {-limit, 0.0};
        rows[wild_at] = {beyond, 0.0};
        PairCase c{"tie, wild row at " + std::to_string(wild_at), rows, false};
        expect_same_placement(c, everywhere(16));
    }
    {
        Table rows = random_table(random, 300, 2, -1.0, 1.0);
        rows[40] = {limit, -limit};
        rows[41] = {limit, limit};
        rows[250] = {beyond, 0.0};
        PairCase c{"the ordinary pair is farther", rows, false};
        expect_same_placement(c, everywhere(16));
    }
    Table big = random_table(random, 6000, 8, 0.0, 1.0);
    big[3000][5] = DBL_MAX;
    std::vector<double *> pointers = row_pointers(big);
    size_t first = 0, second = 0;
    PairCounts counts;
    ASSERT_EQ(som_engine::farthest_pair(pointers.data(), pointers.size(), 8, &first, &second, som_internal::Observer{},
                                        defaults(), &counts),
              SOM_OK);
    EXPECT_FALSE(counts.every_pair);
    EXPECT_EQ(counts.unbounded_rows, 1u);
    EXPECT_EQ(std::make_pair(first, second), literal_pair(big));
}

// Randomized tables of every kind, fixed seeds.
TEST_P(SearchDifferential, PlacementOnRandomTables) {
    std::mt19937_64 random(2024);
    for (int trial = 0; trial < 40; ++trial) {
        const size_t n = 1 + random() % 12, count = 2 + random() % 400;
        Table table;
        switch (trial % 4) {
            case 0: table = random_table(random, count, n, -1.0, 1.0); break;
            case 1: table = clustered(random, count, n, 1 + random() % 5); break;
            case 2:
                for (size_t r = 0; r < count; ++r) {
                    std::vector<double> row(n);
                    for (double &v : row) v = static_cast<double>(random() % 3);
                    table.push_back(row);
                }
                break;
            default:
                table = random_table(random, count, n, 0.0, 1.0);
                for (size_t r = 0; r < count; r += 1 + random() % 20) table[r] = table[random() % count];
                for (size_t r = 0; r < count; r += 1 + random() % 50) table[r][random() % n] = std::ldexp(1.0, 53);
        }
        PairCase c{"trial " + std::to_string(trial), table, false};
        expect_same_placement(c, everywhere(1 + random() % 32));
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, SearchDifferential,
                         ::testing::Values(Kernels{"scalar", "scalar", false}, Kernels{"generic", "generic", false},
                                           Kernels{"avx2", "avx2", false},
                                           Kernels{"avx512", "avx512", true},
                                           Kernels{"avx512_float", "avx512", false}),
                         [](const ::testing::TestParamInfo<Kernels> &info) { return std::string(info.param.name); });

}  // namespace
