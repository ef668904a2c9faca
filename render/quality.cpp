#include "quality.h"

#include <cfloat>
#include <cmath>
#include <vector>

#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"

namespace somap::render {

namespace {

// The winner search's own arithmetic: input minus weight, squared, added in
// component order from 0.0, so the distance of the winner is bit for bit the
// one the search compared.
double squared_distance(const double *input, const double *weights, size_t n) {
    double sum = 0.0;
    for (size_t k = 0; k < n; ++k) {
        double difference = input[k] - weights[k];
        sum = sum + difference * difference;
    }
    return sum;
}

}  // namespace

int measure_quality(som_network &network, const Grid &grid, double *const *rows, size_t count,
                    Quality &out) {
    som_internal::DefaultFloatingPoint environment;
    Quality quality;
    quality.vectors = count;
    if (count == 0 || grid.cells() == 0) {
        out = quality;
        return SOM_OK;
    }

    std::vector<size_t> winners_i(count), winners_j(count);
    const int searched = som_find_winners_readonly(&network, rows, count, winners_i.data(), winners_j.data());
    if (searched != SOM_OK) return searched;

    double distance_sum = 0.0;
    for (size_t r = 0; r < count; ++r) {
        const size_t best = winners_i[r] * grid.cols + winners_j[r];
        distance_sum = distance_sum + std::sqrt(squared_distance(rows[r], grid.at(best), grid.dims));

        double second_distance = DBL_MAX;
        size_t second = best;
        for (size_t cell = 0; cell < grid.cells(); ++cell) {
            if (cell == best) continue;
            const double distance = squared_distance(rows[r], grid.at(cell), grid.dims);
            if (second_distance > distance) {
                second_distance = distance;
                second = cell;
            }
        }
        if (second == best) continue;
        const size_t si = second / grid.cols, sj = second % grid.cols;
        const size_t di = si > winners_i[r] ? si - winners_i[r] : winners_i[r] - si;
        const size_t dj = sj > winners_j[r] ? sj - winners_j[r] : winners_j[r] - sj;
        if (di + dj != 1) ++quality.topographic_errors;
    }
    quality.quantization_error = distance_sum / static_cast<double>(count);
    quality.topographic_error =
        static_cast<double>(quality.topographic_errors) / static_cast<double>(count);
    out = quality;
    return SOM_OK;
}

}  // namespace somap::render
