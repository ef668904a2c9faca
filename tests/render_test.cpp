// somap-render end to end: the figures it writes into the picture, the
// picture as rsvg-convert paints it, winner marks, quality figures, and its
// refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <regex>
#include <string>
#include <vector>

#include "render_png.h"
#include "test_support.h"

namespace somap::testing {
namespace {

ProcessResult run_render(const std::vector<std::string> &args, const std::string &input = "") {
    return run_process(SOMAP_RENDER_BINARY, args, input);
}

// A map file byte by byte: the 40-byte header, then weight k of neuron (i, j)
// at index (i * Y + j) * n + k.
std::string map_file(uint64_t x, uint64_t y, uint64_t n, const std::vector<double> &weights,
                     double time_constant = 1.5) {
    std::string out;
    auto put = [&out](const void *value) { out.append(static_cast<const char *>(value), 8); };
    const int64_t saved_at = 1700000000;
    put(&saved_at);
    put(&time_constant);
    put(&n);
    put(&x);
    put(&y);
    for (double w : weights) put(&w);
    return out;
}

// The 2 by 3 fixture, n = 2. Neighbouring weights lie at whole distances
// (3-4-5 triangles), so every U-matrix value is exact:
//   (0,0)=(0,0)  (0,1)=(3,4)   (0,2)=(3,10)
//   (1,0)=(0,2)  (1,1)=(3,6)   (1,2)=(3,14)
// distances across: 5, 6 on row 0; 5, 8 on row 1; down: 2, 2, 4.
const std::vector<double> kFixture = {0, 0, 3, 4, 3, 10, 0, 2, 3, 6, 3, 14};
//   (0,0): down 2, right 5       -> 3.5
//   (0,1): down 2, left 5, right 6 -> 13/3
//   (0,2): down 4, left 6        -> 5
//   (1,0): up 2, right 5         -> 3.5
//   (1,1): up 2, left 5, right 8 -> 5
//   (1,2): up 4, left 8          -> 6
const double kFixtureU[2][3] = {{3.5, 13.0 / 3, 5}, {3.5, 5, 6}};

std::string attribute(const std::string &element, const std::string &name) {
    const std::regex pattern("\\s" + name + "=\"([^\"]*)\"");
    std::smatch match;
    if (!std::regex_search(element, match, pattern)) return "<missing " + name + ">";
    return match[1];
}

double number_attribute(const std::string &element, const std::string &name) {
    const std::string text = attribute(element, name);
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    EXPECT_TRUE(!text.empty() && *end == '\0') << name << "=\"" << text << "\"";
    return value;
}

// The text of one panel, from its opening tag to the next panel or the end.
std::string panel(const std::string &svg, const std::string &id) {
    const size_t begin = svg.find("<g class=\"panel\" id=\"" + id + "\"");
    if (begin == std::string::npos) return "";
    const size_t end = svg.find("<g class=\"panel\"", begin + 1);
    return svg.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

std::vector<std::string> elements(const std::string &text, const std::string &tag) {
    std::vector<std::string> out;
    const std::regex pattern("<" + tag + "\\s[^>]*>");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator(); ++it)
        out.push_back(it->str());
    return out;
}

// The heat-map squares of a panel (the legend's bar carries no value).
std::vector<std::string> squares(const std::string &panel_text) {
    std::vector<std::string> out;
    for (const std::string &rect : elements(panel_text, "rect"))
        if (rect.find(" data-v=") != std::string::npos) out.push_back(rect);
    return out;
}

// The square of neuron (i, j) in a panel.
std::string square(const std::string &panel_text, size_t i, size_t j) {
    for (const std::string &rect : elements(panel_text, "rect"))
        if (attribute(rect, "data-i") == std::to_string(i) && attribute(rect, "data-j") == std::to_string(j))
            return rect;
    return "";
}

class RenderTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string write(const std::string &name, const std::string &contents) {
        const std::string path = dir.file(name);
        write_file(path, contents);
        return path;
    }
};

TEST_F(RenderTest, UMatrixAndComponentPlanesCarryTheHandComputedValues) {
    const std::string map = write("m.map", map_file(2, 3, 2, kFixture));
    const ProcessResult result = run_render({"--cell", "20", map});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string &svg = result.out;
    EXPECT_EQ(attribute(elements(svg, "svg").at(0), "data-rows"), "2");
    EXPECT_EQ(attribute(elements(svg, "svg").at(0), "data-cols"), "3");
    EXPECT_EQ(elements(svg, "g class=\"panel\"").size(), 3u);  // U-matrix and n = 2 planes

    const std::string u = panel(svg, "u-matrix");
    ASSERT_NE(u, "");
    EXPECT_EQ(squares(u).size(), 6u);
    for (size_t i = 0; i < 2; ++i)
        for (size_t j = 0; j < 3; ++j)
            EXPECT_EQ(bits(number_attribute(square(u, i, j), "data-v")), bits(kFixtureU[i][j]))
                << "U(" << i << ", " << j << ")";
    EXPECT_EQ(number_attribute(u, "data-min"), 3.5);
    EXPECT_EQ(number_attribute(u, "data-max"), 6.0);

    // Each plane has its own range.
    const double planes[2][6] = {{0, 3, 3, 0, 3, 3}, {0, 4, 10, 2, 6, 14}};
    const double ranges[2][2] = {{0, 3}, {0, 14}};
    for (size_t k = 0; k < 2; ++k) {
        const std::string plane = panel(svg, "component-" + std::to_string(k + 1));
        ASSERT_NE(plane, "") << k;
        EXPECT_EQ(attribute(plane, "data-k"), std::to_string(k));
        EXPECT_EQ(number_attribute(plane, "data-min"), ranges[k][0]);
        EXPECT_EQ(number_attribute(plane, "data-max"), ranges[k][1]);
        for (size_t cell = 0; cell < 6; ++cell)
            EXPECT_EQ(number_attribute(square(plane, cell / 3, cell % 3), "data-v"), planes[k][cell])
                << "plane " << k << " cell " << cell;
    }

    // Neuron (i, j) sits in row i, column j: j moves right, i moves down.
    const std::string origin = square(u, 0, 0);
    const double x0 = number_attribute(origin, "x"), y0 = number_attribute(origin, "y");
    for (size_t i = 0; i < 2; ++i) {
        for (size_t j = 0; j < 3; ++j) {
            const std::string rect = square(u, i, j);
            EXPECT_EQ(number_attribute(rect, "x"), x0 + 20.0 * j) << i << "," << j;
            EXPECT_EQ(number_attribute(rect, "y"), y0 + 20.0 * i) << i << "," << j;
            EXPECT_EQ(attribute(rect, "width"), "20");
        }
    }
}

TEST_F(RenderTest, ColoursFollowEachPanelsOwnRange) {
    const std::string map = write("m.map", map_file(2, 3, 2, kFixture));
    const ProcessResult result = run_render({map});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string u = panel(result.out, "u-matrix");
    // The lowest value takes the scale's first colour, the highest its last.
    EXPECT_EQ(attribute(square(u, 0, 0), "fill"), "#440154");
    EXPECT_EQ(attribute(square(u, 1, 0), "fill"), "#440154");
    EXPECT_EQ(attribute(square(u, 1, 2), "fill"), "#fde725");
    // 5 is 0.6 of the way from 3.5 to 6: 0.4 of the way from stop 5
    // (#1f9e89) to stop 6 (#35b779) of ten, rounded: (39.8, 168, 130.6).
    EXPECT_EQ(attribute(square(u, 1, 1), "fill"), "#28a883");
    const std::string plane = panel(result.out, "component-1");
    EXPECT_EQ(attribute(square(plane, 1, 0), "fill"), "#440154");
    EXPECT_EQ(attribute(square(plane, 1, 1), "fill"), "#fde725");
}

bool have_rsvg_convert() {
    return run_process("/bin/sh", {"-c", "command -v rsvg-convert"}, "").status == 0;
}

Image paint(TempDir &dir, const std::string &svg) {
    const std::string svg_path = dir.file("picture.svg"), png_path = dir.file("picture.png");
    write_file(svg_path, svg);
    const ProcessResult converted =
        run_process("/bin/sh", {"-c", "rsvg-convert -f png -o \"$1\" \"$2\"", "sh", png_path, svg_path}, "");
    EXPECT_EQ(converted.status, 0) << converted.err;
    return decode_png(read_file(png_path));
}

TEST_F(RenderTest, PaintedPictureHasTheDeclaredSizeAndSquareColours) {
    if (!have_rsvg_convert()) GTEST_SKIP() << "rsvg-convert is not installed";
    const std::string map = write("m.map", map_file(2, 3, 2, kFixture));
    const ProcessResult result = run_render({"-c", "20", map});
    ASSERT_EQ(result.status, 0) << result.err;
    const Image image = paint(dir, result.out);
    const std::string root = elements(result.out, "svg").at(0);
    EXPECT_EQ(std::to_string(image.width), attribute(root, "width"));
    EXPECT_EQ(std::to_string(image.height), attribute(root, "height"));
    // Three panels side by side, each at least three 20-pixel squares wide.
    EXPECT_GE(image.width, 3u * 3 * 20);

    for (const std::string id : {"u-matrix", "component-1", "component-2"}) {
        const std::string p = panel(result.out, id);
        for (size_t i = 0; i < 2; ++i) {
            for (size_t j = 0; j < 3; ++j) {
                const std::string rect = square(p, i, j);
                const size_t cx = static_cast<size_t>(number_attribute(rect, "x")) + 10;
                const size_t cy = static_cast<size_t>(number_attribute(rect, "y")) + 10;
                EXPECT_EQ(image.colour(cx, cy), attribute(rect, "fill")) << id << " " << i << "," << j;
                // Squares fill their whole cell: a corner pixel has the colour too.
                EXPECT_EQ(image.colour(cx - 10, cy + 9), attribute(rect, "fill")) << id << " " << i << "," << j;
            }
        }
    }
    // Independently of the document: the U-matrix's peak is neuron (1, 2),
    // two squares right of and one below neuron (0, 0), whose value is lowest.
    const std::string origin = square(panel(result.out, "u-matrix"), 0, 0);
    const size_t x0 = static_cast<size_t>(number_attribute(origin, "x"));
    const size_t y0 = static_cast<size_t>(number_attribute(origin, "y"));
    EXPECT_EQ(image.colour(x0 + 50, y0 + 30), "#fde725");
    EXPECT_EQ(image.colour(x0 + 10, y0 + 10), "#440154");
    EXPECT_EQ(image.colour(x0 + 10, y0 + 30), "#440154");
    EXPECT_EQ(image.colour(0, 0), "#ffffff");
}

TEST_F(RenderTest, WinnersAreMarkedOnTheUMatrixOnly) {
    const std::string map = write("m.map", map_file(2, 3, 2, kFixture));
    // Blank lines and a CRLF ending are skipped; the third field is optional.
    const std::string winners = write("w.tsv", "0\t0\t0\t0\n0\t0\tx\n\n1\t2\t3\t14\r\n0\t0\n\r\n");
    const ProcessResult result = run_render({"--winners", winners, "--cell", "16", map});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> marks = elements(panel(result.out, "u-matrix"), "circle");
    ASSERT_EQ(marks.size(), 2u);
    std::map<std::string, std::string> by_cell;
    for (const std::string &mark : marks) by_cell[attribute(mark, "data-i") + "," + attribute(mark, "data-j")] = mark;
    ASSERT_EQ(by_cell.count("0,0"), 1u);
    ASSERT_EQ(by_cell.count("1,2"), 1u);
    EXPECT_EQ(attribute(by_cell["0,0"], "data-hits"), "3");
    EXPECT_EQ(attribute(by_cell["1,2"], "data-hits"), "1");
    EXPECT_GT(number_attribute(by_cell["0,0"], "r"), number_attribute(by_cell["1,2"], "r"));
    EXPECT_EQ(elements(panel(result.out, "component-1"), "circle").size(), 0u);

    // Each mark is centred on its neuron's square.
    const std::string u = panel(result.out, "u-matrix");
    for (const auto &[cell, mark] : by_cell) {
        const std::string rect = square(u, cell[0] - '0', cell[2] - '0');
        EXPECT_EQ(number_attribute(mark, "cx"), number_attribute(rect, "x") + 8) << cell;
        EXPECT_EQ(number_attribute(mark, "cy"), number_attribute(rect, "y") + 8) << cell;
    }

    if (!have_rsvg_convert()) GTEST_SKIP() << "rsvg-convert is not installed";
    const Image image = paint(dir, result.out);
    for (const auto &[cell, mark] : by_cell) {
        const size_t cx = static_cast<size_t>(number_attribute(mark, "cx"));
        const size_t cy = static_cast<size_t>(number_attribute(mark, "cy"));
        EXPECT_EQ(image.colour(cx, cy), "#ffffff") << cell;
    }
    const std::string unmarked = square(u, 0, 1);
    EXPECT_EQ(image.colour(static_cast<size_t>(number_attribute(unmarked, "x")) + 8,
                           static_cast<size_t>(number_attribute(unmarked, "y")) + 8),
              attribute(unmarked, "fill"));
}

std::map<std::string, std::string> stats_fields(const std::string &out) {
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start < out.size()) {
        const size_t end = out.find('\n', start);
        const std::string line = out.substr(start, end - start);
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) fields[line.substr(0, tab)] = line.substr(tab + 1);
        start = end == std::string::npos ? out.size() : end + 1;
    }
    return fields;
}

