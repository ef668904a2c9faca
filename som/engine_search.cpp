// The batch winner search of recognition and the most-distant-pair search of
// the placement, split across threads by rows.
#include "engine.h"

#include <algorithm>
#include <cfloat>
#include <cstdlib>
#include <memory>
#include <vector>

#include "network_internal.h"
#include "som.h"
#include "status.h"

using namespace som_engine;

namespace {

int find_winners(const som_network *network, const double *const *rows, size_t row_count, size_t *winners_i,
                 size_t *winners_j) {
    if (som_network_check(network) != SOM_OK || !som_rows_present(network, rows, row_count) ||
        (row_count > 0 && (winners_i == nullptr || winners_j == nullptr)))
        return SOM_ERROR_INVALID;
    if (row_count == 0) return SOM_OK;
    const size_t n = network->input_layer->neurons_count;
    const size_t Y = network->output_layer->neurons_count_y;
    const size_t neurons = network->output_layer->neurons_count_x * Y;
    // The combined index (i * Y + j, SIZE_MAX for none) goes into winners_i
    // first and is split at the end, so the search needs no memory of its
    // own beyond the packed grid.
    size_t *winners = winners_i;
    PackedGrid grid;
    if (neurons == 0 || n == 0) {
        // An empty grid chooses nothing; without inputs every distance is
        // 0.0 and the first neuron wins: (0, 0) either way.
        std::fill(winners, winners + row_count, SIZE_MAX);
    } else if (grid.pack(network)) {
        const Kernels &kernels = active();
        size_t parts = worker_count(row_count * neurons * n);
        run_parallel(parts, [&](size_t part, size_t total) {
            size_t begin = row_count * part / total, end = row_count * (part + 1) / total;
            kernels.nearest_batch(grid.weights, n, grid.blocks, rows + begin, end - begin, winners + begin);
        });
    } else {
        for (size_t r = 0; r < row_count; ++r) {
            size_t i = 0, j = 0;
            som_find_winner_of_row(network, rows[r], &i, &j);
            winners[r] = i * Y + j;
        }
    }
    for (size_t r = 0; r < row_count; ++r) {
        const size_t w = winners[r] == SIZE_MAX ? 0 : winners[r];
        winners_i[r] = Y == 0 ? 0 : w / Y;
        winners_j[r] = Y == 0 ? 0 : w % Y;
    }
    return SOM_OK;
}

}  // namespace

extern "C" {

int som_find_winners_readonly(const som_network *network, const double *const *rows, size_t row_count,
                              size_t *winners_i, size_t *winners_j) {
    return som_internal::guarded([&] { return find_winners(network, rows, row_count, winners_i, winners_j); });
}

int som_find_winners(som_network *network, double **rows, size_t row_count, size_t *winners_i,
                     size_t *winners_j) {
    const int status = som_find_winners_readonly(network, rows, row_count, winners_i, winners_j);
    if (status == SOM_OK && row_count > 0) som_set_inputs(network, rows[row_count - 1]);
    return status;
}

}  // extern "C"

// The pair search of the initialisation, vectorised across the second row
// and split across threads by pair count.
int som_engine_farthest_pair(double **rows, size_t row_count, size_t n, size_t *first, size_t *second,
                             som_progress progress, void *context) {
    const size_t blocks = block_count(row_count);
    std::unique_ptr<double, decltype(&std::free)> owned(allocate_packed(blocks, n), &std::free);
    double *packed = owned.get();
    if (packed == nullptr) return SOM_ERROR_MEMORY;
    for (size_t b = 0; b < blocks; ++b)
        for (size_t k = 0; k < n; ++k)
            for (size_t lane = 0; lane < kLanes; ++lane) {
                size_t r = b * kLanes + lane;
                packed[(b * n + k) * kLanes + lane] = r < row_count ? rows[r][k] : 0.0;
            }
    const Kernels &kernels = active();
    const size_t pairs = row_count * (row_count - 1) / 2;
    // Pairs whose first row lies before row i.
    auto pairs_before = [row_count](size_t i) { return i * (row_count - 1) - i * (i - 1) / 2; };
    // The first row at which the pairs before reach `target`.
    auto row_at = [&](size_t target) {
        size_t low = 0, high = row_count;
        while (low < high) {
            size_t middle = low + (high - low) / 2;
            if (pairs_before(middle) < target) low = middle + 1;
            else high = middle;
        }
        return low;
    };
    // Someone watching gets a report after each of a few dozen slices of the
    // pairs; threads share each slice.
    const size_t slices = progress != nullptr && row_count > 1 ? 64 : 1;
    const size_t parts = worker_count(pairs * n);
    std::vector<Farthest> results;
    if (progress && progress(context, 0, pairs) != 0) return SOM_ERROR_CANCELLED;
    for (size_t slice = 0; slice < slices; ++slice) {
        const size_t slice_begin = row_at(pairs / slices * slice);
        const size_t slice_end = slice + 1 == slices ? row_count : row_at(pairs / slices * (slice + 1));
        if (slice_begin == slice_end) continue;
        const size_t first = pairs_before(slice_begin), count = pairs_before(slice_end) - first;
        const size_t offset = results.size();
        results.resize(offset + parts);
        run_parallel(parts, [&](size_t part, size_t total) {
            // Row i has row_count - 1 - i partners: cut where the pairs
            // before reach part / total of the slice's.
            auto cut = [&](size_t share) {
                return share == total ? slice_end : std::max(slice_begin, row_at(first + count / total * share));
            };
            results[offset + part] = kernels.farthest_pair(packed, n, row_count, rows, cut(part), cut(part + 1));
        });
        if (progress && progress(context, pairs_before(slice_end), pairs) != 0) return SOM_ERROR_CANCELLED;
    }
    Farthest best{0.0, SIZE_MAX, SIZE_MAX};
    for (const Farthest &result : results) {
        if (result.first == SIZE_MAX) continue;
        if (best.first == SIZE_MAX || result.distance > best.distance ||
            (result.distance == best.distance &&
             (result.first < best.first || (result.first == best.first && result.second < best.second))))
            best = result;
    }
    *first = best.first == SIZE_MAX ? 0 : best.first;
    *second = best.first == SIZE_MAX ? 0 : best.second;
    return SOM_OK;
}
