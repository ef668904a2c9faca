// Internals of the filtered recognition: the image of the map that it
// filters with.
#ifndef SOM_SEARCH_INTERNAL_H
#define SOM_SEARCH_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "som/engine/options.h"
#include "som/som.h"

namespace som_engine {

// Neurons per group of the float image: one 512-bit vector of floats, two
// 256-bit ones or four 128-bit ones.
constexpr size_t kFilterLanes = 16;

// The map as the recognition filter sees it. With c the median weight (per
// component), s a power of two that brings the map's spread to order one,
// and wf = float((w - c) s) for every neuron whose components all lie within
// 2^50 / s of the centre ("ordinary" neurons): weights holds -2 * wf at
// [(g * n + k) * kFilterLanes + lane] for neuron g * kFilterLanes + lane, and
// norms the float nearest to |wf|^2 at [g * kFilterLanes + lane]. Every
// other neuron ("special": NaN, infinite or outlying weights) and every
// padding lane has weights 0 and norm +inf, so its score is +inf for any
// row the filter takes; special neurons are listed and always measured
// exactly.
//
// Where the kernels can multiply 16-bit integers (AVX-512 VNNI), the image
// is one of integers instead: q = round((w - c) s 2^pair_exponent), |q| <=
// 2^pair_bits, in pairs of components at
// [((g * ceil(n / 2) + k / 2) * kFilterLanes + lane) * 2 + k % 2], and norms
// holds |q 2^-pair_exponent|^2. Then weights is null.
struct FilterGrid {
    size_t n = 0, neurons = 0;
    size_t groups = 0;  // a multiple of kFilterGroupStep
    float *weights = nullptr;
    float *norms = nullptr;
    int16_t *pairs = nullptr;
    int pair_bits = 0, pair_exponent = 0;
    // An upper bound on |q 2^-pair_exponent - (w - c) s| over the ordinary
    // neurons: how far quantizing moved them.
    double pair_error = 0.0;
    double *centre = nullptr;
    double scale = 1.0;
    // The plain distance's underflow allowance in scaled units.
    double tau = 0.0;
    // A sample of the ordinary neurons spread over the map, in the same
    // image layout (probe_weights or probe_pairs, probe_norms) and groups of
    // their own; no groups when the map is small.
    size_t probe_groups = 0;
    float *probe_weights = nullptr, *probe_norms = nullptr;
    int16_t *probe_pairs = nullptr;
    size_t *probe_index = nullptr;  // the image lane each probe lane copies
    size_t *specials = nullptr;
    size_t special_count = 0;
    // An upper bound on |wf| (Euclidean) over the ordinary neurons, or on
    // |q 2^-pair_exponent| in the integer image.
    double norm_bound = 0.0;

    FilterGrid() = default;
    FilterGrid(const FilterGrid &) = delete;
    FilterGrid &operator=(const FilterGrid &) = delete;
    ~FilterGrid();

    // False when there is no memory for it or the map does not suit the
    // filter (too many special neurons, too many inputs); the weights come
    // in the packed block layout. `integer` asks for the integer image,
    // which the map may still refuse (ordinary neurons far beyond the spread).
    bool build(const double *packed, size_t n, size_t neurons, bool integer);

  private:
    bool build_image(const double *packed, size_t n, size_t neurons, bool integer);
};

// Groups are taken a few at a time by the widest kernel, and scored a chunk
// at a time before each row's threshold is refreshed.
constexpr size_t kFilterGroupStep = 4;
constexpr size_t kFilterChunkGroups = 32;

}  // namespace som_engine

#endif
