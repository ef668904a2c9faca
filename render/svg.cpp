#include "svg.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace somap::render {

namespace {

// Pixel layout of the document; every coordinate of a square is a whole
// number, so squares meet without seams.
constexpr unsigned kMargin = 16;
constexpr unsigned kHeading = 28;      // the document's title line
constexpr unsigned kPanelTitle = 22;   // a panel's title line
constexpr unsigned kLegendGap = 8;
constexpr unsigned kLegendBar = 12;
constexpr unsigned kLegendText = 18;
constexpr unsigned kPanelGap = 24;
constexpr unsigned kMinPanelWidth = 180;
constexpr unsigned kPanelsPerRow = 4;
constexpr unsigned kAutoPanelPixels = 360;
constexpr unsigned kMinAutoCell = 4;
constexpr unsigned kMaxAutoCell = 32;
// Below this the hit counts would not be legible inside their marks.
constexpr unsigned kMinLabelledCell = 20;

// Viridis at ten evenly spaced points: ordered light from dark, readable in
// grey and by most colour-blind readers. The legend's gradient uses the same
// points, so a square and the legend agree on every value.
constexpr unsigned char kScale[][3] = {
    {0x44, 0x01, 0x54}, {0x48, 0x28, 0x78}, {0x3e, 0x49, 0x89}, {0x31, 0x68, 0x8e},
    {0x26, 0x82, 0x8e}, {0x1f, 0x9e, 0x89}, {0x35, 0xb7, 0x79}, {0x6e, 0xce, 0x58},
    {0xb5, 0xde, 0x2b}, {0xfd, 0xe7, 0x25}};
constexpr size_t kScaleStops = sizeof kScale / sizeof kScale[0];
constexpr const char *kNoValueColour = "#bfbfbf";

std::string hex_colour(const unsigned char rgb[3]) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
    return text;
}

// Position t in 0..1 on the scale, interpolated linearly between stops.
std::string scale_colour(double t) {
    t = std::clamp(t, 0.0, 1.0);
    const double position = t * static_cast<double>(kScaleStops - 1);
    const size_t low = std::min(static_cast<size_t>(position), kScaleStops - 2);
    const double fraction = position - static_cast<double>(low);
    unsigned char rgb[3];
    for (int c = 0; c < 3; ++c) {
        const double a = kScale[low][c], b = kScale[low + 1][c];
        rgb[c] = static_cast<unsigned char>(std::lround(a + (b - a) * fraction));
    }
    return hex_colour(rgb);
}

// Range of the finite values; empty when there is none.
struct Range {
    bool any = false;
    double min = 0.0, max = 0.0;
};

Range finite_range(const std::vector<double> &values) {
    Range range;
    for (double v : values) {
        if (!std::isfinite(v)) continue;
        if (!range.any) {
            range.any = true;
            range.min = range.max = v;
        } else {
            range.min = std::min(range.min, v);
            range.max = std::max(range.max, v);
        }
    }
    return range;
}

std::string value_colour(double v, const Range &range) {
    if (!std::isfinite(v)) return kNoValueColour;
    if (!(range.max > range.min)) return scale_colour(0.0);
    // Halved first, so that a range wider than the largest double still
    // gives a finite quotient.
    return scale_colour((v / 2 - range.min / 2) / (range.max / 2 - range.min / 2));
}

std::string label_number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

std::string px(unsigned value) { return std::to_string(value); }

// Neurons seen as squares of `block` by `block` neurons (1: each its own).
struct Blocks {
    size_t block = 1, rows = 0, cols = 0;
};

// Mean of the finite values of each block, in row-major order within it.
std::vector<double> block_means(const Grid &grid, const Blocks &blocks,
                                const std::vector<double> &values) {
    if (blocks.block == 1) return values;
    std::vector<double> out(blocks.rows * blocks.cols);
    for (size_t bi = 0; bi < blocks.rows; ++bi) {
        for (size_t bj = 0; bj < blocks.cols; ++bj) {
            double sum = 0.0;
            size_t count = 0;
            for (size_t i = bi * blocks.block; i < std::min(grid.rows, (bi + 1) * blocks.block); ++i) {
                for (size_t j = bj * blocks.block; j < std::min(grid.cols, (bj + 1) * blocks.block); ++j) {
                    const double v = values[i * grid.cols + j];
                    if (!std::isfinite(v)) continue;
                    sum = sum + v;
                    ++count;
                }
            }
            out[bi * blocks.cols + bj] = count == 0 ? std::nan("") : sum / static_cast<double>(count);
        }
    }
    return out;
}

std::vector<size_t> block_sums(const Grid &grid, const Blocks &blocks,
                               const std::vector<size_t> &hits) {
    std::vector<size_t> out(blocks.rows * blocks.cols, 0);
    for (size_t i = 0; i < grid.rows; ++i)
        for (size_t j = 0; j < grid.cols; ++j)
            out[(i / blocks.block) * blocks.cols + j / blocks.block] += hits[i * grid.cols + j];
    return out;
}

struct Panel {
    std::string id, title;
    std::vector<double> values;  // one per block
    Range range;
    long component = -1;         // k, or -1 for the U-matrix
};

