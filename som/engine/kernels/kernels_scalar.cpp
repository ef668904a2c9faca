// The scalar twin of every kernel: the contract of the Kernels table
// (engine.h) written one neuron, one row, one pair at a time with the
// literal primitives, sharing no code with the vector template
// (kernel_set.inc) that the generic, AVX2 and AVX-512 sets are built from.
// Each vector set is tested against it, kernel by kernel, and the engine's
// calls take it when their options name it, so that the differential tests
// run through it too. It is not among som_engine_select's choices: where the
// vector sets run, they are faster.
//
// Where the contract leaves a kernel a choice, the twin takes the simplest:
// it measures every neuron the filter keeps, one by one (the vector filter
// measures whole blocks around them, and gives up on a row with too many),
// decides per neuron which distances the training bound lets it leave out
// (the vector sweep decides per block and per chunk of iterations), and
// never ends a sweep early at a distance of 0.0.
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "som/base/exact_build.h"
#include "som/engine/bounds/recognition_filter.h"
#include "som/engine/bounds/training_skip.h"
#include "som/engine/engine.h"
#include "som/engine/search_internal.h"
#include "som/engine/sweep.h"
#include "som/base/literal_primitives.h"

namespace som_engine {

namespace {

using som_literal::FirstFarthest;
using som_literal::FirstSmallest;

// Component k of neuron (or row) p in the packed layout.
inline size_t packed_slot(size_t n, size_t p, size_t k) { return ((p / kLanes) * n + k) * kLanes + p % kLanes; }

// The squared distance of x to neuron p, as the plain search forms it.
double distance_to(const double *packed, size_t n, size_t p, const double *x) {
    return som_literal::squared_distance(n, [x](size_t k) { return x[k]; },
                                         [packed, n, p](size_t k) { return packed[packed_slot(n, p, k)]; });
}

Nearest as_nearest(const FirstSmallest &first, bool any_zero) { return Nearest{first.value, first.index, any_zero}; }

Nearest nearest(const double *packed, size_t n, size_t begin, size_t end, const double *x) {
    FirstSmallest first;
    bool any_zero = false;
    for (size_t p = begin * kLanes; p < end * kLanes; ++p) {
        const double distance = distance_to(packed, n, p, x);
        first.offer(distance, p);
        any_zero = any_zero || distance == 0.0;
    }
    return as_nearest(first, any_zero);
}

void nearest_batch(const double *packed, size_t n, size_t blocks, const double *const *rows, size_t count,
                   size_t *winners) {
    for (size_t r = 0; r < count; ++r) winners[r] = nearest(packed, n, 0, blocks, rows[r]).index;
}

// The rows themselves, which the packed copy only repeats.
Farthest farthest_pair(const double *, size_t n, size_t row_count, const double *const *rows, size_t i_begin,
                       size_t i_end) {
    FirstFarthest farthest;
    for (size_t i = i_begin; i < i_end; ++i)
        for (size_t j = i + 1; j < row_count; ++j) farthest.offer(som_literal::city_block(rows[i], rows[j], n), i, j);
    return Farthest{farthest.value, farthest.first, farthest.second};
}

// ---- Recognition through the filter ---------------------------------------

// A row in the filter's image (bounds/recognition_filter.h): its floats, or
// its integers with the factor that makes a score of their dot product,
// and its share of the bound. False where the row lies outside the
// analysis.
bool float_row(const FilterGrid &grid, const double *x, float *xf, recognition_filter::RowBound &bound) {
    double x2 = 0.0;
    for (size_t k = 0; k < grid.n; ++k) {
        const double scaled = (x[k] - grid.centre[k]) * grid.scale;
        if (!recognition_filter::in_range(scaled)) return false;
        xf[k] = static_cast<float>(scaled);
        x2 = x2 + static_cast<double>(xf[k]) * static_cast<double>(xf[k]);
    }
    bound = recognition_filter::float_row_bound(x2, grid.n, grid.norm_bound);
    return true;
}

bool integer_row(const FilterGrid &grid, const double *x, int32_t *q, recognition_filter::RowBound &bound,
                 float &factor) {
    double most = 0.0;
    for (size_t k = 0; k < grid.n; ++k) {
        const double scaled = std::fabs((x[k] - grid.centre[k]) * grid.scale);
        if (!recognition_filter::in_range(scaled)) return false;
        if (scaled > most) most = scaled;
    }
    int exponent = 0;
    if (most > 0.0) std::frexp(most, &exponent);
    // The row's step: as fine as its largest component allows, never much
    // finer than the map's.
    const int shift = grid.pair_bits - exponent < grid.pair_exponent + 20 ? grid.pair_bits - exponent
                                                                          : grid.pair_exponent + 20;
    double squares = 0.0, moved = 0.0;
    for (size_t k = 0; k < grid.n; ++k) {
        const double scaled = (x[k] - grid.centre[k]) * grid.scale;
        // The nearest integer, ties to even: |scaled 2^shift| <= 2^14.
        const double integer = (std::ldexp(scaled, shift) + 0x1.8p52) - 0x1.8p52;
        const double away = std::ldexp(integer, -shift) - scaled;
        q[k] = static_cast<int32_t>(integer);
        squares = squares + integer * integer;
        moved = moved + away * away;
    }
    bound = recognition_filter::integer_row_bound(std::ldexp(squares, -2 * shift), moved, grid.norm_bound,
                                                  grid.pair_error);
    factor = static_cast<float>(-std::ldexp(1.0, 1 - shift - grid.pair_exponent));
    return true;
}

// Lane p's score: |wf|^2 - 2 xf.wf, from the norm, one product and one sum
// at a time in component order.
float float_score(const FilterGrid &grid, const float *xf, size_t p) {
    const size_t g = p / kFilterLanes, lane = p % kFilterLanes;
    float score = grid.norms[p];
    for (size_t k = 0; k < grid.n; ++k) score = score + xf[k] * grid.weights[(g * grid.n + k) * kFilterLanes + lane];
    return score;
}

// The same from the integer image: the exact dot product, then its float
// times the factor, plus the norm.
float integer_score(const FilterGrid &grid, const int32_t *q, float factor, size_t p) {
    const size_t g = p / kFilterLanes, lane = p % kFilterLanes, pair_count = (grid.n + 1) / 2;
    int64_t dot = 0;
    for (size_t k = 0; k < grid.n; ++k)
        dot += int64_t{q[k]} * grid.pairs[((g * pair_count + k / 2) * kFilterLanes + lane) * 2 + k % 2];
    return static_cast<float>(dot) * factor + grid.norms[p];
}

void nearest_filtered(const FilterGrid &grid, const double *packed, size_t blocks, const double *const *rows,
                      size_t count, size_t *winners, FilterCounts *counts) {
    const size_t n = grid.n, lanes = grid.groups * kFilterLanes;
    FilterCounts local;
    local.rows = count;
    // Scratch, from malloc: a kernel may run on a helper thread, where
    // nothing may throw. Without it every row is searched exactly.
    float *xf = static_cast<float *>(std::malloc(n * sizeof(float)));
    int32_t *q = static_cast<int32_t *>(std::malloc(n * sizeof(int32_t)));
    float *scores = static_cast<float *>(std::malloc(lanes * sizeof(float)));
    const bool room = xf != nullptr && q != nullptr && scores != nullptr;
    for (size_t r = 0; r < count; ++r) {
        const double *x = rows[r];
        recognition_filter::RowBound bound{};
        float factor = 0.0f;
        const bool inside = room && (grid.pairs != nullptr ? integer_row(grid, x, q, bound, factor)
                                                           : float_row(grid, x, xf, bound));
        if (!inside) {
            winners[r] = nearest(packed, n, 0, blocks, x).index;
            local.exact_rows += 1;
            continue;
        }
        float least = INFINITY;
        for (size_t p = 0; p < lanes; ++p) {
            scores[p] = grid.pairs != nullptr ? integer_score(grid, q, factor, p) : float_score(grid, xf, p);
            if (scores[p] < least) least = scores[p];
        }
        const float limit = recognition_filter::threshold(bound, least, n, grid.tau);
        // The neurons that could win or tie, and the special ones, measured
        // exactly in increasing order.
        FirstSmallest first;
        size_t special = 0;
        for (size_t p = 0; p < grid.neurons; ++p) {
            const bool is_special = special < grid.special_count && grid.specials[special] == p;
            if (is_special) ++special;
            if (!is_special && !(scores[p] <= limit)) continue;
            first.offer(distance_to(packed, n, p, x), p);
            local.exact_distances += 1;
        }
        winners[r] = first.index;
    }
    std::free(xf);
    std::free(q);
    std::free(scores);
    if (counts) *counts = local;
}

// ---- Training sweeps --------------------------------------------------------

// a * b and a + b whose NaN, when both are NaN, is a's: the plain loop's
// order (x - w, times f, plus w), where the operand that comes first keeps
// its NaN. The compiler may swap the operands of a product or a sum; the
// instruction here is the one written.
inline double product_of(double a, double b) {
#if defined(__x86_64__)
    __asm__("mulsd %1, %0" : "+x"(a) : "x"(b));
    return a;
#else
    return a * b;
#endif
}
inline double sum_of(double a, double b) {
#if defined(__x86_64__)
    __asm__("addsd %1, %0" : "+x"(a) : "x"(b));
    return a;
#else
    return a + b;
#endif
}

// The operations of the training bound (bounds/training_skip.h) on one
// neuron: no fused multiply-add, which the bound allows.
struct ScalarOps {
    typedef double vector;
    static double splat(double x) { return x; }
    static double root(double v) { return std::sqrt(v); }
    static bool above(double a, double b) { return a > b; }
    static double minus_product(double c, double a, double b) { return c - a * b; }
    static double product_minus(double a, double b, double c) { return a * b - c; }
};

// One neuron's iterations on its weights w[k * kLanes] (in the packed
// layout): moved as the plain loop moves them, each iteration's distance
// measured into minima[j] unless its lower bound lets it go, then its
// distance to next_x into minima[iterations]. formed[j] records that some
// distance of iteration j was formed; failures counts the checks of
// checking mode that did not hold.
void sweep_neuron(const SweepJob &job, size_t p, double *w, FirstSmallest *minima, bool *formed,
                  uint64_t &failures) {
    const size_t n = job.n;
    auto weight = [w](size_t k) { return w[k * kLanes]; };
    const double h = job.neighbourhood[job.index_sum[p]];
    const bool bounded = job.reach_thresholds != nullptr;
    const bool checking = bounded && job.counts != nullptr && job.counts->checking;
    const size_t b = p / kLanes, lane = p % kLanes;
    // The bound the last vector's last sweep left, in a vector's first
    // sweep; else nothing is known, and the first iteration is measured.
    const bool known = job.bounds_in && bounded;
    double reach = known ? job.bounds[(2 * b) * kLanes + lane] : 0.0;
    double slack = known ? job.bounds[(2 * b + 1) * kLanes + lane] : 0.0;
    for (size_t j = 0; j < job.iterations; ++j) {
        const double f = h * job.rates[j];
        for (size_t k = 0; k < n; ++k) w[k * kLanes] = sum_of(product_of(job.x[k] - w[k * kLanes], f), w[k * kLanes]);
        bool skip = false;
        if (bounded) {
            reach = training_skip::advanced<ScalarOps>(reach, slack, h, job.rates[j]);
            skip = training_skip::beyond<ScalarOps>(reach, job.reach_thresholds[j]);
        }
        if (skip && !checking) continue;
        const double distance = som_literal::squared_distance(n, [&job](size_t k) { return job.x[k]; }, weight);
        if (checking) {
            failures += training_skip::bound_failed(reach, distance, job.margins);
            if (skip) failures += training_skip::skip_failed(distance, job.lead_smallest[j]);
        }
        if (skip) continue;
        formed[j] = true;
        minima[j].offer(distance, p);
        if (bounded) training_skip::restart<ScalarOps>(distance, job.twice_norm, job.margins, reach, slack);
    }
    if (job.next_x == nullptr) return;
    const double next = som_literal::squared_distance(n, [&job](size_t k) { return job.next_x[k]; }, weight);
    minima[job.iterations].offer(next, p);
    if (job.bounds != nullptr) {
        training_skip::restart<ScalarOps>(next, job.next_twice_norm, job.margins, reach, slack);
        job.bounds[(2 * b) * kLanes + lane] = reach;
        job.bounds[(2 * b + 1) * kLanes + lane] = slack;
    }
}

// Each neuron's weights are copied to dst (where they already are when the
// sweep runs in place) and moved there.
void sweep(const SweepJob &job, size_t begin, size_t end, Nearest *out) {
    const size_t n = job.n;
    FirstSmallest minima[kMaxSweep + 1];
    uint64_t measured = 0, skipped = 0, failures = 0;
    for (size_t b = begin; b < end; ++b) {
        if (b == job.skip) continue;
        bool formed[kMaxSweep] = {};
        for (size_t lane = 0; lane < kLanes; ++lane) {
            const size_t p = b * kLanes + lane;
            double *w = job.dst + packed_slot(n, p, 0);
            const double *from = job.src + packed_slot(n, p, 0);
            for (size_t k = 0; k < n; ++k) w[k * kLanes] = from[k * kLanes];
            sweep_neuron(job, p, w, minima, formed, failures);
        }
        for (size_t j = 0; j < job.iterations; ++j) (formed[j] ? measured : skipped) += 1;
    }
    // Distances are sums of squares from +0.0: one of them was 0.0 if and
    // only if the smallest is.
    const size_t searches = job.iterations + (job.next_x != nullptr ? 1 : 0);
    for (size_t j = 0; j < searches; ++j) out[j] = as_nearest(minima[j], minima[j].found() && minima[j].value == 0.0);
    if (job.counts != nullptr) {
        job.counts->measured.fetch_add(measured, std::memory_order_relaxed);
        job.counts->skipped.fetch_add(skipped, std::memory_order_relaxed);
        if (failures != 0) job.counts->failures.fetch_add(failures, std::memory_order_relaxed);
    }
}

}  // namespace

const Kernels &scalar_kernels() {
    static const Kernels table{"scalar", nearest, nearest_batch, farthest_pair, nearest_filtered, false, sweep};
    return table;
}

}  // namespace som_engine
