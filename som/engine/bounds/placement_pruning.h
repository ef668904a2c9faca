// The bound that lets the placement's pair search leave rows out: its
// derivation, its constants and the functions that apply it, for the
// bounds of farthest_pair.cpp (the bounding box, the sign vectors, the
// balls around pivots). Internal to the library.
//
// ROUNDING. The plain search computes d(i, j) from 0.0 as
// d = d + |x_ik - x_jk| for k in increasing order. A subtraction of doubles
// is exact or within a factor 1 +- u (u = 2^-53; differences among the
// subnormals are exact), |.| is exact, and sums of non-negative terms are
// within 1 +- u each, so with D the real distance
//     D (1 - u)^n <= d <= D (1 + u)^n.
// Every bound is an upper bound B(i) on max_j D(i, j), computed from n-term
// sums of non-negative values (relative error within (1 - u)^-(n+1)), or,
// for the sign-vector bound, with an explicit absolute allowance
// (sign_vector_bound). A row is dropped only when widened(B(i)) < L, where L
// is the computed distance of a pair already found and widened() multiplies
// by 1 + (4n + 16) u > ((1 + u) / (1 - u))^(n + 2): then every pair (i, j)
// has d(i, j) < L <= the greatest computed distance, so row i is in no pair
// that reaches it, and in no tie at it either (may_reach keeps the others).
//
// The sign-vector bound: max_j |x_i - x_j|_1 = max over sign vectors s of
// max(s.x_i - min_j s.x_j, max_j s.x_j - s.x_i), exact but for rounding.
// Each sum s.x is ((x_0 +- x_1) +- x_2) ..., n - 1 roundings in a fixed
// order, so it is within (n - 1) u / (1 - (n - 1) u) |x|_1 of the real s.x;
// with the sums computed so, the real maximum is within
// (F + (n + 2) 2^-52 (|x_i|_1 + max_j |x_j|_1)) / (1 - u), F the computed
// value, which sign_vector_bound raises by more than its own rounding.
//
// Every sum above stays finite only while the values do: rows with a value
// beyond 2^900 (kHuge) or infinite are outside the bounds' arithmetic and
// compared with every other row on their own.
#ifndef SOM_ENGINE_BOUNDS_PLACEMENT_PRUNING_H
#define SOM_ENGINE_BOUNDS_PLACEMENT_PRUNING_H

#include <cmath>
#include <cstddef>

namespace som_engine {
namespace placement_pruning {

// Values beyond this (in magnitude) are outside the bounds' arithmetic.
constexpr double kHuge = 0x1p900;

namespace {

// Whether a value is outside the bounds' arithmetic (infinite or huge; not
// NaN, whose rows never take part).
inline bool beyond_bounds(double v) { return std::fabs(v) > kHuge; }

// An upper bound B on a row's greatest distance, widened to cover the
// rounding of both B and the plain distances.
inline double widened(double bound, size_t n) {
    return bound * (1.0 + (4.0 * static_cast<double>(n) + 16.0) * 0x1p-53);
}

// Whether a row (or a ball) with upper bound B may still be in a pair at
// the computed distance `found`, or tie with it.
inline bool may_reach(double bound, size_t n, double found) { return widened(bound, n) >= found; }

// (n + 2) 2^-52, raised by its own rounding: the sign-vector sums' relative
// allowance.
inline double sign_vector_allowance(size_t n) { return (static_cast<double>(n) + 2.0) * 0x1p-52 * (1.0 + 0x1p-40); }

// The sign-vector bound of a row from F (`best`, its computed maximum over
// the sign vectors), its own |x_i|_1 and the greatest |x_j|_1 of the set.
inline double sign_vector_bound(double best, double allowance, double one_norm, double widest_norm) {
    return (best + allowance * (one_norm + widest_norm)) * (1.0 + 0x1p-40) / (1.0 - 0x1p-52);
}

}  // namespace

}  // namespace placement_pruning
}  // namespace som_engine

#endif
