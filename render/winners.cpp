#include "winners.h"

#include <string_view>

namespace somap::render {

namespace {

// Digits only: a sign, blanks or a fraction would mean the file was not
// written by somap. Values too large for size_t saturate, which lands them
// outside any grid.
bool parse_index(std::string_view field, size_t &value) {
    if (field.empty()) return false;
    value = 0;
    constexpr size_t kMax = static_cast<size_t>(-1);
    for (char c : field) {
        if (c < '0' || c > '9') return false;
        const size_t digit = static_cast<size_t>(c - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return true;
}

// A field as a message shows it: cut short, control and non-ASCII bytes
// replaced, so that whatever the file holds cannot flood or steer the
// terminal, nor leave a broken character behind the cut.
std::string shown(std::string_view field) {
    constexpr size_t kShown = 40;
    std::string out;
    for (char c : field.substr(0, kShown)) {
        const unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u >= 0x7f) ? '?' : c;
    }
    if (field.size() > kShown) out += "...";
    return out;
}

std::string quoted(std::string_view field) { return "\"" + shown(field) + "\""; }

}  // namespace

std::string count_winners(const std::string &text, size_t rows, size_t cols,
                          std::vector<size_t> &hits) {
    hits.assign(rows * cols, 0);
    std::string_view rest(text);
    size_t line_number = 0;
    while (!rest.empty()) {
        ++line_number;
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;

        const std::string prefix = "line " + std::to_string(line_number) + ": ";
        const size_t tab = line.find('\t');
        if (tab == std::string_view::npos)
            return prefix + "expected a row index, a TAB and a column index, found " + quoted(line);
        const std::string_view row_field = line.substr(0, tab);
        const std::string_view after = line.substr(tab + 1);
        const std::string_view col_field = after.substr(0, after.find('\t'));
        size_t i, j;
        if (!parse_index(row_field, i))
            return prefix + "row index " + quoted(row_field) + " is not a whole number";
        if (!parse_index(col_field, j))
            return prefix + "column index " + quoted(col_field) + " is not a whole number";
        if (i >= rows)
            return prefix + "row " + shown(row_field) + " is outside the map's " +
                   std::to_string(rows) + (rows == 1 ? " row" : " rows");
        if (j >= cols)
            return prefix + "column " + shown(col_field) + " is outside the map's " +
                   std::to_string(cols) + (cols == 1 ? " column" : " columns");
        ++hits[i * cols + j];
    }
    return "";
}

}  // namespace somap::render
