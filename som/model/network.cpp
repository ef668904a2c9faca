// The map network: creation with random weights, presentation of an input
// vector, the winner search and destruction.
#include "som/som.h"

#include <cfloat>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "som/base/checked_size.h"
#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/base/literal_primitives.h"
#include "som/model/network_internal.h"
#include "som/model/slab.h"

namespace {

// Synapse lists carry no capacity field, so the capacity is implied by the
// count: the smallest power of two not below it. Growing one entry at a time
// then reallocates only when the count is a power of two, which keeps wiring
// a million-input network linear instead of quadratic.
bool append_synapse(som_neuron *neuron, som_synapse *synapse) {
    size_t count = neuron->synapses_count;
    if (count == 0 || (count & (count - 1)) == 0) {
        size_t capacity = count == 0 ? 1 : 0;
        if (count != 0 && !som_checked_mul(count, 2, &capacity)) return false;
        size_t bytes;
        if (!som_checked_mul(capacity, sizeof(som_synapse *), &bytes)) return false;
        // A list in a slab cannot be reallocated: it moves to memory of its
        // own, and its place in the slab is released.
        som_internal::Releaser slabs;
        void *grown;
        if (slabs.in_slab(neuron->synapses)) {
            grown = std::malloc(bytes);
            if (grown == nullptr) return false;
            std::memcpy(grown, neuron->synapses, count * sizeof(som_synapse *));
            slabs.release(neuron->synapses);
        } else {
            grown = std::realloc(neuron->synapses, bytes);
            if (grown == nullptr) return false;
        }
        neuron->synapses = static_cast<som_synapse **>(grown);
    }
    neuron->synapses[count] = synapse;
    neuron->synapses_count = count + 1;
    return true;
}

// Removes the last entry of a list again, when the second append of a synapse
// failed; the storage stays as it is, which the capacity rule allows.
void drop_last_synapse(som_neuron *neuron) {
    neuron->synapses_count -= 1;
    neuron->synapses[neuron->synapses_count] = nullptr;
}

// The weight a synapse gets when 0.0 asks for a random one: 2^32 - 1, not
// RAND_MAX, divides the draw. The quotient rounds, so the callers put the
// default floating-point environment in force.
double random_weight() { return static_cast<double>(std::rand()) / 4294967295.0; }

// The capacity a list of `count` entries has (count >= 1): the smallest
// power of two not below it.
size_t list_capacity(size_t count) {
    size_t capacity = 1;
    while (capacity < count) capacity *= 2;
    return capacity;
}

size_t physical_memory_bytes() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return SIZE_MAX;
    size_t bytes;
    if (!som_checked_mul(static_cast<size_t>(pages), static_cast<size_t>(page_size), &bytes))
        return SIZE_MAX;
    return bytes;
}

}  // namespace

namespace {

// The literal winner search: component k of the presented vector is
// input(k), so the same loop serves the inputs of the network and a row
// given directly.
template <typename Input>
double nearest_neuron(const som_network *network, Input input, size_t *i, size_t *j) {
    const som_output_layer *grid = network->output_layer;
    if (grid->neurons_count_x == 0 || grid->neurons_count_y == 0) return 0.0;
    som_literal::FirstSmallest nearest;
    for (size_t a = 0; a < grid->neurons_count_x; ++a) {
        for (size_t b = 0; b < grid->neurons_count_y; ++b) {
            const som_neuron *out = grid->neurons[a][b];
            const double distance = som_literal::squared_distance(
                out->synapses_count, input, [out](size_t k) { return out->synapses[k]->weight; });
            if (nearest.offer(distance, a * grid->neurons_count_y + b)) {
                *i = a;
                *j = b;
            }
        }
    }
    return nearest.value;
}

}  // namespace

