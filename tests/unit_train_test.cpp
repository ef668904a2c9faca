// The training loop: learning-rate curve, neighbourhood factor, the update
// rule to the bit, the early stop and the cases with nothing to train.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
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
using somap::testing::bits;
using somap::testing::KernelChoice;
using somap::testing::make_network;
using somap::testing::NetworkPtr;
using somap::testing::row_pointers;
using somap::testing::set_weight;
using somap::testing::weight;

constexpr double kTimeConstant = 27.104644554585676;
// Learning rate of the first iteration with that time constant.
constexpr double kFirstRate = 0.07732463380737492;

// Every training behaviour holds for the literal reference and for the
// fast path with each set of kernels alike.
struct Trainer {
    const char *name;
    const char *engine;  // kernels for the fast path; null for the reference
    int (*train)(som_network *, double **, size_t, size_t);
};

const Trainer kTrainers[] = {{"Plain", nullptr, som_train_plain},
                             {"Generic", "generic", som_train},
                             {"Avx2", "avx2", som_train},
                             {"Avx512", "avx512", som_train}};

void PrintTo(const Trainer &t, std::ostream *os) { *os << t.name; }

std::string trainer_name(const ::testing::TestParamInfo<Trainer> &info) {
    return std::string(info.param.name);
}

class TrainTest : public ::testing::TestWithParam<Trainer> {
  protected:
    void SetUp() override {
        if (!kernels_.available()) GTEST_SKIP() << "this CPU lacks " << GetParam().engine;
    }
    void train(som_network *network, double **rows, size_t row_count, size_t iterations) {
        GetParam().train(network, rows, row_count, iterations);
    }

  private:
    KernelChoice kernels_{GetParam().engine};
};

// ---- Learning rate and neighbourhood -------------------------------------

TEST(LearningRate, FollowsTheCurveForTheComputedTimeConstant) {
    struct Case {
        size_t t;
        double rate;
    };
    const Case cases[] = {{1, 0.07732463380737492},   {2, 0.14904759991890526},
                          {10, 0.5547686959343089},   {27, 0.7999940224418359},
                          {50, 0.6341131063260045},   {100, 0.2004715268189831},
                          {200, 0.010018313994244249}, {1000, 7.611323972042137e-15}};
    for (const Case &c : cases)
        EXPECT_EQ(som_learning_rate(c.t, kTimeConstant), c.rate) << "t = " << c.t;
}

TEST(LearningRate, UsesTheGivenTimeConstant) {
    // u = 2: (2 * 0.8) * e^-1.
    EXPECT_EQ(som_learning_rate(1, 0.5), (2.0 * 0.8) * std::exp(-1.0));
    // At t = T the curve peaks at exactly 0.8.
    EXPECT_EQ(som_learning_rate(40, 40.0), 0.8);
}

TEST(Neighbourhood, DependsOnTheFourthPowerOfTheDifference) {
    struct Case {
        long long d;
        double factor;
    };
    const Case cases[] = {{0, 1.0},         {1, 1.0 / 2.0},   {2, 1.0 / 17.0},
                          {3, 1.0 / 82.0},  {4, 1.0 / 257.0}, {5, 1.0 / 626.0},
                          {100, 1.0 / 100000001.0}};
    for (const Case &c : cases) {
        EXPECT_EQ(som_neighbourhood(c.d), c.factor) << "d = " << c.d;
        EXPECT_EQ(som_neighbourhood(-c.d), c.factor) << "d = " << -c.d;
    }
}

// ---- The update rule -----------------------------------------------------

// One input, a 1 x 2 grid with weights 0.2 and 0.9, one row.
struct WorkedExample {
    const char *name;
    double vector;
    size_t iterations;
    double left_after;   // w(0, 0)
    double right_after;  // w(0, 1)
};

void PrintTo(const WorkedExample &c, std::ostream *os) { *os << c.name; }

class WorkedExampleTest
    : public ::testing::TestWithParam<std::tuple<WorkedExample, Trainer>> {};

