// A loaded map as the picture shows it: its shape, its U-matrix and the
// component planes drawn, computed by the library (som/som.h).
#ifndef SOMAP_RENDER_GRID_H
#define SOMAP_RENDER_GRID_H

#include <cstddef>
#include <vector>

#include "som/som.h"

namespace somap::render {

// rows is the map's first grid dimension (i, drawn downwards), cols its
// second (j, drawn rightwards), dims its input dimension. Every table is
// row-major: neuron (i, j) at i * cols + j.
struct Grid {
    size_t rows = 0;
    size_t cols = 0;
    size_t dims = 0;
    std::vector<double> u_matrix;
    std::vector<std::vector<double>> planes;  // component planes 0, 1, ...

    size_t cells() const { return rows * cols; }
};

// The network's shape. Returns false for a network that is not wired as the
// library wires it, which no loaded map is.
bool read_shape(const som_network &network, Grid &grid);

// The U-matrix and the first `planes` component planes (no more than dims),
// once the shape is read. Returns the library's status: SOM_OK, or why it
// failed (SOM_ERROR_MEMORY when they do not fit).
int read_figures(const som_network &network, size_t planes, Grid &grid);

}  // namespace somap::render

#endif
