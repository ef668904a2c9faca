#include "grid.h"

#include "som/som.h"

namespace somap::render {

bool read_shape(const som_network &network, Grid &grid) {
    return som_network_shape(&network, &grid.dims, &grid.rows, &grid.cols) == SOM_OK;
}

int read_figures(const som_network &network, size_t planes, Grid &grid) {
    grid.u_matrix.assign(grid.cells(), 0.0);
    int status = som_u_matrix(&network, grid.u_matrix.data());
    grid.planes.assign(planes, std::vector<double>(grid.cells()));
    for (size_t k = 0; k < planes && status == SOM_OK; ++k)
        status = som_component_plane(&network, k, grid.planes[k].data());
    return status;
}

}  // namespace somap::render
