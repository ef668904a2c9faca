// The fast engine against the literal code, bit for bit, on small data sets
// made from the fuzzer's bytes: training (the engine's training call against
// som_train_plain, under several ways of cutting training into sweeps), the
// batch winner search (the engine's, som_find_winners and
// som_find_winners_readonly against som_find_winner row by row) and the
// placement (the engine's against som_init_weights_plain, and its most
// distant pair against the literal pair loop). The engine's calls take the
// options the input chooses. Any difference aborts with the first differing
// value.
//
// Layout of an input: a header of 7 bytes, then the values.
//   byte 0: n - 1 (mod 9, so n is 1..9)
//   byte 1: X (mod 13), byte 2: Y (mod 13)
//   byte 3: rows - 1 (mod 24)
//   byte 4: iterations (mod 160; 0 is allowed)
//   byte 5: bit 0 places the weights from the data before training; bits 1-2
//           choose the kernels (generic, avx2, avx512, auto); bit 3 starts
//           the grid from data rows instead of from coded values; bit 4
//           sends maps and tables of any size through the filtered searches
//           (float filter of recognition, bounds of the pair search); bit 5
//           lets the pair search compare pairs only once at most 2 rows are
//           left (else 8); bit 6 scales every value by 2^-140, among the
//           float subnormals; bit 7 caps the threads at 1
//   byte 6: bits 0-1 choose how training sweeps (the library's choice;
//           three iterations a sweep without the winner's block first, so
//           that most early stops are replayed; one at a time in place;
//           growing from one to the most, checking every bound that lets a
//           distance go unmeasured); bits 2-3 the time constant (the
//           computed one; -27.1, which pushes the neurons away so that
//           winners' index sums change within a vector; NaN; 3.0, whose
//           rates pass one half at once so that early stops come after few
//           iterations); bit 4 runs the engine's calls on the scalar twin of
//           the kernels instead of the set chosen in byte 5
//   then one byte per value, grid weights first (X * Y * n), then the rows
//   (rows * n), each mapped through value_of (missing bytes read as 0).
// Values come from a small alphabet that makes ties, exact matches, signed
// zeros, NaN, infinities and huge or tiny magnitudes common.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "som/engine/engine.h"
#include "som/engine/options.h"
#include "som/engine/sweep.h"
#include "som/som.h"

