// Data-driven initial weights: the choice of the four corner vectors and the
// linear and bilinear blends between them.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "som/som.h"
#include "test_support.h"
#include "unit_helpers.h"

namespace {

using somap::testing::all_inputs;
using somap::testing::all_weights;
using somap::testing::bit_patterns;
using somap::testing::fill_weights;
using somap::testing::KernelChoice;
using somap::testing::make_network;
using somap::testing::NetworkPtr;
using somap::testing::row_pointers;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A value no blend of the test rows can produce: any survivor shows.
constexpr double kStale = 31415.926;

// Every behaviour holds for the literal reference and for the fast path with
// each set of kernels alike.
struct Initializer {
    const char *name;
    const char *engine;  // kernels for the fast path; null for the reference
    int (*init)(som_network *, double **, size_t);
};

const Initializer kInitializers[] = {{"Plain", nullptr, som_init_weights_plain},
                                     {"Generic", "generic", som_init_weights},
                                     {"Avx2", "avx2", som_init_weights},
                                     {"Avx512", "avx512", som_init_weights}};

void PrintTo(const Initializer &i, std::ostream *os) { *os << i.name; }

struct InitCase {
    const char *name;
    size_t n, x, y;
    std::vector<std::vector<double>> rows;
    // Every weight after the call, in (i * Y + j) * n + k order.
    std::vector<double> expected;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const InitCase &c, std::ostream *os) { *os << c.name; }

class InitWeightsTest : public ::testing::TestWithParam<std::tuple<InitCase, Initializer>> {};

TEST_P(InitWeightsTest, WritesTheExpectedGrid) {
    InitCase c = std::get<0>(GetParam());
    const Initializer &initializer = std::get<1>(GetParam());
    KernelChoice kernels(initializer.engine);
    if (!kernels.available()) GTEST_SKIP() << "this CPU lacks " << initializer.engine;
    ASSERT_EQ(c.expected.size(), c.n * c.x * c.y);
    NetworkPtr network = make_network(c.n, c.x, c.y);
    ASSERT_NE(network, nullptr);
    fill_weights(network.get(), kStale);
    std::vector<double *> rows = row_pointers(c.rows);
    initializer.init(network.get(), rows.data(), rows.size());
    // Bit patterns: signed zeros tell apart rows that compare equal.
    EXPECT_EQ(bit_patterns(all_weights(network.get())), bit_patterns(c.expected));
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<InitCase, Initializer>> &info) {
    return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
}

// Rows of the one-dimensional example: A = -1 (row 2), B = 7 (row 3),
// C = 3 (row 4), D = 2 (row 1); C goes to (0, 0), A to (0, Y - 1), B to
// (X - 1, 0) and D to (X - 1, Y - 1).
const std::vector<std::vector<double>> kLine = {{0.5}, {2}, {-1}, {7}, {3}};

INSTANTIATE_TEST_SUITE_P(
    Examples, InitWeightsTest,
    ::testing::Combine(
    ::testing::Values(
        // The centre is the absolute value of the mean: (1, 2), not (-1, 2).
        InitCase{"Plane3x3",
                 2,
                 3,
                 3,
                 {{-4, 1}, {2, 3}, {-1, 2}, {1, 2}},
                 {1, 2, -1.5, 1.5, -4, 1, 1.5, 2.5, -0.5, 2, -2.5, 1.5, 2, 3, 0.5, 2.5, -1, 2}},
        InitCase{"Line3x5",
                 1,
                 3,
                 5,
                 kLine,
                 {3, 2, 1, 0, -1, 5, 3.875, 2.75, 1.625, 0.5, 7, 5.75, 4.5, 3.25, 2}}),
    ::testing::ValuesIn(kInitializers)),
    case_name);

// Where two corner positions name one neuron, the later write stands: A,
// then B, then C, then D.
INSTANTIATE_TEST_SUITE_P(
    SmallGrids, InitWeightsTest,
    ::testing::Combine(
    ::testing::Values(InitCase{"Single1x1", 1, 1, 1, kLine, {2}},
                      InitCase{"Plane1x1", 2, 1, 1, {{-4, 1}, {2, 3}, {-1, 2}, {1, 2}}, {-1, 2}},
                      InitCase{"Row1x2", 1, 1, 2, kLine, {3, 2}},
                      InitCase{"Row1x3", 1, 1, 3, kLine, {3, 2.5, 2}},
                      InitCase{"Row1x5", 1, 1, 5, kLine, {3, 2.75, 2.5, 2.25, 2}},
                      InitCase{"Column2x1", 1, 2, 1, kLine, {3, 2}},
                      InitCase{"Column3x1", 1, 3, 1, kLine, {3, 2.5, 2}},
                      InitCase{"Column5x1", 1, 5, 1, kLine, {3, 2.75, 2.5, 2.25, 2}},
                      InitCase{"Corners2x2", 1, 2, 2, kLine, {3, -1, 7, 2}},
                      InitCase{"Plane2x2",
                               2,
                               2,
                               2,
                               {{-4, 1}, {2, 3}, {-1, 2}, {1, 2}},
                               {1, 2, -4, 1, 2, 3, -1, 2}},
                      InitCase{"TwoRows2x3", 1, 2, 3, kLine, {3, 1, -1, 7, 4.5, 2}},
                      InitCase{"TwoRows2x5",
                               1,
                               2,
                               5,
                               kLine,
                               {3, 2, 1, 0, -1, 7, 5.75, 4.5, 3.25, 2}},
                      InitCase{"TwoColumns3x2", 1, 3, 2, kLine, {3, -1, 5, 0.5, 7, 2}},
                      InitCase{"TwoColumns5x2",
                               1,
                               5,
                               2,
                               kLine,
                               {3, -1, 4, -0.25, 5, 0.5, 6, 1.25, 7, 2}},
                      InitCase{"Square3x3", 1, 3, 3, kLine, {3, 1, -1, 5, 2.75, 0.5, 7, 4.5, 2}}),
    ::testing::ValuesIn(kInitializers)),
    case_name);

// Shares that are not dyadic round, so the grid depends on the exact order
// of the operations: each quotient formed before it multiplies a weight,
// products before their division, terms added in the stated order.
INSTANTIATE_TEST_SUITE_P(
    Rounding, InitWeightsTest,
    ::testing::Combine(
    ::testing::Values(
        // C = 1, D = 7; 7 * (1/3) + 1 * (2/3) is not 3 once rounded.
        InitCase{"Row1x4",
                 1,
                 1,
                 4,
                 {{-20}, {20}, {1}, {7}},
                 {1, 2.9999999999999996, 4.9999999999999991, 7}},
        InitCase{"Column4x1",
                 1,
                 4,
                 1,
                 {{-20}, {20}, {1}, {7}},
                 {1, 2.9999999999999996, 4.9999999999999991, 7}},
        // C = 0.1, A = -20, B = 20, D = -2.5.
        InitCase{"Grid4x6",
                 1,
                 4,
                 6,
                 {{-20}, {20}, {0.1}, {-2.5}},
                 {0.10000000000000001, -3.9199999999999999, -7.9400000000000004,
                  -11.960000000000001, -15.98, -20,
                  6.7333333333333325, 2.5533333333333332, -1.626666666666666,
                  -5.8066666666666675, -9.9866666666666646, -14.166666666666666,
                  13.366666666666665, 9.0266666666666673, 4.6866666666666665,
                  0.34666666666666635, -3.9933333333333327, -8.3333333333333321,
                  20, 15.5, 11, 6.5, 2, -2.5}},
        // C = 3.7, A = -20, B = 20, D = -4.1; with three interior rows every
        // coefficient has a product that does not divide out exactly.
        InitCase{"Grid5x6",
                 1,
                 5,
                 6,
                 {{-20}, {20}, {3.7}, {-4.1}},
                 {3.7000000000000002, -1.0399999999999996, -5.7799999999999994, -10.52, -15.26, -20,
                  7.7750000000000004, 3.0150000000000001, -1.7450000000000001, -6.5049999999999999,
                  -11.265000000000001, -16.024999999999999,
                  11.85, 7.0700000000000003, 2.29, -2.4899999999999993, -7.2700000000000005,
                  -12.050000000000001,
                  15.925000000000001, 11.125, 6.3250000000000002, 1.5250000000000004,
                  -3.274999999999999, -8.0749999999999993,
                  20, 15.18, 10.359999999999999, 5.5400000000000009, 0.7200000000000002,
                  -4.0999999999999996}}),
    ::testing::ValuesIn(kInitializers)),
    case_name);

// On a 2 x 2 grid the corners show the choice directly: expected lists
// C (0, 0), A (0, 1), B (1, 0), D (1, 1).
INSTANTIATE_TEST_SUITE_P(
    CornerChoice, InitWeightsTest,
    ::testing::Combine(
    ::testing::Values(
        InitCase{"OneRowEverywhere", 1, 2, 2, {{5}}, {5, 5, 5, 5}},
        InitCase{"OneRowBlendsToItself", 1, 3, 3, {{5}}, {5, 5, 5, 5, 5, 5, 5, 5, 5}},
        // No candidate is left for C and D: both fall back to row 0.
        InitCase{"TwoDifferingRows", 1, 2, 2, {{4}, {1}}, {4, 4, 1, 4}},
        // A = B = row 0 (+0), C = row 1 (-0), D = row 0.
        InitCase{"TwoEqualRows", 1, 2, 2, {{0.0}, {-0.0}}, {-0.0, 0.0, 0.0, 0.0}},
        // A = 1 (row 1), B = 9 (row 2), C = row 0, D falls back to row 0.
        InitCase{"ThreeRows", 1, 2, 2, {{4}, {1}, {9}}, {4, 1, 9, 4}},
        // All four rows compare equal; the signs of the zeros name them:
        // A = B = row 0, C = row 1, D = row 2.
        InitCase{"AllRowsEqual",
                 2,
                 2,
                 2,
                 {{0.0, 0.0}, {0.0, -0.0}, {-0.0, 0.0}, {-0.0, -0.0}},
                 {0.0, -0.0, 0.0, 0.0, 0.0, 0.0, -0.0, 0.0}},
        // Pairs (0, 2) and (2, 3) are both 10 apart; the first pair met wins.
        InitCase{"PairTieSmallerFirstIndex",
                 1,
                 2,
                 2,
                 {{-0.0}, {5}, {10}, {0.0}},
                 {5, -0.0, 10, 0.0}},
        // Pairs (0, 1), (0, 2) and (1, 2) are all 10 apart.
        InitCase{"PairTieSmallerSecondIndex",
                 2,
                 2,
                 2,
                 {{0, 0}, {10, 0}, {5, 5}},
                 {5, 5, 0, 0, 10, 0, 0, 0}},
        // Rows 2 and 3 both lie 1 from the centre 4.
        InitCase{"NearestTieForC", 1, 2, 2, {{0}, {8}, {5}, {3}}, {5, 0, 8, 3}},
        // Rows 3 and 4 both lie 1 from the second centre 4.
        InitCase{"NearestTieForD", 1, 2, 2, {{0}, {8}, {4}, {3}, {5}}, {4, 0, 8, 3}},
        // Row 2 equals A in value (not in sign) and is still a candidate.
        InitCase{"RowEqualToAChosenAsC", 1, 2, 2, {{0.0}, {8}, {-0.0}}, {-0.0, 0.0, 8, 0.0}},
        // Row 3 equals B in value and is the only candidate for D.
        InitCase{"RowEqualToBChosenAsD", 1, 2, 2, {{0}, {8}, {4}, {8}}, {4, 0, 8, 8}},
        // Centres |(-6 + 2) / 2| = 2 and |(-6 + 2 + 1.5) / 3|: a signed first
        // centre would pick -1 for C, a signed second one -1 for D.
        InitCase{"CentresAreAbsoluteValues",
                 1,
                 2,
                 2,
                 {{-6}, {2}, {1.5}, {1}, {-1}},
                 {1.5, -6, 2, 1}},
        // A NaN distance never wins: C and D fall back to row 0.
        InitCase{"NaNCandidateNeverChosen", 1, 2, 2, {{1}, {5}, {kNaN}}, {1, 1, 5, 1}},
        // A NaN row takes part in no pair; C and D fall back to row 0 even
        // though it is that NaN row.
        InitCase{"NaNRowFallsBackToRowZero",
                 1,
                 2,
                 2,
                 {{kNaN}, {1}, {5}},
                 {kNaN, 1, 5, kNaN}},
        // Only the first n values of a row count: the 100 would make rows 0
        // and 2 the most distant pair.
        InitCase{"ValuesBeyondNAreIgnored",
                 1,
                 2,
                 2,
                 {{0, 0}, {8, 0}, {4, 100}, {3, 0}},
                 {4, 0, 8, 3}},
        // An infinite distance is the greatest pair but never the nearest.
        InitCase{"InfiniteRow", 1, 2, 2, {{1}, {kInf}, {5}}, {1, 1, kInf, 1}}),
    ::testing::ValuesIn(kInitializers)),
    case_name);

class InitWeightsPathTest : public ::testing::TestWithParam<Initializer> {
  protected:
    void SetUp() override {
        if (!kernels_.available()) GTEST_SKIP() << "this CPU lacks " << GetParam().engine;
    }
    void init(som_network *network, double **rows, size_t row_count) {
        GetParam().init(network, rows, row_count);
    }

