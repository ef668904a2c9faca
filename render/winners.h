// Winner coordinates as somap writes them: i TAB j TAB the original line.
#ifndef SOMAP_RENDER_WINNERS_H
#define SOMAP_RENDER_WINNERS_H

#include <cstddef>
#include <string>
#include <vector>

namespace somap::render {

// Counts, for each neuron of a rows by cols grid (row-major), the lines of
// `text` that name it. Blank lines (nothing, or a lone carriage return) are
// skipped; each other line must start with two whole numbers in decimal
// digits, separated by a TAB and ended by a TAB or the end of the line,
// inside the grid. Returns "" on success, otherwise a message
// "line N: ..." (lines counted from 1, blank ones included) and `hits` is
// unspecified.
std::string count_winners(const std::string &text, size_t rows, size_t cols,
                          std::vector<size_t> &hits);

}  // namespace somap::render

#endif
