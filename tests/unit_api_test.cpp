// The library as a dependency: version, statuses, the wiring check every
// entry point makes, flat access to the weights, cancellation through the
// progress callback, the thread cap, and recognition on one map from
// several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "som/som.h"
#include "test_support.h"
#include "unit_helpers.h"

namespace {

using somap::testing::all_inputs;
using somap::testing::all_weights;
using somap::testing::bit_patterns;
using somap::testing::make_network;
using somap::testing::NetworkPtr;
using somap::testing::row_pointers;
using somap::testing::set_all_weights;
using somap::testing::TempDir;

std::vector<std::vector<double>> random_table(std::mt19937_64 &random, size_t rows, size_t n) {
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<std::vector<double>> table(rows, std::vector<double>(n));
    for (auto &row : table)
        for (double &v : row) v = uniform(random);
    return table;
}

TEST(Version, HeaderAndLibraryAgree) {
    const std::string composed = std::to_string(SOM_VERSION_MAJOR) + "." + std::to_string(SOM_VERSION_MINOR) +
                                 "." + std::to_string(SOM_VERSION_PATCH);
    EXPECT_EQ(composed, SOM_VERSION_STRING);
    EXPECT_STREQ(som_version(), SOM_VERSION_STRING);
}

TEST(Status, EveryStatusHasItsOwnName) {
    std::set<std::string> names;
    for (int status : {SOM_OK, SOM_ERROR_SYSTEM, SOM_ERROR_MEMORY, SOM_ERROR_CANCELLED, SOM_ERROR_FORMAT,
                       SOM_ERROR_TOO_LARGE, SOM_ERROR_INVALID})
        names.insert(som_status_string(status));
    EXPECT_EQ(names.size(), 7u);
    EXPECT_STREQ(som_status_string(12345), "unknown status");
    // -1 is what som_save has always returned on a failed system call.
    EXPECT_EQ(SOM_ERROR_SYSTEM, -1);
}

// Networks damaged in the ways a caller who edits the public records could
// damage them; every entry point must refuse them and change nothing. Each
// damage returns what undoes it.
struct Damage {
    const char *name;
    std::function<std::function<void()>(som_network *)> apply;
};

const Damage kDamages[] = {
    {"SynapsesSwapped",
     [](som_network *net) {
         som_synapse **list = net->output_layer->neurons[1][0]->synapses;
         std::swap(list[0], list[1]);
         return std::function<void()>([list] { std::swap(list[0], list[1]); });
     }},
    {"ListShortened",
     [](som_network *net) {
         size_t *count = &net->output_layer->neurons[0][1]->synapses_count;
         *count -= 1;
         return std::function<void()>([count] { *count += 1; });
     }},
    {"ListLengthened",
     [](som_network *net) {
         size_t *count = &net->output_layer->neurons[0][0]->synapses_count;
         *count += 1;
         return std::function<void()>([count] { *count -= 1; });
     }},
    {"SynapseFromAnotherInput",
     [](som_network *net) {
         som_synapse *synapse = net->output_layer->neurons[1][1]->synapses[2];
         som_neuron *right = synapse->neuron_in;
         synapse->neuron_in = net->input_layer->neurons[0];
         return std::function<void()>([synapse, right] { synapse->neuron_in = right; });
     }},
    {"SynapseOfAnotherNeuron",
     [](som_network *net) {
         // Two output neurons listing one synapse: a weight written for one
         // would move the other.
         som_synapse **list = net->output_layer->neurons[0][2]->synapses;
         som_synapse *own = list[1];
         list[1] = net->output_layer->neurons[1][2]->synapses[1];
         return std::function<void()>([list, own] { list[1] = own; });
     }},
    {"SynapseWithoutOutputNeuron",
     [](som_network *net) {
         som_synapse *synapse = net->output_layer->neurons[1][0]->synapses[0];
         som_neuron *out = synapse->neuron_out;
         synapse->neuron_out = nullptr;
         return std::function<void()>([synapse, out] { synapse->neuron_out = out; });
     }},
    {"MissingInputLayer",
     [](som_network *net) {
         som_input_layer *layer = net->input_layer;
         net->input_layer = nullptr;
         return std::function<void()>([net, layer] { net->input_layer = layer; });
     }},
};

class DamagedNetwork : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedNetwork, EveryCallRefusesItAndChangesNothing) {
    NetworkPtr network = make_network(3, 2, 3);
    const std::vector<double> before = all_weights(network.get());
    std::vector<std::vector<double>> table = {{0.1, 0.2, 0.3}, {0.9, 0.8, 0.7}};
    std::vector<double *> rows = row_pointers(table);
    size_t wi[2], wj[2];
    double flat[18] = {};
    TempDir dir;

