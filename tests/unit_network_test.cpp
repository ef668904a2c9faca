// The network records: creation and wiring, random weights, synapses,
// presenting inputs, the winner search and destruction.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "som/som.h"
#include "test_support.h"
#include "unit_helpers.h"

namespace {

using somap::testing::bit_patterns;
using somap::testing::bits;
using somap::testing::make_network;
using somap::testing::NetworkPtr;
using somap::testing::output_neuron;
using somap::testing::set_weight;
using somap::testing::weight;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The weight a fresh synapse gets from a given draw of the generator.
double draw_to_weight(int draw) { return static_cast<double>(draw) / 4294967295.0; }

// Creates two networks of the same shape within one second of the clock, so
// that both are seeded alike; `seed` receives that second.
std::pair<NetworkPtr, NetworkPtr> two_networks_in_one_second(size_t n, size_t x, size_t y,
                                                             time_t *seed) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        time_t before = std::time(nullptr);
        NetworkPtr first = make_network(n, x, y);
        NetworkPtr second = make_network(n, x, y);
        time_t after = std::time(nullptr);
        if (before == after) {
            *seed = before;
            return {std::move(first), std::move(second)};
        }
    }
    return {};
}

// ---- Creation and wiring -------------------------------------------------

struct Shape {
    size_t n, x, y;
};

void PrintTo(const Shape &s, std::ostream *os) { *os << "n=" << s.n << " " << s.x << "x" << s.y; }

class WiringTest : public ::testing::TestWithParam<Shape> {};

TEST_P(WiringTest, EveryInputReachesEveryOutputThroughOneSynapse) {
    const Shape shape = GetParam();
    NetworkPtr network = make_network(shape.n, shape.x, shape.y);
    ASSERT_NE(network, nullptr);
    ASSERT_NE(network->input_layer, nullptr);
    ASSERT_NE(network->output_layer, nullptr);
    const som_input_layer *inputs = network->input_layer;
    const som_output_layer *grid = network->output_layer;
    ASSERT_EQ(inputs->neurons_count, shape.n);
    ASSERT_EQ(grid->neurons_count_x, shape.x);
    ASSERT_EQ(grid->neurons_count_y, shape.y);

    EXPECT_EQ(bits(network->time_constant), bits(0.0));
    EXPECT_EQ(network->saved_at, 0);
    for (size_t e = 0; e < SOM_SERIES_LENGTH; ++e) {
        ASSERT_EQ(bits(network->series_alpha[e]), bits(0.0)) << e;
        ASSERT_EQ(bits(network->series_mu[e]), bits(0.0)) << e;
    }

    for (size_t k = 0; k < shape.n; ++k) {
        const som_neuron *in = inputs->neurons[k];
        ASSERT_NE(in, nullptr);
        EXPECT_EQ(bits(in->input), bits(0.0));
        ASSERT_EQ(in->synapses_count, shape.x * shape.y) << "input " << k;
    }

    // Each synapse appears once in its output neuron's list and once in its
    // input neuron's list; collect them to prove that none is shared.
    std::set<const som_synapse *> seen;
    for (size_t i = 0; i < shape.x; ++i) {
        ASSERT_NE(grid->neurons[i], nullptr) << "row " << i;
        for (size_t j = 0; j < shape.y; ++j) {
            const som_neuron *out = grid->neurons[i][j];
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(bits(out->input), bits(0.0));
            ASSERT_EQ(out->synapses_count, shape.n) << "output " << i << "," << j;
            for (size_t k = 0; k < shape.n; ++k) {
                const som_synapse *synapse = out->synapses[k];
                ASSERT_NE(synapse, nullptr);
                EXPECT_EQ(synapse->neuron_in, inputs->neurons[k]);
                EXPECT_EQ(synapse->neuron_out, out);
                // Row-major position of this output neuron in the input's list.
                EXPECT_EQ(inputs->neurons[k]->synapses[i * shape.y + j], synapse)
                    << "input " << k << " output " << i << "," << j;
                EXPECT_TRUE(seen.insert(synapse).second);
                EXPECT_GE(synapse->weight, 0.0);
                EXPECT_LT(synapse->weight, 0.5);
            }
        }
    }
    EXPECT_EQ(seen.size(), shape.n * shape.x * shape.y);
}

