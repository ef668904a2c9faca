// The batch winner search of recognition, split across threads by rows;
// maps big enough are filtered first (kernels_filter.inc). The placement's
// pair search lives in farthest_pair.cpp.
#include "som/engine/engine.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "som/base/checked_size.h"
#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/base/status.h"
#include "som/engine/bounds/recognition_filter.h"
#include "som/engine/search_internal.h"
#include "som/model/network_internal.h"
#include "som/som.h"

using namespace som_engine;

namespace som_engine {

namespace {

// The integer nearest to v (ties to even), for |v| <= 2^51: adding and
// taking away 1.5 * 2^52 rounds away the fraction.
double nearest_integer(double v) { return (v + 0x1.8p52) - 0x1.8p52; }

float *allocate_floats(size_t count) {
    size_t bytes;
    if (count > (SIZE_MAX - 63) / sizeof(float)) return nullptr;
    bytes = (count * sizeof(float) + 63) / 64 * 64;
    return static_cast<float *>(std::aligned_alloc(64, bytes < 64 ? 64 : bytes));
}

}  // namespace

FilterGrid::~FilterGrid() {
    std::free(weights);
    std::free(norms);
    std::free(pairs);
    std::free(probe_weights);
    std::free(probe_norms);
    std::free(probe_pairs);
    std::free(probe_index);
    std::free(centre);
    std::free(specials);
}

bool FilterGrid::build(const double *packed, size_t inputs, size_t neuron_count, bool integer) {
    if (!build_image(packed, inputs, neuron_count, integer)) return false;
    // The probe: every (neurons / lanes)-th neuron, copied from the image,
    // for maps of more than one chunk.
    constexpr size_t kProbeGroups = 8;
    probe_groups = 0;
    if (groups <= kFilterChunkGroups) return true;
    const size_t lanes = kProbeGroups * kFilterLanes, pair_count = (n + 1) / 2;
    probe_norms = allocate_floats(lanes);
    probe_index = static_cast<size_t *>(std::malloc(lanes * sizeof(size_t)));
    if (pairs != nullptr)
        probe_pairs = static_cast<int16_t *>(std::aligned_alloc(64, lanes * 2 * pair_count * sizeof(int16_t) / 64 * 64 + 64));
    else
        probe_weights = allocate_floats(lanes * n);
    if (probe_norms == nullptr || probe_index == nullptr || (probe_pairs == nullptr && probe_weights == nullptr))
        return true;  // no probe
    for (size_t i = 0; i < lanes; ++i) {
        const size_t p = i * neurons / lanes;
        const size_t g = p / kFilterLanes, lane = p % kFilterLanes;
        const size_t h = i / kFilterLanes, slot = i % kFilterLanes;
        probe_norms[i] = norms[p];
        probe_index[i] = p;
        if (pairs != nullptr) {
            for (size_t k = 0; k < 2 * pair_count; ++k)
                probe_pairs[((h * pair_count + k / 2) * kFilterLanes + slot) * 2 + k % 2] =
                    pairs[((g * pair_count + k / 2) * kFilterLanes + lane) * 2 + k % 2];
        } else {
            for (size_t k = 0; k < n; ++k)
                probe_weights[(h * n + k) * kFilterLanes + slot] = weights[(g * n + k) * kFilterLanes + lane];
        }
    }
    probe_groups = kProbeGroups;
    return true;
}

bool FilterGrid::build_image(const double *packed, size_t inputs, size_t neuron_count, bool integer) {
    n = inputs;
    neurons = neuron_count;
    if (n == 0 || n > recognition_filter::kMostInputs || neurons == 0) return false;
    const size_t filled = (neurons + kFilterLanes - 1) / kFilterLanes;
    groups = (filled + kFilterGroupStep - 1) / kFilterGroupStep * kFilterGroupStep;
    // At most one neuron in eight may need the exact measure on every row;
    // beyond that the exact search over all of them is the better deal.
    const size_t special_limit = neurons / 8;
    // Centre and spread are measured on a sample of this many neurons.
    constexpr size_t kSample = 512;
    const size_t stride = (neurons + kSample - 1) / kSample;
    size_t lanes, values;
    if (!som_checked_mul(groups, kFilterLanes, &lanes) || !som_checked_mul(lanes, n, &values)) return false;
    norms = allocate_floats(lanes);
    centre = static_cast<double *>(std::malloc(n * sizeof(double)));
    specials = static_cast<size_t *>(std::malloc((special_limit + 1) * sizeof(size_t)));
    // Scratch (this runs where no exception may be thrown: a failure to
    // allocate only means the exact search).
    std::unique_ptr<double, decltype(&std::free)> scratch(
        static_cast<double *>(std::malloc(neurons * sizeof(double))), &std::free);
    if (norms == nullptr || centre == nullptr || specials == nullptr || scratch == nullptr) return false;
    double *spare = scratch.get();
    // Neuron p's component k is weights_of(p)[k * kLanes].
    auto weights_of = [&](size_t p) { return packed + (p / kLanes) * n * kLanes + p % kLanes; };
    auto weight = [&](size_t p, size_t k) { return weights_of(p)[k * kLanes]; };
    // The median weight as centre, component by component, and a power of
    // two as scale, so that the scores are sums of products of values of
    // order one: their rounding then follows the spread of the map, not its
    // distance from the origin or its magnitude, and a few outlying neurons
    // (which become special) move neither. Any centre and scale are correct;
    // these only make the filter sharp.
    for (size_t k = 0; k < n; ++k) {
        size_t finite = 0;
        for (size_t p = 0; p < neurons; p += stride)
            if (std::isfinite(weight(p, k))) spare[finite++] = weight(p, k);
        centre[k] = 0.0;
        if (finite > 0) {
            std::nth_element(spare, spare + finite / 2, spare + finite);
            centre[k] = spare[finite / 2];
        }
    }
    size_t sampled = 0;
    for (size_t p = 0; p < neurons; p += stride) {
        double reach = 0.0;
        for (size_t k = 0; k < n; ++k) {
            const double d = std::fabs(weight(p, k) - centre[k]);
            reach = !(d <= reach) ? d : reach;
            if (std::isnan(d)) reach = INFINITY;  // a NaN is as far as it gets
        }
        spare[sampled++] = reach;
    }
    // The spread that all but about one neuron in eight stay within.
    const size_t inside = sampled - 1 - sampled / 8;
    std::nth_element(spare, spare + inside, spare + sampled);
    const double spread = spare[inside];
    if (!std::isfinite(spread)) return false;
    int exponent = 0;
    if (spread > 0.0) std::frexp(spread, &exponent);
    exponent = std::clamp(exponent, -960, 960);
    scale = std::ldexp(1.0, -exponent);
    tau = recognition_filter::underflow_allowance(n, exponent);

    // Ordinary neurons, and the greatest scaled component among them.
    special_count = 0;
    double reach = 0.0;
    for (size_t p = 0; p < neurons; ++p) {
        const double *w = weights_of(p);
        double most = 0.0;
        for (size_t k = 0; k < n && most <= recognition_filter::kRange; ++k) {
            const double y = std::fabs((w[k * kLanes] - centre[k]) * scale);
            most = y <= most ? most : (y <= recognition_filter::kRange ? y : INFINITY);  // NaN and infinity: special
        }
        if (most <= recognition_filter::kRange) {
            reach = std::max(reach, most);
        } else {
            if (special_count == special_limit) return false;
            specials[special_count++] = p;
        }
    }
    // Walks the lanes in order with the special neurons: whether lane p
    // holds an ordinary neuron.
    size_t next_special = 0;
    auto ordinary = [&](size_t p) {
        if (p == 0) next_special = 0;
        if (next_special < special_count && specials[next_special] == p) {
            ++next_special;
            return false;
        }
        return p < neurons;
    };
    // The integer image needs every ordinary neuron near the spread (a few
    // far ones would cost it its resolution), and keeps its scale factors
    // within the float range.
    integer = integer && (reach == 0.0 || (reach >= 0x1p-8 && reach <= 4.0));
    norm_bound = 0.0;
    if (integer) {
        pair_bits = recognition_filter::pair_bits_for(n);
        int reach_exponent = 0;
        if (reach > 0.0) std::frexp(reach, &reach_exponent);
        pair_exponent = pair_bits - reach_exponent;
        const size_t pair_count = (n + 1) / 2;
        size_t halves;
        if (!som_checked_mul(lanes, 2 * pair_count, &halves)) return false;
        pairs = static_cast<int16_t *>(std::aligned_alloc(64, (halves * sizeof(int16_t) + 63) / 64 * 64));
        if (pairs == nullptr) return false;
        const double step = std::ldexp(1.0, pair_exponent), unit = std::ldexp(1.0, -pair_exponent);
        pair_error = 0.0;
        for (size_t p = 0; p < lanes; ++p) {
            const size_t g = p / kFilterLanes, lane = p % kFilterLanes;
            const bool counted = ordinary(p);
            const double *w = counted ? weights_of(p) : nullptr;
            int16_t *out = pairs + (g * pair_count * kFilterLanes + lane) * 2;
            double sum = 0.0;    // of integers below 2^53: exact
            double moved = 0.0;  // squared distance of the quantized neuron from it
            for (size_t k = 0; k < 2 * pair_count; ++k) {
                double q = 0.0;
                if (counted && k < n) {
                    const double y = (w[k * kLanes] - centre[k]) * scale;
                    q = nearest_integer(y * step);
                    const double d = q * unit - y;
                    moved = moved + d * d;
                }
                out[(k / 2) * kFilterLanes * 2 + k % 2] = static_cast<int16_t>(q);
                sum = sum + q * q;
            }
            const double length = std::ldexp(sum, -2 * pair_exponent);
            norms[p] = counted ? static_cast<float>(length) : INFINITY;
            if (counted) {
                norm_bound = std::max(norm_bound, recognition_filter::length_bound(length));
                pair_error = std::max(pair_error, recognition_filter::length_bound(moved));
            }
        }
        return true;
    }
    weights = allocate_floats(values);
    if (weights == nullptr) return false;
    for (size_t p = 0; p < lanes; ++p) {
        const size_t g = p / kFilterLanes, lane = p % kFilterLanes;
        const bool counted = ordinary(p);
        const double *w = counted ? weights_of(p) : nullptr;
        double sum = 0.0;
        for (size_t k = 0; k < n; ++k) {
            const float wf = counted ? static_cast<float>((w[k * kLanes] - centre[k]) * scale) : 0.0f;
            weights[(g * n + k) * kFilterLanes + lane] = -2.0f * wf;
            sum = sum + static_cast<double>(wf) * static_cast<double>(wf);
        }
        norms[p] = counted ? static_cast<float>(sum) : INFINITY;
        if (counted) norm_bound = std::max(norm_bound, recognition_filter::length_bound(sum));
    }
    return true;
}

namespace {

int search_rows(const som_network *network, const double *const *rows, size_t row_count, size_t *winners_i,
                size_t *winners_j, const CallOptions &options, FilterCounts *counts) {
    const SearchTuning &tuning = options.search;
    if (som_network_check(network) != SOM_OK || !som_rows_present(network, rows, row_count) ||
        (row_count > 0 && (winners_i == nullptr || winners_j == nullptr)))
        return SOM_ERROR_INVALID;
    if (row_count == 0) return SOM_OK;
    const size_t n = network->input_layer->neurons_count;
    const size_t Y = network->output_layer->neurons_count_y;
    const size_t neurons = network->output_layer->neurons_count_x * Y;
    // The combined index (i * Y + j, SIZE_MAX for none) goes into winners_i
    // first and is split at the end, so the search needs no memory of its
    // own beyond the packed grid (and the filter's image of it).
    size_t *winners = winners_i;
    PackedGrid grid;
    if (neurons == 0 || n == 0) {
        // An empty grid chooses nothing; without inputs every distance is
        // 0.0 and the first neuron wins: (0, 0) either way.
        std::fill(winners, winners + row_count, SIZE_MAX);
    } else if (grid.pack(network)) {
        const Kernels &kernels = options.kernels != nullptr ? *options.kernels : active();
        FilterGrid filter;
        const bool filtered = neurons * n >= tuning.filter_min_work &&
                              filter.build(grid.weights, n, neurons, kernels.integer_filter && tuning.integer_filter);
        size_t parts = worker_count(row_count * neurons * n);
        FilterCounts part_counts[64];
        parts = std::min<size_t>(parts, 64);
        // Threads claim rows a slice at a time, so that one that shares its
        // core (with the tool's writer, with another process) holds up
        // nobody: a slice is a few milliseconds of work.
        const size_t slice = std::clamp<size_t>((size_t{1} << 23) / std::max<size_t>(1, neurons * n), 64, 4096);
        std::atomic<size_t> next{0};
        run_parallel(parts, [&](size_t part, size_t) {
            FilterCounts mine;
            for (size_t begin; (begin = next.fetch_add(slice, std::memory_order_relaxed)) < row_count;) {
                const size_t count = std::min(slice, row_count - begin);
                if (filtered) {
                    FilterCounts done;
                    kernels.nearest_filtered(filter, grid.weights, grid.blocks, rows + begin, count, winners + begin,
                                             &done);
                    mine.rows += done.rows;
                    mine.exact_rows += done.exact_rows;
                    mine.exact_distances += done.exact_distances;
                } else {
                    kernels.nearest_batch(grid.weights, n, grid.blocks, rows + begin, count, winners + begin);
                    mine.rows += count;
                    mine.exact_rows += count;
                }
            }
            part_counts[part] = mine;
        });
        if (counts)
            for (size_t part = 0; part < parts; ++part) {
                counts->rows += part_counts[part].rows;
                counts->exact_rows += part_counts[part].exact_rows;
                counts->exact_distances += part_counts[part].exact_distances;
            }
    } else {
        for (size_t r = 0; r < row_count; ++r) {
            size_t i = 0, j = 0;
            som_find_winner_of_row(network, rows[r], &i, &j);
            winners[r] = i * Y + j;
        }
        if (counts) {
            counts->rows += row_count;
            counts->exact_rows += row_count;
        }
    }
    for (size_t r = 0; r < row_count; ++r) {
        const size_t w = winners[r] == SIZE_MAX ? 0 : winners[r];
        winners_i[r] = Y == 0 ? 0 : w / Y;
        winners_j[r] = Y == 0 ? 0 : w % Y;
    }
    return SOM_OK;
}

}  // namespace

int find_winners(const som_network *network, const double *const *rows, size_t row_count, size_t *winners_i,
                 size_t *winners_j, const CallOptions &options, FilterCounts *counts) {
    if (counts) *counts = FilterCounts{};
    return som_internal::guarded(
        [&] { return search_rows(network, rows, row_count, winners_i, winners_j, options, counts); });
}

}  // namespace som_engine

extern "C" {

int som_find_winners_readonly(const som_network *network, const double *const *rows, size_t row_count,
                              size_t *winners_i, size_t *winners_j) {
    som_internal::DefaultFloatingPoint environment;
    return find_winners(network, rows, row_count, winners_i, winners_j, CallOptions{}, nullptr);
}

int som_find_winners(som_network *network, double **rows, size_t row_count, size_t *winners_i,
                     size_t *winners_j) {
    som_internal::DefaultFloatingPoint environment;
    const int status = find_winners(network, rows, row_count, winners_i, winners_j, CallOptions{}, nullptr);
    if (status == SOM_OK && row_count > 0) som_set_inputs(network, rows[row_count - 1]);
    return status;
}

}  // extern "C"