double exact(const std::string &text) {
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    EXPECT_TRUE(!text.empty() && *end == '\0') << "'" << text << "'";
    return value;
}

struct QualityCase {
    const char *name;
    uint64_t x, y, n;
    std::vector<double> weights;
    const char *data;
    double quantization_error;
    size_t topographic_errors;
    double topographic_error;
};

// How the figures rank ties, NaN distances and neighbours is the library's,
// tested on its calls (unit_analysis_test.cpp); here, what the program adds:
// the data read as somap reads it, and the figures printed.
TEST_F(RenderTest, QualityFiguresOnDesignedMaps) {
    const QualityCase cases[] = {
        // 0.25 wins (0,0), second (0,2) is two steps away; 9 wins (0,1)
        // with (0,2) next to it. Distances 0.25 and 1.
        {"one of two torn apart", 1, 3, 1, {0, 10, 1}, "0.25\n9\n", 0.625, 1, 0.5},
        // Read as somap reads: CRLF kept out of the number, lines with no
        // field (nothing, or a lone carriage return) skipped.
        {"input read as somap reads it", 1, 3, 1, {0, 10, 1}, "0.25\r\n\n\r\n9\n", 0.625, 1, 0.5},
        // A line of one blank is one empty field, 0.0: it wins (0,0) exactly.
        {"a blank field is zero", 1, 3, 1, {0, 10, 1}, " \n", 0, 1, 1},
        // Only the first n fields count; distances to the best unit 0, 2, 5.
        {"extra fields ignored", 1, 2, 2, {0, 0, 3, 4}, "3\t4\t99\n0\t2\n0\t-5\n", 7.0 / 3, 0, 0},
    };
    for (const QualityCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string map = write("q.map", map_file(c.x, c.y, c.n, c.weights));
        const ProcessResult result = run_render({"--stats", "-", map}, c.data);
        ASSERT_EQ(result.status, 0) << result.err;
        auto fields = stats_fields(result.out);
        EXPECT_EQ(bits(exact(fields["quantization_error"])), bits(c.quantization_error))
            << fields["quantization_error"];
        EXPECT_EQ(fields["topographic_errors"], std::to_string(c.topographic_errors));
        EXPECT_EQ(exact(fields["topographic_error"]), c.topographic_error);
    }
}

