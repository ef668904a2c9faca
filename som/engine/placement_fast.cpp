// The placement of the initial weights with the engine's pair search; the
// rest of the placement is the literal one (som/literal/placement.cpp),
// which reads only four rows and writes every weight once.
#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/base/status.h"
#include "som/engine/engine.h"
#include "som/engine/options.h"
#include "som/literal/literal.h"
#include "som/som.h"

namespace som_engine {

namespace {

// The engine's pair search as the placement calls it, with the call's
// options.
int search_pair(const void *settings, double **rows, size_t row_count, size_t n, size_t *first, size_t *second,
                const som_internal::Observer &observer) {
    return farthest_pair(rows, row_count, n, first, second, observer, *static_cast<const CallOptions *>(settings),
                         nullptr);
}

}  // namespace

int init_weights(som_network *network, double **rows, size_t row_count, const som_internal::Observer &observer,
                 const CallOptions &options) {
    return som_internal::guarded([&] {
        return som_internal::place_weights(network, rows, row_count, som_internal::PairSearch{search_pair, &options},
                                           observer);
    });
}

}  // namespace som_engine

extern "C" int som_init_weights(som_network *network, double **rows, size_t row_count) {
    som_internal::DefaultFloatingPoint environment;
    return som_engine::init_weights(network, rows, row_count, som_internal::Observer{}, som_engine::CallOptions{});
}

extern "C" int som_init_weights_observed(som_network *network, double **rows, size_t row_count,
                                         som_progress progress, void *context) {
    som_internal::DefaultFloatingPoint environment;
    const som_internal::Observer observer{progress, context, &environment};
    return som_engine::init_weights(network, rows, row_count, observer, som_engine::CallOptions{});
}
