// The learning-rate time constant: the truncated branch-point series, its
// coefficient tables, and the cache in the network record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>

#include "som/som.h"
#include "test_support.h"
#include "unit_helpers.h"

namespace {

using somap::testing::bits;
using somap::testing::make_network;
using somap::testing::NetworkPtr;

// The value of the 1000-term sum; the exact branch value (about 27.0969)
// would be wrong here.
constexpr double kTimeConstant = 27.104644554585676;

// Marks table entries so that the test sees which ones the computation wrote.
constexpr double kUntouched = 12345.5;

void fill_tables(som_network *network, double value) {
    for (size_t e = 0; e < SOM_SERIES_LENGTH; ++e) {
        network->series_alpha[e] = value;
        network->series_mu[e] = value;
    }
}

TEST(TimeConstant, IsTheTruncatedSeriesValueToTheBit) {
    NetworkPtr network = make_network(1, 1, 1);
    ASSERT_NE(network, nullptr);
    som_time_constant(network.get());
    EXPECT_EQ(network->time_constant, kTimeConstant);
}

TEST(TimeConstant, WritesEntriesUpTo999AndNeverTheLast) {
    NetworkPtr network = make_network(1, 1, 1);
    ASSERT_NE(network, nullptr);
    // Whatever the tables held before must neither survive nor matter.
    fill_tables(network.get(), kUntouched);
    som_time_constant(network.get());
    EXPECT_EQ(bits(network->time_constant), bits(kTimeConstant));
    for (size_t e = 0; e < 1000; ++e) {
        ASSERT_NE(network->series_alpha[e], kUntouched) << "alpha " << e;
        ASSERT_NE(network->series_mu[e], kUntouched) << "mu " << e;
        ASSERT_TRUE(std::isfinite(network->series_alpha[e])) << "alpha " << e;
        ASSERT_TRUE(std::isfinite(network->series_mu[e])) << "mu " << e;
    }
    EXPECT_EQ(bits(network->series_alpha[2]), bits(0.0));
    EXPECT_EQ(network->series_alpha[1000], kUntouched);
    EXPECT_EQ(network->series_mu[1000], kUntouched);
}

TEST(TimeConstant, LastTableEntryStaysZeroInAFreshNetwork) {
    NetworkPtr network = make_network(2, 2, 2);
    ASSERT_NE(network, nullptr);
    som_time_constant(network.get());
    EXPECT_EQ(bits(network->series_alpha[1000]), bits(0.0));
    EXPECT_EQ(bits(network->series_mu[1000]), bits(0.0));
}

struct Fraction {
    long long numerator, denominator;
};

struct Coefficients {
    size_t k;
    Fraction mu, alpha;
};

void PrintTo(const Coefficients &c, std::ostream *os) { *os << "k=" << c.k; }

class SeriesCoefficientTest : public ::testing::TestWithParam<Coefficients> {
  protected:
    static void SetUpTestSuite() {
        network_ = som_network_new(1, 1, 1);
        ASSERT_NE(network_, nullptr);
        som_time_constant(network_);
    }
    static void TearDownTestSuite() {
        som_network_destroy(network_);
        network_ = nullptr;
    }
    // Relative difference between a table entry and the exact fraction,
    // worked out in extended precision so that the fraction is not rounded
    // to a double first.
    static long double relative_error(double got, Fraction exact) {
        const long double scaled = static_cast<long double>(got) * exact.denominator;
        return std::fabs(scaled - static_cast<long double>(exact.numerator)) /
               std::fabs(static_cast<long double>(exact.numerator));
    }
    static som_network *network_;
};

som_network *SeriesCoefficientTest::network_ = nullptr;

TEST_P(SeriesCoefficientTest, AgreesWithThePublishedFractions) {
    ASSERT_NE(network_, nullptr);
    const Coefficients c = GetParam();
    const double mu = network_->series_mu[c.k];
    const double alpha = network_->series_alpha[c.k];
    // The starting values and the empty sum are exact by construction.
    if (c.k <= 1) {
        EXPECT_EQ(bits(mu), bits(static_cast<double>(c.mu.numerator)));
        EXPECT_EQ(bits(alpha), bits(static_cast<double>(c.alpha.numerator)));
        return;
    }
    EXPECT_LT(relative_error(mu, c.mu), 1e-15L) << "mu " << c.k << " = " << mu;
    if (c.alpha.numerator == 0) {
        EXPECT_EQ(bits(alpha), bits(0.0));
    } else {
        EXPECT_LT(relative_error(alpha, c.alpha), 1e-15L) << "alpha " << c.k << " = " << alpha;
    }
}

INSTANTIATE_TEST_SUITE_P(FirstTerms, SeriesCoefficientTest,
                         ::testing::Values(Coefficients{0, {-1, 1}, {2, 1}},
                                           Coefficients{1, {1, 1}, {-1, 1}},
                                           Coefficients{2, {-1, 3}, {0, 1}},
                                           Coefficients{3, {11, 72}, {1, 9}},
                                           Coefficients{4, {-43, 540}, {-11, 108}},
                                           Coefficients{5, {769, 17280}, {1981, 25920}},
                                           Coefficients{6, {-221, 8505}, {-4199, 77760}}),
                         [](const ::testing::TestParamInfo<Coefficients> &info) {
                             return "k" + std::to_string(info.param.k);
                         });

// A time constant that is already set, however odd, is used as it is: the
// computation runs only for a network that has none yet.
struct CachedCase {
    const char *name;
    double value;
};

void PrintTo(const CachedCase &c, std::ostream *os) { *os << c.name; }

class CachedTimeConstantTest : public ::testing::TestWithParam<CachedCase> {};

TEST_P(CachedTimeConstantTest, IsKeptAndTheTablesAreLeftAlone) {
    const CachedCase c = GetParam();
    NetworkPtr network = make_network(1, 2, 2);
    ASSERT_NE(network, nullptr);
    fill_tables(network.get(), kUntouched);
    network->time_constant = c.value;
    som_time_constant(network.get());
    EXPECT_EQ(bits(network->time_constant), bits(c.value));
    for (size_t e = 0; e < SOM_SERIES_LENGTH; ++e) {
        ASSERT_EQ(network->series_alpha[e], kUntouched) << e;
        ASSERT_EQ(network->series_mu[e], kUntouched) << e;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, CachedTimeConstantTest,
    ::testing::Values(CachedCase{"Half", 0.5}, CachedCase{"NaN", std::numeric_limits<double>::quiet_NaN()},
                      CachedCase{"Negative", -3.0},
                      CachedCase{"Infinity", std::numeric_limits<double>::infinity()},
                      CachedCase{"Subnormal", 4.9406564584124654e-324},
                      CachedCase{"Computed", kTimeConstant}),
    [](const ::testing::TestParamInfo<CachedCase> &info) { return std::string(info.param.name); });

TEST(TimeConstant, NegativeZeroMeansNotComputedYet) {
    NetworkPtr network = make_network(1, 1, 1);
    ASSERT_NE(network, nullptr);
    network->time_constant = -0.0;
    som_time_constant(network.get());
    EXPECT_EQ(bits(network->time_constant), bits(kTimeConstant));
    EXPECT_EQ(network->series_mu[0], -1.0);
    EXPECT_NE(network->series_mu[999], 0.0);
}

TEST(TimeConstant, SecondCallReusesTheFirstResult) {
    NetworkPtr network = make_network(1, 1, 1);
    ASSERT_NE(network, nullptr);
    som_time_constant(network.get());
    // Tampering with the tables shows whether a second call recomputes.
    network->series_mu[5] = kUntouched;
    som_time_constant(network.get());
    EXPECT_EQ(bits(network->time_constant), bits(kTimeConstant));
    EXPECT_EQ(network->series_mu[5], kUntouched);
}

}  // namespace
