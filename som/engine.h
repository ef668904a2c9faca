// The fast engine: weights packed in blocks of eight neurons, one kernel set
// per instruction-set level, chosen once at run time. Every kernel keeps the
// order of operations of the plain code: lanes are independent neurons (or
// rows), each lane accumulates its own sum in component order, and no
// multiply-add is fused.
#ifndef SOM_ENGINE_H
#define SOM_ENGINE_H

#include <cstddef>
#include <cstdint>

namespace som_engine {

// Neurons per block. Block b holds neurons 8b .. 8b+7 (row-major order); its
// weights lie at packed[(b * n + k) * kLanes + lane].
constexpr size_t kLanes = 8;

// Result of a winner search over a range of neurons: the smallest distance
// below DBL_MAX with the first index achieving it (index SIZE_MAX when
// nothing qualified), and whether any distance was exactly 0.0.
struct Nearest {
    double distance;
    size_t index;
    bool any_zero;
};

// Result of a most-distant-pair search: the greatest distance above 0.0 and
// the first pair (in (i, j) order) achieving it; first == SIZE_MAX if none.
struct Farthest {
    double distance;
    size_t first, second;
};

struct Kernels {
    const char *name;
    // Distances of x to neurons in blocks [begin, end).
    Nearest (*nearest)(const double *packed, size_t n, size_t begin, size_t end, const double *x);
    // w <- ((x - w) * f) + w for every neuron in blocks [begin, end), f taken
    // from factor_by_sum[index_sum[neuron]], then the nearest of the updated
    // weights. block_first_sum[b] is the index sum of block b's first neuron
    // when the block's sums run on by one, else -1.
    Nearest (*update_nearest)(double *packed, size_t n, size_t begin, size_t end, const double *x,
                              const double *factor_by_sum, const uint32_t *index_sum,
                              const int64_t *block_first_sum);
    // Nearest neuron of every row of rows[0 .. count), into winners.
    void (*nearest_batch)(const double *packed, size_t n, size_t blocks, double *const *rows,
                          size_t count, size_t *winners);
    // City-block pair search over i in [i_begin, i_end), j > i; the rows are
    // packed in blocks of eight rows like neurons.
    Farthest (*farthest_pair)(const double *packed_rows, size_t n, size_t row_count,
                              double *const *rows, size_t i_begin, size_t i_end);
};

const Kernels &generic_kernels();
const Kernels &avx2_kernels();
const Kernels &avx512_kernels();

// The kernels in use: the ones "auto" picks (see som_engine_select) unless
// another choice was made.
const Kernels &active();

}  // namespace som_engine

#endif
