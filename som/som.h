/*
 * somap: self-organizing maps (Kohonen maps).
 *
 * The map network, its data-driven initialisation, its training and its map
 * files, behind plain C records and free functions so that C programs can use
 * the library as well as C++ ones. Nothing here prints or exits, and no C++
 * exception ever leaves a function of this header: failures come back as a
 * null result or a status (SOM_OK or a negative SOM_ERROR_* value, named by
 * som_status_string).
 *
 * Grid coordinates (i, j): i indexes the first dimension (neurons_count_x),
 * j the second (neurons_count_y). Row-major order (i outer, j inner) is used
 * everywhere: wiring, winner search, training and the map file.
 *
 * Threads. The library's process-wide state is two settings (the kernel
 * choice and the thread cap), both atomic, and the C library's random
 * generator, which som_network_new seeds (srand) and draws from (rand), as
 * som_synapse_new draws from it for a weight of 0.0: it is the caller's
 * generator too, and creations on several threads at once interleave their
 * draws. Results other than random weights depend on none
 * of it, so calls on different networks may run at the same time on
 * different threads. A network is not locked: calls that change it (training,
 * placement, som_set_inputs, som_find_winners, loading weights into it) need
 * it to themselves (som_save too: it sets saved_at), while any number of
 * threads may call the read-only searches (som_find_winner,
 * som_find_winners_readonly) and som_get_weights on one network that nobody
 * changes meanwhile. som_train*,
 * som_init_weights* and som_find_winners* may start helper threads for the
 * length of the call, at most som_max_threads() - 1 of them (and fewer than
 * the machine's hardware threads), and join them before they return; no
 * other call starts a thread.
 *
 * The floating-point environment. Every call that computes (placement,
 * training, both searches, the time constant, learning rate and
 * neighbourhood factor, random weights, the loader's check of the time
 * constant) computes in the default environment, round to nearest without
 * flush-to-zero or denormals-are-zero and with every exception masked,
 * whatever the calling thread's, on that thread and on every thread it
 * starts, so that results depend on the input alone. It gives the caller's
 * environment back on every return, cancelled and failed ones included:
 * rounding mode, flush-to-zero, denormals-are-zero, exception masks and the
 * sticky exception flags exactly as they were, none raised by the
 * library's own arithmetic. A progress callback runs in the caller's
 * environment; what it changes there stays.
 */
#ifndef SOM_SOM_H
#define SOM_SOM_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

/* The library's version; som_version() gives the one actually linked. */
#define SOM_VERSION_MAJOR 0
#define SOM_VERSION_MINOR 2
#define SOM_VERSION_PATCH 0
#define SOM_VERSION_STRING "0.2.0"

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

/* ---- Version and status ------------------------------------------------ */

/* "MAJOR.MINOR.PATCH" of the library linked in. */
const char *som_version(void);

/* Results of the calls that can fail. SOM_ERROR_SYSTEM is -1, the value
 * som_save has always returned on failure; errno then says which system call
 * failed and why. */
enum som_status {
    SOM_OK = 0,
    SOM_ERROR_SYSTEM = -1,    /* a system call failed: errno tells why */
    SOM_ERROR_MEMORY = -2,    /* out of memory */
    SOM_ERROR_CANCELLED = -3, /* the progress callback asked the call to stop
                                 (returning non-zero, or throwing) */
    SOM_ERROR_FORMAT = -4,    /* not a map file: cut short, or a time constant
                                 training cannot use */
    SOM_ERROR_TOO_LARGE = -5, /* sizes beyond what the machine, or the file
                                 that declares them, can hold */
    SOM_ERROR_INVALID = -6    /* a null or empty argument, or a network not
                                 wired as som_network_new wires it */
};

/* A short English phrase for a status ("out of memory"); never null. Any
 * other value gives "unknown status". */
const char *som_status_string(int status);

/* ---- Threads and kernels ------------------------------------------------ */

/* Caps the threads one call may use, the calling thread included; 0 restores
 * the default, one per hardware thread. A call never uses more threads than
 * the machine has hardware threads, whatever the cap. Process-wide, atomic,
 * and read at the start of each call. Results never depend on it. */
void som_set_max_threads(unsigned threads);

/* The cap in force: at least 1. */
unsigned som_max_threads(void);

/* Chooses the kernels of the fast paths: "generic", "avx2", "avx512", or
 * "auto" (or NULL) for the widest the CPU supports, which is the default.
 * Returns 0, or -1 when the CPU lacks the named one. Process-wide and atomic:
 * a call already running keeps the kernels it started with. Results never
 * depend on the choice. */
int som_engine_select(const char *name);

/* The name of the kernels in use. */
const char *som_engine_name(void);

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