void draw_panel(std::string &out, const Panel &panel, const Blocks &blocks, unsigned cell,
                unsigned x, unsigned y, unsigned width, const std::vector<size_t> *hits) {
    out += "<g class=\"panel\" id=\"" + panel.id + "\"";
    if (panel.component >= 0) out += " data-k=\"" + std::to_string(panel.component) + "\"";
    if (panel.range.any)
        out += " data-min=\"" + exact_number(panel.range.min) + "\" data-max=\"" +
               exact_number(panel.range.max) + "\"";
    out += ">\n";
    out += "<text x=\"" + px(x) + "\" y=\"" + px(y + 15) + "\" font-size=\"13\">" + panel.title +
           "</text>\n";

    const unsigned top = y + kPanelTitle;
    out += "<g class=\"squares\" shape-rendering=\"crispEdges\">\n";
    for (size_t bi = 0; bi < blocks.rows; ++bi) {
        for (size_t bj = 0; bj < blocks.cols; ++bj) {
            const double v = panel.values[bi * blocks.cols + bj];
            out += "<rect x=\"" + px(x + static_cast<unsigned>(bj) * cell) + "\" y=\"" +
                   px(top + static_cast<unsigned>(bi) * cell) + "\" width=\"" + px(cell) +
                   "\" height=\"" + px(cell) + "\" fill=\"" + value_colour(v, panel.range) +
                   "\" data-i=\"" + std::to_string(bi * blocks.block) + "\" data-j=\"" +
                   std::to_string(bj * blocks.block) + "\" data-v=\"" + exact_number(v) + "\"/>\n";
        }
    }
    out += "</g>\n";

    if (hits != nullptr) {
        const size_t most = *std::max_element(hits->begin(), hits->end());
        out += "<g class=\"winners\">\n";
        for (size_t bi = 0; bi < blocks.rows; ++bi) {
            for (size_t bj = 0; bj < blocks.cols; ++bj) {
                const size_t count = (*hits)[bi * blocks.cols + bj];
                if (count == 0) continue;
                // Area grows with the count; the smallest mark stays visible.
                const double share = std::sqrt(static_cast<double>(count) / static_cast<double>(most));
                const double radius = std::max(1.0, cell * (0.2 + 0.25 * share));
                const double cx = x + bj * cell + cell / 2.0, cy = top + bi * cell + cell / 2.0;
                const std::string label = std::to_string(count) + (count == 1 ? " hit" : " hits");
                out += "<circle cx=\"" + exact_number(cx) + "\" cy=\"" + exact_number(cy) +
                       "\" r=\"" + exact_number(radius) +
                       "\" fill=\"#ffffff\" stroke=\"#000000\" stroke-width=\"" +
                       exact_number(std::max(0.5, cell / 16.0)) + "\" data-i=\"" +
                       std::to_string(bi * blocks.block) + "\" data-j=\"" +
                       std::to_string(bj * blocks.block) + "\" data-hits=\"" +
                       std::to_string(count) + "\"><title>" + label + "</title></circle>\n";
                if (cell >= kMinLabelledCell)
                    // Digits stand about 0.7 of the font size tall: a baseline
                    // 0.35 below the centre centres them without relying on
                    // dominant-baseline, which not every renderer honours.
                    out += "<text x=\"" + exact_number(cx) + "\" y=\"" +
                           exact_number(cy + cell * 0.3 * 0.35) + "\" font-size=\"" +
                           exact_number(cell * 0.3) + "\" text-anchor=\"middle\">" +
                           std::to_string(count) + "</text>\n";
            }
        }
        out += "</g>\n";
    }

    const unsigned bar_top = top + static_cast<unsigned>(blocks.rows) * cell + kLegendGap;
    const unsigned bar_width = std::min(width, 160u);
    out += "<g class=\"legend\">\n";
    if (panel.range.any) {
        out += "<rect x=\"" + px(x) + "\" y=\"" + px(bar_top) + "\" width=\"" + px(bar_width) +
               "\" height=\"" + px(kLegendBar) + "\" fill=\"url(#scale)\" stroke=\"#000000\" stroke-width=\"0.5\"/>\n";
        const unsigned text_y = bar_top + kLegendBar + 13;
        out += "<text x=\"" + px(x) + "\" y=\"" + px(text_y) + "\" font-size=\"11\">" +
               label_number(panel.range.min) + "</text>\n";
        out += "<text x=\"" + px(x + bar_width) + "\" y=\"" + px(text_y) +
               "\" font-size=\"11\" text-anchor=\"end\">" + label_number(panel.range.max) +
               "</text>\n";
    } else {
        out += "<text x=\"" + px(x) + "\" y=\"" + px(bar_top + 11) +
               "\" font-size=\"11\">no finite values</text>\n";
    }
    out += "</g>\n</g>\n";
}

}  // namespace