TEST_F(RenderTest, QualityReadsADataFileAndCountsItsVectors) {
    const std::string map = write("q.map", map_file(1, 3, 1, {0, 10, 1}));
    const std::string data = write("d.tsv", "0.25\n\n9\n9\n9\n");
    const ProcessResult result = run_render({"-s", data, map});
    ASSERT_EQ(result.status, 0) << result.err;
    auto fields = stats_fields(result.out);
    EXPECT_EQ(fields["vectors"], "4");
    EXPECT_EQ(exact(fields["quantization_error"]), (0.25 + 1 + 1 + 1) / 4);
    EXPECT_EQ(exact(fields["topographic_error"]), 0.25);
}

// A map somap trained, the winners somap printed for it, and what
// somap-render makes of both.
TEST_F(RenderTest, AgreesWithSomapOnATrainedMap) {
    std::string data;
    for (int r = 0; r < 40; ++r) {
        // Two clusters and some exact repeats, so that ties happen.
        const int c = r % 4 == 3 ? 0 : r;
        data += std::to_string((c * 37) % 11 / 10.0 + (c % 2) * 3) + "\t" +
                std::to_string((c * 53) % 7 / 10.0) + "\n";
    }
    const std::string map = dir.file("trained.map");
    ProcessResult trained = run_somap({"-x", "5", "-y", "4", "-i", "30", "-s", map}, data);
    ASSERT_EQ(trained.status, 0) << trained.err;
    ProcessResult applied = run_somap({"-a", map}, data);
    ASSERT_EQ(applied.status, 0) << applied.err;
    const std::string winners = write("winners.tsv", applied.out);

    const ProcessResult picture = run_render({"-w", winners, map});
    ASSERT_EQ(picture.status, 0) << picture.err;
    std::map<std::string, size_t> expected_hits;
    {
        size_t start = 0;
        while (start < applied.out.size()) {
            const size_t tab = applied.out.find('\t', start);
            const size_t tab2 = applied.out.find('\t', tab + 1);
            ++expected_hits[applied.out.substr(start, tab2 - start)];
            start = applied.out.find('\n', start) + 1;
        }
    }
    std::map<std::string, size_t> marked;
    for (const std::string &mark : elements(panel(picture.out, "u-matrix"), "circle"))
        marked[attribute(mark, "data-i") + "\t" + attribute(mark, "data-j")] =
            std::stoul(attribute(mark, "data-hits"));
    EXPECT_EQ(marked, expected_hits);

    // Quality recomputed here from the map bytes and somap's own winners:
    // best unit = somap's winner; second = the nearest other neuron, ties
    // to the first in row-major order (a stable sort by distance).
    const std::string bytes = read_file(map);
    uint64_t header[5];
    std::memcpy(header, bytes.data(), sizeof header);
    const size_t n = header[2], X = header[3], Y = header[4];
    ASSERT_EQ(n, 2u);
    std::vector<double> w(X * Y * n);
    std::memcpy(w.data(), bytes.data() + 40, w.size() * 8);
    std::vector<std::vector<double>> rows;
    std::vector<std::pair<size_t, size_t>> won;
    {
        size_t start = 0;
        while (start < applied.out.size()) {
            const size_t end = applied.out.find('\n', start);
            const std::string line = applied.out.substr(start, end - start);
            size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
            won.emplace_back(std::stoul(line.substr(0, a)), std::stoul(line.substr(a + 1, b - a - 1)));
            rows.push_back({std::strtod(line.substr(b + 1, c - b - 1).c_str(), nullptr),
                            std::strtod(line.substr(c + 1).c_str(), nullptr)});
            start = end + 1;
        }
    }
    auto distance2 = [&](const std::vector<double> &row, size_t cell) {
        double sum = 0.0;
        for (size_t k = 0; k < n; ++k) {
            const double d = row[k] - w[cell * n + k];
            sum = sum + d * d;
        }
        return sum;
    };
    double sum = 0.0;
    size_t errors = 0;
    for (size_t r = 0; r < rows.size(); ++r) {
        const size_t best = won[r].first * Y + won[r].second;
        sum = sum + std::sqrt(distance2(rows[r], best));
        std::vector<size_t> order(X * Y);
        std::iota(order.begin(), order.end(), size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return distance2(rows[r], a) < distance2(rows[r], b); });
        const size_t second = order[0] == best ? order[1] : order[0];
        const long di = static_cast<long>(second / Y) - static_cast<long>(best / Y);
        const long dj = static_cast<long>(second % Y) - static_cast<long>(best % Y);
        if (std::labs(di) + std::labs(dj) != 1) ++errors;
    }
    const ProcessResult stats = run_render({"--stats", "-", map}, data);
    ASSERT_EQ(stats.status, 0) << stats.err;
    auto fields = stats_fields(stats.out);
    EXPECT_EQ(fields["vectors"], "40");
    EXPECT_EQ(bits(exact(fields["quantization_error"])), bits(sum / 40)) << fields["quantization_error"];
    EXPECT_EQ(fields["topographic_errors"], std::to_string(errors));
}

