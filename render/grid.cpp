#include "grid.h"

#include <cmath>

#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"

namespace somap::render {

bool copy_grid(const som_network &network, Grid &grid) {
    if (som_network_shape(&network, &grid.dims, &grid.rows, &grid.cols) != SOM_OK) return false;
    grid.weights.assign(grid.rows * grid.cols * grid.dims, 0.0);
    return som_get_weights(&network, grid.weights.data()) == SOM_OK;
}

double euclidean(const double *a, const double *b, size_t n) {
    double sum = 0.0;
    for (size_t k = 0; k < n; ++k) {
        double difference = a[k] - b[k];
        sum = sum + difference * difference;
    }
    return std::sqrt(sum);
}

std::vector<double> u_matrix(const Grid &grid) {
    som_internal::DefaultFloatingPoint environment;
    std::vector<double> out(grid.cells(), 0.0);
    for (size_t i = 0; i < grid.rows; ++i) {
        for (size_t j = 0; j < grid.cols; ++j) {
            const size_t cell = i * grid.cols + j;
            double sum = 0.0;
            int count = 0;
            auto add = [&](size_t other) {
                sum = sum + euclidean(grid.at(cell), grid.at(other), grid.dims);
                ++count;
            };
            if (i > 0) add(cell - grid.cols);
            if (i + 1 < grid.rows) add(cell + grid.cols);
            if (j > 0) add(cell - 1);
            if (j + 1 < grid.cols) add(cell + 1);
            out[cell] = count == 0 ? 0.0 : sum / count;
        }
    }
    return out;
}

std::vector<double> component_plane(const Grid &grid, size_t k) {
    std::vector<double> out(grid.cells());
    for (size_t cell = 0; cell < out.size(); ++cell) out[cell] = grid.at(cell)[k];
    return out;
}

}  // namespace somap::render
