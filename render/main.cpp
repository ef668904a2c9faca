// somap-render: draws a map file saved by somap as an SVG picture, or
// measures how well the map fits a data set.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "file_io.h"
#include "grid.h"
#include "input_table.h"
#include "paths.h"
#include "som/som.h"
#include "svg.h"
#include "texts.h"
#include "winners.h"

namespace {

using namespace somap;
using namespace somap::render;

constexpr const char *kProgram = "somap-render";
constexpr unsigned kMaxCellPixels = 64;

void print_usage(FILE *to) {
    std::fprintf(to,
        "usage: %s [-o FILE] [-w WINNERS] [-c PIXELS] MAP\n"
        "       %s -s DATA [-o FILE] MAP\n", kProgram, kProgram);
}

void print_help() {
    print_usage(stdout);
    std::fputs(
        "\n"
        "Draws a map file saved by somap (somap -s MAP) as an SVG picture on standard\n"
        "output: the U-matrix, then one component plane per input dimension, each a\n"
        "heat map with a legend of its value range. Neuron (i, j) is the square in\n"
        "row i (downwards) and column j (across), i and j as somap prints them.\n"
        "\n"
        "The U-matrix value of a neuron is the mean Euclidean distance of its weights\n"
        "to those of its 4 grid neighbours (up, down, left, right; fewer at the\n"
        "edges): light ridges separate clusters, dark basins are clusters. Component\n"
        "k shows every neuron's weight for field k of the data (counted from 1).\n"
        "Grids more than 100 neurons on a\n"
        "side are drawn in blocks of averaged neurons; at most 12 planes are drawn.\n"
        "\n"
        "options:\n"
        "    -h, --help             this text\n"
        "    -o, --output FILE      write to FILE instead of standard output\n"
        "    -w, --winners FILE     mark on the U-matrix the winners that somap printed\n"
        "                           (lines i TAB j TAB input): one dot per neuron hit,\n"
        "                           larger the more hits, labelled with the count\n"
        "                           when squares are 20 pixels or more\n"
        "    -c, --cell PIXELS      side of a neuron's square, 1 to 64 (default: the\n"
        "                           largest up to 32 that keeps a plane near 360 pixels)\n"
        "    -s, --stats DATA       instead of drawing, print the map's quality on the\n"
        "                           TAB-separated vectors in DATA ('-': standard input),\n"
        "                           read as somap reads its input; prints lines\n"
        "                           NAME TAB VALUE: vectors, then\n"
        "        quantization_error  mean Euclidean distance from each vector to the\n"
        "                            weights of its best-matching unit (somap's winner)\n"
        "        topographic_error   fraction of vectors whose best and second-best\n"
        "                            matching units are not 4-neighbours on the grid\n"
        "                            (|di| + |dj| = 1; diagonal cells do not count)\n"
        "        topographic_errors  the number of such vectors\n"
        "    Units are ranked by squared Euclidean distance; ties go to the neuron first\n"
        "    in row-major order, as in somap; a NaN distance never ranks.\n"
        "\n"
        "Exit status: 0 on success, 1 on any error (a message says which).\n",
        stdout);
}

int fail(const std::string &message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return 1;
}

int usage_error(const std::string &message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    print_usage(stderr);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    return 1;
}

// The whole of a regular file, a pipe or ("-") standard input. Returns "" or
// why it could not be read.
std::string read_whole(const std::string &path, std::string &text) {
    const bool standard_input = path == "-";
    const std::string where = standard_input ? "standard input" : printable(path);
    const int fd = standard_input ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "cannot open " + where + ": " + std::strerror(errno);
    std::string error;
    struct stat info;
    if (!standard_input && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        error = "cannot read " + where + ": it is a directory";
    } else if (!read_descriptor(fd, text)) {
        error = standard_input ? std::string(text::kReadFailed) + ": " + std::strerror(errno)
                               : "cannot read " + where + ": " + std::strerror(errno);
    }
    if (!standard_input) ::close(fd);
    return error;
}

// Writes `text` to standard output (path empty) or, whole, to `path`: a file
// the user has is replaced only once the new one is complete, and a device
// or FIFO is written in place.
std::string write_whole(const std::string &path, const std::string &text) {
    if (path.empty()) {
        if (!write_all(1, text))
            return std::string("cannot write standard output: ") + std::strerror(errno);
        return "";
    }
    if (!write_file_whole(path, text)) {
        return "cannot write " + printable(path) + ": " +
               (errno == EISDIR ? std::string("it is a directory") : std::string(std::strerror(errno)));
    }
    return "";
}


struct NetworkDeleter {
    void operator()(som_network *network) const { som_network_destroy(network); }
};
using NetworkPointer = std::unique_ptr<som_network, NetworkDeleter>;

struct Settings {
    std::string map_path, output_path, winners_path, data_path;
    unsigned cell_pixels = 0;
    bool stats = false;
};

// Returns -1 to go on, otherwise the exit status.
int parse_arguments(int argc, char **argv, Settings &settings) {
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"output", required_argument, nullptr, 'o'},
        {"winners", required_argument, nullptr, 'w'},
        {"cell", required_argument, nullptr, 'c'},
        {"stats", required_argument, nullptr, 's'},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (;;) {
        const int previous = optind;
        const int option = getopt_long(argc, argv, ":ho:w:c:s:", kOptions, nullptr);
        if (option == -1) break;
        const std::string given = previous < argc ? argv[previous] : "";
        switch (option) {
        case 'h':
            print_help();
            return 0;
        case 'o':
            settings.output_path = optarg;
            if (settings.output_path.empty()) return usage_error("--output needs a file name");
            break;
        case 'w':
            settings.winners_path = optarg;
            if (settings.winners_path.empty()) return usage_error("--winners needs a file name");
            break;
        case 's':
            settings.stats = true;
            settings.data_path = optarg;
            if (settings.data_path.empty()) return usage_error("--stats needs a file name");
            break;
        case 'c': {
            const std::string value = optarg;
            unsigned long pixels = 0;
            bool valid = !value.empty() && value.size() <= 2;
            for (char c : value) valid = valid && c >= '0' && c <= '9';
            if (valid) pixels = std::stoul(value);
            if (!valid || pixels < 1 || pixels > kMaxCellPixels)
                return usage_error("--cell must be a whole number of pixels from 1 to " +
                                   std::to_string(kMaxCellPixels) + ", not '" + printable(value) + "'");
            settings.cell_pixels = static_cast<unsigned>(pixels);
            break;
        }
        case ':':
            return usage_error("option " + printable(given) + " needs a value");
        default:
            return usage_error("unknown option " + printable(given));
        }
    }
    if (optind == argc) return usage_error("no map file given");
    if (argc - optind > 1) return usage_error("one map file only; unexpected " + printable(argv[optind + 1]));
    settings.map_path = argv[optind];
    if (settings.stats && !settings.winners_path.empty())
        return usage_error("--winners and --stats do not go together");
    if (settings.stats && settings.cell_pixels != 0)
        return usage_error("--cell and --stats do not go together");
    return -1;
}