TEST_F(RenderTest, LargeMapsAreAveragedInBlocksAndPlanesCapped) {
    // 250 by 2 neurons, 20 inputs, weight k of neuron (i, j) = i: blocks of
    // 3 by 3 neurons, so block row b averages rows 3b..3b+2 to 3b + 1.
    const uint64_t X = 250, Y = 2, n = 20;
    std::vector<double> weights;
    for (uint64_t i = 0; i < X; ++i)
        for (uint64_t j = 0; j < Y; ++j)
            for (uint64_t k = 0; k < n; ++k) weights.push_back(static_cast<double>(i));
    const std::string map = write("big.map", map_file(X, Y, n, weights));
    const std::string winners = write("w.tsv", "0\t0\n2\t1\n3\t0\n249\t1\n");
    const ProcessResult result = run_render({"-w", winners, map});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("left out"), std::string::npos) << result.err;
    EXPECT_EQ(attribute(elements(result.out, "svg").at(0), "data-block"), "3");
    EXPECT_EQ(elements(result.out, "g class=\"panel\"").size(), 13u);  // U-matrix and 12 planes
    EXPECT_EQ(panel(result.out, "component-13"), "");
    const std::string plane = panel(result.out, "component-12");
    EXPECT_EQ(squares(plane).size(), 84u);  // ceil(250 / 3) by 1
    EXPECT_EQ(number_attribute(square(plane, 0, 0), "data-v"), 1.0);
    EXPECT_EQ(number_attribute(square(plane, 81, 0), "data-v"), 82.0);
    EXPECT_EQ(number_attribute(square(plane, 249, 0), "data-v"), 249.0);  // the last block is one row

    std::map<std::string, std::string> hits;
    for (const std::string &mark : elements(panel(result.out, "u-matrix"), "circle"))
        hits[attribute(mark, "data-i")] = attribute(mark, "data-hits");
    EXPECT_EQ(hits, (std::map<std::string, std::string>{{"0", "2"}, {"3", "1"}, {"249", "1"}}));
    EXPECT_LT(result.out.size(), 500000u);
}

