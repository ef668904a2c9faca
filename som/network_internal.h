// Library-internal entry points shared between the network, the engine and
// the map files.
#ifndef SOM_NETWORK_INTERNAL_H
#define SOM_NETWORK_INTERNAL_H

#include "fp_environment.h"
#include "som.h"

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

// What the public calls of the same names compute, for the library's own
// use: the caller has put the default floating-point environment in force
// already (fp_environment.h), once for the whole call.
namespace som_internal {
double find_winner(const som_network *network, size_t *i, size_t *j);
void time_constant(som_network *network);
double learning_rate(size_t t, double time_constant);
double neighbourhood(long long index_sum_difference);
}  // namespace som_internal

// The literal training loop, reporting each vector to the observer when it
// has a callback and stopping when that asks; som_train_plain without one.
// Needs a network that passes som_network_check.
int som_train_plain_observed(som_network *network, double **rows, size_t row_count, size_t iterations,
                             const som_internal::Observer &observer);

// The vectorised, threaded most-distant-pair search of the initialisation,
// reporting the pairs compared to the observer. SOM_OK, SOM_ERROR_MEMORY
// when it could not allocate its scratch space, or SOM_ERROR_CANCELLED.
int som_engine_farthest_pair(double **rows, size_t row_count, size_t n, size_t *first, size_t *second,
                             const som_internal::Observer &observer);

#endif
