// One sweep of training: several iterations of one vector run over each
// block of neurons while the block is in registers, all with the factors of
// one assumed winner index sum. engine_train.cpp decides the sweeps and
// checks them afterwards; the kernels (kernels_train.inc) run them.
#ifndef SOM_ENGINE_SWEEP_H
#define SOM_ENGINE_SWEEP_H

#include <cstddef>
#include <cstdint>

namespace som_engine {

// Most iterations in one sweep: the per-iteration results of a range of
// blocks live on the kernel's stack.
constexpr size_t kMaxSweep = 32;

struct SweepJob {
    // Weights at the sweep's start, and where the weights after its last
    // iteration go (src == dst updates in place). The kernel reads every
    // weight of src once and writes it once to dst.
    const double *src;
    double *dst;
    size_t n;
    const double *x;
    // neighbourhood[q]: the neighbourhood factor of a neuron of index sum q,
    // for the assumed winner's index sum; rates[j]: the learning rate of the
    // sweep's iteration j. A neuron's factor in iteration j is
    // neighbourhood[q] * rates[j], the product the plain loop forms.
    const double *neighbourhood;
    const double *rates;
    // The index sum of every neuron (padding lanes 0), and of each block's
    // first neuron when the block's sums run on by one (the whole block in
    // one grid row), else -1.
    const uint32_t *index_sum;
    const int64_t *block_first_sum;
    size_t iterations;                // 1 .. kMaxSweep
    size_t skip;                      // a block left out, or SIZE_MAX
    // When not null, the weights after the last iteration are also searched
    // for the neuron nearest to next_x, into out[iterations].
    const double *next_x;
};

// What the sweeps of training calls did, summed over calls; the benchmarks
// read it. Each training call adds its counts once, at its end.
struct SweepStats {
    uint64_t vectors = 0;      // vectors trained
    uint64_t searches = 0;     // plain winner searches (one per vector)
    uint64_t sweeps = 0;       // sweeps run (each a pass over the grid)
    uint64_t iterations = 0;   // iterations kept
    uint64_t replays = 0;      // sweeps replayed, for either reason below
    uint64_t sum_changes = 0;  // ... because a winner's index sum differed
    uint64_t early_zeros = 0;  // ... because a distance of 0.0 came early
};
SweepStats sweep_stats();
void reset_sweep_stats();

// How training chooses its sweeps. The defaults are what the library uses;
// the tests set others to force every kind of sweep and replay. Read once
// per training call.
struct SweepPolicy {
    size_t first = 16;        // iterations in a vector's first sweep
    size_t most = 32;         // the most in any sweep (<= kMaxSweep)
    bool lead_block = true;   // run the winner's block first to find the stop
    bool in_place = false;    // as without memory for a second copy
};
SweepPolicy sweep_policy();
void set_sweep_policy(const SweepPolicy &policy);

}  // namespace som_engine

#endif