INSTANTIATE_TEST_SUITE_P(Shapes, WiringTest,
                         ::testing::Values(Shape{3, 4, 5}, Shape{1, 1, 1}, Shape{2, 3, 1},
                                           Shape{4, 1, 3}, Shape{0, 2, 2}, Shape{4, 0, 3},
                                           Shape{4, 3, 0}, Shape{0, 0, 0}),
                         [](const ::testing::TestParamInfo<Shape> &info) {
                             return "n" + std::to_string(info.param.n) + "_" +
                                    std::to_string(info.param.x) + "x" +
                                    std::to_string(info.param.y);
                         });

TEST(NetworkNew, EmptySecondDimensionStillHasItsRows) {
    NetworkPtr network = make_network(2, 3, 0);
    ASSERT_NE(network, nullptr);
    ASSERT_EQ(network->output_layer->neurons_count_x, 3u);
    ASSERT_NE(network->output_layer->neurons, nullptr);
    for (size_t i = 0; i < 3; ++i) EXPECT_NE(network->output_layer->neurons[i], nullptr) << i;
    for (size_t k = 0; k < 2; ++k) EXPECT_EQ(network->input_layer->neurons[k]->synapses_count, 0u);
}

TEST(NetworkNew, WeightsAreTheGeneratorsDrawsInWiringOrder) {
    time_t seed = 0;
    auto networks = two_networks_in_one_second(3, 2, 4, &seed);
    ASSERT_NE(networks.first, nullptr) << "could not create two networks within one second";
    const som_network *network = networks.first.get();
    std::srand(static_cast<unsigned int>(seed));
    for (size_t i = 0; i < 2; ++i)
        for (size_t j = 0; j < 4; ++j)
            for (size_t k = 0; k < 3; ++k)
                ASSERT_EQ(bits(weight(network, i, j, k)), bits(draw_to_weight(std::rand())))
                    << "synapse " << i << "," << j << "," << k;
}

TEST(NetworkNew, NetworksCreatedInTheSameSecondDrawTheSameWeights) {
    time_t seed = 0;
    auto networks = two_networks_in_one_second(4, 5, 6, &seed);
    ASSERT_NE(networks.first, nullptr) << "could not create two networks within one second";
    ASSERT_NE(networks.second, nullptr);
    std::vector<double> first = somap::testing::all_weights(networks.first.get());
    std::vector<double> second = somap::testing::all_weights(networks.second.get());
    ASSERT_EQ(first.size(), 4u * 5u * 6u);
    EXPECT_EQ(bit_patterns(first), bit_patterns(second));
    // Not all the same draw: the generator really advances between synapses.
    EXPECT_NE(std::set<double>(first.begin(), first.end()).size(), 1u);
}

struct AbsurdSize {
    size_t n, x, y;
};

void PrintTo(const AbsurdSize &s, std::ostream *os) {
    *os << "n=" << s.n << " " << s.x << "x" << s.y;
}

class AbsurdNetworkTest : public ::testing::TestWithParam<AbsurdSize> {};