TEST_P(WorkedExampleTest, MatchesToTheBit) {
    const WorkedExample &c = std::get<0>(GetParam());
    const Trainer &trainer = std::get<1>(GetParam());
    KernelChoice kernels(trainer.engine);
    if (!kernels.available()) GTEST_SKIP() << "this CPU lacks " << trainer.engine;
    // Once with the time constant handed in, once computed by the training.
    for (bool preset : {true, false}) {
        SCOPED_TRACE(preset ? "time constant preset" : "time constant computed");
        NetworkPtr network = make_network(1, 1, 2);
        ASSERT_NE(network, nullptr);
        set_weight(network.get(), 0, 0, 0, 0.2);
        set_weight(network.get(), 0, 1, 0, 0.9);
        if (preset) network->time_constant = kTimeConstant;
        std::vector<std::vector<double>> table = {{c.vector}};
        std::vector<double *> rows = row_pointers(table);
        trainer.train(network.get(), rows.data(), rows.size(), c.iterations);
        EXPECT_EQ(weight(network.get(), 0, 0, 0), c.left_after);
        EXPECT_EQ(weight(network.get(), 0, 1, 0), c.right_after);
        EXPECT_EQ(network->time_constant, kTimeConstant);
        EXPECT_EQ(network->input_layer->neurons[0]->input, c.vector);
    }
}

