// Helpers for the library's unit tests: owning networks, reaching single
// weights through the records, and turning row tables into the pointer
// arrays the training functions take.
#ifndef SOMAP_TESTS_UNIT_HELPERS_H
#define SOMAP_TESTS_UNIT_HELPERS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "som/som.h"
#include "test_support.h"

namespace somap::testing {

struct NetworkDeleter {
    void operator()(som_network *network) const { som_network_destroy(network); }
};
using NetworkPtr = std::unique_ptr<som_network, NetworkDeleter>;

inline NetworkPtr make_network(size_t n, size_t x, size_t y) {
    return NetworkPtr(som_network_new(n, x, y));
}

inline som_neuron *output_neuron(const som_network *network, size_t i, size_t j) {
    return network->output_layer->neurons[i][j];
}

inline double weight(const som_network *network, size_t i, size_t j, size_t k) {
    return network->output_layer->neurons[i][j]->synapses[k]->weight;
}

inline void set_weight(som_network *network, size_t i, size_t j, size_t k, double value) {
    network->output_layer->neurons[i][j]->synapses[k]->weight = value;
}

inline void fill_weights(som_network *network, double value) {
    const som_output_layer *grid = network->output_layer;
    for (size_t i = 0; i < grid->neurons_count_x; ++i)
        for (size_t j = 0; j < grid->neurons_count_y; ++j)
            for (size_t k = 0; k < grid->neurons[i][j]->synapses_count; ++k)
                set_weight(network, i, j, k, value);
}

// Every weight in map-file order: (i * Y + j) * n + k.
inline std::vector<double> all_weights(const som_network *network) {
    std::vector<double> out;
    const som_output_layer *grid = network->output_layer;
    for (size_t i = 0; i < grid->neurons_count_x; ++i)
        for (size_t j = 0; j < grid->neurons_count_y; ++j)
            for (size_t k = 0; k < grid->neurons[i][j]->synapses_count; ++k)
                out.push_back(weight(network, i, j, k));
    return out;
}

// Sets every weight from `values`, in the order all_weights gives them.
inline void set_all_weights(som_network *network, const std::vector<double> &values) {
    const som_output_layer *grid = network->output_layer;
    size_t at = 0;
    for (size_t i = 0; i < grid->neurons_count_x; ++i)
        for (size_t j = 0; j < grid->neurons_count_y; ++j)
            for (size_t k = 0; k < grid->neurons[i][j]->synapses_count; ++k)
                set_weight(network, i, j, k, values[at++]);
}

inline std::vector<double> all_inputs(const som_network *network) {
    std::vector<double> out;
    for (size_t k = 0; k < network->input_layer->neurons_count; ++k)
        out.push_back(network->input_layer->neurons[k]->input);
    return out;
}

// Bit patterns, so that vectors of doubles compare exactly, signed zeros and
// NaNs included.
inline std::vector<uint64_t> bit_patterns(const std::vector<double> &values) {
    std::vector<uint64_t> out;
    for (double value : values) out.push_back(bits(value));
    return out;
}

// Chooses a set of kernels for the fast paths ("generic", "avx2", "avx512";
// null leaves the default) and restores the default when it goes away.
class KernelChoice {
  public:
    explicit KernelChoice(const char *engine)
        : available_(engine == nullptr || som_engine_select(engine) == 0) {}
    ~KernelChoice() { som_engine_select("auto"); }
    KernelChoice(const KernelChoice &) = delete;
    KernelChoice &operator=(const KernelChoice &) = delete;
    bool available() const { return available_; }

  private:
    bool available_;
};

// Pointers into `table`, which must outlive them and must not be resized.
inline std::vector<double *> row_pointers(std::vector<std::vector<double>> &table) {
    std::vector<double *> rows;
    for (auto &row : table) rows.push_back(row.data());
    return rows;
}

}  // namespace somap::testing

#endif
