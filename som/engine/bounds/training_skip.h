// The bound that lets a training sweep leave distances unformed: its
// derivation, its constants, and the functions that apply it, for the
// driver (train_sweeps.cpp: the margins, the norm of the vector, the
// thresholds) and for every kernel set (the lower bound's start, its
// advance over an iteration, the test against a threshold, and the checks
// of checking mode). Internal to the library.
//
// What it is for. Of an iteration's distances a sweep uses only two things:
// the first of the smallest (whose index sum the driver checks) and whether
// any is 0.0. A neuron whose distance is certainly above T, the smallest
// distance of the winner's block in that iteration (measured first,
// exactly), is neither, so its distance need not be formed. The bound below
// is a lower bound R on ||x - w|| kept per neuron from its last measured
// distance; where R is above a threshold t derived from T, the distance is
// certainly above T.
//
// The bound. Let u = 2^-53 and, for one neuron, e = x - w^j (the exact real
// differences of the weights after iteration j) and a_j = ||e||_2. With f
// in [0, 1) the factor of iteration j + 1, each weight's plain update and
// the subtraction after it give, for every k (each operation rounding by at
// most u relatively, or by 2^-1075 absolutely below the normal range; the
// difference the update starts from is the rounded one, the product and the
// sum round, and |p + w| <= |w'| / (1 - u))
//     |e'_k| >= (1 - f - 4u) |e_k| - (1 + 2u) u |w'_k| - 4 * 2^-1074,
// so by the triangle inequality, over the inputs,
//     a_{j+1} >= (1 - f - 4u) a_j - (1 + 2u) u B - Z,   Z = 2^-902 > 4 * 2^-1074 sqrt(n),
// where B bounds ||w|| over the sweep's remaining iterations: each update is
// a rounded convex combination of w and x, so |w_k| grows by at most a
// factor (1 + 10u) an iteration beyond max(|w_k|, |x_k|), and with
// w = x - e, ||w|| <= ||x|| + a; over kMaxSweep = 64 iterations
//     B = (2 X + sqrt(D)) (1 + 4 r + 2^-40) + 2^-400
// covers it, X >= ||x|| (twice_norm below) and D the last measured distance
// (of this sweep, or the next-vector search of the last vector's last
// sweep, which the next vector's first sweep starts from: never more than
// kMaxSweep iterations before).
// A measured distance D (sum of the rounded squares of the rounded
// differences, in order) and a relate by
//     (1 - (n + 3) u) a^2 - n 2^-1075 <= D <= (1 + 1.01 (n + 3) u) a^2 + n 2^-1075,
// so with r = (n + 16) 2^-52 (Margins::relative):
//  - after a measurement, R = sqrt(D) (1 - r - 2^-46) <= a (zero when D is
//    not finite, since then no bound is known) wherever a^2 is in the
//    normal range (a >= 2^-511), where the absolute term n 2^-1075 is within
//    the margin. Below it, where subnormal squares dominate the sum, R can
//    exceed a, but then D < 2^-1020 and R < 2^-510: far under the floor
//    2^-440 of every threshold t below, and later iterations only lower R,
//    so such an R never lets a measurement go (restart);
//  - each later iteration, R <- c R - A with c = (1 - 2^-48) - f and
//    A = 2u B + 2^-900 >= (1 + 2u) u B + Z: c is at least 28u below 1 - f - 4u,
//    which covers the rounding of c R - A (whether fused or not), and the
//    driver keeps every rate below 0.99 (rates_allow) so that c > 0 and a
//    negative R, which bounds nothing, stays negative (advanced);
//  - the distance is certainly above T when R > t = max(sqrt(T (1 + 4 r)),
//    2^-440) (1 + 2^-50) (threshold, rounded so that it only errs upwards):
//    then (1 - (n + 3) u) R^2 - n 2^-1075 > T, including T = 0.0, where the
//    measured distance is then above zero (beyond).
// r's allowance of (n + 16) covers the (n + 3) of the sums for up to 2^26
// inputs (applies): beyond, the sweeps measure everything.
// Overflow only ever makes distances infinite or NaN, which never win and
// are never 0.0; a NaN anywhere makes R or the threshold NaN, and a NaN
// compares false, so the block is measured.
//
// The vector functions are templates on the kernel set's operations, `Ops`:
// a type `vector` (a vector of doubles, or a double), and splat(x),
// root(v), above(a, b) (every lane of a above b, false for NaN),
// minus_product(c, a, b) = c - a b and product_minus(a, b, c) = a b - c
// (one rounding where the unit fuses, two elsewhere: the bound allows both).
// Every function here has internal linkage and calls no inline function of
// the standard library (std::min, std::isnan, ...), whose copies would be
// weak symbols: each kernel set is compiled for its own instruction-set
// level, and a shared copy built for one level must never serve another.
#ifndef SOM_ENGINE_BOUNDS_TRAINING_SKIP_H
#define SOM_ENGINE_BOUNDS_TRAINING_SKIP_H

