// The training loop, written literally: winner search, update of every
// neuron, and a full re-measure for the early stop, per iteration. It is the
// oracle the fast engine is tested against, so it stays plain.
#include "som/som.h"

#include <cfloat>
#include <cmath>

#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/literal/literal.h"
#include "som/base/literal_primitives.h"
#include "som/model/network_internal.h"

double som_internal::learning_rate(size_t t, double time_constant) {
    const double u = static_cast<double>(t) / time_constant;
    return (u * 0.8) * std::exp(1.0 - u);
}

double som_internal::neighbourhood(long long index_sum_difference) {
    return 1.0 / (std::pow(static_cast<double>(index_sum_difference), 4.0) + 1.0);
}

extern "C" {

double som_learning_rate(size_t t, double time_constant) {
    using som_internal::DefaultFloatingPoint;
    DefaultFloatingPoint environment;
    return DefaultFloatingPoint::settled(
        som_internal::learning_rate(DefaultFloatingPoint::settled(t), DefaultFloatingPoint::settled(time_constant)));
}

double som_neighbourhood(long long index_sum_difference) {
    using som_internal::DefaultFloatingPoint;
    DefaultFloatingPoint environment;
    return DefaultFloatingPoint::settled(som_internal::neighbourhood(DefaultFloatingPoint::settled(index_sum_difference)));
}

int som_train_plain(som_network *network, double **rows, size_t row_count, size_t iterations) {
    som_internal::DefaultFloatingPoint environment;
    if (som_network_check(network) != SOM_OK || !som_rows_present(network, rows, row_count)) return SOM_ERROR_INVALID;
    return som_train_plain_observed(network, rows, row_count, iterations, som_internal::Observer{});
}

}  // extern "C"

int som_train_plain_observed(som_network *network, double **rows, size_t row_count, size_t iterations,
                             const som_internal::Observer &observer) {
    using namespace som_internal;
    time_constant(network);
    // No iteration presents no vector.
    if (iterations == 0) return SOM_OK;
    const double T = network->time_constant;
    som_neuron *const *inputs = network->input_layer->neurons;
    const size_t n = network->input_layer->neurons_count;
    const som_output_layer *grid = network->output_layer;
    const size_t X = grid->neurons_count_x, Y = grid->neurons_count_y;

    if (observer.stop(0, row_count)) return SOM_ERROR_CANCELLED;
    for (size_t r = 0; r < row_count; ++r) {
        const double *v = rows[r];
        size_t t = 1;
        for (;;) {
            const double lr = learning_rate(t, T);
            for (size_t m = 0; m < n; ++m) inputs[m]->input = v[m];
            if (X == 0 || Y == 0) break;

            size_t wi = 0, wj = 0;
            find_winner(network, &wi, &wj);
            const long long s = static_cast<long long>(wi + wj);

            for (size_t a = 0; a < X; ++a) {
                for (size_t b = 0; b < Y; ++b) {
                    const long long d = s - static_cast<long long>(a + b);
                    const double f = neighbourhood(d) * lr;
                    som_neuron *out = grid->neurons[a][b];
                    for (size_t m = 0; m < n; ++m) {
                        som_synapse *synapse = out->synapses[m];
                        const double w = synapse->weight;
                        synapse->weight = ((inputs[m]->input - w) * f) + w;
                    }
                }
            }

            bool exact_match = false;
            for (size_t a = 0; a < X; ++a) {
                for (size_t b = 0; b < Y; ++b) {
                    const som_neuron *out = grid->neurons[a][b];
                    const double distance = som_literal::squared_distance(
                        out->synapses_count, [inputs](size_t m) { return inputs[m]->input; },
                        [out](size_t m) { return out->synapses[m]->weight; });
                    if (distance == 0.0) exact_match = true;
                }
            }
            if (exact_match) break;
            t = t + 1;
            if (!(t <= iterations)) break;
        }
        if (observer.stop(r + 1, row_count)) return SOM_ERROR_CANCELLED;
    }
    return SOM_OK;
}
