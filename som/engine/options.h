// How one call of the engine runs, and what it did. The engine's internal
// entry points take these options, which the public calls leave at their
// defaults, and an optional place for the call's counts; tests, the fuzzer
// and the benchmarks pass others (thresholds that send small data through
// the filtered paths, sweeps cut every way, bounds checked as they are used)
// and read the counts of their own calls. So the library keeps no setting
// but the two of som.h, and no tally of its own. Internal to the library.
#ifndef SOM_ENGINE_OPTIONS_H
#define SOM_ENGINE_OPTIONS_H

#include <cstddef>
#include <cstdint>

#include "som/base/fp_environment.h"
#include "som/som.h"

namespace som_engine {

// How training chooses its sweeps (sweep.h). The defaults are the library's;
// the tests choose others to force every kind of sweep and replay.
struct SweepPolicy {
    size_t first = 64;        // iterations in the first sweep of the first
                              // vector; later vectors start with half as
                              // many after an index sum changed, twice as
                              // many (up to `most`) otherwise
    size_t most = 64;         // the most in any sweep; both are taken
                              // within 1 .. kMaxSweep
    bool lead_block = true;   // run the winner's block first to find the stop
    bool in_place = false;    // as without memory for a second copy
    bool skipping = true;     // leave out measurements a bound shows useless
    bool checking = false;    // ... but make and check them all the same
    bool every_report = false;  // report after every vector, however much
                                // keeping the records current costs
};

// Size thresholds of the filtered searches. Below the defaults the filters
// cost more than they save. The recognition filter's cost per row is about
// that of measuring a few hundred neurons exactly, plus its survivors:
// measured on a Zen 4 core (maps trained once on uniform data), it is 2x
// slower than the exact search at 10 x 10 x 8 and 32 x 32 x 8, 1.3x faster
// at 64 x 64 x 8 and 1.6x at 32 x 32 x 16 (16,384 weights), 2.9x at
// 100 x 100 x 16. A few thousand rows are compared pair by pair in a few
// milliseconds. The tests lower them to run the filters on small data.
struct SearchTuning {
    // Recognition filters maps whose neurons times inputs reach this.
    size_t filter_min_work = 16384;
    // The placement search bounds rows once there are at least this many.
    size_t pair_min_rows = 4096;
    // Candidate rows compared pair by pair without a further round of bounds.
    size_t pair_direct_rows = 4096;
    // Recognition filters with integers where the kernels can.
    bool integer_filter = true;
};

struct Kernels;  // engine.h

// Everything a call of the engine may be told; CallOptions{} is what the
// public calls use.
struct CallOptions {
    SweepPolicy sweeps;
    SearchTuning search;
    // The kernels the call runs on; null for the ones som_engine_select
    // chose. (The tests name the scalar twin here, which is not among that
    // function's choices.)
    const Kernels *kernels = nullptr;
};

// What the sweeps of one training call did.
struct SweepStats {
    uint64_t vectors = 0;      // vectors trained
    uint64_t searches = 0;     // winner searches of their own (the others
                               // ride on the sweep that ends a vector)
    uint64_t sweeps = 0;       // sweeps run (each a pass over the grid)
    uint64_t iterations = 0;   // iterations kept
    uint64_t replays = 0;      // sweeps replayed, for either reason below
    uint64_t sum_changes = 0;  // ... because a winner's index sum differed
    uint64_t early_zeros = 0;  // ... because a distance of 0.0 came early
    uint64_t measured = 0;     // block-iterations whose distances were formed
    uint64_t skipped = 0;      // ... and those left out
    uint64_t bound_failures = 0;  // checking mode: bounds that did not hold
};

// What a recognition call did: rows searched, rows that went the exact way
// over every neuron (outside the filter's range, or too many neurons near
// their minimum), and the exact distances computed for the other rows (the
// blocks of eight neurons holding the filter's survivors or special
// neurons).
struct FilterCounts {
    uint64_t rows = 0;
    uint64_t exact_rows = 0;
    uint64_t exact_distances = 0;
};

// What a placement search did: rows, rows left for comparison pair by pair
// after the bounds (and the merging of equal rows), pairs compared there,
// the rows beyond the bounds' range compared with every row on their own,
// and whether the search compared every pair of the table instead.
struct PairCounts {
    uint64_t rows = 0;
    uint64_t candidate_rows = 0;
    uint64_t exact_pairs = 0;
    uint64_t unbounded_rows = 0;
    bool every_pair = false;
};

// The engine's calls, each what the public call of the same name does with
// options, once the caller has put the default floating-point environment
// in force (the public calls do; fp_environment.h), and with the counts of
// the call written to the last argument when it is not null. The observer
// hears of progress as from the public *_observed calls.

// som_train_observed.
int train(som_network *network, double **rows, size_t row_count, size_t iterations,
          const som_internal::Observer &observer, const CallOptions &options, SweepStats *stats);

// som_find_winners_readonly.
int find_winners(const som_network *network, const double *const *rows, size_t row_count, size_t *winners_i,
                 size_t *winners_j, const CallOptions &options, FilterCounts *counts);

// som_init_weights_observed.
int init_weights(som_network *network, double **rows, size_t row_count, const som_internal::Observer &observer,
                 const CallOptions &options);

// The placement's most-distant-pair search alone: the literal search's pair
// (the first in (i, j) order at the greatest distance, (0, 0) when no pair
// is above 0.0), reporting the pairs compared. SOM_OK, SOM_ERROR_CANCELLED,
// or SOM_ERROR_MEMORY when it could not allocate its scratch space.
int farthest_pair(double **rows, size_t row_count, size_t n, size_t *first, size_t *second,
                  const som_internal::Observer &observer, const CallOptions &options, PairCounts *counts);

}  // namespace som_engine

#endif
