// One sweep of training: several iterations of one vector run over each
// block of neurons while the block is in registers, all with the factors of
// one assumed winner index sum. train_sweeps.cpp decides the sweeps and
// checks them afterwards; the kernels (kernels_train.inc) run them.
#ifndef SOM_ENGINE_SWEEP_H
#define SOM_ENGINE_SWEEP_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "som/engine/bounds/training_skip.h"

namespace som_engine {

// Most iterations in one sweep: the per-iteration results of a range of
// blocks live on the kernel's stack.
constexpr size_t kMaxSweep = 64;

// Block-iterations whose distances a sweep formed and left out; in checking
// mode (tests) every measurement left out is made all the same and checked
// against the bound that allowed it, and failures counts where it did not
// hold.
struct SweepCounts {
    std::atomic<uint64_t> measured{0}, skipped{0}, failures{0};
    bool checking = false;
};

// One sweep. A job is made field by field; what it leaves out has the
// value below (nothing skipped, no next vector, no bounds).
struct SweepJob {
    // Weights at the sweep's start, and where the weights after its last
    // iteration go (src == dst updates in place). The kernel reads every
    // weight of src once and writes it once to dst.
    const double *src = nullptr;
    double *dst = nullptr;
    size_t n = 0;
    const double *x = nullptr;
    // neighbourhood[q]: the neighbourhood factor of a neuron of index sum q,
    // for the assumed winner's index sum; rates[j]: the learning rate of the
    // sweep's iteration j. A neuron's factor in iteration j is
    // neighbourhood[q] * rates[j], the product the plain loop forms.
    const double *neighbourhood = nullptr;
    const double *rates = nullptr;
    // The index sum of every neuron (padding lanes 0), and of each block's
    // first neuron when the block's sums run on by one (the whole block in
    // one grid row), else -1.
    const uint32_t *index_sum = nullptr;
    const int64_t *block_first_sum = nullptr;
    size_t iterations = 1;            // 1 .. kMaxSweep
    size_t skip = SIZE_MAX;           // a block left out, or SIZE_MAX
    // When not null, the weights after the last iteration are also searched
    // for the neuron nearest to next_x, into out[iterations].
    const double *next_x = nullptr;

    // Leaving distances unformed (bounds/training_skip.h). When
    // reach_thresholds is not null, iteration j's distances of a block may
    // go unmeasured where the block's lower bounds on ||x - w|| all lie above
    // reach_thresholds[j]: that shows each distance above lead_smallest[j],
    // the smallest distance of iteration j in the winner's block, measured
    // beforehand.
    const double *reach_thresholds = nullptr;
    const double *lead_smallest = nullptr;
    training_skip::Margins margins;  // for n inputs
    double twice_norm = 0.0;         // 2 X, X >= ||x||
    SweepCounts *counts = nullptr;
    // Each block's lower bounds, two vectors of kLanes per block, or null.
    // With next_x set the kernel leaves there the bounds for next_x and the
    // weights it wrote; bounds_in: whether those there are the bounds for
    // x and the weights at src, to start from.
    double *bounds = nullptr;
    bool bounds_in = false;
    double next_twice_norm = 0.0;  // 2 X for next_x
    // When not null (a range of one block only), the kernel may end the
    // block after its first iteration with a distance of 0.0, and then sets
    // *stopped; the block's weights and the search for next_x (still into
    // out[iterations]) are those after that iteration.
    bool *stopped = nullptr;
};

}  // namespace som_engine

#endif
