// The caller's floating-point environment changes no result and comes back
// as it was: a table of environments (directed rounding, flush-to-zero,
// denormals-are-zero, traps) by every call that computes, each call's
// result compared bit for bit with its own in the default environment
// (and, there, the fast calls with the literal ones), on data whose
// arithmetic each environment changes, for every kernel set this CPU has.
// After every call, cancelled and failed ones included, the caller's
// control settings and sticky flags must be exactly as they were; a
// progress callback must run in the caller's environment.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "som/engine/options.h"
#include "som/som.h"
#include "test_support.h"
#include "unit_helpers.h"


namespace {

#if defined(__x86_64__) && defined(__GLIBC__)

using somap::testing::all_inputs;
using somap::testing::all_weights;
using somap::testing::bits;
using somap::testing::NetworkPtr;
using somap::testing::row_pointers;
using somap::testing::set_all_weights;
using somap::testing::TempDir;
using Table = std::vector<std::vector<double>>;

constexpr unsigned kFlushToZero = 0x8000, kDenormalsAreZero = 0x40;
constexpr unsigned kDefaultMxcsr = 0x1f80;

struct Environment {
    const char *name;
    int rounding;
    unsigned mxcsr;  // FTZ and DAZ bits
    int traps;       // exceptions unmasked
};

const Environment kEnvironments[] = {
    {"Upward", FE_UPWARD, 0, 0},
    {"Downward", FE_DOWNWARD, 0, 0},
    {"TowardZero", FE_TOWARDZERO, 0, 0},
    {"FlushToZero", FE_TONEAREST, kFlushToZero, 0},
    {"DenormalsAreZero", FE_TONEAREST, kDenormalsAreZero, 0},
    {"FlushToZeroAndDenormalsAreZero", FE_TONEAREST, kFlushToZero | kDenormalsAreZero, 0},
    // What a debugging caller with a fast-math library loaded might have:
    // an invalid operation, a division by zero or an overflow would kill
    // the process.
    {"DownwardFlushingAndTrapping", FE_DOWNWARD, kFlushToZero | kDenormalsAreZero,
     FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW},
};

// The sticky flags the caller has raised before each call: inexact in both
// units, underflow in the SSE one. The library's own NaN, infinities and
// overflows raise invalid and overflow, which must not reach the caller.
constexpr int kCallerFlags = FE_INEXACT;
constexpr unsigned kCallerSseFlags = 0x30;

// Everything of the environment the caller could see: the SSE control and
// status register whole, the x87 control word and exception flags.
struct State {
    unsigned mxcsr;
    unsigned short control, flags;
    bool operator==(const State &other) const {
        return mxcsr == other.mxcsr && control == other.control && flags == other.flags;
    }
};

State state_now() {
    fenv_t environment;
    fegetenv(&environment);
    return State{_mm_getcsr(), environment.__control_word,
                 static_cast<unsigned short>(environment.__status_word & FE_ALL_EXCEPT)};
}

std::string describe(const State &s) {
    char text[96];
    std::snprintf(text, sizeof text, "mxcsr %#x, x87 control %#x, x87 flags %#x", s.mxcsr, s.control, s.flags);
    return text;
}

void enter(const Environment &e) {
    std::feclearexcept(FE_ALL_EXCEPT);
    std::fesetround(e.rounding);
    std::feraiseexcept(kCallerFlags);
    _mm_setcsr((_mm_getcsr() & ~(kFlushToZero | kDenormalsAreZero)) | e.mxcsr | kCallerSseFlags);
    if (e.traps != 0) feenableexcept(e.traps);
}

void leave() {
    fedisableexcept(FE_ALL_EXCEPT);
    std::fesetenv(FE_DFL_ENV);
    _mm_setcsr(kDefaultMxcsr);
}

using Result = std::vector<uint64_t>;

// A call's result in environment e, and whether the environment it left was
// the one it found.
struct Outcome {
    Result result;
    State before, after;
};

Outcome run_in(const Environment &e, const std::function<Result()> &call) {
    enter(e);
    Outcome out;
    out.before = state_now();
    out.result = call();
    out.after = state_now();
    leave();
    return out;
}

Result bit_patterns(const std::vector<double> &values) {
    Result out;
    for (double v : values) out.push_back(bits(v));
    return out;
}

void append(Result &to, const Result &more) { to.insert(to.end(), more.begin(), more.end()); }

// A network of the given shape holding `weights`, with the time constant a
// trained one has (0.0: computed when trained).
NetworkPtr network_with(size_t n, size_t x, size_t y, const std::vector<double> &weights, double time_constant = 0.0) {
    NetworkPtr network(som_network_new(n, x, y));
    set_all_weights(network.get(), weights);
    network->time_constant = time_constant;
    return network;
}

Result everything(const som_network *network) {
    Result out = bit_patterns(all_weights(network));
    append(out, bit_patterns(all_inputs(network)));
    out.push_back(bits(network->time_constant));
    return out;
}

// The data, made in the default environment once.
struct Data {
    // Placement: 5000 rows of 4 fields (enough for the bounds and two
    // threads), the last field subnormal, which DAZ reads as zero and whose
    // blends FTZ flushes; the blends' quotients round with the mode.
    Table placement_rows;
    // Training: weights and rows near 2^-530, whose squared differences
    // (near 2^-1060) are subnormal, on a small grid and on one large enough
    // for the partner thread.
    Table training_rows;
    std::vector<double> small_weights, large_weights;
    // Recognition: 128 x 128 neurons of one input, weight p 2^-540 for
    // neuron p (16,384 weights: the filter runs), rows around neuron 5000
    // and elsewhere, whose squared distances are subnormal or round to 0.0;
    // a small map of the same kind the filter leaves alone.
    std::vector<double> filtered_weights, small_map_weights;
    Table recognition_rows;
    // Quality and U-matrix: 32 x 32 neurons of two inputs, one step of
    // 2^-520 apart (squared steps 2^-1040, subnormal), and rows among them.
    std::vector<double> figure_weights;
    Table figure_rows;
};

const Data &data() {
    static const Data made = [] {
        Data d;
        std::mt19937_64 random(2027);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (size_t r = 0; r < 5000; ++r)
            d.placement_rows.push_back(
                {unit(random), unit(random) * 3.0, unit(random) / 3.0, std::ldexp(unit(random), -1060)});
        for (size_t r = 0; r < 7; ++r) {
            std::vector<double> row(4);
            for (double &v : row) v = std::ldexp(unit(random), -530);
            d.training_rows.push_back(row);
        }
        for (size_t k = 0; k < 12 * 12 * 4; ++k) d.small_weights.push_back(std::ldexp(unit(random), -530));
        for (size_t k = 0; k < 64 * 64 * 4; ++k) d.large_weights.push_back(std::ldexp(unit(random), -530));
        for (size_t p = 0; p < 128 * 128; ++p) d.filtered_weights.push_back(std::ldexp(static_cast<double>(p), -540));
        for (size_t p = 0; p < 10 * 10; ++p) d.small_map_weights.push_back(std::ldexp(static_cast<double>(p), -540));
        for (double at : {5000.3, 12.6, 70.2, 16000.9, 0.4, 99.5})
            d.recognition_rows.push_back({std::ldexp(at, -540)});
        for (size_t p = 0; p < 32 * 32; ++p) {
            d.figure_weights.push_back(std::ldexp(static_cast<double>(p % 32), -520));
            d.figure_weights.push_back(std::ldexp(static_cast<double>(p / 32) + unit(random), -520));
        }
        for (size_t r = 0; r < 40; ++r)
            d.figure_rows.push_back({std::ldexp(unit(random) * 32.0, -520), std::ldexp(unit(random) * 32.0, -520)});
        return d;
    }();
    return made;
}

struct Call {
    std::string name;
    std::function<Result()> run;
    // The literal call whose result this one must equal in the default
    // environment, if any.
    std::string literal;
};

Result place(bool fast, bool observed) {
    Table table = data().placement_rows;
    std::vector<double *> rows = row_pointers(table);
    NetworkPtr network(som_network_new(4, 7, 9));
    auto ignore = [](void *, size_t, size_t) { return 0; };
    const int status = !fast       ? som_init_weights_plain(network.get(), rows.data(), rows.size())
                       : observed ? som_init_weights_observed(network.get(), rows.data(), rows.size(), ignore, nullptr)
                                  : som_init_weights(network.get(), rows.data(), rows.size());
    Result out = bit_patterns(all_weights(network.get()));
    out.push_back(static_cast<uint64_t>(status));
    return out;
}

Result train(const std::vector<double> &weights, size_t side, int how) {
    Table table = data().training_rows;
    std::vector<double *> rows = row_pointers(table);
    NetworkPtr network = network_with(4, side, side, weights);
    auto ignore = [](void *, size_t, size_t) { return 0; };
    const int status = how == 0   ? som_train_plain(network.get(), rows.data(), rows.size(), 60)
                       : how == 1 ? som_train(network.get(), rows.data(), rows.size(), 60)
                                  : som_train_observed(network.get(), rows.data(), rows.size(), 60, ignore, nullptr);
    Result out = everything(network.get());
    out.push_back(static_cast<uint64_t>(status));
    return out;
}

Result winners_one_by_one(const std::vector<double> &weights, size_t side) {
    NetworkPtr network = network_with(1, side, side, weights);
    Result out;
    for (const std::vector<double> &row : data().recognition_rows) {
        som_set_inputs(network.get(), row.data());
        size_t i = 0, j = 0;
        const double distance = som_find_winner(network.get(), &i, &j);
        out.push_back(i * side + j);
        out.push_back(bits(distance));
    }
    return out;
}

Result winners_at_once(const std::vector<double> &weights, size_t side, bool readonly) {
    NetworkPtr network = network_with(1, side, side, weights);
    Table table = data().recognition_rows;
    std::vector<double *> rows = row_pointers(table);
    std::vector<size_t> wi(rows.size()), wj(rows.size());
    const int status = readonly ? som_find_winners_readonly(network.get(), rows.data(), rows.size(), wi.data(), wj.data())
                                : som_find_winners(network.get(), rows.data(), rows.size(), wi.data(), wj.data());
    Result out;
    for (size_t r = 0; r < rows.size(); ++r) {
        out.push_back(wi[r] * side + wj[r]);
        // The literal search's distance, for comparing with one by one.
        out.push_back(0);
    }
    out.push_back(static_cast<uint64_t>(status));
    return out;
}

// som_find_winner's winners with its distances left out, to compare with
// the batch searches.
Result winners_without_distances(const Result &one_by_one) {
    Result out = one_by_one;
    for (size_t k = 1; k < out.size(); k += 2) out[k] = 0;
    out.push_back(SOM_OK);
    return out;
}

Result series() {
    NetworkPtr network(som_network_new(1, 1, 1));
    som_time_constant(network.get());
    Result out{bits(network->time_constant)};
    for (size_t k = 0; k < SOM_SERIES_LENGTH; ++k) {
        out.push_back(bits(network->series_mu[k]));
        out.push_back(bits(network->series_alpha[k]));
    }
    for (size_t t : {size_t{1}, size_t{3}, size_t{27}, size_t{200}, size_t{999}})
        out.push_back(bits(som_learning_rate(t, network->time_constant)));
    for (long long d : {0LL, 1LL, 2LL, -3LL, 7LL, 100LL}) out.push_back(bits(som_neighbourhood(d)));
    return out;
}

// Random weights from a fixed seed (rand() / (2^32 - 1) rounds), and a
// subnormal weight, which DAZ would read as the 0.0 that asks for a random
// one.
Result synapses() {
    som_input_layer *inputs = som_input_layer_new(1);
    som_output_layer *outputs = som_output_layer_new(1, 1);
    std::srand(7);
    Result out;
    for (double weight : {0.0, 0.0, 0.0, 5e-324, 0x1p-1050})
        out.push_back(bits(som_synapse_new(inputs->neurons[0], outputs->neurons[0][0], weight)->weight));
    som_network holder{};
    holder.input_layer = inputs;
    holder.output_layer = outputs;
    som_input_layer_destroy(&holder);
    som_output_layer_destroy(&holder);
    return out;
}

// A map whose time constant makes t / T overflow is refused; rounding
// towards zero or downwards would turn the overflow into DBL_MAX.
Result loads(const std::string &path) {
    int status = SOM_OK;
    som_network *network = som_load_status(path.c_str(), &status);
    Result out{static_cast<uint64_t>(status), network == nullptr ? 0u : 1u};
    som_network_destroy(network);
    return out;
}

Result figures() {
    NetworkPtr network = network_with(2, 32, 32, data().figure_weights, 27.0);
    Table table = data().figure_rows;
    std::vector<double *> rows = row_pointers(table);
    som_quality quality{};
    EXPECT_EQ(som_measure_quality(network.get(), rows.data(), rows.size(), &quality), SOM_OK);
    Result out{quality.vectors, bits(quality.quantization_error), quality.topographic_errors,
               bits(quality.topographic_error)};
    std::vector<double> u_matrix(32 * 32);
    EXPECT_EQ(som_u_matrix(network.get(), u_matrix.data()), SOM_OK);
    append(out, bit_patterns(u_matrix));
    return out;
}

std::vector<Call> calls(const std::string &map_path) {
    const Data &d = data();
    std::vector<Call> out = {
        {"som_init_weights_plain", [] { return place(false, false); }, ""},
        {"som_init_weights", [] { return place(true, false); }, "som_init_weights_plain"},
        {"som_init_weights_observed", [] { return place(true, true); }, "som_init_weights_plain"},
        {"som_train_plain 12x12", [&d] { return train(d.small_weights, 12, 0); }, ""},
        {"som_train 12x12", [&d] { return train(d.small_weights, 12, 1); }, "som_train_plain 12x12"},
        {"som_train_plain 64x64", [&d] { return train(d.large_weights, 64, 0); }, ""},
        {"som_train 64x64", [&d] { return train(d.large_weights, 64, 1); }, "som_train_plain 64x64"},
        {"som_train_observed 64x64", [&d] { return train(d.large_weights, 64, 2); }, "som_train_plain 64x64"},
        {"som_find_winner 128x128", [&d] { return winners_one_by_one(d.filtered_weights, 128); }, ""},
        {"som_find_winner 10x10", [&d] { return winners_one_by_one(d.small_map_weights, 10); }, ""},
        {"som_find_winners_readonly 128x128", [&d] { return winners_at_once(d.filtered_weights, 128, true); },
         "winners 128x128"},
        {"som_find_winners 128x128", [&d] { return winners_at_once(d.filtered_weights, 128, false); },
         "winners 128x128"},
        {"som_find_winners_readonly 10x10", [&d] { return winners_at_once(d.small_map_weights, 10, true); },
         "winners 10x10"},
        {"som_time_constant, som_learning_rate, som_neighbourhood", series, ""},
        {"som_synapse_new", synapses, ""},
        {"som_load", [map_path] { return loads(map_path); }, ""},
        {"som_measure_quality, som_u_matrix", figures, ""},
    };
    return out;
}

// Arithmetic the test does itself in the current environment: each
// environment of the table changes some of it, so the table tests calls
// under environments that matter.
Result own_arithmetic() {
    volatile double one = 1.0, two = 2.0, three = 3.0, ten = 10.0, tiny = 0x1p-540, subnormal = 0x1p-1070;
    return bit_patterns({one / three, two / three, one / ten, tiny * tiny, subnormal * one, -one / three});
}

class FloatingPointEnvironment : public ::testing::TestWithParam<const char *> {
  protected:
    void SetUp() override {
        if (som_engine_select(GetParam()) != 0) GTEST_SKIP() << GetParam() << " not supported here";
        // A map file whose time constant, 1e-300, training cannot use.
        NetworkPtr network(som_network_new(1, 1, 1));
        network->time_constant = 1e-300;
        ASSERT_EQ(som_save(network.get(), dir_.file("map").c_str()), SOM_OK);
    }
    void TearDown() override { som_engine_select("auto"); }
    TempDir dir_;
};

TEST_P(FloatingPointEnvironment, EveryCallGivesTheDefaultResultAndTheEnvironmentBack) {
    const std::vector<Call> table = calls(dir_.file("map"));
    const Environment standard{"Default", FE_TONEAREST, 0, 0};
    std::vector<Result> expected;
    for (const Call &call : table) {
        const Outcome outcome = run_in(standard, call.run);
        EXPECT_EQ(describe(outcome.after), describe(outcome.before)) << call.name << " in the default environment";
        expected.push_back(outcome.result);
    }
    // The fast calls agree with the literal ones there.
    std::function<Result(const std::string &)> result_of = [&](const std::string &name) {
        if (name.rfind("winners ", 0) == 0) return winners_without_distances(result_of("som_find_winner " + name.substr(8)));
        for (size_t c = 0; c < table.size(); ++c)
            if (table[c].name == name) return expected[c];
        ADD_FAILURE() << "no call " << name;
        return Result{};
    };
    for (size_t c = 0; c < table.size(); ++c)
        if (!table[c].literal.empty()) {
            EXPECT_EQ(expected[c], result_of(table[c].literal)) << table[c].name << " against " << table[c].literal;
        }
    EXPECT_EQ(result_of("som_load"), (Result{static_cast<uint64_t>(SOM_ERROR_FORMAT), 0})) << "the damaged map loaded";
    {
        // The large map's rows go through the filter, not all the exact way.
        NetworkPtr network = network_with(1, 128, 128, data().filtered_weights);
        Table table = data().recognition_rows;
        std::vector<double *> rows = row_pointers(table);
        std::vector<size_t> wi(rows.size()), wj(rows.size());
        som_engine::FilterCounts counts;
        ASSERT_EQ(som_engine::find_winners(network.get(), rows.data(), rows.size(), wi.data(), wj.data(),
                                           som_engine::CallOptions{}, &counts),
                  SOM_OK);
        EXPECT_LT(counts.exact_rows, counts.rows);
    }

    const Result arithmetic = run_in(standard, own_arithmetic).result;
    for (const Environment &environment : kEnvironments) {
        SCOPED_TRACE(environment.name);
        EXPECT_NE(run_in(environment, own_arithmetic).result, arithmetic) << "the environment changes nothing";
        for (size_t c = 0; c < table.size(); ++c) {
            const Outcome outcome = run_in(environment, table[c].run);
            EXPECT_EQ(outcome.result, expected[c]) << table[c].name;
            EXPECT_EQ(describe(outcome.after), describe(outcome.before)) << table[c].name;
        }
    }
}

// Training and placement stopped by their callback, a callback that
// throws, and calls refused for their arguments: each leaves the caller's
// environment as it was, and every report runs in it.
TEST_P(FloatingPointEnvironment, StoppedAndFailedCallsGiveTheEnvironmentBack) {
    const Data &d = data();
    struct Watch {
        State caller;
        size_t stop_after;
        bool raise;
        size_t reports = 0;
        std::vector<std::string> seen;
        static int report(void *self, size_t, size_t) {
            Watch *watch = static_cast<Watch *>(self);
            const State now = state_now();
            if (!(now == watch->caller)) watch->seen.push_back(describe(now));
            if (++watch->reports > watch->stop_after) {
                if (watch->raise) throw std::runtime_error("stop");
                return 1;
            }
            return 0;
        }
    };
    for (const Environment &environment : kEnvironments) {
        SCOPED_TRACE(environment.name);
        for (bool raise : {false, true}) {
            // At the first report, or the second (which may be the last).
            for (size_t stop_after : {size_t{0}, size_t{1}}) {
                Table training = d.training_rows, placing = d.placement_rows;
                std::vector<double *> training_rows = row_pointers(training), placing_rows = row_pointers(placing);
                NetworkPtr trained = network_with(4, 64, 64, d.large_weights), placed(som_network_new(4, 5, 5));
                Watch watch{};
                watch.stop_after = stop_after;
                watch.raise = raise;
                Watch placing_watch = watch;
                enter(environment);
                watch.caller = placing_watch.caller = state_now();
                const int train_status = som_train_observed(trained.get(), training_rows.data(), training_rows.size(),
                                                            60, Watch::report, &watch);
                const State after_training = state_now();
                const int place_status = som_init_weights_observed(placed.get(), placing_rows.data(),
                                                                   placing_rows.size(), Watch::report, &placing_watch);
                const State after_placing = state_now();
                leave();
                EXPECT_EQ(train_status, SOM_ERROR_CANCELLED);
                EXPECT_EQ(place_status, SOM_ERROR_CANCELLED);
                EXPECT_EQ(describe(after_training), describe(watch.caller));
                EXPECT_EQ(describe(after_placing), describe(watch.caller));
                EXPECT_EQ(watch.seen, std::vector<std::string>{}) << "training's callback ran in another environment";
                EXPECT_EQ(placing_watch.seen, std::vector<std::string>{})
                    << "placement's callback ran in another environment";
            }
        }
        // Refused before any work: a damaged network, null rows.
        NetworkPtr network(som_network_new(2, 3, 3));
        som_synapse *moved = network->output_layer->neurons[1][1]->synapses[0];
        network->output_layer->neurons[1][1]->synapses[0] = nullptr;
        double row[] = {0.5, 0.25};
        double *rows[] = {row};
        size_t wi, wj;
        enter(environment);
        const State caller = state_now();
        const int statuses[] = {som_train(network.get(), rows, 1, 5), som_init_weights(network.get(), rows, 1),
                                som_find_winners(network.get(), rows, 1, &wi, &wj),
                                som_train_plain(network.get(), nullptr, 1, 5)};
        const State after = state_now();
        leave();
        network->output_layer->neurons[1][1]->synapses[0] = moved;
        for (int status : statuses) EXPECT_EQ(status, SOM_ERROR_INVALID);
        EXPECT_EQ(describe(after), describe(caller));
    }
}

// What a callback does to the environment is the caller's doing: it stays
// when the call returns, and changes nothing the call computes.
TEST_P(FloatingPointEnvironment, WhatACallbackChangesStaysTheCallers) {
    const Data &d = data();
    Table training = d.training_rows;
    std::vector<double *> rows = row_pointers(training);
    NetworkPtr plain = network_with(4, 12, 12, d.small_weights), observed = network_with(4, 12, 12, d.small_weights);
    ASSERT_EQ(som_train_plain(plain.get(), rows.data(), rows.size(), 60), SOM_OK);
    auto round_towards_zero = [](void *, size_t, size_t) {
        std::fesetround(FE_TOWARDZERO);
        _mm_setcsr(_mm_getcsr() | kFlushToZero);
        return 0;
    };
    const int status = som_train_observed(observed.get(), rows.data(), rows.size(), 60, round_towards_zero, nullptr);
    const int rounding = std::fegetround();
    const unsigned mxcsr = _mm_getcsr();
    leave();
    EXPECT_EQ(status, SOM_OK);
    EXPECT_EQ(rounding, FE_TOWARDZERO);
    EXPECT_EQ(mxcsr & kFlushToZero, kFlushToZero);
    EXPECT_EQ(everything(observed.get()), everything(plain.get()));
}

INSTANTIATE_TEST_SUITE_P(Kernels, FloatingPointEnvironment, ::testing::Values("generic", "avx2", "avx512"));

#else

TEST(FloatingPointEnvironment, NeedsX86AndGlibc) { GTEST_SKIP() << "the table reads the x86 MXCSR through glibc"; }

#endif

}  // namespace