TEST_F(RenderTest, HelpAndOutputFile) {
    const ProcessResult help = run_render({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: somap-render", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("4-neighbours"), std::string::npos);

    const std::string map = write("m.map", map_file(2, 3, 2, kFixture));
    const std::string svg = dir.file("out.svg");
    // An existing file is replaced whole and keeps its permission bits.
    write_file(svg, "an older picture");
    ASSERT_EQ(chmod(svg.c_str(), 0640), 0);
    const ProcessResult to_file = run_render({"-o", svg, map});
    ASSERT_EQ(to_file.status, 0) << to_file.err;
    EXPECT_EQ(to_file.out, "");
    EXPECT_EQ(read_file(svg), run_render({map}).out);
    struct stat info;
    ASSERT_EQ(stat(svg.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"m.map", "out.svg"}));
}

struct ErrorCase {
    const char *name;
    std::vector<std::string> args;  // "MAP" and the like name files made below
    const char *message;
    const char *input = "";
};

TEST_F(RenderTest, BadInputIsRefusedWithAMessage) {
    const std::string good = map_file(2, 3, 2, kFixture);
    std::string bad_time = good;
    const double nan = std::nan("");
    std::memcpy(&bad_time[8], &nan, 8);
    const auto sparse = [this](const std::string &name, uint64_t x, uint64_t y, uint64_t n) {
        const std::string path = write(name, map_file(x, y, n, {}));
        EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(40 + 8 * x * y * n)), 0) << std::strerror(errno);
        return path;
    };
    std::map<std::string, std::string> files = {
        {"MAP", write("good.map", good)},
        {"EMPTY", write("empty.map", "")},
        {"HEADER", write("header.map", good.substr(0, 30))},
        {"SHORT", write("short.map", good.substr(0, good.size() - 1))},
        {"HUGE", write("huge.map", map_file(1ull << 40, 1ull << 40, 1, {}))},
        {"SPARSE", sparse("sparse.map", 1ull << 17, 1ull << 17, 1)},
        {"NANTIME", write("nantime.map", bad_time)},
        {"NOROWS", write("norows.map", map_file(0, 3, 2, {}))},
        {"NOCOLS", write("nocols.map", map_file(2, 0, 2, {}))},
        {"NOINPUTS", write("noinputs.map", map_file(2, 3, 0, {}))},
        {"WLETTERS", write("w1.tsv", "0\t0\tok\nx\t1\tbad\n")},
        {"WNOTAB", write("w2.tsv", "0\t0\n\n1\n")},
        {"WROW", write("w3.tsv", "2\t0\t...\n")},
        {"WCOL", write("w4.tsv", "1\t3\t...\n")},
        {"WSIGN", write("w5.tsv", "-1\t0\n")},
        {"WBIG", write("w6.tsv", "0\t99999999999999999999999\n")},
        {"DIR", dir.path()},
        {"MISSING", dir.file("missing")},
        {"NODIR", dir.file("missing/out.svg")},
    };
    const ErrorCase cases[] = {
        {"no arguments", {}, "no map file given"},
        {"two maps", {"MAP", "MAP"}, "one map file only"},
        {"unknown option", {"--colour", "MAP"}, "unknown option --colour"},
        {"option without value", {"MAP", "--winners"}, "needs a value"},
        {"cell zero", {"-c", "0", "MAP"}, "--cell must be"},
        {"cell too big", {"-c", "65", "MAP"}, "--cell must be"},
        {"cell not a number", {"-c", "2x", "MAP"}, "--cell must be"},
        {"stats with winners", {"-s", "-", "-w", "WROW", "MAP"}, "do not go together"},
        {"missing map", {"MISSING"}, "cannot open map"},
        {"map is a directory", {"DIR"}, "is a directory"},
        {"empty map", {"EMPTY"}, "could not load map"},
        {"map cut in header", {"HEADER"}, "could not load map"},
        {"map cut in weights", {"SHORT"}, "could not load map"},
        {"map claims too much", {"HUGE"}, "could not load map"},
        // 128 GiB long (sparse), as its header says, but beyond memory.
        {"map beyond memory", {"SPARSE"}, "it declares a network too large for this machine"},
        {"map with NaN time constant", {"NANTIME"}, "could not load map"},
        {"no rows", {"NOROWS"}, "empty grid (0 by 3"},
        {"no columns", {"NOCOLS"}, "empty grid (2 by 0"},
        {"no inputs", {"NOINPUTS"}, "no inputs (n = 0)"},
        {"no inputs, stats", {"-s", "-", "NOINPUTS"}, "no inputs (n = 0)", "1\n"},
        {"winners missing", {"-w", "MISSING", "MAP"}, "cannot open"},
        {"winners letters", {"-w", "WLETTERS", "MAP"}, "line 2: row index \"x\" is not a whole number"},
        {"winners without TAB", {"-w", "WNOTAB", "MAP"}, "line 3: expected a row index, a TAB"},
        {"winners row outside", {"-w", "WROW", "MAP"}, "line 1: row 2 is outside the map's 2 rows"},
        {"winners column outside", {"-w", "WCOL", "MAP"}, "line 1: column 3 is outside the map's 3 columns"},
        {"winners negative", {"-w", "WSIGN", "MAP"}, "row index \"-1\" is not a whole number"},
        {"winners huge index", {"-w", "WBIG", "MAP"}, "is outside the map's 3 columns"},
        {"stats data missing", {"-s", "MISSING", "MAP"}, "cannot open"},
        {"stats data empty", {"-s", "-", "MAP"}, "no data vectors in standard input"},
        {"stats data only blank lines", {"-s", "-", "MAP"}, "no data vectors", "\n\r\n"},
        {"stats short row", {"-s", "-", "MAP"}, "line 3 has 1 field, expected 2", "1\t2\n\n3\n"},
        {"output not writable", {"-o", "NODIR", "MAP"}, "cannot write"},
        {"output is a directory", {"-o", "DIR", "MAP"}, "it is a directory"},
        {"output is the map", {"-o", "MAP", "MAP"}, "is an input of this run"},
        {"output is the data", {"-o", "WROW", "-s", "WROW", "MAP"}, "is an input of this run"},
    };
    for (const ErrorCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args;
        for (const std::string &arg : c.args) args.push_back(files.count(arg) ? files[arg] : arg);
        const ProcessResult result = run_render(args, c.input);
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.err.rfind("somap-render: ", 0), 0u) << result.err;
        EXPECT_EQ(result.out, "");
    }
    // Nothing the runs were given was changed, and nothing was left behind.
    EXPECT_EQ(read_file(files["MAP"]), good);
    EXPECT_EQ(read_file(files["WROW"]), "2\t0\t...\n");
    for (const std::string &name : dir.entries()) EXPECT_EQ(name.find(".somap-render-"), std::string::npos) << name;
}

}  // namespace
}  // namespace somap::testing