/* SOM_OK when the network is wired as som_network_new and som_load wire it:
 * both layers present, and every output neuron with exactly n synapses, its
 * synapse k joining input neuron k to it. SOM_ERROR_INVALID otherwise (or for
 * NULL). Every call below that returns a status checks this first, and that
 * its row and result pointers are not null, and changes nothing when a check
 * fails. The literal calls that return no status (som_set_inputs,
 * som_find_winner, som_time_constant) check only for null pointers, which
 * they ignore. */
int som_network_check(const som_network *network);

/* Copies the first n values of `values` into the input neurons. */
void som_set_inputs(som_network *network, const double *values);

/* Finds the output neuron nearest (squared Euclidean distance) to the
 * presented inputs. Writes *i and *j only when a neuron is chosen: the first
 * in row-major order among those with the smallest distance, NaN, infinity
 * and DBL_MAX never winning. Returns the winner's squared distance, 0.0 for
 * an empty grid and DBL_MAX when the grid is not empty but nothing wins.
 * Reads the network only. */
double som_find_winner(const som_network *network, size_t *i, size_t *j);

/* Bytes of memory a network of n inputs and an x by y grid needs, allocator
 * overhead included. Returns 0 and leaves *bytes alone when the figure does
 * not fit in size_t. */
int som_network_memory(size_t n, size_t x, size_t y, size_t *bytes);

/* ---- Flat access to the weights ---------------------------------------- */

/* The input dimension n and the grid size x by y; any pointer may be NULL.
 * SOM_ERROR_INVALID (nothing written) for a network som_network_check
 * refuses. */
int som_network_shape(const som_network *network, size_t *n, size_t *x, size_t *y);

/* Copies every weight into `weights` (which may be NULL when there is none),
 * x * y * n doubles in map-file order:
 * weight k of neuron (i, j) at (i * y + j) * n + k. */
int som_get_weights(const som_network *network, double *weights);

/* Sets every weight from `weights`, in the same order; each value is stored
 * exactly, zeros included. */
int som_set_weights(som_network *network, const double *weights);

/* ---- Training ---------------------------------------------------------- */

/* Told of the progress of a long call: `done` of `total` units of work.
 * Called on the calling thread (unless the call has nothing to do), first
 * with done = 0, then with done never falling, and last with done = total
 * unless the call stopped before; it may be called often, so it should
 * return quickly. It runs in the
 * caller's floating-point environment, and what it changes there stays the
 * caller's. Returning non-zero asks the call to stop at that point; it then
 * returns SOM_ERROR_CANCELLED. A C++ exception thrown by the callback asks
 * the same: it is caught inside the library and goes no further (a C++
 * caller that needs it keeps std::current_exception() in its context and
 * returns non-zero instead). */
typedef int (*som_progress)(void *context, size_t done, size_t total);

/* Overwrites every weight with a blend of four input vectors chosen by
 * city-block distance: the most distant pair and the two rows nearest to
 * their centres. rows holds row_count pointers to at least n doubles each.
 * Does nothing (SOM_OK) when row_count is 0, the grid is empty or n is 0.
 * On any failure (SOM_ERROR_MEMORY, SOM_ERROR_INVALID) no weight has
 * changed. */
int som_init_weights(som_network *network, double **rows, size_t row_count);

/* som_init_weights, telling `progress` (when not null) how many of the
 * row_count * (row_count - 1) / 2 pairs of rows the search for the most
 * distant pair has compared, after each of its slices; not at all where
 * there is nothing to place (no rows, an empty grid, no inputs). Same
 * result. While the callback runs no weight has changed yet; when it asks
 * to stop, returns SOM_ERROR_CANCELLED with no weight changed. */
int som_init_weights_observed(som_network *network, double **rows, size_t row_count,
                              som_progress progress, void *context);

/* The same placement computed literally, one pair at a time: the reference
 * som_init_weights is tested against. Same result to the bit. */
int som_init_weights_plain(som_network *network, double **rows, size_t row_count);

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
 * neuron matches it exactly. Always computes the time constant first (unless
 * the network fails som_network_check). rows as for som_init_weights;
 * row_count and iterations may be 0. Afterwards the inputs hold the last
 * row. Never runs out of memory: without room for its fast path it trains
 * the plain way, to the same result. */
int som_train(som_network *network, double **rows, size_t row_count, size_t iterations);

/* som_train, telling `progress` (when not null) how many of the row_count
 * vectors have been trained. Same result. Whenever the callback runs, the
 * network is exactly what som_train on the first `done` rows leaves (its
 * inputs untouched when done is 0), so that the callback may read, search,
 * draw or save it; it must not change it. Reports come after every vector
 * where that costs nothing measurable. On large grids the records must
 * first be brought up to date from the packed copy training works on,
 * which can take longer than training a vector, so a report comes only
 * once 250 times that copy's time has gone by since the last one, and at
 * least once a second (checked after each vector). With iterations 0 the
 * callback is not called; with no rows, once, with (0, 0). When it asks to
 * stop after `done` vectors, returns SOM_ERROR_CANCELLED with the network
 * in that state. */
