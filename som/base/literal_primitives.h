// The literal primitives every search is built from, each written once: the
// two distances in their order of operations, and the reductions that keep
// the first of the smallest values and the first of the farthest pairs. The
// literal layer computes with them; the engine's scalar code and the
// kernels' scalar twin use them wherever they decide (a pair's exact
// distance, the fold of partial results); the vector kernels compute lane
// by lane in the same order, each loop saying which primitive it mirrors
// (they are compiled per instruction-set level, and an inline function
// built for one level must not become every caller's copy). Internal to the
// library.
#ifndef SOM_BASE_LITERAL_PRIMITIVES_H
#define SOM_BASE_LITERAL_PRIMITIVES_H

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace som_literal {

// sum + (x - w)^2: the difference rounded, then its square, then the sum.
inline double add_squared_difference(double sum, double x, double w) {
    const double difference = x - w;
    return sum + difference * difference;
}

// The squared Euclidean distance, from 0.0 over k = 0 .. n - 1 in order,
// x(k) and w(k) giving component k of the two vectors (a presented input and
// a neuron's weights, through the records or from flat arrays).
template <typename X, typename W>
double squared_distance(size_t n, X x, W w) {
    double sum = 0.0;
    for (size_t k = 0; k < n; ++k) sum = add_squared_difference(sum, x(k), w(k));
    return sum;
}

inline double squared_distance(const double *x, const double *w, size_t n) {
    return squared_distance(n, [x](size_t k) { return x[k]; }, [w](size_t k) { return w[k]; });
}

// The city-block distance, from 0.0 over k in order: sum + |u[k] - v[k]|.
inline double city_block(const double *u, const double *v, size_t n) {
    double sum = 0.0;
    for (size_t k = 0; k < n; ++k) sum = sum + std::fabs(u[k] - v[k]);
    return sum;
}

// The first of the smallest values offered in increasing index order: a
// value is taken only when strictly below the best so far, which starts at
// DBL_MAX, so ties keep the earlier index and NaN, infinity and DBL_MAX are
// never taken. index stays SIZE_MAX while nothing was.
struct FirstSmallest {
    double value = DBL_MAX;
    size_t index = SIZE_MAX;

    bool offer(double candidate, size_t at) {
        if (!(candidate < value)) return false;
        value = candidate;
        index = at;
        return true;
    }
    bool found() const { return index != SIZE_MAX; }
};

// The first of the smallest over two sets of indices searched apart, in
// either order: the smaller value, and of equal values the smaller index; a
// set where nothing was taken gives way. The result is the one a single
// search over both sets in index order gives.
inline FirstSmallest first_of(const FirstSmallest &a, const FirstSmallest &b) {
    if (!b.found()) return a;
    if (!a.found()) return b;
    if (b.value < a.value || (b.value == a.value && b.index < a.index)) return b;
    return a;
}

// The first of the greatest distances above 0.0 between pairs offered in
// (first, second) order: a pair is taken only when strictly above the best
// so far, which starts at 0.0, so ties keep the earlier pair and NaN is
// never taken. first stays SIZE_MAX while nothing was.
struct FirstFarthest {
    double value = 0.0;
    size_t first = SIZE_MAX, second = SIZE_MAX;

    bool offer(double candidate, size_t at_first, size_t at_second) {
        if (!(candidate > value)) return false;
        value = candidate;
        first = at_first;
        second = at_second;
        return true;
    }
    bool found() const { return first != SIZE_MAX; }
};

// The first of the farthest over two sets of pairs searched apart, in either
// order: the greater distance, and of equal ones the pair first in
// (first, second) order; a set where nothing was taken gives way. The
// result is the one a single search over both sets in that order gives.
inline FirstFarthest first_of(const FirstFarthest &a, const FirstFarthest &b) {
    if (!b.found()) return a;
    if (!a.found()) return b;
    if (b.value > a.value || (b.value == a.value && (b.first < a.first || (b.first == a.first && b.second < a.second))))
        return b;
    return a;
}

}  // namespace som_literal

#endif
