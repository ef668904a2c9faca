// The picture of a map: its U-matrix and its component planes as heat maps
// in one SVG document.
#ifndef SOMAP_RENDER_SVG_H
#define SOMAP_RENDER_SVG_H

#include <cstddef>
#include <string>
#include <vector>

#include "grid.h"

namespace somap::render {

// Neurons per side beyond which neighbouring neurons are drawn averaged in
// square blocks, and component planes beyond which the rest are left out:
// together they bound the document to a few megabytes whatever the map.
inline constexpr size_t kMaxSquaresPerSide = 100;
inline constexpr size_t kMaxPlanes = 12;

struct PictureOptions {
    unsigned cell_pixels = 0;           // side of one square; 0 chooses one
    const std::vector<size_t> *hits = nullptr;  // winners per neuron, row-major
};

// Shortest decimal text that reads back as the same double ("nan", "inf",
// "-inf" for those), as the document's data attributes carry values.
std::string exact_number(double value);

// The whole document. `notes` receives what the reader should be told about
// what was left out or averaged. The grid must not be empty, and must hold
// its U-matrix and its first min(dims, kMaxPlanes) component planes
// (read_figures).
std::string draw_picture(const Grid &grid, const PictureOptions &options,
                         std::vector<std::string> &notes);

}  // namespace somap::render

#endif