    som_network *net = network.get();
    const std::function<void()> undo = GetParam().apply(net);
    EXPECT_EQ(som_network_check(net), SOM_ERROR_INVALID);
    EXPECT_EQ(som_train(net, rows.data(), 2, 5), SOM_ERROR_INVALID);
    EXPECT_EQ(som_train_observed(net, rows.data(), 2, 5, nullptr, nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(som_train_plain(net, rows.data(), 2, 5), SOM_ERROR_INVALID);
    EXPECT_EQ(som_init_weights(net, rows.data(), 2), SOM_ERROR_INVALID);
    EXPECT_EQ(som_init_weights_plain(net, rows.data(), 2), SOM_ERROR_INVALID);
    EXPECT_EQ(som_find_winners(net, rows.data(), 2, wi, wj), SOM_ERROR_INVALID);
    EXPECT_EQ(som_find_winners_readonly(net, rows.data(), 2, wi, wj), SOM_ERROR_INVALID);
    EXPECT_EQ(som_get_weights(net, flat), SOM_ERROR_INVALID);
    EXPECT_EQ(som_set_weights(net, flat), SOM_ERROR_INVALID);
    EXPECT_EQ(som_network_shape(net, nullptr, nullptr, nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(som_save(net, dir.file("map").c_str()), SOM_ERROR_INVALID);
    EXPECT_TRUE(dir.entries().empty());
    som_quality quality{7, 7.0, 7, 7.0};
    size_t hits[6] = {7, 7, 7, 7, 7, 7};
    double figures[6] = {7, 7, 7, 7, 7, 7};
    EXPECT_EQ(som_measure_quality(net, rows.data(), 2, &quality), SOM_ERROR_INVALID);
    EXPECT_EQ(som_hit_counts(net, rows.data(), 2, hits), SOM_ERROR_INVALID);
    EXPECT_EQ(som_u_matrix(net, figures), SOM_ERROR_INVALID);
    EXPECT_EQ(som_component_plane(net, 0, figures), SOM_ERROR_INVALID);
    EXPECT_EQ(quality.vectors, 7u);
    EXPECT_EQ(quality.topographic_errors, 7u);
    EXPECT_EQ(std::vector<size_t>(hits, hits + 6), std::vector<size_t>(6, 7));
    EXPECT_EQ(std::vector<double>(figures, figures + 6), std::vector<double>(6, 7.0));
    EXPECT_EQ(net->time_constant, 0.0);

    undo();
    ASSERT_EQ(som_network_check(net), SOM_OK);
    EXPECT_EQ(bit_patterns(all_weights(net)), bit_patterns(before));
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedNetwork, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage> &info) { return std::string(info.param.name); });

TEST(DamagedNetwork, NullIsRefused) {
    EXPECT_EQ(som_network_check(nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(som_train(nullptr, nullptr, 0, 0), SOM_ERROR_INVALID);
    EXPECT_EQ(som_init_weights(nullptr, nullptr, 0), SOM_ERROR_INVALID);
    EXPECT_EQ(som_find_winners_readonly(nullptr, nullptr, 0, nullptr, nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(som_save(nullptr, "map"), SOM_ERROR_INVALID);
    som_quality quality;
    EXPECT_EQ(som_measure_quality(nullptr, nullptr, 0, &quality), SOM_ERROR_INVALID);
    EXPECT_EQ(som_u_matrix(nullptr, nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(som_component_plane(nullptr, 0, nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(som_hit_counts(nullptr, nullptr, 0, nullptr), SOM_ERROR_INVALID);
    // The literal calls without a status ignore what they cannot use.
    som_set_inputs(nullptr, nullptr);
    som_time_constant(nullptr);
    size_t i = 7, j = 7;
    EXPECT_EQ(som_find_winner(nullptr, &i, &j), 0.0);
    EXPECT_EQ(i, 7u);
    size_t bytes = 0;
    EXPECT_EQ(som_network_memory(1, 1, 1, nullptr), 0);
    EXPECT_EQ(som_network_memory(1, 1, 1, &bytes), 1);
}

// Rows and results the call would have to read or write, given as null.
TEST(DamagedNetwork, NullRowsAndResultsAreRefused) {
    NetworkPtr network = make_network(2, 2, 2);
    const std::vector<double> before = all_weights(network.get());
    std::vector<std::vector<double>> table = {{0.5, 0.5}, {0.1, 0.9}};
    std::vector<double *> rows = row_pointers(table);
    std::vector<double *> holed = {rows[0], nullptr};
    size_t wi[2], wj[2];
    som_quality quality;
    size_t hits[4];
    for (double **given : {static_cast<double **>(nullptr), holed.data()}) {
        EXPECT_EQ(som_train(network.get(), given, 2, 3), SOM_ERROR_INVALID);
        EXPECT_EQ(som_train_plain(network.get(), given, 2, 3), SOM_ERROR_INVALID);
        EXPECT_EQ(som_init_weights(network.get(), given, 2), SOM_ERROR_INVALID);
        EXPECT_EQ(som_find_winners(network.get(), given, 2, wi, wj), SOM_ERROR_INVALID);
        EXPECT_EQ(som_measure_quality(network.get(), given, 2, &quality), SOM_ERROR_INVALID);
        EXPECT_EQ(som_hit_counts(network.get(), given, 2, hits), SOM_ERROR_INVALID);
    }
    EXPECT_EQ(som_find_winners(network.get(), rows.data(), 2, nullptr, wj), SOM_ERROR_INVALID);
    EXPECT_EQ(som_find_winners_readonly(network.get(), rows.data(), 2, wi, nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(som_measure_quality(network.get(), rows.data(), 2, nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(som_hit_counts(network.get(), rows.data(), 2, nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(som_u_matrix(network.get(), nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(som_component_plane(network.get(), 0, nullptr), SOM_ERROR_INVALID);
    EXPECT_EQ(bit_patterns(all_weights(network.get())), bit_patterns(before));
    EXPECT_EQ(network->time_constant, 0.0);
    // Nothing to read: no rows needed.
    EXPECT_EQ(som_find_winners(network.get(), nullptr, 0, nullptr, nullptr), SOM_OK);
    // Without inputs a row has nothing to hold, and may have no storage.
    NetworkPtr inputless = make_network(0, 2, 2);
    std::vector<double *> empty_rows = {nullptr, nullptr};
    EXPECT_EQ(som_train(inputless.get(), empty_rows.data(), 2, 3), SOM_OK);
}

TEST(FlatWeights, RoundTripExactlyInMapFileOrder) {
    NetworkPtr network = make_network(2, 2, 3);
    size_t n = 0, x = 0, y = 0;
    ASSERT_EQ(som_network_shape(network.get(), &n, &x, &y), SOM_OK);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(x, 2u);
    EXPECT_EQ(y, 3u);
    // Zeros of both signs and NaN must come back as given: no random
    // replacement, no canonical NaN.
    std::vector<double> given = {0.0, -0.0, NAN, -INFINITY, 1e-310, 2.5, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(som_set_weights(network.get(), given.data()), SOM_OK);
    EXPECT_EQ(bit_patterns(all_weights(network.get())), bit_patterns(given));
    EXPECT_EQ(network->output_layer->neurons[1][0]->synapses[1]->weight, given[(1 * 3 + 0) * 2 + 1]);
    std::vector<double> back(12);
    ASSERT_EQ(som_get_weights(network.get(), back.data()), SOM_OK);
    EXPECT_EQ(bit_patterns(back), bit_patterns(given));
}

TEST(FlatWeights, EmptyNetworksNeedNoArray) {
    NetworkPtr network = make_network(0, 3, 3);
    EXPECT_EQ(som_get_weights(network.get(), nullptr), SOM_OK);
    EXPECT_EQ(som_set_weights(network.get(), nullptr), SOM_OK);
    NetworkPtr full = make_network(1, 1, 1);
    EXPECT_EQ(som_get_weights(full.get(), nullptr), SOM_ERROR_INVALID);
}

// A progress callback that asks to stop once `done` reaches `stop_at`, and
// remembers where that was; with `raise`, it asks by throwing.
struct StopAt {
    size_t stop_at;
    bool raise = false;
    size_t reports = 0;
    size_t stopped = SIZE_MAX;
    static int callback(void *self, size_t done, size_t) {
        auto *stop = static_cast<StopAt *>(self);
        ++stop->reports;
        if (done < stop->stop_at) return 0;
        stop->stopped = done;
        if (stop->raise) throw std::runtime_error("stop");
        return 1;
    }
};

// Cancelled after `done` vectors (the first report at or beyond the one
// asked for: training reports less often where keeping its records current
// would cost), training leaves the network exactly as training on those
// vectors alone does, inputs included, for the fast path with and without
// its partner thread. A callback that throws stops it the same way.
TEST(Cancellation, TrainingStopsBetweenVectorsWithTheirResult) {
    std::mt19937_64 random(15);
    const size_t rows_count = 6;
    for (unsigned threads : {1u, 2u}) {
        for (bool raise : {false, true}) {
            for (size_t stop_at : {size_t{0}, size_t{1}, size_t{4}, rows_count}) {
                SCOPED_TRACE(std::to_string(threads) + " threads, stop at " + std::to_string(stop_at) +
                             (raise ? ", by throwing" : ""));
                som_set_max_threads(threads);
                // Large enough for the partner thread.
                NetworkPtr cancelled = make_network(8, 40, 40), reference = make_network(8, 40, 40);
                std::vector<std::vector<double>> table = random_table(random, rows_count, 8);
                std::vector<double *> rows = row_pointers(table);
                set_all_weights(reference.get(), all_weights(cancelled.get()));
                const std::vector<double> inputs_before = all_inputs(cancelled.get());

                StopAt stop{stop_at, raise};
                EXPECT_EQ(som_train_observed(cancelled.get(), rows.data(), rows_count, 30, StopAt::callback, &stop),
                          SOM_ERROR_CANCELLED);
                ASSERT_GE(stop.stopped, stop_at);
                ASSERT_LE(stop.stopped, rows_count);
                EXPECT_LE(stop.reports, stop.stopped + 1);
                ASSERT_EQ(som_train_plain(reference.get(), rows.data(), stop.stopped, 30), SOM_OK);
                EXPECT_EQ(bit_patterns(all_weights(cancelled.get())), bit_patterns(all_weights(reference.get())));
                EXPECT_EQ(bit_patterns(all_inputs(cancelled.get())),
                          bit_patterns(stop.stopped == 0 ? inputs_before : all_inputs(reference.get())));
                EXPECT_EQ(cancelled->time_constant, reference->time_constant);
            }
        }
    }
    som_set_max_threads(0);
}

TEST(Cancellation, PlacementStopsWithNoWeightChanged) {
    std::mt19937_64 random(16);
    NetworkPtr network = make_network(4, 5, 5);
    std::vector<std::vector<double>> table = random_table(random, 300, 4);
    std::vector<double *> rows = row_pointers(table);
    const std::vector<double> before = all_weights(network.get());
    for (bool raise : {false, true}) {
        for (size_t stop_at : {size_t{0}, size_t{1000}}) {
            StopAt stop{stop_at, raise};
            EXPECT_EQ(som_init_weights_observed(network.get(), rows.data(), rows.size(), StopAt::callback, &stop),
                      SOM_ERROR_CANCELLED);
            EXPECT_GE(stop.reports, 1u);
            EXPECT_EQ(bit_patterns(all_weights(network.get())), bit_patterns(before));
        }
    }
}

// Whatever a callback throws stops the call as a request to stop does; the
// exception never leaves the library, and is never taken for a lack of
// memory.
TEST(Cancellation, AnythingACallbackThrowsIsAStop) {
    std::mt19937_64 random(17);
    std::vector<std::vector<double>> table = random_table(random, 5, 3);
    std::vector<double *> rows = row_pointers(table);
    struct Thrower {
        int kind;
        static int callback(void *self, size_t, size_t) {
            switch (static_cast<Thrower *>(self)->kind) {
                case 0: throw std::bad_alloc();
                case 1: throw std::system_error(std::make_error_code(std::errc::io_error));
                case 2: throw 42;
                default: throw std::logic_error("stop");
            }
        }
    };
    for (int kind = 0; kind < 4; ++kind) {
        SCOPED_TRACE(kind);
        Thrower thrower{kind};
        NetworkPtr trained = make_network(3, 4, 4), placed = make_network(3, 4, 4);
        const std::vector<double> trained_before = all_weights(trained.get()), placed_before = all_weights(placed.get());
        EXPECT_EQ(som_train_observed(trained.get(), rows.data(), rows.size(), 10, Thrower::callback, &thrower),
                  SOM_ERROR_CANCELLED);
        EXPECT_EQ(bit_patterns(all_weights(trained.get())), bit_patterns(trained_before));
        EXPECT_EQ(som_init_weights_observed(placed.get(), rows.data(), rows.size(), Thrower::callback, &thrower),
                  SOM_ERROR_CANCELLED);
        EXPECT_EQ(bit_patterns(all_weights(placed.get())), bit_patterns(placed_before));
    }
}

TEST(Threads, CapIsKeptAndRestored) {
    som_set_max_threads(3);
    EXPECT_EQ(som_max_threads(), 3u);
    som_set_max_threads(0);
    const unsigned hardware = std::thread::hardware_concurrency();
    EXPECT_EQ(som_max_threads(), hardware == 0 ? 1u : hardware);
}

// "No limit" as the largest cap: a limit, never a number of threads (or of
// parts) to make.
TEST(Threads, HugeCapChangesNothing) {
    std::mt19937_64 random(19);
    NetworkPtr capped = make_network(10, 20, 20), reference = make_network(10, 20, 20);
    set_all_weights(reference.get(), all_weights(capped.get()));
    std::vector<std::vector<double>> table = random_table(random, 400, 10);
    std::vector<double *> rows = row_pointers(table);
    som_set_max_threads(UINT_MAX);
    ASSERT_EQ(som_init_weights(capped.get(), rows.data(), rows.size()), SOM_OK);
    ASSERT_EQ(som_train(capped.get(), rows.data(), 20, 10), SOM_OK);
    std::vector<size_t> wi(rows.size()), wj(rows.size());
    ASSERT_EQ(som_find_winners(capped.get(), rows.data(), rows.size(), wi.data(), wj.data()), SOM_OK);
    som_set_max_threads(0);
    ASSERT_EQ(som_init_weights_plain(reference.get(), rows.data(), rows.size()), SOM_OK);
    ASSERT_EQ(som_train_plain(reference.get(), rows.data(), 20, 10), SOM_OK);
    EXPECT_EQ(bit_patterns(all_weights(capped.get())), bit_patterns(all_weights(reference.get())));
    for (size_t r = 0; r < rows.size(); ++r) {
        size_t i = 0, j = 0;
        som_set_inputs(reference.get(), rows[r]);
        som_find_winner(reference.get(), &i, &j);
        ASSERT_EQ(wi[r] * 100 + wj[r], i * 100 + j) << r;
    }
}

// Several threads recognise rows on one shared map at once; each gets what
// the plain search gives, and the map, inputs included, is never written.
TEST(Threads, ReadOnlyRecognitionOnOneSharedMap) {
    std::mt19937_64 random(17);
    NetworkPtr network = make_network(6, 30, 30);
    const std::vector<double> weights = all_weights(network.get());
    const std::vector<double> inputs = all_inputs(network.get());
    constexpr size_t kThreads = 4, kRows = 500;
    std::vector<std::vector<std::vector<double>>> tables;
    for (size_t t = 0; t < kThreads; ++t) tables.push_back(random_table(random, kRows, 6));
    std::vector<std::vector<size_t>> got_i(kThreads, std::vector<size_t>(kRows)), got_j = got_i;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::vector<const double *> rows;
            for (const auto &row : tables[t]) rows.push_back(row.data());
            for (int round = 0; round < 3; ++round)
                if (som_find_winners_readonly(network.get(), rows.data(), kRows, got_i[t].data(), got_j[t].data()) !=
                    SOM_OK)
                    ++failed;
        });
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(failed.load(), 0);
    for (size_t t = 0; t < kThreads; ++t)
        for (size_t r = 0; r < kRows; ++r) {
            size_t i = 0, j = 0;
            som_set_inputs(network.get(), tables[t][r].data());
            som_find_winner(network.get(), &i, &j);
            ASSERT_EQ(got_i[t][r], i) << t << " " << r;
            ASSERT_EQ(got_j[t][r], j) << t << " " << r;
        }
    som_set_inputs(network.get(), inputs.data());
    EXPECT_EQ(bit_patterns(all_weights(network.get())), bit_patterns(weights));
}

// Choosing kernels while another thread trains changes no result: a call
// keeps the kernels it started with, and every set gives the same bits.
TEST(Threads, KernelChoiceDuringTrainingChangesNothing) {
    std::mt19937_64 random(18);
    NetworkPtr start = make_network(5, 12, 12);
    std::vector<std::vector<double>> table = random_table(random, 20, 5);
    std::vector<double *> rows = row_pointers(table);
    NetworkPtr reference = make_network(5, 12, 12);
    set_all_weights(reference.get(), all_weights(start.get()));
    ASSERT_EQ(som_train_plain(reference.get(), rows.data(), rows.size(), 40), SOM_OK);

    std::atomic<bool> done{false};
    std::thread chooser([&] {
        const char *names[] = {"generic", "avx2", "avx512", "auto"};
        for (size_t k = 0; !done.load(); ++k) som_engine_select(names[k % 4]);
    });
    for (int round = 0; round < 8; ++round) {
        NetworkPtr trained = make_network(5, 12, 12);
        set_all_weights(trained.get(), all_weights(start.get()));
        ASSERT_EQ(som_train(trained.get(), rows.data(), rows.size(), 40), SOM_OK);
        EXPECT_EQ(bit_patterns(all_weights(trained.get())), bit_patterns(all_weights(reference.get())));
    }
    done = true;
    chooser.join();
    som_engine_select("auto");
}

}  // namespace
