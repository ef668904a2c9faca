// The bound recognition filters with: its derivation, its constants, and
// the functions that apply it, for the map's image (search.cpp) and the
// filter of every kernel set (kernels_filter.inc). A cheap score of every
// neuron filters; a rigorous bound on its error keeps every neuron that could
// win or tie; the exact plain distance decides among those. Internal to the
// library.
//
// ERROR ANALYSIS. Let x be a row and w a neuron, D = |x - w|^2 in real
// arithmetic, and d the distance the plain search computes: starting from
// 0.0, d = d + (x_k - w_k)^2 in increasing k, each operation rounded to
// double (unit roundoff u = 2^-53).
//
// (1) The plain distance against the real one. A subtraction is exact or
//     within a factor (1 +- u); a square within (1 +- u) plus at most 2^-1075
//     absolute when it underflows; each sum of non-negative terms within
//     (1 +- u) (sums that land among the subnormals are exact). So
//         D (1 - u)^(n+2) - n 2^-1075  <=  d  <=  D (1 + u)^(n+2) + n 2^-1074,
//     and with rho_lo = 1 - (n + 3) 2^-52, rho_hi = 1 + (n + 3) 2^-52 and
//     tau = (n + 1) 2^-1073 (n <= 4096): D rho_lo - tau <= d <= D rho_hi + tau.
//
// (2) Conversion to float. With c the map's centre and s its scale (a power
//     of two), xf_k = float(double(x_k - c_k) * s) and likewise wf_k (kept
//     only while |(x_k - c_k) s| <= 2^50, so nothing overflows below). The
//     whole analysis runs in scaled units: D' = s^2 D exactly, and (1)
//     holds for d s^2 and D' with tau s^2 in place of tau (raised to
//     (n + 1) 2^-1000 where it would fall below the normal numbers). One double
//     rounding, a product by s (exact, or within 2^-1075 among the
//     subnormals) and one float rounding (up to 2^-150 absolute among the
//     float subnormals) give |xf_k - (x_k - c_k) s| <= 2^-23.99 |xf_k| +
//     2^-149; over the row, |ex| <= 2^-23.99 |xf| + sqrt(n) 2^-149 (Euclidean
//     norms), and the same for w. Since x - w = (x - c) - (w - c) exactly,
//     the triangle inequality gives
//         | sqrt(D') - sqrt(Df) | <= eps,  Df = |xf - wf|^2,
//         eps = 2^-23 (|xf| + |wf|) + 2n 2^-149.
//
// (3) The float score. Df = |xf|^2 + s with s = |wf|^2 - 2 xf.wf. The
//     kernel starts from norm = float(|wf|^2) (the squares are exact in
//     double, the sum is within gamma_n, the conversion within 2^-24) and
//     adds xf_k * (-2 wf_k) for k in order, each step one fused rounding
//     (or two where the unit has no fused multiply-add). The usual bound for
//     such a sum, with 2^-150 absolute for every rounding among the
//     subnormals and Cauchy-Schwarz on sum |xf_k wf_k|, gives for the
//     computed score a:
//         |a - s| <= gamma_(2n+3) (|wf|^2 + 2 |xf| |wf|) + (2n + 1) 2^-149,
//     gamma_m = m 2^-24 / (1 - m 2^-24). The row's X = double sum of xf_k^2
//     (exact squares) is within (2n + 2) u X of |xf|^2. Hence, with B an
//     upper bound on |wf| over the ordinary neurons and nx >= |xf|,
//         |(X + a) - Df| <= E = gamma_(2n+3) B (B + 2 nx) + (2n + 1) 2^-149
//                              + (2n + 2) u X.
//
// (4) The decision (in scaled units). Let m be the smallest score of the
//     row, reached by neuron w0. Then sqrt(D'(w0)) <= sqrt(X + m + E) + eps,
//     and by (1) d(w0) s^2 <= H = (sqrt(X + m + E) + eps)^2 rho_hi + tau;
//     the winner's distance is at most d(w0). A neuron w with score a has
//     sqrt(D'(w)) >= sqrt(X + a - E) - eps, so d(w) s^2 > H as soon as
//         a > T = (sqrt((H + tau) / rho_lo) + eps)^2 + E - X:
//     then w is strictly farther than w0 and can neither win nor tie.
//     Neurons with a <= T survive, and their exact distances, computed as the
//     plain search does, pick the first smallest below DBL_MAX (measuring
//     more neurons than the survivors changes nothing: the others can
//     neither win nor tie). T grows with m, so a threshold taken from any
//     score at or above the smallest (the smallest seen so far, say) keeps
//     a superset of the final survivors, and a last pass with the final m
//     trims it.
//
// (5) Computing the bounds. E, eps, H and T are evaluated in double; every
//     quantity is non-negative and comes from a few correctly rounded
//     operations, each within a factor 1 +- 2^-53, so multiplying by
//     1 + 2^-40 (up()) after each short sequence makes it an upper bound;
//     the one difference with cancellation (T = G - X) gets 2^-40 (G + X)
//     added, and T is rounded up to float before the comparison.
//
//
// THE INTEGER VARIANT (AVX-512 VNNI). With the row quantized as
// q_k = round((x_k - c_k) s 2^e) (e per row, |q_k| <= 2^pair_bits) and the
// neurons as in FilterGrid, x~ = q 2^-e and w~ = q_w 2^-pair_exponent, the
// kernel computes the dot product q.q_w exactly in 32-bit integers (every
// partial sum stays below 2^30), and the score
// a = fma(float(q.q_w), -2^(1 - e - pair_exponent), norm) with norm =
// float(|w~|^2): two float roundings and one of the conversion (or, without
// the fused operation, a product by a power of two, exact but among the
// float subnormals, where it errs by at most 2^-150, which the 2^-148 below
// covers as well), so with s = |w~|^2 - 2 x~.w~ (exactly)
//     |a - s| <= 2^-22 (|w~|^2 + 2 |x~| |w~|) + 2^-148,
// and X = |x~|^2 is exact (a sum of squared integers, scaled by a power of
// two). Rounding to integers moves the row by |x~ - (x - c) s|, computed
// for each row, and every ordinary neuron by at most FilterGrid's
// pair_error, computed for the map; their sum, widened for the double
// rounding of (x - c) s and of those sums, is eps. The rest of the
// analysis, (1), (4) and (5), is the same.
//
// Outside this analysis (a NaN or infinite component, one more than 2^50
// spreads from the centre, more than 4096 inputs) a row is searched exactly
// over every neuron; a neuron outside it is "special" and measured exactly
// for every row.
//
// Every function here has internal linkage and calls no inline function of
// the standard library (std::min, std::isnan, ...), whose copies would be
// weak symbols: each kernel set is compiled for its own instruction-set
// level, and a shared copy built for one level must never serve another.
#ifndef SOM_ENGINE_BOUNDS_RECOGNITION_FILTER_H
#define SOM_ENGINE_BOUNDS_RECOGNITION_FILTER_H

