// Map quality figures: how closely a map's neurons fit a data set, and how
// well the map keeps the data's neighbourhoods.
#ifndef SOMAP_RENDER_QUALITY_H
#define SOMAP_RENDER_QUALITY_H

#include <cstddef>

#include "grid.h"
#include "som/som.h"

namespace somap::render {

struct Quality {
    size_t vectors = 0;
    // Mean over the vectors of the Euclidean distance to the best-matching
    // unit's weights, summed in data order.
    double quantization_error = 0.0;
    // Vectors whose best and second-best matching units are not
    // 4-neighbours (|di| + |dj| = 1), and their fraction of all vectors.
    size_t topographic_errors = 0;
    double topographic_error = 0.0;
};

// The best-matching unit is exactly the winner somap reports: the network's
// own winner search (som_find_winners), so the first neuron in row-major
// order among equally near ones, and (0, 0) when no distance can win.
//
// The second-best unit is searched the same way among all other neurons:
// squared distances summed over k in order, compared strictly against the
// largest finite double, so ties go to the first in row-major order and a
// NaN, infinite or DBL_MAX distance never takes the place. A vector with no
// second-best unit (a one-neuron map, say) is not a topographic error.
//
// `grid` holds the network's weights (copy_grid); rows holds count pointers
// to at least grid.dims values each. count may be 0, giving all zeros.
// Returns the status of the winner search (SOM_OK, or why it failed, with
// `quality` then unset).
// Computed in the default floating-point environment, whatever the calling
// thread's, which it gets back (som/base/fp_environment.h).
int measure_quality(som_network &network, const Grid &grid, double *const *rows, size_t count,
                    Quality &quality);

}  // namespace somap::render

#endif
