/*
 * somap: self-organizing maps (Kohonen maps).
 *
 * The map network, its data-driven initialisation, its training and its map
 * files, behind plain C records and free functions so that C programs can use
 * the library as well as C++ ones. Nothing here prints or exits: failures are
 * reported by a null or non-zero result.
 *
 * Grid coordinates (i, j): i indexes the first dimension (neurons_count_x),
 * j the second (neurons_count_y). Row-major order (i outer, j inner) is used
 * everywhere: wiring, winner search, training and the map file.
 */
#ifndef SOM_SOM_H
#define SOM_SOM_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Length of each series table in som_network; entries 0..998+1 are computed,
 * the last one is never written. */
#define SOM_SERIES_LENGTH 1001

typedef struct som_synapse som_synapse;

/* An input or output neuron. `synapses` lists every synapse with this neuron
 * at either end, in the order they were added; the array is owned by the
 * neuron, the synapses are not. */
typedef struct som_neuron {
    double input;
    som_synapse **synapses;
    size_t synapses_count;
} som_neuron;

struct som_synapse {
    som_neuron *neuron_in;
    som_neuron *neuron_out;
    double weight;
};

typedef struct som_input_layer {
    som_neuron **neurons;
    size_t neurons_count;
} som_input_layer;

/* neurons[i][j] is the output neuron at grid coordinates (i, j). */
typedef struct som_output_layer {
    som_neuron ***neurons;
    size_t neurons_count_x;
    size_t neurons_count_y;
} som_output_layer;

/* The map. Synapse k of every output neuron joins input neuron k; an output
 * neuron's weight vector is the weights of its synapses in list order.
 * time_constant 0.0 means "not computed yet". */
typedef struct som_network {
    som_input_layer *input_layer;
    som_output_layer *output_layer;
    double time_constant;
    time_t saved_at;
    double series_alpha[SOM_SERIES_LENGTH];
    double series_mu[SOM_SERIES_LENGTH];
} som_network;

/* ---- Network model ---------------------------------------------------- */

/* Seeds rand() from time(NULL) (also when creation then fails) and builds a
 * fully wired network of n inputs and an x by y grid with random weights.
 * Returns null when an allocation fails or when the network would not fit in
 * the machine's physical memory. x or y may be 0 (an empty grid), n may be 0.
 * The caller owns the result; free it with som_network_destroy. */
som_network *som_network_new(size_t n, size_t x, size_t y);

/* A layer of n unconnected, zero-filled neurons, or null. */
som_input_layer *som_input_layer_new(size_t n);

/* An x by y grid of unconnected, zero-filled neurons, or null. */
som_output_layer *som_output_layer_new(size_t x, size_t y);

/* Joins `in` to `out` and appends the synapse to both lists. A weight equal
 * to 0.0 (either sign) asks for a random one, rand() / 4294967295.0; any
 * other value, NaN included, is stored as given. Null on failure, in which
 * case both lists are unchanged. */
som_synapse *som_synapse_new(som_neuron *in, som_neuron *out, double weight);

/* Frees the network and everything it owns. Accepts NULL. */
void som_network_destroy(som_network *network);

/* The two steps of som_network_destroy; each leaves its layer pointer null. */
void som_input_layer_destroy(som_network *network);
void som_output_layer_destroy(som_network *network);

/* Copies the first n values of `values` into the input neurons. */
void som_set_inputs(som_network *network, const double *values);

/* Finds the output neuron nearest (squared Euclidean distance) to the
 * presented inputs. Writes *i and *j only when a neuron is chosen: the first
 * in row-major order among those with the smallest distance, NaN, infinity
 * and DBL_MAX never winning. Returns the winner's squared distance, 0.0 for
 * an empty grid and DBL_MAX when the grid is not empty but nothing wins. */
double som_find_winner(const som_network *network, size_t *i, size_t *j);

/* Bytes of memory a network of n inputs and an x by y grid needs, allocator
 * overhead included. Returns 0 and leaves *bytes alone when the figure does
 * not fit in size_t. */