TEST_P(AbsurdNetworkTest, IsRefusedWithoutBuildingAnything) {
    const AbsurdSize size = GetParam();
    EXPECT_EQ(som_network_new(size.n, size.x, size.y), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, AbsurdNetworkTest,
    ::testing::Values(AbsurdSize{SIZE_MAX, 1, 1}, AbsurdSize{1, SIZE_MAX, 1},
                      AbsurdSize{1, 1, SIZE_MAX}, AbsurdSize{SIZE_MAX, SIZE_MAX, SIZE_MAX},
                      AbsurdSize{0, SIZE_MAX, SIZE_MAX}, AbsurdSize{3, 2000000000, 2000000000},
                      AbsurdSize{3, 200000, 200000}));

TEST(NetworkMemory, OverflowingFigureIsRefusedAndLeavesTheResultAlone) {
    const AbsurdSize cases[] = {{SIZE_MAX, 2, 1},
                                {1, SIZE_MAX, 2},
                                {2, 1, SIZE_MAX},
                                {3, 2000000000, 2000000000},
                                {SIZE_MAX, 0, 0}};
    for (const AbsurdSize &size : cases) {
        size_t bytes = 12345;
        EXPECT_EQ(som_network_memory(size.n, size.x, size.y, &bytes), 0)
            << size.n << " " << size.x << " " << size.y;
        EXPECT_EQ(bytes, 12345u);
    }
}

TEST(NetworkMemory, CoversAtLeastTheRecordsThemselves) {
    const Shape shapes[] = {{3, 4, 5}, {0, 0, 0}, {1000, 10, 10}, {2, 7, 0}};
    for (const Shape &shape : shapes) {
        size_t bytes = 0;
        ASSERT_EQ(som_network_memory(shape.n, shape.x, shape.y, &bytes), 1);
        const size_t synapses = shape.n * shape.x * shape.y;
        const size_t neurons = shape.n + shape.x * shape.y;
        const size_t payload = sizeof(som_network) + synapses * sizeof(som_synapse) +
                               neurons * sizeof(som_neuron) +
                               2 * synapses * sizeof(som_synapse *);
        EXPECT_GE(bytes, payload) << shape.n << " " << shape.x << " " << shape.y;
    }
}

TEST(NetworkDestroy, AcceptsNull) { som_network_destroy(nullptr); }

TEST(NetworkDestroy, EachStepClearsItsLayerAndToleratesRepeats) {
    const Shape shapes[] = {{3, 2, 2}, {1, 1, 1}, {0, 2, 3}, {2, 0, 4}, {2, 4, 0}};
    for (const Shape &shape : shapes) {
        som_network *network = som_network_new(shape.n, shape.x, shape.y);
        ASSERT_NE(network, nullptr);
        som_input_layer_destroy(network);
        EXPECT_EQ(network->input_layer, nullptr);
        // The synapses went with the input layer; no output neuron may still
        // name one of them.
        const som_output_layer *grid = network->output_layer;
        ASSERT_NE(grid, nullptr);
        for (size_t i = 0; i < shape.x; ++i)
            for (size_t j = 0; j < shape.y; ++j)
                for (size_t s = 0; s < grid->neurons[i][j]->synapses_count; ++s)
                    EXPECT_EQ(grid->neurons[i][j]->synapses[s], nullptr);
        som_input_layer_destroy(network);
        som_output_layer_destroy(network);
        EXPECT_EQ(network->output_layer, nullptr);
        som_output_layer_destroy(network);
        som_network_destroy(network);
    }
}

// ---- Layers and synapses -------------------------------------------------

// A network record holding two bare layers, as a map reader assembles one;
// destroying it frees whatever synapses the test adds.
NetworkPtr bare_network(size_t n, size_t x, size_t y) {
    auto *network = static_cast<som_network *>(std::calloc(1, sizeof(som_network)));
    if (network == nullptr) return nullptr;
    network->input_layer = som_input_layer_new(n);
    network->output_layer = som_output_layer_new(x, y);
    return NetworkPtr(network);
}

// A network the library built keeps its records together (the layer-by-layer
// destruction is covered above); they must come apart like any others,
// whatever a caller did to them in between. Run
// under the sanitizers and valgrind, a record freed twice, freed wrongly or
// never freed fails them.
TEST(NetworkDestroy, SynapsesAddedToABuiltNetworkGoWithIt) {
    // 3 inputs on a 2 by 2 grid: each input lists 4 synapses (a full list,
    // which the next append must move) and each output 3 (room for one
    // more, then a move).
    som_network *network = som_network_new(3, 2, 2);
    ASSERT_NE(network, nullptr);
    som_neuron *in = network->input_layer->neurons[1];
    som_neuron *out = network->output_layer->neurons[1][0];
    som_synapse *const first = in->synapses[0];
    std::vector<som_synapse *> added;
    for (int extra = 0; extra < 6; ++extra) {
        som_synapse *synapse = som_synapse_new(in, out, 1.5 + extra);
        ASSERT_NE(synapse, nullptr);
        added.push_back(synapse);
    }
    // The lists moved with everything in them, in order.
    ASSERT_EQ(in->synapses_count, 10u);
    ASSERT_EQ(out->synapses_count, 9u);
    EXPECT_EQ(in->synapses[0], first);
    for (size_t e = 0; e < added.size(); ++e) {
        EXPECT_EQ(in->synapses[4 + e], added[e]);
        EXPECT_EQ(out->synapses[3 + e], added[e]);
        EXPECT_EQ(bits(added[e]->weight), bits(1.5 + static_cast<double>(e)));
    }
    som_network_destroy(network);
}

TEST(NetworkDestroy, NetworksComeApartInAnyOrder) {
    // Built, loaded and bare networks alive at once, destroyed out of the
    // order they were made in.
    std::vector<som_network *> networks;
    for (size_t k = 0; k < 6; ++k) {
        som_network *network = nullptr;
        if (k % 3 == 2) {
            network = bare_network(2, 2, 1).release();
            ASSERT_NE(network, nullptr);
            for (size_t i = 0; i < 2; ++i)
                for (size_t input = 0; input < 2; ++input)
                    ASSERT_NE(som_synapse_new(network->input_layer->neurons[input],
                                              network->output_layer->neurons[i][0], 0.25),
                              nullptr);
        } else {
            network = som_network_new(k + 1, 3, k);
        }
        ASSERT_NE(network, nullptr);
        networks.push_back(network);
    }
    for (size_t k : {3u, 0u, 5u, 1u, 4u, 2u}) som_network_destroy(networks[k]);
}

TEST(Layers, StartUnconnectedAndZeroFilled) {
    NetworkPtr network = bare_network(3, 2, 4);
    ASSERT_NE(network, nullptr);
    ASSERT_NE(network->input_layer, nullptr);
    ASSERT_NE(network->output_layer, nullptr);
    ASSERT_EQ(network->input_layer->neurons_count, 3u);
    for (size_t k = 0; k < 3; ++k) {
        const som_neuron *neuron = network->input_layer->neurons[k];
        ASSERT_NE(neuron, nullptr);
        EXPECT_EQ(bits(neuron->input), bits(0.0));
        EXPECT_EQ(neuron->synapses, nullptr);
        EXPECT_EQ(neuron->synapses_count, 0u);
    }
    ASSERT_EQ(network->output_layer->neurons_count_x, 2u);
    ASSERT_EQ(network->output_layer->neurons_count_y, 4u);
    std::set<const som_neuron *> distinct;
    for (size_t i = 0; i < 2; ++i)
        for (size_t j = 0; j < 4; ++j) {
            const som_neuron *neuron = output_neuron(network.get(), i, j);
            ASSERT_NE(neuron, nullptr);
            EXPECT_EQ(bits(neuron->input), bits(0.0));
            EXPECT_EQ(neuron->synapses, nullptr);
            EXPECT_EQ(neuron->synapses_count, 0u);
            distinct.insert(neuron);
        }
    EXPECT_EQ(distinct.size(), 8u);
}

TEST(Layers, SizesWhoseArraysCannotBeAddressedAreRefused) {
    EXPECT_EQ(som_input_layer_new(SIZE_MAX), nullptr);
    EXPECT_EQ(som_input_layer_new(SIZE_MAX / 4), nullptr);
    EXPECT_EQ(som_output_layer_new(SIZE_MAX, 1), nullptr);
    EXPECT_EQ(som_output_layer_new(1, SIZE_MAX / 4), nullptr);
}

struct SynapseWeightCase {
    const char *name;
    double given;
    bool random;     // a fresh draw is expected instead of `given`
};

void PrintTo(const SynapseWeightCase &c, std::ostream *os) { *os << c.name; }

class SynapseWeightTest : public ::testing::TestWithParam<SynapseWeightCase> {};

TEST_P(SynapseWeightTest, StoresTheGivenWeightOrADrawForZero) {
    const SynapseWeightCase c = GetParam();
    NetworkPtr network = bare_network(1, 1, 1);
    ASSERT_NE(network, nullptr);
    som_neuron *in = network->input_layer->neurons[0];
    som_neuron *out = output_neuron(network.get(), 0, 0);

    std::srand(4242);
    const double expected_draw = draw_to_weight(std::rand());
    std::srand(4242);
    som_synapse *synapse = som_synapse_new(in, out, c.given);
    ASSERT_NE(synapse, nullptr);
    EXPECT_EQ(synapse->neuron_in, in);
    EXPECT_EQ(synapse->neuron_out, out);
    if (c.random) {
        EXPECT_EQ(bits(synapse->weight), bits(expected_draw));
        EXPECT_GE(synapse->weight, 0.0);
        EXPECT_LT(synapse->weight, 0.5);
    } else {
        EXPECT_EQ(bits(synapse->weight), bits(c.given));
    }
}

INSTANTIATE_TEST_SUITE_P(Weights, SynapseWeightTest,
                         ::testing::Values(SynapseWeightCase{"PositiveZero", 0.0, true},
                                           SynapseWeightCase{"NegativeZero", -0.0, true},
                                           SynapseWeightCase{"NaN", kNaN, false},
                                           SynapseWeightCase{"OneAndAHalf", 1.5, false},
                                           SynapseWeightCase{"Negative", -2.25, false},
                                           SynapseWeightCase{"Subnormal", 4.9406564584124654e-324,
                                                             false},
                                           SynapseWeightCase{"Infinity", kInf, false}),
                         [](const ::testing::TestParamInfo<SynapseWeightCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(SynapseNew, AppendsToTheEndOfBothLists) {
    NetworkPtr network = bare_network(2, 1, 2);
    ASSERT_NE(network, nullptr);
    som_neuron *in0 = network->input_layer->neurons[0];
    som_neuron *in1 = network->input_layer->neurons[1];
    som_neuron *out0 = output_neuron(network.get(), 0, 0);
    som_neuron *out1 = output_neuron(network.get(), 0, 1);

    som_synapse *a = som_synapse_new(in0, out0, 1.0);
    som_synapse *b = som_synapse_new(in1, out0, 2.0);
    som_synapse *c = som_synapse_new(in0, out1, 3.0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);

    ASSERT_EQ(in0->synapses_count, 2u);
    EXPECT_EQ(in0->synapses[0], a);
    EXPECT_EQ(in0->synapses[1], c);
    ASSERT_EQ(in1->synapses_count, 1u);
    EXPECT_EQ(in1->synapses[0], b);
    ASSERT_EQ(out0->synapses_count, 2u);
    EXPECT_EQ(out0->synapses[0], a);
    EXPECT_EQ(out0->synapses[1], b);
    ASSERT_EQ(out1->synapses_count, 1u);
    EXPECT_EQ(out1->synapses[0], c);
}

TEST(SynapseNew, LongListsKeepEveryEntryInOrder) {
    // Enough entries to make the list grow several times.
    NetworkPtr network = bare_network(1, 1, 1);
    ASSERT_NE(network, nullptr);
    som_neuron *in = network->input_layer->neurons[0];
    som_neuron *out = output_neuron(network.get(), 0, 0);
    std::vector<som_synapse *> made;
    for (int s = 1; s <= 37; ++s) {
        made.push_back(som_synapse_new(in, out, static_cast<double>(s)));
        ASSERT_NE(made.back(), nullptr);
    }
    ASSERT_EQ(in->synapses_count, made.size());
    ASSERT_EQ(out->synapses_count, made.size());
    for (size_t s = 0; s < made.size(); ++s) {
        EXPECT_EQ(in->synapses[s], made[s]);
        EXPECT_EQ(out->synapses[s], made[s]);
        EXPECT_EQ(made[s]->weight, static_cast<double>(s + 1));
    }
}

// ---- Presenting inputs ---------------------------------------------------

TEST(SetInputs, CopiesExactlyTheFirstNValues) {
    NetworkPtr network = make_network(3, 1, 1);
    ASSERT_NE(network, nullptr);
    std::vector<double> row = {-0.0, 2.5, kNaN, 99.0};
    som_set_inputs(network.get(), row.data());
    row[1] = 7.0;  // a copy, not a reference to the caller's row
    EXPECT_EQ(bit_patterns(somap::testing::all_inputs(network.get())),
              bit_patterns({-0.0, 2.5, kNaN}));
    EXPECT_EQ(bits(output_neuron(network.get(), 0, 0)->input), bits(0.0));
}

// ---- Winner search -------------------------------------------------------

// One input fixed at 0.0, so that each neuron's distance is its weight
// squared; weights are listed row-major.
struct WinnerCase {
    const char *name;
    size_t x, y;
    std::vector<double> weights;
    bool chosen;
    size_t i, j;
    double distance;
};

void PrintTo(const WinnerCase &c, std::ostream *os) { *os << c.name; }

class WinnerTest : public ::testing::TestWithParam<WinnerCase> {};

TEST_P(WinnerTest, FindsTheFirstNearestFiniteNeuron) {
    const WinnerCase &c = GetParam();
    NetworkPtr network = make_network(1, c.x, c.y);
    ASSERT_NE(network, nullptr);
    ASSERT_EQ(c.weights.size(), c.x * c.y);
    for (size_t i = 0; i < c.x; ++i)
        for (size_t j = 0; j < c.y; ++j) set_weight(network.get(), i, j, 0, c.weights[i * c.y + j]);
    const double zero = 0.0;
    som_set_inputs(network.get(), &zero);

    size_t i = 77, j = 88;
    const double result = som_find_winner(network.get(), &i, &j);
    if (c.chosen) {
        EXPECT_EQ(i, c.i);
        EXPECT_EQ(j, c.j);
    } else {
        EXPECT_EQ(i, 77u);
        EXPECT_EQ(j, 88u);
    }
    EXPECT_EQ(bits(result), bits(c.distance));
    // The search only reads.
    EXPECT_EQ(bit_patterns(somap::testing::all_weights(network.get())), bit_patterns(c.weights));
}

INSTANTIATE_TEST_SUITE_P(
    Grids, WinnerTest,
    ::testing::Values(
        WinnerCase{"UniqueNearest", 2, 3, {3, 2, 1, 0.5, 4, 5}, true, 1, 0, 0.25},
        WinnerCase{"TieAcrossRowsGoesToTheEarlierRow", 2, 3, {3, 1, 2, 1, 4, 5}, true, 0, 1, 1.0},
        WinnerCase{"TieWithinARowGoesToTheEarlierColumn", 2, 3, {3, 3, 3, 2, -2, 2}, true, 1, 0,
                   4.0},
        WinnerCase{"ExactMatchWins", 1, 3, {1, 0, 0}, true, 0, 1, 0.0},
        WinnerCase{"NaNIsSkipped", 2, 2, {kNaN, 5, kNaN, 6}, true, 0, 1, 25.0},
        WinnerCase{"InfinityIsSkipped", 1, 3, {kInf, 1e200, -kInf}, false, 0, 0, DBL_MAX},
        WinnerCase{"AllNaNChoosesNothing", 2, 2, {kNaN, kNaN, kNaN, kNaN}, false, 0, 0, DBL_MAX},
        WinnerCase{"FiniteAfterNonFinite", 1, 4, {kNaN, kInf, 1e154, 3}, true, 0, 3, 9.0}),
    [](const ::testing::TestParamInfo<WinnerCase> &info) { return std::string(info.param.name); });

TEST(FindWinner, DistanceIsTheSquaredSumInInputOrder) {
    // Added from the first input on, 1 + 1 + 1e16 is exact; the other way
    // round 1e16 swallows both ones.
    NetworkPtr network = make_network(3, 1, 1);
    ASSERT_NE(network, nullptr);
    const double weights[] = {1.0, 1.0, 1e8};
    for (size_t k = 0; k < 3; ++k) set_weight(network.get(), 0, 0, k, weights[k]);
    const double inputs[] = {0.0, 2.0, 0.0};
    som_set_inputs(network.get(), inputs);
    size_t i = 5, j = 5;
    EXPECT_EQ(som_find_winner(network.get(), &i, &j), 1e16 + 2.0);
    EXPECT_EQ(i, 0u);
    EXPECT_EQ(j, 0u);
}

TEST(FindWinner, DistanceOfExactlyDblMaxNeverWins) {
    // Two components whose squares add up to the largest finite double.
    const double big = 0x1.fffffffffffffp+511;
    const double small = 0x1.4p+485;
    ASSERT_EQ(big * big + small * small, DBL_MAX);

    NetworkPtr network = make_network(2, 1, 3);
    ASSERT_NE(network, nullptr);
    const double inputs[] = {0.0, 0.0};
    som_set_inputs(network.get(), inputs);
    for (size_t j = 0; j < 3; ++j) {
        set_weight(network.get(), 0, j, 0, big);
        set_weight(network.get(), 0, j, 1, small);
    }
    size_t i = 9, j = 9;
    EXPECT_EQ(som_find_winner(network.get(), &i, &j), DBL_MAX);
    EXPECT_EQ(i, 9u);
    EXPECT_EQ(j, 9u);

    // Anything finite below it still wins behind it.
    set_weight(network.get(), 0, 2, 0, 3.0);
    set_weight(network.get(), 0, 2, 1, 4.0);
    EXPECT_EQ(som_find_winner(network.get(), &i, &j), 25.0);
    EXPECT_EQ(i, 0u);
    EXPECT_EQ(j, 2u);
}

TEST(FindWinner, EmptyGridChoosesNothingAndReturnsZero) {
    const Shape shapes[] = {{2, 0, 3}, {2, 3, 0}, {2, 0, 0}, {0, 0, 4}};
    for (const Shape &shape : shapes) {
        NetworkPtr network = make_network(shape.n, shape.x, shape.y);
        ASSERT_NE(network, nullptr);
        const double inputs[] = {1.0, 2.0};
        som_set_inputs(network.get(), inputs);
        size_t i = 3, j = 4;
        EXPECT_EQ(bits(som_find_winner(network.get(), &i, &j)), bits(0.0))
            << shape.x << "x" << shape.y;
        EXPECT_EQ(i, 3u);
        EXPECT_EQ(j, 4u);
    }
}

TEST(FindWinner, NoInputsMakesTheFirstNeuronWin) {
    NetworkPtr network = make_network(0, 3, 2);
    ASSERT_NE(network, nullptr);
    size_t i = 6, j = 7;
    EXPECT_EQ(bits(som_find_winner(network.get(), &i, &j)), bits(0.0));
    EXPECT_EQ(i, 0u);
    EXPECT_EQ(j, 0u);
}

}  // namespace