#include <cfloat>
#include <cmath>
#include <cstddef>

namespace som_engine {
namespace recognition_filter {

// The largest input dimension the analysis is written for.
constexpr size_t kMostInputs = 4096;
// How far from the centre, in scaled units, a component may lie: the float
// image holds it, and no sum of the bounds overflows.
constexpr double kRange = 0x1p50;

// A row's share of the bound: X, E and eps of the analysis (in scaled
// units).
struct RowBound {
    double x2, error, shift;
};

namespace {

// An upper bound on a non-negative value computed in a few correctly
// rounded operations, (5).
inline double up(double v) { return v * (1.0 + 0x1p-40); }

// Whether a component, centred and scaled, lies within the analysis (false
// for NaN and infinity).
inline bool in_range(double scaled) { return std::fabs(scaled) <= kRange; }

// tau, the plain distance's underflow allowance (n + 1) 2^-1073, in the
// units of a map scaled by 2^-exponent, and never below (n + 1) 2^-1000, a
// normal number: (1) and (2).
inline double underflow_allowance(size_t n, int exponent) {
    return std::ldexp(static_cast<double>(n) + 1.0, std::max(-1073 - 2 * exponent, -1000));
}

// An upper bound on a length from its square computed exactly or nearly so
// (B of the ordinary neurons, and how far quantizing moved one).
inline double length_bound(double squared) { return std::sqrt(squared) * (1.0 + 0x1p-40); }

// The integer image's bits per component for n inputs: |q| <= 2^bits keeps
// every sum of n products below 2^30, so that the 32-bit dot products are
// exact.
inline int pair_bits_for(size_t n) {
    int log_n = 0;
    while ((size_t{1} << log_n) < n) ++log_n;
    return (30 - log_n) / 2 < 14 ? (30 - log_n) / 2 : 14;
}

// The bound of a row converted to floats, X = x2 (the double sum of the
// exact squares of its floats), for a map whose ordinary neurons have
// |wf| <= norm_bound: (2) and (3).
inline RowBound float_row_bound(double x2, size_t n, double norm_bound) {
    const double nd = static_cast<double>(n), b = norm_bound;
    const double nx = up(std::sqrt(x2));
    const double g = (2.0 * nd + 3.0) * 0x1p-24;
    const double gamma = up(g / (1.0 - g));
    RowBound bound;
    bound.x2 = x2;
    bound.error = up(gamma * (b * (b + 2.0 * nx)) + ((2.0 * nd + 1.0) * 0x1p-149 + (2.0 * nd + 2.0) * 0x1p-53 * x2));
    bound.shift = up(0x1p-23 * (nx + b) + 2.0 * nd * 0x1p-149);
    return bound;
}

// The bound of a row quantized to integers, X = x2 (exact), that quantizing
// moved by sqrt(moved), for a map whose ordinary neurons have
// |q 2^-pair_exponent| <= norm_bound and moved by at most pair_error: the
// integer variant.
inline RowBound integer_row_bound(double x2, double moved, double norm_bound, double pair_error) {
    const double b = norm_bound;
    const double nx = up(std::sqrt(x2));
    RowBound bound;
    bound.x2 = x2;
    bound.error = up(0x1p-22 * (b * (b + 2.0 * nx)) + 0x1p-148);
    bound.shift = up(up(std::sqrt(moved)) + pair_error + 0x1p-50 * (nx + b));
    return bound;
}

// The smallest float not below t (FLT_MAX at most).
inline float float_at_least(double t) {
    // Finite scores never exceed FLT_MAX; +inf marks padding and special
    // lanes, which must never pass.
    if (!(t < static_cast<double>(FLT_MAX))) return FLT_MAX;
    float f = static_cast<float>(t);
    if (static_cast<double>(f) < t) f = ::nextafterf(f, INFINITY);
    return f;
}

// T of the analysis for the smallest score m, as a float: neurons whose
// scores lie above it can neither win nor tie, (4) and (5). Not declared
// inline: the filter calls it rarely, from three places, and its loops are
// tighter with one copy of it beside them.
[[maybe_unused]] float threshold(const RowBound &bound, float m, size_t n, double tau) {
    const double nd = static_cast<double>(n);
    const double rho_hi = 1.0 + (nd + 3.0) * 0x1p-52, rho_lo = 1.0 - (nd + 3.0) * 0x1p-52;
    const double md = m;
    double v = (bound.x2 + md) + bound.error;
    v = up((v > 0.0 ? v : 0.0) + 0x1p-40 * ((bound.x2 + std::fabs(md)) + bound.error));
    const double s = up(std::sqrt(v) + bound.shift);
    const double h = up(s * s * rho_hi + tau);
    const double q = up(std::sqrt(up((h + tau) / rho_lo)) + bound.shift);
    const double g = up(q * q + bound.error);
    return float_at_least((g - bound.x2) + 0x1p-40 * (g + bound.x2));
}

}  // namespace

}  // namespace recognition_filter
}  // namespace som_engine

#endif