INSTANTIATE_TEST_SUITE_P(
    OneInputTwoNeurons, WorkedExampleTest,
    ::testing::Combine(
        ::testing::Values(
            WorkedExample{"TowardsOneOnce", 1.0, 1, 0.23092985352294998, 0.9077324633807375},
            WorkedExample{"TowardsOneTwice", 1.0, 2, 0.2882438832737926, 0.9214847182642684},
            WorkedExample{"TowardsZeroOnce", 0.0, 1, 0.18453507323852503, 0.8652039147866813},
            WorkedExample{"ExactMatchStopsEarly", 0.9, 1000, 0.22706362183258122, 0.9}),
        ::testing::ValuesIn(kTrainers)),
    [](const ::testing::TestParamInfo<std::tuple<WorkedExample, Trainer>> &info) {
        return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

TEST_P(TrainTest, NeighbourhoodGoesByIndexSumNotGridDistance) {
    // All weights 0 but the centre's, which equals the vector: the centre
    // wins, and every other neuron moves to exactly its factor times the
    // first learning rate. The match also ends the vector after t = 1.
    NetworkPtr network = make_network(1, 3, 3);
    ASSERT_NE(network, nullptr);
    somap::testing::fill_weights(network.get(), 0.0);
    set_weight(network.get(), 1, 1, 0, 1.0);
    network->time_constant = kTimeConstant;
    std::vector<std::vector<double>> table = {{1.0}};
    std::vector<double *> rows = row_pointers(table);
    train(network.get(), rows.data(), rows.size(), 1000);

    const double far = (1.0 / 17.0) * kFirstRate;
    const double near = (1.0 / 2.0) * kFirstRate;
    const double expected[3][3] = {{far, near, kFirstRate},
                                   {near, 1.0, near},
                                   {kFirstRate, near, far}};
    for (size_t a = 0; a < 3; ++a)
        for (size_t b = 0; b < 3; ++b)
            EXPECT_EQ(weight(network.get(), a, b, 0), expected[a][b]) << a << "," << b;
}

TEST_P(TrainTest, FirstExactMatchInRowMajorOrderIsTheWinner) {
    // Two neurons equal the vector; which one wins shows in the far neuron,
    // three index steps from (0, 0) but one from (0, 2).
    NetworkPtr network = make_network(1, 1, 4);
    ASSERT_NE(network, nullptr);
    const double before[] = {0.9, 0.3, 0.9, 0.1};
    for (size_t j = 0; j < 4; ++j) set_weight(network.get(), 0, j, 0, before[j]);
    network->time_constant = kTimeConstant;
    std::vector<std::vector<double>> table = {{0.9}};
    std::vector<double *> rows = row_pointers(table);
    train(network.get(), rows.data(), rows.size(), 50);

    EXPECT_EQ(weight(network.get(), 0, 0, 0), 0.9);
    EXPECT_EQ(weight(network.get(), 0, 1, 0), ((0.9 - 0.3) * ((1.0 / 2.0) * kFirstRate)) + 0.3);
    EXPECT_EQ(weight(network.get(), 0, 2, 0), 0.9);
    EXPECT_EQ(weight(network.get(), 0, 3, 0), ((0.9 - 0.1) * ((1.0 / 82.0) * kFirstRate)) + 0.1);
}

TEST_P(TrainTest, LargeGridKeepsTheFirstMatchAndTheIndexSumFactors) {
    // Big enough for the work to be shared out; the two exact matches lie
    // far apart in row-major order, and their index sums (120 and 150) give
    // different factors everywhere, so the wrong winner would show.
    const size_t X = 130, Y = 127;
    NetworkPtr network = make_network(1, X, Y);
    ASSERT_NE(network, nullptr);
    somap::testing::fill_weights(network.get(), 0.0);
    set_weight(network.get(), 20, 100, 0, 1.0);
    set_weight(network.get(), 100, 50, 0, 1.0);
    network->time_constant = kTimeConstant;
    std::vector<std::vector<double>> table = {{1.0}};
    std::vector<double *> rows = row_pointers(table);
    train(network.get(), rows.data(), rows.size(), 1000);

    size_t mismatches = 0;
    for (size_t a = 0; a < X; ++a) {
        for (size_t b = 0; b < Y; ++b) {
            const bool match = (a == 20 && b == 100) || (a == 100 && b == 50);
            const long long d = 120 - static_cast<long long>(a + b);
            const double expected = match ? 1.0 : som_neighbourhood(d) * kFirstRate;
            const double got = weight(network.get(), a, b, 0);
            if (bits(got) != bits(expected) && mismatches++ == 0)
                ADD_FAILURE() << "first mismatch at " << a << "," << b << ": " << got
                              << " instead of " << expected;
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

// A 2 x 2 grid with two inputs and fixed, distinct weights.
NetworkPtr two_by_two() {
    NetworkPtr network = make_network(2, 2, 2);
    if (network == nullptr) return network;
    const double start[2][2][2] = {{{0.1, 0.2}, {0.7, 0.4}}, {{0.3, 0.9}, {0.5, 0.5}}};
    for (size_t i = 0; i < 2; ++i)
        for (size_t j = 0; j < 2; ++j)
            for (size_t k = 0; k < 2; ++k) set_weight(network.get(), i, j, k, start[i][j][k]);
    return network;
}

TEST_P(TrainTest, VectorEqualToANeuronStopsAfterTheFirstIteration) {
    NetworkPtr once = two_by_two();
    NetworkPtr allowed_many = two_by_two();
    ASSERT_NE(once, nullptr);
    ASSERT_NE(allowed_many, nullptr);
    const std::vector<double> before = all_weights(once.get());
    std::vector<std::vector<double>> table = {{0.3, 0.9}};
    std::vector<double *> rows = row_pointers(table);
    train(once.get(), rows.data(), rows.size(), 1);
    train(allowed_many.get(), rows.data(), rows.size(), 1000);

    EXPECT_EQ(bit_patterns(all_weights(once.get())), bit_patterns(all_weights(allowed_many.get())));
    // The matching neuron (1, 0) kept its weights; the others moved.
    EXPECT_EQ(weight(once.get(), 1, 0, 0), 0.3);
    EXPECT_EQ(weight(once.get(), 1, 0, 1), 0.9);
    const std::vector<double> after = all_weights(once.get());
    for (size_t s : {0u, 1u, 2u, 3u, 6u, 7u}) EXPECT_NE(after[s], before[s]) << "weight " << s;
}

TEST_P(TrainTest, EachVectorStartsAgainAtTheFirstIteration) {
    // Two equal vectors with one iteration each move the weights like two
    // separate one-iteration runs, not like one run of two iterations.
    NetworkPtr together = two_by_two();
    NetworkPtr separately = two_by_two();
    NetworkPtr two_iterations = two_by_two();
    ASSERT_NE(together, nullptr);
    ASSERT_NE(separately, nullptr);
    ASSERT_NE(two_iterations, nullptr);
    std::vector<std::vector<double>> table = {{0.8, 0.1}, {0.8, 0.1}};
    std::vector<double *> rows = row_pointers(table);
    train(together.get(), rows.data(), 2, 1);
    train(separately.get(), rows.data(), 1, 1);
    train(separately.get(), rows.data() + 1, 1, 1);
    train(two_iterations.get(), rows.data(), 1, 2);

    EXPECT_EQ(bit_patterns(all_weights(together.get())), bit_patterns(all_weights(separately.get())));
    EXPECT_NE(bit_patterns(all_weights(together.get())),
              bit_patterns(all_weights(two_iterations.get())));
}

TEST_P(TrainTest, VectorsAreTrainedOneAfterAnotherNotInRounds) {
    NetworkPtr together = two_by_two();
    NetworkPtr in_turn = two_by_two();
    ASSERT_NE(together, nullptr);
    ASSERT_NE(in_turn, nullptr);
    std::vector<std::vector<double>> table = {{0.8, 0.1}, {0.05, 0.6}};
    std::vector<double *> rows = row_pointers(table);
    train(together.get(), rows.data(), 2, 3);
    train(in_turn.get(), rows.data(), 1, 3);
    train(in_turn.get(), rows.data() + 1, 1, 3);

    EXPECT_EQ(bit_patterns(all_weights(together.get())), bit_patterns(all_weights(in_turn.get())));
    EXPECT_EQ(all_inputs(together.get()), (std::vector<double>{0.05, 0.6}));
}

TEST_P(TrainTest, UsesAnAlreadySetTimeConstant) {
    NetworkPtr network = make_network(1, 1, 2);
    ASSERT_NE(network, nullptr);
    set_weight(network.get(), 0, 0, 0, 0.2);
    set_weight(network.get(), 0, 1, 0, 0.9);
    network->time_constant = 0.5;
    std::vector<std::vector<double>> table = {{1.0}};
    std::vector<double *> rows = row_pointers(table);
    train(network.get(), rows.data(), 1, 1);

    const double rate = (2.0 * 0.8) * std::exp(1.0 - 2.0);
    EXPECT_EQ(network->time_constant, 0.5);
    EXPECT_EQ(weight(network.get(), 0, 0, 0), ((1.0 - 0.2) * ((1.0 / 2.0) * rate)) + 0.2);
    EXPECT_EQ(weight(network.get(), 0, 1, 0), ((1.0 - 0.9) * (1.0 * rate)) + 0.9);
}

// ---- Nothing to train ----------------------------------------------------

// Sets recognisable inputs and reports what training must leave alone.
struct Snapshot {
    std::vector<uint64_t> weights, inputs;
};

Snapshot prepare(som_network *network) {
    std::vector<double> marker(network->input_layer->neurons_count);
    for (size_t k = 0; k < marker.size(); ++k) marker[k] = 100.0 + static_cast<double>(k);
    som_set_inputs(network, marker.data());
    return {bit_patterns(all_weights(network)), bit_patterns(all_inputs(network))};
}

TEST_P(TrainTest, NoRowsStillComputesTheTimeConstantAndChangesNothingElse) {
    NetworkPtr network = two_by_two();
    ASSERT_NE(network, nullptr);
    const Snapshot before = prepare(network.get());
    train(network.get(), nullptr, 0, 1000);
    EXPECT_EQ(network->time_constant, kTimeConstant);
    EXPECT_EQ(bit_patterns(all_weights(network.get())), before.weights);
    EXPECT_EQ(bit_patterns(all_inputs(network.get())), before.inputs);
}

TEST_P(TrainTest, ZeroIterationsStillComputesTheTimeConstantAndPresentsNothing) {
    NetworkPtr network = two_by_two();
    ASSERT_NE(network, nullptr);
    const Snapshot before = prepare(network.get());
    std::vector<std::vector<double>> table = {{0.8, 0.1}, {0.05, 0.6}};
    std::vector<double *> rows = row_pointers(table);
    train(network.get(), rows.data(), rows.size(), 0);
    EXPECT_EQ(network->time_constant, kTimeConstant);
    EXPECT_EQ(bit_patterns(all_weights(network.get())), before.weights);
    EXPECT_EQ(bit_patterns(all_inputs(network.get())), before.inputs);
}

TEST_P(TrainTest, EmptyGridStillPresentsEveryVector) {
    const size_t shapes[][2] = {{0, 3}, {3, 0}, {0, 0}};
    for (const auto &shape : shapes) {
        NetworkPtr network = make_network(2, shape[0], shape[1]);
        ASSERT_NE(network, nullptr);
        prepare(network.get());
        std::vector<std::vector<double>> table = {{0.8, 0.1}, {0.05, 0.6}};
        std::vector<double *> rows = row_pointers(table);
        train(network.get(), rows.data(), rows.size(), 10);
        EXPECT_EQ(network->time_constant, kTimeConstant);
        EXPECT_EQ(all_inputs(network.get()), (std::vector<double>{0.05, 0.6}))
            << shape[0] << "x" << shape[1];
    }
}

TEST_P(TrainTest, NoInputsLeavesTheGridWithoutSynapses) {
    NetworkPtr network = make_network(0, 2, 3);
    ASSERT_NE(network, nullptr);
    double unused = 0.0;
    double *rows[] = {&unused, &unused};
    train(network.get(), rows, 2, 1000);
    EXPECT_EQ(network->time_constant, kTimeConstant);
    for (size_t i = 0; i < 2; ++i)
        for (size_t j = 0; j < 3; ++j)
            EXPECT_EQ(network->output_layer->neurons[i][j]->synapses_count, 0u);
}

INSTANTIATE_TEST_SUITE_P(Trainers, TrainTest, ::testing::ValuesIn(kTrainers), trainer_name);

}  // namespace