extern "C" {

// glibc's malloc hands out chunks of at least 32 bytes, rounded to 16 with 8
// bytes of header; the estimate uses that so that it errs on the high side.
static int chunk_bytes(size_t payload, size_t *bytes) {
    size_t with_header;
    if (!som_checked_add(payload, 8 + 15, &with_header)) return 0;
    size_t rounded = with_header & ~static_cast<size_t>(15);
    *bytes = rounded < 32 ? 32 : rounded;
    return 1;
}

int som_network_memory(size_t n, size_t x, size_t y, size_t *bytes) {
    if (bytes == nullptr) return 0;
    size_t grid, synapses, total = 0, part, chunk;
    if (!som_checked_mul(x, y, &grid)) return 0;
    if (!som_checked_mul(grid, n, &synapses)) return 0;
    // Each synapse: its own chunk plus an entry in two lists whose capacity
    // may be up to twice their count.
    if (!chunk_bytes(sizeof(som_synapse), &chunk)) return 0;
    size_t per_synapse = chunk + 4 * sizeof(som_synapse *);
    if (!som_checked_mul(synapses, per_synapse, &part) || !som_checked_add(total, part, &total))
        return 0;
    // Each neuron: its chunk, a slot in its row or layer array, and its list's
    // own chunk header.
    if (!chunk_bytes(sizeof(som_neuron), &chunk)) return 0;
    size_t per_neuron = chunk + sizeof(som_neuron *) + 32;
    size_t neurons;
    if (!som_checked_add(grid, n, &neurons)) return 0;
    if (!som_checked_mul(neurons, per_neuron, &part) || !som_checked_add(total, part, &total))
        return 0;
    // Each grid row: a pointer and a chunk, even when the row is empty.
    if (!som_checked_mul(x, sizeof(som_neuron **) + 32, &part) ||
        !som_checked_add(total, part, &total))
        return 0;
    if (!som_checked_add(total, sizeof(som_network) + 4096, &total)) return 0;
    *bytes = total;
    return 1;
}

som_input_layer *som_input_layer_new(size_t n) {
    size_t array_bytes;
    if (!som_checked_mul(n, sizeof(som_neuron *), &array_bytes)) return nullptr;
    auto *layer = static_cast<som_input_layer *>(std::calloc(1, sizeof(som_input_layer)));
    if (layer == nullptr) return nullptr;
    layer->neurons_count = n;
    // An array of zero entries is no failure, so never ask for zero bytes.
    layer->neurons = static_cast<som_neuron **>(std::calloc(n == 0 ? 1 : n, sizeof(som_neuron *)));
    if (layer->neurons == nullptr) {
        std::free(layer);
        return nullptr;
    }
    for (size_t k = 0; k < n; ++k) {
        layer->neurons[k] = static_cast<som_neuron *>(std::calloc(1, sizeof(som_neuron)));
        if (layer->neurons[k] == nullptr) {
            for (size_t m = 0; m < k; ++m) std::free(layer->neurons[m]);
            std::free(layer->neurons);
            std::free(layer);
            return nullptr;
        }
    }
    return layer;
}

static void free_output_rows(som_output_layer *layer, size_t rows_made, size_t neurons_made) {
    // neurons_made counts neurons across the grid in row-major order.
    size_t y = layer->neurons_count_y;
    size_t left = neurons_made;
    for (size_t i = 0; i < rows_made; ++i) {
        for (size_t j = 0; j < y && left > 0; ++j, --left) std::free(layer->neurons[i][j]);
        std::free(layer->neurons[i]);
    }
    std::free(layer->neurons);
    std::free(layer);
}

som_output_layer *som_output_layer_new(size_t x, size_t y) {
    size_t row_array_bytes, row_bytes;
    if (!som_checked_mul(x, sizeof(som_neuron **), &row_array_bytes)) return nullptr;
    if (!som_checked_mul(y, sizeof(som_neuron *), &row_bytes)) return nullptr;
    auto *layer = static_cast<som_output_layer *>(std::calloc(1, sizeof(som_output_layer)));
    if (layer == nullptr) return nullptr;
    layer->neurons_count_x = x;
    layer->neurons_count_y = y;
    layer->neurons = static_cast<som_neuron ***>(std::calloc(x == 0 ? 1 : x, sizeof(som_neuron **)));
    if (layer->neurons == nullptr) {
        std::free(layer);
        return nullptr;
    }
    for (size_t i = 0; i < x; ++i) {
        layer->neurons[i] = static_cast<som_neuron **>(std::calloc(y == 0 ? 1 : y, sizeof(som_neuron *)));
        if (layer->neurons[i] == nullptr) {
            free_output_rows(layer, i, 0);
            return nullptr;
        }
    }
    for (size_t i = 0; i < x; ++i) {
        for (size_t j = 0; j < y; ++j) {
            layer->neurons[i][j] = static_cast<som_neuron *>(std::calloc(1, sizeof(som_neuron)));
            if (layer->neurons[i][j] == nullptr) {
                free_output_rows(layer, x, i * y + j);
                return nullptr;
            }
        }
    }
    return layer;
}

som_synapse *som_synapse_new(som_neuron *in, som_neuron *out, double weight) {
    // Under DAZ a subnormal weight would compare equal to 0.0.
    som_internal::DefaultFloatingPoint environment;
    auto *synapse = static_cast<som_synapse *>(std::malloc(sizeof(som_synapse)));
    if (synapse == nullptr) return nullptr;
    synapse->neuron_in = in;
    synapse->neuron_out = out;
    if (weight == 0.0) weight = random_weight();
    synapse->weight = weight;
    if (!append_synapse(in, synapse)) {
        std::free(synapse);
        return nullptr;
    }
    if (!append_synapse(out, synapse)) {
        drop_last_synapse(in);
        std::free(synapse);
        return nullptr;
    }
    return synapse;
}

bool som_network_fits(size_t n, size_t x, size_t y, size_t extra) {
    size_t needed;
    return som_network_memory(n, x, y, &needed) && som_checked_add(needed, extra, &needed) &&
           needed <= physical_memory_bytes();
}

som_network *som_network_new(size_t n, size_t x, size_t y) {
    som_internal::DefaultFloatingPoint environment;
    std::srand(static_cast<unsigned int>(std::time(nullptr)));
    return som_network_build(n, x, y, nullptr);
}

som_network *som_network_build(size_t n, size_t x, size_t y, const double *weights) {
    if (!som_network_fits(n, x, y, 0)) return nullptr;
    // An array whose size in bytes cannot be represented is a failed
    // allocation, even where it would be carved zero times (the rows of a
    // grid with no row).
    size_t array_bytes;
    if (!som_checked_mul(n, sizeof(som_neuron *), &array_bytes) ||
        !som_checked_mul(x, sizeof(som_neuron **), &array_bytes) ||
        !som_checked_mul(y, sizeof(som_neuron *), &array_bytes))
        return nullptr;
    // Every record of the network but the network record itself comes from
    // one slab (slab.h): the layers, their arrays and rows, the neurons,
    // every synapse list at the capacity its final count implies (so that a
    // later som_synapse_new finds the capacity it expects) and the
    // synapses. The lists, the synapses and the order of the random draws
    // are those som_synapse_new would give. som_network_fits and the test
    // above have bounded every count below, so none of this arithmetic
    // overflows.
    const size_t grid = x * y, synapses = grid * n;
    const size_t input_list = grid > 0 ? list_capacity(grid) : 0;
    const size_t output_list = n > 0 ? list_capacity(n) : 0;
    size_t bytes = 0, records = 0;
    // Each record takes a whole number of 8-byte words, and at least one:
    // an empty array too has an address of its own inside the slab.
    auto words = [](size_t record_bytes) { return record_bytes == 0 ? 8 : (record_bytes + 7) / 8 * 8; };
    auto plan = [&](size_t count, size_t record_bytes) {
        bytes += count * words(record_bytes);
        records += count;
    };
    plan(1, sizeof(som_input_layer));
    plan(1, n * sizeof(som_neuron *));
    plan(n, sizeof(som_neuron));
    if (grid > 0) plan(n, input_list * sizeof(som_synapse *));
    plan(1, sizeof(som_output_layer));
    plan(1, x * sizeof(som_neuron **));
    plan(x, y * sizeof(som_neuron *));
    plan(grid, sizeof(som_neuron));
    if (n > 0) plan(grid, output_list * sizeof(som_synapse *));
    plan(synapses, sizeof(som_synapse));

    som_internal::SlabBuilder slab;
    auto *network = static_cast<som_network *>(std::calloc(1, sizeof(som_network)));
    if (network == nullptr || !slab.open(bytes, records)) {
        std::free(network);
        return nullptr;
    }
    auto take = [&slab, &words](size_t record_bytes) { return slab.take(words(record_bytes)); };

    auto *inputs = static_cast<som_input_layer *>(take(sizeof(som_input_layer)));
    inputs->neurons_count = n;
    inputs->neurons = static_cast<som_neuron **>(take(n * sizeof(som_neuron *)));
    for (size_t k = 0; k < n; ++k) inputs->neurons[k] = static_cast<som_neuron *>(take(sizeof(som_neuron)));
    for (size_t k = 0; k < n && grid > 0; ++k)
        inputs->neurons[k]->synapses = static_cast<som_synapse **>(take(input_list * sizeof(som_synapse *)));

    auto *outputs = static_cast<som_output_layer *>(take(sizeof(som_output_layer)));
    outputs->neurons_count_x = x;
    outputs->neurons_count_y = y;
    outputs->neurons = static_cast<som_neuron ***>(take(x * sizeof(som_neuron **)));
    for (size_t i = 0; i < x; ++i) outputs->neurons[i] = static_cast<som_neuron **>(take(y * sizeof(som_neuron *)));
    for (size_t i = 0; i < x; ++i)
        for (size_t j = 0; j < y; ++j) outputs->neurons[i][j] = static_cast<som_neuron *>(take(sizeof(som_neuron)));
    for (size_t i = 0; i < x && n > 0; ++i)
        for (size_t j = 0; j < y; ++j)
            outputs->neurons[i][j]->synapses = static_cast<som_synapse **>(take(output_list * sizeof(som_synapse *)));

    for (size_t i = 0; i < x; ++i) {
        for (size_t j = 0; j < y; ++j) {
            som_neuron *out = outputs->neurons[i][j];
            for (size_t k = 0; k < n; ++k) {
                auto *synapse = static_cast<som_synapse *>(take(sizeof(som_synapse)));
                som_neuron *in = inputs->neurons[k];
                synapse->neuron_in = in;
                synapse->neuron_out = out;
                // A stored weight survives bit for bit, zeros included; only
                // a created network draws random ones.
                synapse->weight = weights ? *weights++ : random_weight();
                in->synapses[in->synapses_count++] = synapse;
                out->synapses[out->synapses_count++] = synapse;
            }
        }
    }
    if (!slab.seal()) {
        std::free(network);
        return nullptr;
    }
    network->input_layer = inputs;
    network->output_layer = outputs;
    return network;
}

void som_input_layer_destroy(som_network *network) {
    if (network == nullptr || network->input_layer == nullptr) return;
    som_input_layer *layer = network->input_layer;
    som_internal::Releaser records;
    for (size_t k = 0; k < layer->neurons_count; ++k) {
        som_neuron *in = layer->neurons[k];
        if (in->synapses != nullptr) {
            for (size_t s = 0; s < in->synapses_count; ++s) {
                som_synapse *synapse = in->synapses[s];
                if (synapse == nullptr) continue;
                som_neuron *out = synapse->neuron_out;
                // The first synapse freed towards an output neuron empties and
                // releases that neuron's whole list, so no list ever names a
                // freed synapse; releasing it (rather than only clearing it)
                // keeps destruction linear in the number of synapses.
                if (out != nullptr && out->synapses != nullptr) {
                    for (size_t e = 0; e < out->synapses_count; ++e) {
                        if (out->synapses[e] != nullptr) {
                            out->synapses[e]->neuron_in = nullptr;
                            out->synapses[e] = nullptr;
                        }
                    }
                    records.release(out->synapses);
                    out->synapses = nullptr;
                    out->synapses_count = 0;
                }
                records.release(synapse);
                in->synapses[s] = nullptr;
            }
        }
        records.release(in->synapses);
        records.release(in);
        layer->neurons[k] = nullptr;
    }
    records.release(layer->neurons);
    records.release(layer);
    network->input_layer = nullptr;
}

void som_output_layer_destroy(som_network *network) {
    if (network == nullptr || network->output_layer == nullptr) return;
    som_output_layer *layer = network->output_layer;
    som_internal::Releaser records;
    for (size_t i = 0; i < layer->neurons_count_x; ++i) {
        for (size_t j = 0; j < layer->neurons_count_y; ++j) {
            som_neuron *out = layer->neurons[i][j];
            if (out->synapses != nullptr) {
                for (size_t s = 0; s < out->synapses_count; ++s) records.release(out->synapses[s]);
            }
            records.release(out->synapses);
            records.release(out);
            layer->neurons[i][j] = nullptr;
        }
        records.release(layer->neurons[i]);
        layer->neurons[i] = nullptr;
    }
    records.release(layer->neurons);
    records.release(layer);
    network->output_layer = nullptr;
}

void som_network_destroy(som_network *network) {
    if (network == nullptr) return;
    som_input_layer_destroy(network);
    som_output_layer_destroy(network);
    std::free(network);
}

void som_set_inputs(som_network *network, const double *values) {
    if (network == nullptr || network->input_layer == nullptr || values == nullptr) return;
    som_input_layer *layer = network->input_layer;
    for (size_t k = 0; k < layer->neurons_count; ++k) layer->neurons[k]->input = values[k];
}

int som_network_check(const som_network *network) {
    if (network == nullptr || network->input_layer == nullptr || network->output_layer == nullptr)
        return SOM_ERROR_INVALID;
    const som_input_layer *inputs = network->input_layer;
    const som_output_layer *grid = network->output_layer;
    const size_t n = inputs->neurons_count;
    if ((n > 0 && inputs->neurons == nullptr) ||
        (grid->neurons_count_x > 0 && grid->neurons_count_y > 0 && grid->neurons == nullptr))
        return SOM_ERROR_INVALID;
    for (size_t k = 0; k < n; ++k)
        if (inputs->neurons[k] == nullptr) return SOM_ERROR_INVALID;
    for (size_t i = 0; i < grid->neurons_count_x && grid->neurons_count_y > 0; ++i) {
        som_neuron *const *row = grid->neurons[i];
        if (row == nullptr) return SOM_ERROR_INVALID;
        for (size_t j = 0; j < grid->neurons_count_y; ++j) {
            const som_neuron *out = row[j];
            if (out == nullptr || out->synapses_count != n || (n > 0 && out->synapses == nullptr))
                return SOM_ERROR_INVALID;
            for (size_t k = 0; k < n; ++k) {
                const som_synapse *synapse = out->synapses[k];
                if (synapse == nullptr || synapse->neuron_in != inputs->neurons[k] || synapse->neuron_out != out)
                    return SOM_ERROR_INVALID;
            }
        }
    }
    return SOM_OK;
}

int som_network_shape(const som_network *network, size_t *n, size_t *x, size_t *y) {
    if (som_network_check(network) != SOM_OK) return SOM_ERROR_INVALID;
    if (n) *n = network->input_layer->neurons_count;
    if (x) *x = network->output_layer->neurons_count_x;
    if (y) *y = network->output_layer->neurons_count_y;
    return SOM_OK;
}

// Whether a flat weight array may be null: only when there is no weight.
static bool weights_present(const som_network *network, const void *weights) {
    const som_output_layer *grid = network->output_layer;
    return weights != nullptr || grid->neurons_count_x == 0 || grid->neurons_count_y == 0 ||
           network->input_layer->neurons_count == 0;
}

int som_get_weights(const som_network *network, double *weights) {
    if (som_network_check(network) != SOM_OK || !weights_present(network, weights)) return SOM_ERROR_INVALID;
    const som_output_layer *grid = network->output_layer;
    const size_t n = network->input_layer->neurons_count;
    for (size_t i = 0; i < grid->neurons_count_x; ++i)
        for (size_t j = 0; j < grid->neurons_count_y; ++j)
            for (size_t k = 0; k < n; ++k) *weights++ = grid->neurons[i][j]->synapses[k]->weight;
    return SOM_OK;
}

int som_set_weights(som_network *network, const double *weights) {
    if (som_network_check(network) != SOM_OK || !weights_present(network, weights)) return SOM_ERROR_INVALID;
    const som_output_layer *grid = network->output_layer;
    const size_t n = network->input_layer->neurons_count;
    for (size_t i = 0; i < grid->neurons_count_x; ++i)
        for (size_t j = 0; j < grid->neurons_count_y; ++j)
            for (size_t k = 0; k < n; ++k) grid->neurons[i][j]->synapses[k]->weight = *weights++;
    return SOM_OK;
}

double som_find_winner(const som_network *network, size_t *i, size_t *j) {
    using som_internal::DefaultFloatingPoint;
    DefaultFloatingPoint environment;
    return DefaultFloatingPoint::settled(som_internal::find_winner(DefaultFloatingPoint::settled(network), i, j));
}

}  // extern "C"

double som_internal::find_winner(const som_network *network, size_t *i, size_t *j) {
    if (network == nullptr || network->input_layer == nullptr || network->output_layer == nullptr ||
        i == nullptr || j == nullptr)
        return 0.0;
    som_neuron *const *inputs = network->input_layer->neurons;
    return nearest_neuron(network, [inputs](size_t k) { return inputs[k]->input; }, i, j);
}

void som_find_winner_of_row(const som_network *network, const double *row, size_t *i, size_t *j) {
    nearest_neuron(network, [row](size_t k) { return row[k]; }, i, j);
}
