// Library-internal entry points shared between the network and map files.
#ifndef SOM_NETWORK_INTERNAL_H
#define SOM_NETWORK_INTERNAL_H

#include "som.h"

extern "C" {
// Builds and wires a network without seeding the generator. With weights null
// every synapse draws a random weight; otherwise weights holds x*y*n values in
// map-file order ((i*y + j)*n + k) and each is stored exactly.
som_network *som_network_build(size_t n, size_t x, size_t y, const double *weights);
}

// The vectorised, threaded most-distant-pair search of the initialisation,
// reporting the pairs compared to `progress` when it is not null; false when
// it could not allocate its scratch space.
bool som_engine_farthest_pair(double **rows, size_t row_count, size_t n, size_t *first,
                              size_t *second, som_progress progress, void *context);

#endif