  private:
    KernelChoice kernels_{GetParam().engine};
};

TEST_P(InitWeightsPathTest, NoWeightFromBeforeSurvivesAnyGridShape) {
    std::vector<std::vector<double>> table = {{0.5, -1, 2}, {3, 4, -5}, {-2, 0.25, 1}, {1, 1, 1}};
    std::vector<double *> rows = row_pointers(table);
    for (size_t x = 1; x <= 5; ++x) {
        for (size_t y = 1; y <= 5; ++y) {
            NetworkPtr network = make_network(3, x, y);
            ASSERT_NE(network, nullptr);
            fill_weights(network.get(), kStale);
            init(network.get(), rows.data(), rows.size());
            for (double w : all_weights(network.get()))
                ASSERT_NE(w, kStale) << x << "x" << y;
        }
    }
}

TEST_P(InitWeightsPathTest, LargeTableKeepsTheFirstOfTiedPairs) {
    // Enough rows for the pair search to be shared out. Four rows reach the
    // greatest distance 20 in six pairs spread over the table; the sign of
    // the zero in the second component names the row that reached a corner.
    const size_t row_count = 300;
    std::vector<std::vector<double>> table(row_count);
    for (size_t r = 0; r < row_count; ++r)
        table[r] = {static_cast<double>((r * 37) % 100) / 20.0 - 2.5, 0.0};
    table[10] = {kNaN, 0.0};  // a NaN distance never wins
    table[40] = {-10.0, -0.0};
    table[200] = {-10.0, 0.0};
    table[250] = {10.0, -0.0};
    table[251] = {10.0, 0.0};
    table[290] = {10.0, 0.0};
    std::vector<double *> rows = row_pointers(table);

    NetworkPtr network = make_network(2, 2, 2);
    ASSERT_NE(network, nullptr);
    init(network.get(), rows.data(), rows.size());
    // A = row 40 at (0, Y - 1), B = row 250 at (X - 1, 0).
    EXPECT_EQ(bit_patterns({somap::testing::weight(network.get(), 0, 1, 0),
                            somap::testing::weight(network.get(), 0, 1, 1)}),
              bit_patterns({-10.0, -0.0}));
    EXPECT_EQ(bit_patterns({somap::testing::weight(network.get(), 1, 0, 0),
                            somap::testing::weight(network.get(), 1, 0, 1)}),
              bit_patterns({10.0, -0.0}));
}

TEST_P(InitWeightsPathTest, TouchesNothingButWeightsAndIsRepeatable) {
    NetworkPtr network = make_network(2, 4, 3);
    ASSERT_NE(network, nullptr);
    const double inputs[] = {-7.5, 8.25};
    som_set_inputs(network.get(), inputs);
    network->time_constant = 3.5;
    std::vector<std::vector<double>> table = {{-4, 1}, {2, 3}, {-1, 2}, {1, 2}};
    std::vector<double *> rows = row_pointers(table);
    init(network.get(), rows.data(), rows.size());
    const std::vector<uint64_t> first = bit_patterns(all_weights(network.get()));

    fill_weights(network.get(), kStale);
    init(network.get(), rows.data(), rows.size());
    EXPECT_EQ(bit_patterns(all_weights(network.get())), first);
    EXPECT_EQ(all_inputs(network.get()), (std::vector<double>{-7.5, 8.25}));
    EXPECT_EQ(network->time_constant, 3.5);
    EXPECT_EQ(table, (std::vector<std::vector<double>>{{-4, 1}, {2, 3}, {-1, 2}, {1, 2}}));
}

TEST_P(InitWeightsPathTest, NothingToPlaceChangesNothing) {
    std::vector<std::vector<double>> table = {{1, 2}, {3, 4}};
    std::vector<double *> rows = row_pointers(table);

    // No rows.
    NetworkPtr network = make_network(2, 2, 2);
    ASSERT_NE(network, nullptr);
    fill_weights(network.get(), kStale);
    init(network.get(), nullptr, 0);
    for (double w : all_weights(network.get())) EXPECT_EQ(w, kStale);

    // Empty grids and no inputs: nothing to write, and nothing may be read
    // out of bounds (the sanitizer build watches that).
    const size_t shapes[][3] = {{2, 0, 3}, {2, 3, 0}, {2, 0, 0}, {0, 2, 2}};
    for (const auto &shape : shapes) {
        NetworkPtr empty = make_network(shape[0], shape[1], shape[2]);
        ASSERT_NE(empty, nullptr);
        init(empty.get(), rows.data(), rows.size());
        EXPECT_TRUE(all_weights(empty.get()).empty());
        EXPECT_EQ(empty->time_constant, 0.0);
        for (double input : all_inputs(empty.get())) EXPECT_EQ(input, 0.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, InitWeightsPathTest, ::testing::ValuesIn(kInitializers),
                         [](const ::testing::TestParamInfo<Initializer> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