namespace {

[[noreturn]] void fail(const char *what, size_t at, double fast, double plain) {
    uint64_t a, b;
    std::memcpy(&a, &fast, 8);
    std::memcpy(&b, &plain, 8);
    std::fprintf(stderr, "fuzz_engine: %s differ at %zu: fast %a (%016llx), plain %a (%016llx)\n", what, at, fast,
                 static_cast<unsigned long long>(a), plain, static_cast<unsigned long long>(b));
    std::abort();
}

double value_of(uint8_t byte) {
    // The low bits pick a magnitude, the high ones a small integer or a
    // special value, so that distinct bytes often give equal distances.
    static const double specials[] = {0.0, -0.0, NAN, INFINITY, -INFINITY, 1e300, -1e300, 1e-300,
                                      5e-324, 0.1, 0.2, 0.3, 1.0 / 3.0, 2.0 / 3.0, 1e-8, 1e8};
    if (byte >= 240) return specials[byte - 240];
    const int small = static_cast<int>(byte % 16) - 8;
    const int scale = byte / 16;  // 0..14
    return std::ldexp(static_cast<double>(small), scale - 7);
}

struct Bytes {
    const uint8_t *data;
    size_t size, at = 0;
    uint8_t next() { return at < size ? data[at++] : 0; }
};

struct Network {
    som_network *network;
    explicit Network(som_network *made) : network(made) {
        if (network == nullptr) std::abort();
    }
    ~Network() { som_network_destroy(network); }
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;
};

std::vector<double> weights_of(const som_network *network) {
    size_t n = 0, x = 0, y = 0;
    som_network_shape(network, &n, &x, &y);
    std::vector<double> weights(n * x * y);
    som_get_weights(network, weights.data());
    return weights;
}

// LLVM treats the sign and payload of a NaN as unspecified (see the build's
// note on clang), so under clang, where libFuzzer runs, any two NaNs count
// as equal; the GCC builds replay the corpus to the bit.
bool same_value(double fast, double plain) {
#if defined(__clang__)
    if (std::isnan(fast) && std::isnan(plain)) return true;
#endif
    return std::memcmp(&fast, &plain, 8) == 0;
}

void same_bits(const char *what, const std::vector<double> &fast, const std::vector<double> &plain) {
    for (size_t k = 0; k < fast.size(); ++k)
        if (!same_value(fast[k], plain[k])) fail(what, k, fast[k], plain[k]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Bytes bytes{data, size};
    const size_t n = 1 + bytes.next() % 9;
    const size_t x = bytes.next() % 13, y = bytes.next() % 13;
    const size_t row_count = 1 + bytes.next() % 24;
    const size_t iterations = bytes.next() % 160;
    const uint8_t flags = bytes.next();
    const uint8_t training = bytes.next();
    static const char *const kernels[] = {"generic", "avx2", "avx512", "auto"};
    // A kernel set this CPU lacks falls back to the default.
    if (som_engine_select(kernels[(flags >> 1) & 3]) != 0) som_engine_select("auto");
    som_engine::CallOptions options;
    if ((flags & 16) != 0) options.search = {1, 2, (flags & 32) != 0 ? size_t{2} : size_t{8}};
    if ((training & 16) != 0) options.kernels = &som_engine::scalar_kernels();
    som_set_max_threads((flags & 128) != 0 ? 1 : 0);
    const int exponent = (flags & 64) != 0 ? -140 : 0;

    std::vector<double> grid(x * y * n), values(row_count * n);
    for (double &w : grid) w = std::ldexp(value_of(bytes.next()), exponent);
    for (double &v : values) v = std::ldexp(value_of(bytes.next()), exponent);
    std::vector<double *> rows(row_count);
    for (size_t r = 0; r < row_count; ++r) rows[r] = values.data() + r * n;
    if ((flags & 8) != 0)
        for (size_t p = 0; p < x * y; ++p)
            std::memcpy(grid.data() + p * n, rows[p % row_count], n * sizeof(double));

    Network fast(som_network_new(n, x, y)), plain(som_network_new(n, x, y));
    som_set_weights(fast.network, grid.data());
    som_set_weights(plain.network, grid.data());

    // Recognition on the starting grid: with the options chosen, against the
    // literal search, and the public calls (with the library's own
    // thresholds) against that.
    std::vector<size_t> wi(row_count), wj(row_count);
    if (som_engine::find_winners(fast.network, rows.data(), row_count, wi.data(), wj.data(), options, nullptr) != SOM_OK)
        std::abort();
    for (size_t r = 0; r < row_count; ++r) {
        size_t i = 0, j = 0;
        som_set_inputs(plain.network, rows[r]);
        som_find_winner(plain.network, &i, &j);
        if (wi[r] != i || wj[r] != j) fail("winners", r, static_cast<double>(wi[r] * 1000 + wj[r]), static_cast<double>(i * 1000 + j));
    }
    std::vector<size_t> ri(row_count), rj(row_count);
    if (som_find_winners(fast.network, rows.data(), row_count, ri.data(), rj.data()) != SOM_OK) std::abort();
    for (size_t r = 0; r < row_count; ++r)
        if (ri[r] != wi[r] || rj[r] != wj[r]) fail("public winners", r, static_cast<double>(ri[r] * 1000 + rj[r]), static_cast<double>(wi[r] * 1000 + wj[r]));
    if (som_find_winners_readonly(fast.network, rows.data(), row_count, ri.data(), rj.data()) != SOM_OK) std::abort();
    for (size_t r = 0; r < row_count; ++r)
        if (ri[r] != wi[r] || rj[r] != wj[r]) fail("read-only winners", r, static_cast<double>(ri[r] * 1000 + rj[r]), static_cast<double>(wi[r] * 1000 + wj[r]));

    // The most distant pair itself, against the literal loop.
    {
        double best = 0.0;
        size_t a = 0, b = 0;
        for (size_t i = 0; i < row_count; ++i)
            for (size_t j = i + 1; j < row_count; ++j) {
                double distance = 0.0;
                for (size_t k = 0; k < n; ++k) distance = distance + std::fabs(rows[i][k] - rows[j][k]);
                if (distance > best) best = distance, a = i, b = j;
            }
        size_t first = SIZE_MAX, second = SIZE_MAX;
        if (som_engine::farthest_pair(rows.data(), row_count, n, &first, &second, som_internal::Observer{}, options,
                                      nullptr) != SOM_OK)
            std::abort();
        if (first != a || second != b) fail("pair", 0, static_cast<double>(first * 1000 + second), static_cast<double>(a * 1000 + b));
    }

    using som_engine::kMaxSweep;
    static const som_engine::SweepPolicy policies[] = {
        som_engine::SweepPolicy{}, {3, 3, false, false}, {1, 1, false, true}, {1, kMaxSweep, true, false, true, true}};
    options.sweeps = policies[training & 3];
    // The computed time constant is set beforehand too: computing it is the
    // same call on both sides, and under the fuzzer's instrumentation its
    // thousand-term series took most of each run.
    static const double computed = [] {
        static som_network scratch;
        som_time_constant(&scratch);
        return scratch.time_constant;
    }();
    static const double time_constants[] = {computed, -27.1, NAN, 3.0};

    if ((flags & 1) != 0) {
        if (som_engine::init_weights(fast.network, rows.data(), row_count, som_internal::Observer{}, options) != SOM_OK ||
            som_init_weights_plain(plain.network, rows.data(), row_count) != SOM_OK)
            std::abort();
        same_bits("placed weights", weights_of(fast.network), weights_of(plain.network));
    }

    fast.network->time_constant = plain.network->time_constant = time_constants[(training >> 2) & 3];
    som_engine::SweepStats stats;
    if (som_engine::train(fast.network, rows.data(), row_count, iterations, som_internal::Observer{}, options, &stats) !=
            SOM_OK ||
        som_train_plain(plain.network, rows.data(), row_count, iterations) != SOM_OK)
        std::abort();
    if (stats.bound_failures != 0) {
        std::fprintf(stderr, "fuzz_engine: a bound that let a distance go unmeasured did not hold\n");
        std::abort();
    }
    same_bits("trained weights", weights_of(fast.network), weights_of(plain.network));
    som_engine_select("auto");
    som_set_max_threads(0);
    return 0;
}