int som_train_observed(som_network *network, double **rows, size_t row_count, size_t iterations,
                       som_progress progress, void *context);

/* The same training written literally (three passes over the grid per
 * iteration): the reference som_train is tested against. Same result to the
 * bit. */
int som_train_plain(som_network *network, double **rows, size_t row_count, size_t iterations);

/* ---- Recognition ------------------------------------------------------- */

/* The winner of every row, as som_set_inputs then som_find_winner with both
 * indices preset to 0 would give it, into winners_i[r] and winners_j[r].
 * Reads the network only, so several threads may search one network at
 * once. Rows hold at least n values. */
int som_find_winners_readonly(const som_network *network, const double *const *rows,
                              size_t row_count, size_t *winners_i, size_t *winners_j);

/* som_find_winners_readonly, then leaves the inputs holding the last row, as
 * presenting every row in turn would. */
int som_find_winners(som_network *network, double **rows, size_t row_count, size_t *winners_i,
                     size_t *winners_j);

/* ---- Map files --------------------------------------------------------- */

/* Size in bytes of the fixed header of a map file. */
#define SOM_MAP_HEADER_BYTES 40

/* Writes the network to `path` and sets its saved_at. Nothing is written
 * where the system would refuse this process an ordinary open of `path` for
 * writing (O_WRONLY | O_CREAT, as a shell's >> makes it): that open comes
 * first, with the system's link and sticky-directory protections, and its
 * refusal is the save's (SOM_ERROR_SYSTEM, errno EACCES say). A regular
 * file at the path (or none) is replaced only once the new map is complete
 * on disk, with the old file's mode (and, where the process may, its owner
 * and group); a symbolic link is followed and kept, while a hard link to the
 * old map keeps the old map. The replacement needs a directory that lets the
 * file be replaced. A path naming one of the process's own descriptors
 * (/dev/stdout, /dev/fd/N) is written to that descriptor at its offset;
 * anything else that exists there (a device, a FIFO) is written in place. A
 * failed save leaves any old map untouched, no temporary file behind
 * (every signal whose default action ends the process, but the faults a
 * process raises on itself, is held for the rename on the calling thread)
 * and saved_at as it was; a file-size limit or a vanished reader is a failure like any other
 * (SIGXFSZ and SIGPIPE are held for the call and never kill the caller).
 * Returns SOM_OK, SOM_ERROR_SYSTEM (-1; errno tells why), SOM_ERROR_MEMORY
 * or SOM_ERROR_INVALID. */
int som_save(som_network *network, const char *path);

/* Reads a map file. Returns null when the file cannot be read, ends before
 * the weights its header declares, has a time constant that training cannot
 * use (NaN, infinite, negative, or so small that t / T overflows for some
 * iteration count the training calls accept, t up to 2^64 - 1: below
 * 1.0261342003245943e-289), or declares a network too large to hold: more
 * than its file justifies, or more than fits in physical memory beside the
 * buffer its weights are read into (decided from the header, before a
 * weight is read). Weights, zeros included, are restored bit for bit. The
 * caller owns the result. */
som_network *som_load(const char *path);

/* som_load, storing in *status (when not null) SOM_OK or why it failed:
 * SOM_ERROR_SYSTEM (errno tells why: ENOENT, EISDIR, EACCES...),
 * SOM_ERROR_FORMAT, SOM_ERROR_TOO_LARGE, SOM_ERROR_MEMORY or
 * SOM_ERROR_INVALID. The file is opened once. */
som_network *som_load_status(const char *path, int *status);

/* The same from an open descriptor, read from its current position to the
 * end of the map (what follows is not read); the descriptor stays open. */
som_network *som_load_fd(int fd, int *status);

/* ---- What a trained map says about itself and about a data set ----
 *
 * The quality figures (quantization and topographic error), the U-matrix,
 * component planes and hit counts of a network built above, the figures
 * somap-render prints and draws and the Python module returns. Every call
 * only reads the network, so any number of threads may analyse one network
 * that nobody changes; none starts a thread of its own except through the
 * winner search (som_find_winners_readonly), which may.
 *
 * Like every other call that computes, these compute in the default
 * floating-point environment whatever the calling thread's and give the
 * caller's environment back on every return, sticky flags included, so the
 * figures depend on the network and the data alone. Each returns SOM_OK or
 * a negative SOM_ERROR_* status (som_status_string names it) and writes
 * nothing on failure: SOM_ERROR_INVALID for a network som_network_check
 * refuses or a null pointer where something is to be read or written,
 * SOM_ERROR_MEMORY when a working copy of the weights does not fit.
 */

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

#endif /* SOM_SOM_H */
