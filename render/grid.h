// A loaded map's weights as one flat table, and the figures drawn from them.
#ifndef SOMAP_RENDER_GRID_H
#define SOMAP_RENDER_GRID_H

#include <cstddef>
#include <vector>

#include "som/som.h"

namespace somap::render {

// rows is the map's first grid dimension (i, drawn downwards), cols its
// second (j, drawn rightwards), dims its input dimension.
struct Grid {
    size_t rows = 0;
    size_t cols = 0;
    size_t dims = 0;
    std::vector<double> weights;  // (i * cols + j) * dims + k

    size_t cells() const { return rows * cols; }
    const double *at(size_t cell) const { return weights.data() + cell * dims; }
};

// Copies the weights of every output neuron. Returns false for a network
// that is not wired as the library wires it, which no loaded map is.
bool copy_grid(const som_network &network, Grid &grid);

// Euclidean distance over the first n values, summed in index order so that
// every build gives the same bits.
double euclidean(const double *a, const double *b, size_t n);

// For each neuron, the mean Euclidean distance of its weights to those of its
// up, down, left and right neighbours inside the grid; a neuron without any
// neighbour (a 1 by 1 grid) gets 0. Computed in the default floating-point
// environment, as measure_quality is.
std::vector<double> u_matrix(const Grid &grid);

// Weight k of every neuron, row-major.
std::vector<double> component_plane(const Grid &grid, size_t k);

}  // namespace somap::render

#endif