#include <cfloat>
#include <cmath>
#include <cstddef>

namespace som_engine {
namespace training_skip {

// The most inputs the margins are written for.
constexpr size_t kMostInputs = size_t{1} << 26;
// The largest rate a bounded sweep may use: c = (1 - 2^-48) - f stays
// positive.
constexpr double kMostRate = 0.99;
// What the lower bound keeps of the factor 1 - f a weight's difference
// shrinks by in an iteration: c = kContraction - f.
constexpr double kContraction = 1.0 - 0x1p-48;
// The least threshold (far above any R that subnormal sums can give), and
// the factor that rounds thresholds upwards.
constexpr double kThresholdFloor = 0x1p-440;
constexpr double kThresholdUp = 1.0 + 0x1p-50;

// What a sweep's bounds need of the input count n.
struct Margins {
    double relative = 0.0;       // r = (n + 16) 2^-52
    double root_to_reach = 0.0;  // 1 - r - 2^-46: sqrt(D) times this is at most ||x - w||
    double weight_growth = 0.0;  // 1 + 4 r + 2^-40: what B allows ||w|| and sqrt(D) to grow by
};

namespace {

// Whether a sweep over n inputs may leave distances out at all.
inline bool applies(size_t n) { return n <= kMostInputs; }

inline Margins margins_for(size_t n) {
    const double relative = static_cast<double>(n + 16) * 0x1p-52;
    return Margins{relative, 1.0 - relative - 0x1p-46, 1.0 + 4.0 * relative + 0x1p-40};
}

// 2 X with X >= ||x||: the square root of the rounded sum of squares,
// raised by more than its rounding can have taken off.
inline double twice_norm(const double *x, size_t n, const Margins &margins) {
    double squares = 0.0;
    for (size_t k = 0; k < n; ++k) squares = squares + x[k] * x[k];
    return 2.0 * (std::sqrt(squares) * (1.0 + 2.0 * margins.relative) + 0x1p-400);
}

// Whether every rate of a sweep keeps c positive. The neighbourhood factors
// are in (0, 1], so the rates decide whether every factor is in [0, 0.99].
inline bool rates_allow(const double *rates, size_t count) {
    for (size_t j = 0; j < count; ++j)
        if (!(rates[j] >= 0.0 && rates[j] <= kMostRate)) return false;
    return true;
}

// The threshold t on R above which a distance is certainly above T, the
// smallest measured distance of its iteration; infinity (nothing goes
// unmeasured) when no distance was below DBL_MAX.
inline double threshold(double smallest, bool found, const Margins &margins) {
    if (!found) return INFINITY;
    const double root = std::sqrt(smallest * (1.0 + 4.0 * margins.relative));
    return (root < kThresholdFloor ? kThresholdFloor : root) * kThresholdUp;
}

// R and A from a measured distance D (of the weights now, to x with
// 2 X = twice_x): R = sqrt(D) (1 - r - 2^-46), 0 where D is not finite;
// A = 2u B + 2^-900.
template <class Ops, class Vector = typename Ops::vector>
inline void restart(Vector distance, double twice_x, const Margins &margins, Vector &reach, Vector &slack) {
    const Vector root = Ops::root(distance);
    const auto finite = distance <= Ops::splat(DBL_MAX);
    reach = finite ? root * Ops::splat(margins.root_to_reach) : Vector{};
    const Vector span = (Ops::splat(twice_x) + root) * Ops::splat(margins.weight_growth) + Ops::splat(0x1p-400);
    slack = span * Ops::splat(0x1p-52) + Ops::splat(0x1p-900);
}

// R after one more iteration of factor h rate: c R - A, c = (1 - 2^-48) - h rate.
template <class Ops, class Vector = typename Ops::vector>
inline Vector advanced(Vector reach, Vector slack, Vector h, Vector rate) {
    const Vector c = Ops::minus_product(Ops::splat(kContraction), h, rate);
    return Ops::product_minus(c, reach, slack);
}

// Whether R shows every distance above T, t being the threshold for T.
template <class Ops, class Vector = typename Ops::vector>
inline bool beyond(Vector reach, Vector t) {
    return Ops::above(reach, t);
}

// Checking mode, for one neuron whose distance was measured all the same:
// whether R, where positive (a bound at all), failed to hold,
// (1 - r / 2) R^2 <= D, with slack for the rounding of the check itself and
// for the absolute error below the normal range; and, where the distance
// was left out, whether it failed to lie above T as the threshold
// promised. NaN distances bound nothing and never fail.
inline bool bound_failed(double reach, double distance, const Margins &margins) {
    return reach > 0.0 &&
           !(reach * reach * (1.0 - 0.5 * margins.relative) <= distance * (1.0 + 0x1p-50) + 0x1p-1000) &&
           !__builtin_isnan(distance);
}
inline bool skip_failed(double distance, double smallest) {
    return !(distance > smallest) && !__builtin_isnan(distance);
}

}  // namespace

}  // namespace training_skip
}  // namespace som_engine

#endif