int run(int argc, char **argv) {
    Settings settings;
    const int early = parse_arguments(argc, argv, settings);
    if (early >= 0) return early;

    // Writing the picture over one of its own inputs is always a slip.
    for (const std::string *input : {&settings.map_path, &settings.winners_path, &settings.data_path})
        if (same_file(settings.output_path, *input))
            return fail("output " + printable(settings.output_path) + " is an input of this run; not overwriting it");
    // Nor the file that standard output or standard error goes to, which
    // replacing would lose.
    if (const char *clash = standard_stream_file(settings.output_path))
        return fail("cannot write " + printable(settings.output_path) + ": " + clash);

    // The map is opened once: it may be a FIFO that somap is writing, which
    // a second open would find empty.
    const std::string &map_path = settings.map_path;
    const int map_fd = ::open(map_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (map_fd < 0) return fail("cannot open map " + printable(map_path) + ": " + std::strerror(errno));
    struct stat map_info;
    if (::fstat(map_fd, &map_info) == 0 && S_ISDIR(map_info.st_mode)) {
        ::close(map_fd);
        return fail("map " + printable(map_path) + " is a directory");
    }
    int status = SOM_OK;
    NetworkPointer network(som_load_fd(map_fd, &status));
    const int load_errno = errno;
    ::close(map_fd);
    errno = load_errno;
    if (!network) return fail("could not load map " + printable(map_path) + ": " + load_failure(status, errno));
    Grid grid;
    if (!read_shape(*network, grid)) return fail("map " + printable(map_path) + " is inconsistent");
    if (grid.cells() == 0)
        return fail("map " + printable(map_path) + " has an empty grid (" + std::to_string(grid.rows) +
                    " by " + std::to_string(grid.cols) + " neurons): nothing to show");
    if (grid.dims == 0)
        return fail("map " + printable(map_path) + " has no inputs (n = 0): nothing to show");

    std::string output;
    if (settings.stats) {
        std::string text;
        const std::string where = settings.data_path == "-" ? "standard input" : printable(settings.data_path);
        std::string error = read_whole(settings.data_path, text);
        if (!error.empty()) return fail(error);
        InputTable table;
        build_input_table(std::move(text), table);
        if (table.size() == 0) return fail("no data vectors in " + where);
        const size_t short_line = find_short_line(table, grid.dims);
        if (short_line != table.size()) return fail(where + ": " + short_line_message(table, short_line, grid.dims));
        som_quality quality;
        const int measured = som_measure_quality(network.get(), table.vectors.data(), table.size(), &quality);
        // Out of memory ends the run as anywhere else, with main's message.
        if (measured == SOM_ERROR_MEMORY) throw std::bad_alloc();
        if (measured != SOM_OK) return fail(std::string("could not measure the map: ") + som_status_string(measured));
        output = "vectors\t" + std::to_string(quality.vectors) + "\n" +
                 "quantization_error\t" + exact_number(quality.quantization_error) + "\n" +
                 "topographic_error\t" + exact_number(quality.topographic_error) + "\n" +
                 "topographic_errors\t" + std::to_string(quality.topographic_errors) + "\n";
    } else {
        std::vector<size_t> hits;
        PictureOptions options;
        options.cell_pixels = settings.cell_pixels;
        if (!settings.winners_path.empty()) {
            std::string text;
            std::string error = read_whole(settings.winners_path, text);
            if (!error.empty()) return fail(error);
            error = count_winners(text, grid.rows, grid.cols, hits);
            if (!error.empty()) return fail("winners " + printable(settings.winners_path) + ": " + error);
            options.hits = &hits;
        }
        const int computed = read_figures(*network, std::min(grid.dims, kMaxPlanes), grid);
        if (computed == SOM_ERROR_MEMORY) throw std::bad_alloc();
        if (computed != SOM_OK) return fail("map " + printable(map_path) + " is inconsistent");
        std::vector<std::string> notes;
        output = draw_picture(grid, options, notes);
        for (const std::string &note : notes) std::fprintf(stderr, "%s: note: %s\n", kProgram, note.c_str());
    }
    // The network can be large; it is not needed for writing.
    network.reset();
    const std::string error = write_whole(settings.output_path, output);
    if (!error.empty()) return fail(error);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // A write beyond the file-size limit fails like any other write instead
    // of killing the program with its output half written.
    std::signal(SIGXFSZ, SIG_IGN);
    // A map or data set larger than the memory the process may use ends with
    // a message, not an abort; the output is written only at the very end.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        return fail("out of memory");
    }
}