int som_network_memory(size_t n, size_t x, size_t y, size_t *bytes);

/* ---- Training ---------------------------------------------------------- */

/* Told of the progress of a long call: `done` of `total` units of work, with
 * done rising from 0 to total. Called on the calling thread, often (after each
 * vector in training), so it should return quickly. */
typedef void (*som_progress)(void *context, size_t done, size_t total);

/* Overwrites every weight with a blend of four input vectors chosen by
 * city-block distance: the most distant pair and the two rows nearest to
 * their centres. rows holds row_count pointers to at least n doubles each.
 * Does nothing when row_count is 0, the grid is empty or n is 0. */
void som_init_weights(som_network *network, double **rows, size_t row_count);

/* som_init_weights, telling `progress` (when not null) how many of the
 * row_count * (row_count - 1) / 2 pairs of rows the search for the most
 * distant pair has compared. Same result. */
void som_init_weights_observed(som_network *network, double **rows, size_t row_count,
                               som_progress progress, void *context);

/* The same placement computed literally, one pair at a time: the reference
 * som_init_weights is tested against. Same result to the bit. */
void som_init_weights_plain(som_network *network, double **rows, size_t row_count);

/* Computes the learning-rate time constant from the truncated branch-point
 * series of Lambert's W and caches it, with the series tables, in the
 * network; does nothing when time_constant is already non-zero. */
void som_time_constant(som_network *network);

/* The learning rate of iteration t (from 1): (u * 0.8) * exp(1.0 - u) with
 * u = t / time_constant. */
double som_learning_rate(size_t t, double time_constant);

/* The neighbourhood factor 1 / (d^4 + 1) for the difference d between the
 * winner's index sum (i + j) and a neuron's, d^4 taken with pow. */
double som_neighbourhood(long long index_sum_difference);

/* Trains vector by vector, each for up to `iterations` iterations with the
 * learning rate restarting at t = 1, stopping early on a vector once some
 * neuron matches it exactly. Always computes the time constant first.
 * rows as for som_init_weights; row_count and iterations may be 0. */
void som_train(som_network *network, double **rows, size_t row_count,
               size_t iterations);

/* som_train, telling `progress` (when not null) how many of the row_count
 * vectors have been trained. Same result. */
void som_train_observed(som_network *network, double **rows, size_t row_count,
                        size_t iterations, som_progress progress, void *context);

/* The same training written literally (three passes over the grid per
 * iteration): the reference som_train is tested against. Same result to the
 * bit. */
void som_train_plain(som_network *network, double **rows, size_t row_count,
                     size_t iterations);

/* ---- Recognition and engine choice ------------------------------------- */

/* The winner of every row, as som_set_inputs then som_find_winner with both
 * indices preset to 0 would give it, into winners_i[r] and winners_j[r].
 * Leaves the inputs holding the last row. Rows hold at least n values. */
void som_find_winners(som_network *network, double **rows, size_t row_count,
                      size_t *winners_i, size_t *winners_j);

/* Chooses the kernels of the fast paths: "generic", "avx2", "avx512", or
 * "auto" (or NULL) for the widest the CPU supports, which is the default.
 * Returns 0, or -1 when the CPU lacks the named one. Results never depend on
 * the choice. */
int som_engine_select(const char *name);

/* The name of the kernels in use. */
const char *som_engine_name(void);

/* ---- Map files --------------------------------------------------------- */

/* Size in bytes of the fixed header of a map file. */
#define SOM_MAP_HEADER_BYTES 40

/* Writes the network to `path` and sets its saved_at. An existing file at the
 * path is replaced only once the new map is complete on disk (a symbolic link
 * is followed and kept), so a failed save never damages it. Returns 0 on
 * success, -1 on any failure (errno tells why). */
int som_save(som_network *network, const char *path);

/* Reads a map file. Returns null when the file cannot be read, ends before
 * the weights its header declares, has a NaN, infinite or negative time
 * constant, or declares a network too large to hold. Weights, zeros included,
 * are restored bit for bit. The caller owns the result. */
som_network *som_load(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* SOM_SOM_H */
