/*
 * somap: what a trained map says about itself and about a data set.
 *
 * The quality figures (quantization and topographic error), the U-matrix,
 * component planes and hit counts of a network built by som.h, the figures
 * somap-render prints and draws and the Python module returns. Every call
 * only reads the network, so any number of threads may analyse one network
 * that nobody changes; none starts a thread of its own except through the
 * winner search (som_find_winners_readonly), which may.
 *
 * Like every call of som.h that computes, these compute in the default
 * floating-point environment whatever the calling thread's and give the
 * caller's environment back on every return, sticky flags included, so the
 * figures depend on the network and the data alone. Each returns SOM_OK or
 * a negative SOM_ERROR_* status (som_status_string names it) and writes
 * nothing on failure: SOM_ERROR_INVALID for a network som_network_check
 * refuses or a null pointer where something is to be read or written,
 * SOM_ERROR_MEMORY when a working copy of the weights does not fit.
 */
#ifndef SOM_SOM_ANALYSIS_H
#define SOM_SOM_ANALYSIS_H

#include <stddef.h>

#include "som.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How closely a map fits a data set. */
typedef struct som_quality {
    size_t vectors;            /* the rows measured */
    double quantization_error; /* mean, in row order, of the Euclidean
                                  distance from each row to its winner's
                                  weights */
    size_t topographic_errors; /* rows whose best and second-best units are
                                  not 4-neighbours (|di| + |dj| = 1) */
    double topographic_error;  /* topographic_errors / vectors */
} som_quality;

/* Measures the network on row_count rows of at least n values each. The
 * best unit of a row is its winner as som_find_winners_readonly gives it
 * ((0, 0) when no distance can win); the second-best is searched the same
 * way among all other neurons (the first of the smallest squared distances
 * in row-major order, NaN, infinity and DBL_MAX never taken), and a row
 * without one (a one-neuron map) is no topographic error. row_count 0, or
 * an empty grid, gives vectors = row_count and every figure 0; rows may be
 * NULL when row_count is 0. */
int som_measure_quality(const som_network *network, const double *const *rows, size_t row_count,
                        som_quality *quality);

/* The U-matrix into values[i * y + j] (x * y doubles): the mean, over the
 * up, down, left and right neighbours inside the grid (in that order), of
 * the Euclidean distance between the neuron's weights and the neighbour's;
 * 0.0 for a neuron without neighbours (a 1 by 1 grid). values may be NULL
 * for an empty grid. */
int som_u_matrix(const som_network *network, double *values);

/* Weight k of every neuron into values[i * y + j] (x * y doubles), exactly
 * as stored. SOM_ERROR_INVALID when k is not below n. values may be NULL
 * for an empty grid. */
int som_component_plane(const som_network *network, size_t k, double *values);

/* How many of row_count rows each neuron wins, into hits[i * y + j] (x * y
 * counts, written whole, zeros included), the winners being those of
 * som_find_winners_readonly. hits may be NULL for an empty grid, rows when
 * row_count is 0. */
int som_hit_counts(const som_network *network, const double *const *rows, size_t row_count, size_t *hits);

#ifdef __cplusplus
}
#endif

#endif /* SOM_SOM_ANALYSIS_H */
