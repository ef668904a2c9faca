// The placement of the initial weights with the engine's pair search; the
// rest of the placement is the literal one (som/literal/placement.cpp),
// which reads only four rows and writes every weight once.
#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/base/status.h"
#include "som/engine/engine.h"
#include "som/literal/literal.h"
#include "som/som.h"

extern "C" int som_init_weights(som_network *network, double **rows, size_t row_count) {
    som_internal::DefaultFloatingPoint environment;
    return som_internal::guarded([&] {
        return som_internal::place_weights(network, rows, row_count, som_engine_farthest_pair, som_internal::Observer{});
    });
}

extern "C" int som_init_weights_observed(som_network *network, double **rows, size_t row_count,
                                         som_progress progress, void *context) {
    som_internal::DefaultFloatingPoint environment;
    const som_internal::Observer observer{progress, context, &environment};
    return som_internal::guarded(
        [&] { return som_internal::place_weights(network, rows, row_count, som_engine_farthest_pair, observer); });
}
