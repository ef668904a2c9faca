// The analysis calls (som.h) on maps built by hand, where every
// figure can be worked out on paper, and against a search written out here
// on a map full of ties. Refusals of damaged networks and null arguments
// are in unit_api_test.cpp, the floating-point environment in
// unit_fp_environment_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "som/som.h"
#include "test_support.h"
#include "unit_helpers.h"

namespace {

using somap::testing::bit_patterns;
using somap::testing::bits;
using somap::testing::make_network;
using somap::testing::NetworkPtr;
using somap::testing::row_pointers;
using somap::testing::set_all_weights;
using Table = std::vector<std::vector<double>>;

const double kNaN = std::nan("");

// An x by y map of n inputs with the given weights, in map-file order.
NetworkPtr map_of(size_t n, size_t x, size_t y, const std::vector<double> &weights) {
    NetworkPtr network = make_network(n, x, y);
    set_all_weights(network.get(), weights);
    return network;
}

struct QualityCase {
    const char *name;
    size_t x, y, n;
    std::vector<double> weights;
    Table rows;
    double quantization_error;
    size_t topographic_errors;
};

void PrintTo(const QualityCase &c, std::ostream *os) { *os << c.name; }

class MeasureQuality : public ::testing::TestWithParam<QualityCase> {};

TEST_P(MeasureQuality, FiguresWorkedOutByHand) {
    const QualityCase &c = GetParam();
    NetworkPtr network = map_of(c.n, c.x, c.y, c.weights);
    Table table = c.rows;
    std::vector<double *> rows = row_pointers(table);
    som_quality quality{};
    ASSERT_EQ(som_measure_quality(network.get(), rows.data(), rows.size(), &quality), SOM_OK);
    EXPECT_EQ(quality.vectors, rows.size());
    EXPECT_EQ(bits(quality.quantization_error), bits(c.quantization_error)) << quality.quantization_error;
    EXPECT_EQ(quality.topographic_errors, c.topographic_errors);
    const double fraction =
        rows.empty() ? 0.0 : static_cast<double>(c.topographic_errors) / static_cast<double>(rows.size());
    EXPECT_EQ(bits(quality.topographic_error), bits(fraction));
}

INSTANTIATE_TEST_SUITE_P(
    Maps, MeasureQuality,
    ::testing::Values(
        // 0.25 wins (0,0) and its second, (0,2), is two steps away; 9 wins
        // (0,1) with (0,2) beside it. Distances 0.25 and 1.
        QualityCase{"OneOfTwoTornApart", 1, 3, 1, {0, 10, 1}, {{0.25}, {9}}, 0.625, 1},
        // All but one neuron equally near: the best is the first, (0,0), and
        // the second its neighbour (0,1). Choosing the last for either place
        // would pair a neuron with a distant one.
        QualityCase{"TiesForBestGoFirst", 1, 4, 1, {7, 7, 9, 7}, {{7}}, 0, 0},
        // Best (0,2); (0,0) and (0,3) tie for second and (0,0) comes first.
        QualityCase{"TiesForSecondGoFirst", 1, 4, 1, {1, 100, 0, -1}, {{0}}, 0, 1},
        QualityCase{"ADiagonalIsNoNeighbour", 2, 2, 1, {0, 5, 5, 1}, {{0}}, 0, 1},
        QualityCase{"ANeighbourBelowIs", 2, 2, 1, {0, 5, 1, 5}, {{0}}, 0, 0},
        // The NaN neighbour never ranks, so (0,2) is second.
        QualityCase{"NaNNeverRanks", 1, 3, 1, {0, kNaN, 5}, {{1}}, 1, 1},
        QualityCase{"OneNeuronHasNoSecond", 1, 1, 1, {2}, {{3}, {4}}, 1.5, 0},
        // No distance can win: the winner is (0,0), as somap prints it, and
        // nothing can be second either. An infinite distance counts in full.
        QualityCase{"NothingCanWinNaN", 2, 2, 1, {kNaN, kNaN, kNaN, kNaN}, {{1}}, kNaN, 0},
        QualityCase{"NothingCanWinInfinite", 2, 2, 1, {1e300, -1e300, 1e300, -1e300}, {{0}}, INFINITY, 0},
        QualityCase{"NoRows", 2, 2, 1, {0, 1, 2, 3}, {}, 0, 0},
        // An empty grid has no best unit: every figure 0, the rows counted.
        QualityCase{"EmptyGrid", 0, 3, 1, {}, {{1}, {2}}, 0, 0}),
    [](const ::testing::TestParamInfo<QualityCase> &info) { return std::string(info.param.name); });

struct UMatrixCase {
    const char *name;
    size_t x, y, n;
    std::vector<double> weights;
    std::vector<double> expected;  // row-major
};

void PrintTo(const UMatrixCase &c, std::ostream *os) { *os << c.name; }

class UMatrix : public ::testing::TestWithParam<UMatrixCase> {};

TEST_P(UMatrix, MeanDistanceToTheGridNeighbours) {
    const UMatrixCase &c = GetParam();
    NetworkPtr network = map_of(c.n, c.x, c.y, c.weights);
    std::vector<double> values(c.x * c.y, -1.0);
    ASSERT_EQ(som_u_matrix(network.get(), values.data()), SOM_OK);
    EXPECT_EQ(bit_patterns(values), bit_patterns(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Maps, UMatrix,
    ::testing::Values(
        UMatrixCase{"OneNeuronHasNoNeighbour", 1, 1, 2, {3, 4}, {0.0}},
        // 1 by 3 of n = 2 at 3-4-5 distances: (0,0)-(0,1) 5, (0,1)-(0,2) 6.
        UMatrixCase{"OneRow", 1, 3, 2, {0, 0, 3, 4, 3, 10}, {5, 5.5, 6}},
        // 3 by 2 of n = 1, so that a swap of i and j, or of the sides, shows:
        //   0  1      (0,0): down 3, right 1         (0,1): down 6, left 1
        //   3  7      (1,0): up 3, down 1, right 4   (1,1): up 6, down 13, left 4
        //   4 20      (2,0): up 1, right 16          (2,1): up 13, left 16
        UMatrixCase{"ThreeRowsTwoColumns", 3, 2, 1, {0, 1, 3, 7, 4, 20},
                    {2, 3.5, 8.0 / 3, 23.0 / 3, 8.5, 14.5}},
        // A NaN weight spoils its own value and its neighbours', no other.
        UMatrixCase{"NaNWeight", 2, 2, 1, {0, kNaN, 1, 3}, {kNaN, kNaN, 1.5, kNaN}},
        UMatrixCase{"EmptyGrid", 2, 0, 1, {}, {}}),
    [](const ::testing::TestParamInfo<UMatrixCase> &info) { return std::string(info.param.name); });

TEST(ComponentPlane, EveryWeightExactlyAsStored) {
    const double payload = -std::nan("0x5");
    NetworkPtr network = map_of(2, 2, 3, {0.5, -0.0, 1, 2, 3, payload, 4, 5, 6, 5e-324, 7, -8});
    std::vector<double> plane(6);
    ASSERT_EQ(som_component_plane(network.get(), 0, plane.data()), SOM_OK);
    EXPECT_EQ(bit_patterns(plane), bit_patterns({0.5, 1, 3, 4, 6, 7}));
    ASSERT_EQ(som_component_plane(network.get(), 1, plane.data()), SOM_OK);
    EXPECT_EQ(bit_patterns(plane), bit_patterns({-0.0, 2, payload, 5, 5e-324, -8}));

    const std::vector<double> before = plane;
    EXPECT_EQ(som_component_plane(network.get(), 2, plane.data()), SOM_ERROR_INVALID);
    EXPECT_EQ(bit_patterns(plane), bit_patterns(before));
    NetworkPtr empty = make_network(2, 0, 3);
    EXPECT_EQ(som_component_plane(empty.get(), 1, nullptr), SOM_OK);
}

TEST(HitCounts, WinnersPerNeuronWrittenWhole) {
    NetworkPtr network = map_of(1, 2, 2, {0, 10, 20, 30});
    Table table = {{1}, {29}, {31}, {-4}, {10}};
    std::vector<double *> rows = row_pointers(table);
    std::vector<size_t> hits(4, 99);
    ASSERT_EQ(som_hit_counts(network.get(), rows.data(), rows.size(), hits.data()), SOM_OK);
    EXPECT_EQ(hits, (std::vector<size_t>{2, 1, 0, 2}));

    // No rows: zeros everywhere, not what the array held.
    hits.assign(4, 99);
    ASSERT_EQ(som_hit_counts(network.get(), nullptr, 0, hits.data()), SOM_OK);
    EXPECT_EQ(hits, (std::vector<size_t>{0, 0, 0, 0}));

    // Rows nothing can win go to (0,0), where somap prints them.
    NetworkPtr spoilt = map_of(1, 2, 2, {kNaN, kNaN, kNaN, kNaN});
    ASSERT_EQ(som_hit_counts(spoilt.get(), rows.data(), rows.size(), hits.data()), SOM_OK);
    EXPECT_EQ(hits, (std::vector<size_t>{5, 0, 0, 0}));

    NetworkPtr empty = make_network(1, 3, 0);
    EXPECT_EQ(som_hit_counts(empty.get(), rows.data(), rows.size(), nullptr), SOM_OK);
}

// The quality figures and hit counts recomputed from the winners of
// som_find_winners_readonly on a map whose weights take few values, so
// that ties for the best and the second place are everywhere: the second is
// the first, in row-major order, of the other neurons sorted stably by
// distance, and NaN distances (from NaN weights) rank last.
TEST(Analysis, AgreesWithTheWinnerSearchOnAMapFullOfTies) {
    const size_t n = 3, x = 6, y = 5;
    std::mt19937_64 random(20251211);
    std::vector<double> weights(x * y * n);
    for (double &w : weights) w = static_cast<double>(random() % 4) / 2;
    weights[7 * n + 1] = kNaN;
    NetworkPtr network = map_of(n, x, y, weights);
    Table table(400, std::vector<double>(n));
    for (auto &row : table)
        for (double &v : row) v = static_cast<double>(random() % 5) / 2;
    std::vector<double *> rows = row_pointers(table);

    std::vector<size_t> wi(rows.size()), wj(rows.size());
    ASSERT_EQ(som_find_winners_readonly(network.get(), rows.data(), rows.size(), wi.data(), wj.data()), SOM_OK);
    auto distance = [&](const double *row, size_t cell) {
        double sum = 0.0;
        for (size_t k = 0; k < n; ++k) {
            const double d = row[k] - weights[cell * n + k];
            sum = sum + d * d;
        }
        return sum;
    };
    std::vector<size_t> expected_hits(x * y, 0);
    double sum = 0.0;
    size_t errors = 0, ties_for_second = 0;
    for (size_t r = 0; r < rows.size(); ++r) {
        const size_t best = wi[r] * y + wj[r];
        ++expected_hits[best];
        sum = sum + std::sqrt(distance(rows[r], best));
        std::vector<size_t> others;
        for (size_t cell = 0; cell < x * y; ++cell)
            if (cell != best && !std::isnan(distance(rows[r], cell))) others.push_back(cell);
        std::stable_sort(others.begin(), others.end(),
                         [&](size_t a, size_t b) { return distance(rows[r], a) < distance(rows[r], b); });
        ties_for_second += distance(rows[r], others[0]) == distance(rows[r], others[1]);
        const size_t second = others[0];
        const size_t di = std::max(second / y, wi[r]) - std::min(second / y, wi[r]);
        const size_t dj = std::max(second % y, wj[r]) - std::min(second % y, wj[r]);
        errors += di + dj != 1;
    }
    ASSERT_GT(ties_for_second, rows.size() / 4) << "the map must make ties common";

    som_quality quality{};
    ASSERT_EQ(som_measure_quality(network.get(), rows.data(), rows.size(), &quality), SOM_OK);
    EXPECT_EQ(quality.vectors, rows.size());
    EXPECT_EQ(bits(quality.quantization_error), bits(sum / static_cast<double>(rows.size())));
    EXPECT_EQ(quality.topographic_errors, errors);
    std::vector<size_t> hits(x * y);
    ASSERT_EQ(som_hit_counts(network.get(), rows.data(), rows.size(), hits.data()), SOM_OK);
    EXPECT_EQ(hits, expected_hits);
}

}  // namespace
