// The fast engine: weights packed in blocks of eight neurons, one kernel set
// per instruction-set level, chosen once at run time. Every value the engine
// stores or decides with is computed in the order of operations of the plain
// code: lanes are independent neurons (or rows), each lane accumulates its
// own sum in component order, and no multiply is fused with an add. Fused
// multiply-adds appear in three roles only: a * 1.0 - b, which rounds
// exactly as a - b, for differences that are only compared; p * 1.0 + w,
// which rounds exactly as p + w, for half of the training update's
// additions, where the vector holds no NaN (kernels_train.inc says why the
// bits are the same); and the approximate scores and bounds of the filters,
// which only rule candidates out, with an error bound written beside each,
// before the exact computation decides.
//
// engine.cpp holds what training and the searches share (kernel choice,
// threads, packing); options.h the engine's calls with their options and
// counts; train_sweeps.cpp drives training in sweeps (sweep.h,
// kernels_train.inc); search.cpp the batch winner search with its filter
// (search_internal.h, kernels_filter.inc); farthest_pair.cpp the
// most-distant-pair search of the placement; and bounds/ the three bounds
// that let the fast paths leave work out, each with its derivation.
#ifndef SOM_ENGINE_H
#define SOM_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/som.h"

namespace som_engine {

// Neurons per block. Block b holds neurons 8b .. 8b+7 (row-major order); its
// weights lie at packed[(b * n + k) * kLanes + lane].
constexpr size_t kLanes = 8;

inline size_t block_count(size_t neurons) { return (neurons + kLanes - 1) / kLanes; }

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

struct FilterGrid;
struct FilterCounts;
struct SweepJob;  // sweep.h

struct Kernels {
    const char *name;
    // Distances of x to neurons in blocks [begin, end).
    Nearest (*nearest)(const double *packed, size_t n, size_t begin, size_t end, const double *x);
    // Nearest neuron of every row of rows[0 .. count), into winners.
    void (*nearest_batch)(const double *packed, size_t n, size_t blocks, const double *const *rows,
                          size_t count, size_t *winners);
    // City-block pair search over i in [i_begin, i_end), j > i; the rows are
    // packed in blocks of eight rows like neurons.
    Farthest (*farthest_pair)(const double *packed_rows, size_t n, size_t row_count,
                              const double *const *rows, size_t i_begin, size_t i_end);
    // As nearest_batch, deciding among the neurons a float or integer filter
    // keeps (kernels_filter.inc); what it did goes to *counts when not null.
    void (*nearest_filtered)(const FilterGrid &grid, const double *packed, size_t blocks,
                             const double *const *rows, size_t count, size_t *winners, FilterCounts *counts);
    // Whether nearest_filtered takes the integer image of the map on this CPU.
    bool integer_filter;
    // The job's iterations over blocks [begin, end) but job.skip; out[j]
    // receives the nearest neuron after iteration j's update, and
    // out[job.iterations] the one nearest to job.next_x when that is set.
    void (*sweep)(const SweepJob &job, size_t begin, size_t end, Nearest *out);
};

const Kernels &generic_kernels();
const Kernels &avx2_kernels();
const Kernels &avx512_kernels();
// The scalar twin of every kernel (kernels_scalar.cpp): the reference the
// vector sets are tested against, built everywhere; the engine's calls take
// it only when their options name it.
const Kernels &scalar_kernels();

// The kernels in use: the ones "auto" picks (see som_engine_select) unless
// another choice was made. A call reads this once and keeps what it got.
const Kernels &active();

// How many threads a call with `work` units of arithmetic should use: 1 for
// small calls, else the cap of som_max_threads.
size_t worker_count(size_t work);

// Runs body(part, parts) on `parts` threads, the calling one included.
// Parts are independent, so a thread the system refuses (a process or
// memory limit) only means the calling thread runs that part itself. A
// helper inherits the environment of the thread that starts it, which the
// call has made the default one; it puts the default in force all the same.
template <typename Body>
void run_parallel(size_t parts, Body body) {
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(parts);
        for (size_t p = 1; p < parts; ++p)
            helpers.emplace_back([body, p, parts] {
                som_internal::DefaultFloatingPoint environment;
                body(p, parts);
            });
    } catch (const std::exception &) {
    }
    body(0, parts);
    for (size_t p = 1 + helpers.size(); p < parts; ++p) body(p, parts);
    for (std::thread &helper : helpers) helper.join();
}

// Memory aligned for the widest vectors, freed with std::free; null when
// the size overflows or the allocation fails.
double *allocate_packed(size_t blocks, size_t n);

// Weights of the whole grid in block layout. Padding lanes hold NaN, whose
// distance never wins and is never 0.0.
struct PackedGrid {
    size_t n = 0, neurons = 0, blocks = 0;
    double *weights = nullptr;

    PackedGrid() = default;
    PackedGrid(const PackedGrid &) = delete;
    PackedGrid &operator=(const PackedGrid &) = delete;
    ~PackedGrid();

    // False when there is no memory for it; the network must pass
    // som_network_check.
    bool pack(const som_network *network);
    void unpack(som_network *network) const;
};

}  // namespace som_engine

#endif
