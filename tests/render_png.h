// Just enough of PNG to check the pictures somap-render's SVG turns into:
// 8-bit RGB or RGBA, not interlaced, as rsvg-convert writes them.
#ifndef SOMAP_TESTS_RENDER_PNG_H
#define SOMAP_TESTS_RENDER_PNG_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace somap::testing {

struct Image {
    size_t width = 0, height = 0;
    std::vector<uint8_t> rgba;  // row by row, 4 bytes a pixel

    // "#rrggbb" of the pixel at column x, row y.
    std::string colour(size_t x, size_t y) const;
    uint8_t alpha(size_t x, size_t y) const { return rgba[(y * width + x) * 4 + 3]; }
};

// Decodes a PNG file's bytes; throws std::runtime_error on anything it does
// not understand or that is damaged.
Image decode_png(const std::string &bytes);

// The zlib stream's decompressed bytes (its header and check value skipped).
std::vector<uint8_t> inflate_zlib(const uint8_t *data, size_t size);

}  // namespace somap::testing

#endif