std::string exact_number(double value) {
    if (std::isnan(value)) return "nan";
    char text[40];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string draw_picture(const Grid &grid, const PictureOptions &options,
                         std::vector<std::string> &notes) {
    Blocks blocks;
    const size_t side = std::max(grid.rows, grid.cols);
    blocks.block = (side + kMaxSquaresPerSide - 1) / kMaxSquaresPerSide;
    blocks.rows = (grid.rows + blocks.block - 1) / blocks.block;
    blocks.cols = (grid.cols + blocks.block - 1) / blocks.block;
    if (blocks.block > 1)
        notes.push_back("each square shows the mean of up to " + std::to_string(blocks.block) +
                        " by " + std::to_string(blocks.block) + " neurons");

    const unsigned cell =
        options.cell_pixels != 0
            ? options.cell_pixels
            : std::clamp(kAutoPanelPixels / static_cast<unsigned>(std::max(blocks.rows, blocks.cols)),
                         kMinAutoCell, kMaxAutoCell);

    std::vector<Panel> panels;
    {
        Panel u;
        u.id = "u-matrix";
        u.title = "U-matrix: mean distance to the 4 grid neighbours";
        u.values = block_means(grid, blocks, grid.u_matrix);
        u.range = finite_range(u.values);
        panels.push_back(std::move(u));
    }
    const size_t planes = std::min(grid.dims, kMaxPlanes);
    if (planes < grid.dims)
        notes.push_back("component planes " + std::to_string(planes + 1) + " to " +
                        std::to_string(grid.dims) + " left out: at most " +
                        std::to_string(kMaxPlanes) + " are drawn");
    for (size_t k = 0; k < planes; ++k) {
        Panel plane;
        plane.id = "component-" + std::to_string(k + 1);
        plane.title = "component " + std::to_string(k + 1);
        plane.component = static_cast<long>(k);
        plane.values = block_means(grid, blocks, grid.planes[k]);
        plane.range = finite_range(plane.values);
        panels.push_back(std::move(plane));
    }

    std::vector<size_t> block_hits;
    if (options.hits != nullptr) block_hits = block_sums(grid, blocks, *options.hits);

    const unsigned map_width = static_cast<unsigned>(blocks.cols) * cell;
    const unsigned map_height = static_cast<unsigned>(blocks.rows) * cell;
    const unsigned panel_width = std::max(map_width, kMinPanelWidth);
    const unsigned panel_height = kPanelTitle + map_height + kLegendGap + kLegendBar + kLegendText;
    const unsigned per_row = std::min<unsigned>(kPanelsPerRow, static_cast<unsigned>(panels.size()));
    const unsigned panel_rows = static_cast<unsigned>((panels.size() + per_row - 1) / per_row);
    const unsigned width = 2 * kMargin + per_row * panel_width + (per_row - 1) * kPanelGap;
    const unsigned notes_height = 16 * static_cast<unsigned>(notes.size());
    const unsigned height = kMargin + kHeading + notes_height + panel_rows * panel_height +
                            (panel_rows - 1) * kPanelGap + kMargin;

    std::string out;
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + px(width) + "\" height=\"" +
           px(height) + "\" viewBox=\"0 0 " + px(width) + " " + px(height) +
           "\" font-family=\"sans-serif\" data-rows=\"" + std::to_string(grid.rows) +
           "\" data-cols=\"" + std::to_string(grid.cols) + "\" data-inputs=\"" +
           std::to_string(grid.dims) + "\" data-block=\"" + std::to_string(blocks.block) +
           "\" data-cell=\"" + px(cell) + "\">\n";
    const std::string heading = "Self-organizing map: " + std::to_string(grid.rows) + " by " +
                                std::to_string(grid.cols) + " neurons (i down, j across), " +
                                std::to_string(grid.dims) +
                                (grid.dims == 1 ? " input" : " inputs");
    out += "<title>" + heading + "</title>\n";
    out += "<defs><linearGradient id=\"scale\">";
    for (size_t s = 0; s < kScaleStops; ++s)
        out += "<stop offset=\"" + exact_number(static_cast<double>(s) / (kScaleStops - 1)) +
               "\" stop-color=\"" + hex_colour(kScale[s]) + "\"/>";
    out += "</linearGradient></defs>\n";
    out += "<rect width=\"" + px(width) + "\" height=\"" + px(height) + "\" fill=\"#ffffff\"/>\n";
    out += "<text x=\"" + px(kMargin) + "\" y=\"" + px(kMargin + 16) +
           "\" font-size=\"15\" font-weight=\"bold\">" + heading + "</text>\n";
    unsigned y = kMargin + kHeading;
    for (const std::string &note : notes) {
        out += "<text x=\"" + px(kMargin) + "\" y=\"" + px(y + 12) + "\" font-size=\"12\">" + note +
               "</text>\n";
        y += 16;
    }
    for (size_t p = 0; p < panels.size(); ++p) {
        const unsigned column = static_cast<unsigned>(p % per_row);
        const unsigned row = static_cast<unsigned>(p / per_row);
        draw_panel(out, panels[p], blocks, cell, kMargin + column * (panel_width + kPanelGap),
                   y + row * (panel_height + kPanelGap), panel_width,
                   p == 0 && options.hits != nullptr ? &block_hits : nullptr);
    }
    out += "</svg>\n";
    return out;
}

}  // namespace somap::render
