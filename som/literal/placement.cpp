// Data-driven placement of the initial weights: four input vectors in the
// corners of the grid, linear blends along the edges, bilinear inside.
#include "som/som.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/base/status.h"
#include "som/literal/literal.h"
#include "som/base/literal_primitives.h"
#include "som/model/network_internal.h"

namespace {

using som_literal::city_block;

// Row nearest to `centre`, skipping the excluded row indices; 0 when no row
// has a distance below DBL_MAX.
size_t nearest_row(double **rows, size_t row_count, size_t n, const double *centre,
                   const size_t *excluded, size_t excluded_count) {
    som_literal::FirstSmallest nearest;
    for (size_t r = 0; r < row_count; ++r) {
        bool skip = false;
        for (size_t e = 0; e < excluded_count; ++e) skip = skip || r == excluded[e];
        if (!skip) nearest.offer(city_block(rows[r], centre, n), r);
    }
    return nearest.found() ? nearest.index : 0;
}

double weight(const som_network *network, size_t i, size_t j, size_t k) {
    return network->output_layer->neurons[i][j]->synapses[k]->weight;
}

void set_weight(som_network *network, size_t i, size_t j, size_t k, double value) {
    network->output_layer->neurons[i][j]->synapses[k]->weight = value;
}

void write_vector(som_network *network, size_t i, size_t j, const double *v, size_t n) {
    for (size_t k = 0; k < n; ++k) set_weight(network, i, j, k, v[k]);
}

// Neuron at position p of an edge of `length` neurons gets
// Q * (p / (length - 1)) + P * ((length - 1 - p) / (length - 1)).
double edge_blend(double p_end, double q_end, size_t position, size_t length) {
    double span = static_cast<double>(length - 1);
    double far_share = static_cast<double>(position) / span;
    double near_share = static_cast<double>(length - 1 - position) / span;
    return q_end * far_share + p_end * near_share;
}

// The literal most-distant-pair search: the first pair met, in (i, j) order,
// at the strictly greatest distance; (0, 0) when no pair is above 0.0.
void farthest_pair_plain(double **rows, size_t row_count, size_t n, size_t *first, size_t *second) {
    som_literal::FirstFarthest farthest;
    for (size_t i = 0; i < row_count; ++i)
        for (size_t j = i + 1; j < row_count; ++j) farthest.offer(city_block(rows[i], rows[j], n), i, j);
    *first = farthest.found() ? farthest.first : 0;
    *second = farthest.found() ? farthest.second : 0;
}

}  // namespace

int som_internal::place_weights(som_network *network, double **rows, size_t row_count,
                                const PairSearch &fast_search, const Observer &observer) {
    if (som_network_check(network) != SOM_OK || !som_rows_present(network, rows, row_count)) return SOM_ERROR_INVALID;
    const size_t n = network->input_layer->neurons_count;
    const size_t X = network->output_layer->neurons_count_x;
    const size_t Y = network->output_layer->neurons_count_y;
    if (row_count == 0 || X == 0 || Y == 0 || n == 0) return SOM_OK;

    // Nothing is written before the last allocation and the last chance to
    // cancel, so a failed call leaves every weight as it was.
    std::unique_ptr<double, decltype(&std::free)> owned_centre(
        static_cast<double *>(std::malloc(n * sizeof(double))), &std::free);
    double *centre = owned_centre.get();
    if (centre == nullptr) return SOM_ERROR_MEMORY;

    size_t ia = 0, ib = 0;
    const int searched = fast_search.search != nullptr
                             ? fast_search.search(fast_search.settings, rows, row_count, n, &ia, &ib, observer)
                             : SOM_ERROR_MEMORY;
    if (searched == SOM_ERROR_CANCELLED) return searched;
    // Without room for the fast search, the literal one needs none; the
    // callback still hears of the end.
    if (searched != SOM_OK) {
        farthest_pair_plain(rows, row_count, n, &ia, &ib);
        const size_t pairs = row_count < 2 ? 0 : row_count * (row_count - 1) / 2;
        if (observer.stop(pairs, pairs)) return SOM_ERROR_CANCELLED;
    }
    const double *a = rows[ia];
    const double *b = rows[ib];
    write_vector(network, 0, Y - 1, a, n);
    write_vector(network, X - 1, 0, b, n);

    for (size_t k = 0; k < n; ++k) centre[k] = std::fabs(a[k] + b[k]) * 0.5;
    const size_t excluded_ab[] = {ia, ib};
    size_t ic = nearest_row(rows, row_count, n, centre, excluded_ab, 2);
    const double *c = rows[ic];
    write_vector(network, 0, 0, c, n);

    for (size_t k = 0; k < n; ++k) centre[k] = std::fabs((a[k] + b[k]) + c[k]) / 3.0;
    const size_t excluded_abc[] = {ia, ib, ic};
    size_t id = nearest_row(rows, row_count, n, centre, excluded_abc, 3);
    write_vector(network, X - 1, Y - 1, rows[id], n);

    if (Y >= 3) {
        for (size_t j = 1; j + 1 < Y; ++j)
            for (size_t k = 0; k < n; ++k)
                set_weight(network, 0, j, k,
                           edge_blend(weight(network, 0, 0, k), weight(network, 0, Y - 1, k), j, Y));
        for (size_t j = 1; j + 1 < Y; ++j)
            for (size_t k = 0; k < n; ++k)
                set_weight(network, X - 1, j, k,
                           edge_blend(weight(network, X - 1, 0, k), weight(network, X - 1, Y - 1, k),
                                      j, Y));
    }
    if (X >= 3) {
        for (size_t i = 1; i + 1 < X; ++i)
            for (size_t k = 0; k < n; ++k)
                set_weight(network, i, 0, k,
                           edge_blend(weight(network, 0, 0, k), weight(network, X - 1, 0, k), i, X));
        for (size_t i = 1; i + 1 < X; ++i)
            for (size_t k = 0; k < n; ++k)
                set_weight(network, i, Y - 1, k,
                           edge_blend(weight(network, 0, Y - 1, k), weight(network, X - 1, Y - 1, k),
                                      i, X));
    }
    if (X >= 3 && Y >= 3) {
        const double o = static_cast<double>(X - 1) * static_cast<double>(Y - 1);
        for (size_t i = 1; i + 1 < X; ++i) {
            for (size_t j = 1; j + 1 < Y; ++j) {
                const double ai = static_cast<double>(i), bi = static_cast<double>(X - 1 - i);
                const double cj = static_cast<double>(j), dj = static_cast<double>(Y - 1 - j);
                const double f1 = (ai * cj) / o, f2 = (bi * cj) / o;
                const double f3 = (ai * dj) / o, f4 = (bi * dj) / o;
                for (size_t k = 0; k < n; ++k) {
                    double value = ((weight(network, X - 1, Y - 1, k) * f1 +
                                     weight(network, 0, Y - 1, k) * f2) +
                                    weight(network, X - 1, 0, k) * f3) +
                                   weight(network, 0, 0, k) * f4;
                    set_weight(network, i, j, k, value);
                }
            }
        }
    }
    return SOM_OK;
}

extern "C" int som_init_weights_plain(som_network *network, double **rows, size_t row_count) {
    som_internal::DefaultFloatingPoint environment;
    return som_internal::guarded(
        [&] { return som_internal::place_weights(network, rows, row_count, {}, som_internal::Observer{}); });
}
