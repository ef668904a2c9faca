// The literal layer: training and placement written as the algorithm reads,
// one operation at a time in its order. It is the reference every fast path
// is tested against, and what the library falls back to where a fast path
// cannot have its memory. Internal to the library.
#ifndef SOM_LITERAL_LITERAL_H
#define SOM_LITERAL_LITERAL_H

#include <cstddef>

#include "som/base/fp_environment.h"
#include "som/som.h"

namespace som_internal {

// What the public calls of the same names compute, for the library's own
// use: the caller has put the default floating-point environment in force
// already (fp_environment.h), once for the whole call.
void time_constant(som_network *network);
double learning_rate(size_t t, double time_constant);
double neighbourhood(long long index_sum_difference);

// A most-distant-pair search standing in for the literal one: the same
// pair, the first in (i, j) order at the greatest distance, reporting the
// pairs compared to the observer. SOM_OK, SOM_ERROR_CANCELLED, or
// SOM_ERROR_MEMORY when it could not have its scratch space (the literal
// search, which needs none, then runs instead). `settings` is handed to
// the search as given.
struct PairSearch {
    int (*search)(const void *settings, double **rows, size_t row_count, size_t n, size_t *first, size_t *second,
                  const Observer &observer) = nullptr;
    const void *settings = nullptr;
};

// The placement of the initial weights, its pair search done by
// `fast_search` (without a search: the literal one). Checks its arguments
// as som_init_weights does.
int place_weights(som_network *network, double **rows, size_t row_count, const PairSearch &fast_search,
                  const Observer &observer);

}  // namespace som_internal

// The literal training loop, reporting each vector to the observer when it
// has a callback and stopping when that asks; som_train_plain without one.
// Needs a network that passes som_network_check.
int som_train_plain_observed(som_network *network, double **rows, size_t row_count, size_t iterations,
                             const som_internal::Observer &observer);

#endif
