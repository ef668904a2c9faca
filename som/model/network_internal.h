// The network's internal entry points, for the rest of the library: building
// a network from weights, the memory test, and the literal winner search.
#ifndef SOM_NETWORK_INTERNAL_H
#define SOM_NETWORK_INTERNAL_H

#include "som/base/fp_environment.h"
#include "som/som.h"

extern "C" {
// Builds and wires a network without seeding the generator. With weights null
// every synapse draws a random weight; otherwise weights holds x*y*n values in
// map-file order ((i*y + j)*n + k) and each is stored exactly.
som_network *som_network_build(size_t n, size_t x, size_t y, const double *weights);

// Whether a network of n inputs and an x by y grid, with `extra` bytes
// beside it, fits in the machine's physical memory: the test that creation
// makes, and that loading makes before it reads a weight.
bool som_network_fits(size_t n, size_t x, size_t y, size_t extra);
}

// Whether `rows` holds `count` row pointers that can be read for the
// network's n values: none may be null unless n is 0 (an empty row may well
// have no storage).
inline bool som_rows_present(const som_network *network, const double *const *rows, size_t count) {
    if (count == 0) return true;
    if (rows == nullptr) return false;
    if (network->input_layer->neurons_count == 0) return true;
    for (size_t r = 0; r < count; ++r)
        if (rows[r] == nullptr) return false;
    return true;
}

// som_find_winner for a row given directly instead of through the inputs:
// the same search, reading the network only.
void som_find_winner_of_row(const som_network *network, const double *row, size_t *i, size_t *j);

namespace som_internal {
// som_find_winner for the library's own use, the default floating-point
// environment already in force (fp_environment.h).
double find_winner(const som_network *network, size_t *i, size_t *j);
}  // namespace som_internal

#endif
