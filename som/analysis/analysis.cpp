// What a map says about itself and about a data set: quality figures,
// U-matrix, component planes, hit counts. Built on the public calls (shape,
// flat weights, the read-only winner search) and the literal primitives, so
// every distance here is the search's own, to the bit.
#include "som/som.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/base/status.h"
#include "som/base/literal_primitives.h"
#include "som/model/network_internal.h"

namespace {

// The network's weights as one flat table in the map file's order, as the
// figures read them: every neuron's, once for each row measured.
struct FlatWeights {
    size_t n = 0, x = 0, y = 0;
    std::vector<double> weights;  // (i * y + j) * n + k

    int copy(const som_network *network) {
        const int shaped = som_network_shape(network, &n, &x, &y);
        if (shaped != SOM_OK) return shaped;
        weights.assign(x * y * n, 0.0);
        return som_get_weights(network, weights.data());
    }
    size_t cells() const { return x * y; }
    const double *at(size_t cell) const { return weights.data() + cell * n; }
};

// The square root of the winner search's own squared distance, a[k] - b[k]
// squared and added in component order.
double euclidean(const double *a, const double *b, size_t n) {
    return std::sqrt(som_literal::squared_distance(a, b, n));
}

// The count of neighbours is at most 4: converted exactly.
double u_value(const FlatWeights &grid, size_t i, size_t j) {
    const size_t cell = i * grid.y + j;
    double sum = 0.0;
    int count = 0;
    auto add = [&](size_t other) {
        sum = sum + euclidean(grid.at(cell), grid.at(other), grid.n);
        ++count;
    };
    if (i > 0) add(cell - grid.y);
    if (i + 1 < grid.x) add(cell + grid.y);
    if (j > 0) add(cell - 1);
    if (j + 1 < grid.y) add(cell + 1);
    return count == 0 ? 0.0 : sum / count;
}

int measure(const som_network *network, const double *const *rows, size_t row_count, som_quality &out) {
    som_quality quality{};
    quality.vectors = row_count;
    const size_t cells = network->output_layer->neurons_count_x * network->output_layer->neurons_count_y;
    if (row_count == 0 || cells == 0) {
        out = quality;
        return SOM_OK;
    }
    FlatWeights grid;
    const int copied = grid.copy(network);
    if (copied != SOM_OK) return copied;
    std::vector<size_t> winners_i(row_count), winners_j(row_count);
    const int searched = som_find_winners_readonly(network, rows, row_count, winners_i.data(), winners_j.data());
    if (searched != SOM_OK) return searched;

    double distance_sum = 0.0;
    for (size_t r = 0; r < row_count; ++r) {
        const size_t best = winners_i[r] * grid.y + winners_j[r];
        distance_sum = distance_sum + euclidean(rows[r], grid.at(best), grid.n);

        som_literal::FirstSmallest second;
        for (size_t cell = 0; cell < grid.cells(); ++cell)
            if (cell != best) second.offer(som_literal::squared_distance(rows[r], grid.at(cell), grid.n), cell);
        if (!second.found()) continue;
        const size_t si = second.index / grid.y, sj = second.index % grid.y;
        const size_t di = si > winners_i[r] ? si - winners_i[r] : winners_i[r] - si;
        const size_t dj = sj > winners_j[r] ? sj - winners_j[r] : winners_j[r] - sj;
        if (di + dj != 1) ++quality.topographic_errors;
    }
    quality.quantization_error = distance_sum / static_cast<double>(row_count);
    quality.topographic_error =
        static_cast<double>(quality.topographic_errors) / static_cast<double>(row_count);
    out = quality;
    return SOM_OK;
}

bool grid_empty(const som_network *network) {
    return network->output_layer->neurons_count_x == 0 || network->output_layer->neurons_count_y == 0;
}

}  // namespace

extern "C" {

int som_measure_quality(const som_network *network, const double *const *rows, size_t row_count,
                        som_quality *quality) {
    if (som_network_check(network) != SOM_OK || quality == nullptr || !som_rows_present(network, rows, row_count))
        return SOM_ERROR_INVALID;
    som_internal::DefaultFloatingPoint environment;
    return som_internal::guarded([&] { return measure(network, rows, row_count, *quality); });
}

int som_u_matrix(const som_network *network, double *values) {
    if (som_network_check(network) != SOM_OK || (values == nullptr && !grid_empty(network)))
        return SOM_ERROR_INVALID;
    som_internal::DefaultFloatingPoint environment;
    return som_internal::guarded([&]() -> int {
        FlatWeights grid;
        const int copied = grid.copy(network);
        if (copied != SOM_OK) return copied;
        for (size_t i = 0; i < grid.x; ++i)
            for (size_t j = 0; j < grid.y; ++j) values[i * grid.y + j] = u_value(grid, i, j);
        return SOM_OK;
    });
}

int som_component_plane(const som_network *network, size_t k, double *values) {
    if (som_network_check(network) != SOM_OK || k >= network->input_layer->neurons_count ||
        (values == nullptr && !grid_empty(network)))
        return SOM_ERROR_INVALID;
    const som_output_layer *grid = network->output_layer;
    for (size_t i = 0; i < grid->neurons_count_x; ++i)
        for (size_t j = 0; j < grid->neurons_count_y; ++j)
            values[i * grid->neurons_count_y + j] = grid->neurons[i][j]->synapses[k]->weight;
    return SOM_OK;
}

int som_hit_counts(const som_network *network, const double *const *rows, size_t row_count, size_t *hits) {
    if (som_network_check(network) != SOM_OK || (hits == nullptr && !grid_empty(network)) ||
        !som_rows_present(network, rows, row_count))
        return SOM_ERROR_INVALID;
    if (grid_empty(network)) return SOM_OK;
    return som_internal::guarded([&]() -> int {
        std::vector<size_t> winners_i(row_count), winners_j(row_count);
        const int searched =
            som_find_winners_readonly(network, rows, row_count, winners_i.data(), winners_j.data());
        if (searched != SOM_OK) return searched;
        const size_t y = network->output_layer->neurons_count_y;
        std::fill(hits, hits + network->output_layer->neurons_count_x * y, size_t{0});
        for (size_t r = 0; r < row_count; ++r) ++hits[winners_i[r] * y + winners_j[r]];
        return SOM_OK;
    });
}

}  // extern "C"
