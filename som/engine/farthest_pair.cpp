// The most distant pair of rows under the city-block distance, for the
// placement of the initial weights.
//
// The plain search compares all R (R - 1) / 2 pairs. Here cheap upper bounds
// on each row's greatest distance to any other row discard the rows that
// cannot belong to a pair at the greatest distance, round after round, and
// the rows that remain are compared pair by pair with the plain search's
// own arithmetic and tie-break. The answer is decided only by those exact
// distances, so it is the plain search's answer to the bit.
//
// Every bound below is an upper bound on a row's greatest distance to the
// others; a row is dropped only where that bound, widened for the rounding
// of both the bound and the plain distances, falls short of the computed
// distance of a pair already found (som/engine/bounds/placement_pruning.h:
// the derivation and the arithmetic). Equal rows (== in every component,
// so -0.0 equals 0.0) have equal computed distances to every row; of each
// set of equal rows only the first is kept, and of all the pairs between
// the copies of two kept rows a < b the first in (i, j) order is (a, b)
// itself.
//
// Rows holding a NaN have a NaN distance to every row, which never wins:
// they are left out. Rows with infinite or huge values (beyond 2^900, where
// the bounds' sums could overflow) are compared with every other row on
// their own, exactly, and the bounds work on the others; the two answers
// are merged by distance and then by the first-pair rule. Tables of a few
// thousand rows, or where such rows are an eighth of the table or more, are
// searched by comparing every pair, as before.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "som/base/exact_build.h"
#include "som/base/status.h"
#include "som/engine/bounds/placement_pruning.h"
#include "som/engine/engine.h"
#include "som/engine/options.h"
#include "som/base/literal_primitives.h"
#include "som/model/network_internal.h"
#include "som/som.h"

using namespace som_engine;

namespace {

using placement_pruning::may_reach;

// Pivots of the ball bound: enough to give each cluster of typical data a
// few balls of its own, few enough that a pass over the rows per pivot stays
// a small multiple of reading them.
constexpr size_t kPivots = 64;
// The sign-vector bound visits 2^(n-1) sums per row.
constexpr size_t kSignInputs = 10;

using som_literal::city_block;
using som_literal::FirstFarthest;

// The pair of rows a and b (in either order) at distance d, offered to the
// first of the farthest pairs in the caller's row numbers, whatever the order
// of the offers: the greatest distance above 0.0, and of equal ones the pair
// first in (i, j) order, as the plain search's strict comparison in that
// order keeps it. NaN distances never count.
void offer(FirstFarthest &best, double d, size_t a, size_t b) {
    FirstFarthest pair;
    pair.offer(d, std::min(a, b), std::max(a, b));
    best = som_literal::first_of(best, pair);
}

// A kernel's answer as the reduction it is.
FirstFarthest as_first_farthest(const Farthest &result) {
    FirstFarthest out;
    if (result.first != SIZE_MAX) out.offer(result.distance, result.first, result.second);
    return out;
}

struct Free {
    void operator()(double *p) const { std::free(p); }
};

// Rows under consideration: their numbers in the caller's table (ascending)
// and a copy of their values in blocks of kLanes rows, at
// [(b * n + k) * kLanes + lane]; lanes past the end repeat the last row.
struct RowSet {
    size_t n = 0;
    std::vector<size_t> index;
    std::vector<const double *> row;
    std::unique_ptr<double, Free> values;

    size_t size() const { return index.size(); }
    size_t blocks() const { return block_count(size()); }
    const double *block(size_t b) const { return values.get() + b * n * kLanes; }

    // Takes the given rows of `rows`, in the order given (ascending).
    void take(double *const *rows, size_t inputs, std::vector<size_t> numbers) {
        n = inputs;
        index = std::move(numbers);
        row.resize(index.size());
        for (size_t s = 0; s < index.size(); ++s) row[s] = rows[index[s]];
        values.reset(allocate_packed(blocks(), n));
        if (values == nullptr) throw std::bad_alloc();
        for (size_t b = 0; b < blocks(); ++b)
            for (size_t lane = 0; lane < kLanes; ++lane) {
                const double *x = row[std::min(b * kLanes + lane, size() - 1)];
                for (size_t k = 0; k < n; ++k) values.get()[(b * n + k) * kLanes + lane] = x[k];
            }
    }
    // Position of the caller's row `number`, which must be in the set.
    size_t position(size_t number) const {
        return static_cast<size_t>(std::lower_bound(index.begin(), index.end(), number) - index.begin());
    }
};

// Threads for a pass over `blocks` blocks with `work` units of arithmetic.
size_t parts_for(size_t blocks, size_t work) { return std::max<size_t>(1, std::min(worker_count(work), blocks)); }

// Splits blocks [0, blocks) into parts_for(blocks, work) parts run side by
// side; body(first block, end block, part).
template <typename Body>
void over_blocks(size_t blocks, size_t work, Body body) {
    const size_t parts = parts_for(blocks, work);
    run_parallel(parts, [&](size_t part, size_t total) { body(blocks * part / total, blocks * (part + 1) / total, part); });
}

// The best pair found so far, in the caller's row numbers.
struct Found {
    double distance = 0.0;
    size_t first = 0, second = 0;
    void offer(double d, size_t a, size_t b) {
        if (d > distance) {
            distance = d;
            first = std::min(a, b);
            second = std::max(a, b);
        }
    }
};

// Computed distances from row x to every row of the set, as the plain search
// computes them (|x_k - y_k| equals |y_k - x_k| in floating point too): each
// lane is som_literal::city_block, in its order.
void distances_from(const RowSet &set, const double *x, double *out) {
    const size_t n = set.n;
    over_blocks(set.blocks(), set.size() * n, [&](size_t b0, size_t b1, size_t) {
        for (size_t b = b0; b < b1; ++b) {
            const double *block = set.block(b);
            double sum[kLanes] = {};
            for (size_t k = 0; k < n; ++k)
                for (size_t lane = 0; lane < kLanes; ++lane)
                    sum[lane] = sum[lane] + std::fabs(x[k] - block[k * kLanes + lane]);
            for (size_t lane = 0; lane < kLanes && b * kLanes + lane < set.size(); ++lane)
                out[b * kLanes + lane] = sum[lane];
        }
    });
}

// A pair at a large distance, to measure the bounds against: alternate
// farthest rows, then the extremes along the sign pattern of the best pair
// (in L1 the greatest distance is reached along some sign pattern).
void good_pair(const RowSet &set, Found &found, std::vector<double> &scratch) {
    const size_t n = set.n, count = set.size();
    scratch.resize(count);
    size_t from = 0;
    for (int round = 0; round < 3; ++round) {
        distances_from(set, set.row[from], scratch.data());
        const size_t far = static_cast<size_t>(std::max_element(scratch.begin(), scratch.end()) - scratch.begin());
        found.offer(scratch[far], set.index[from], set.index[far]);
        if (far == from) break;
        from = far;
    }
    std::vector<double> sign(n);
    for (int round = 0; round < 4 && found.distance > 0.0; ++round) {
        const double *a = set.row[set.position(found.first)], *b = set.row[set.position(found.second)];
        for (size_t k = 0; k < n; ++k) sign[k] = a[k] >= b[k] ? 1.0 : -1.0;
        size_t high = 0, low = 0;
        double high_value = -INFINITY, low_value = INFINITY;
        for (size_t s = 0; s < count; ++s) {
            double v = 0.0;
            for (size_t k = 0; k < n; ++k) v = v + sign[k] * set.row[s][k];
            if (v > high_value) high_value = v, high = s;
            if (v < low_value) low_value = v, low = s;
        }
        const double before = found.distance;
        found.offer(city_block(set.row[high], set.row[low], n), set.index[high], set.index[low]);
        if (found.distance == before) break;
    }
}

// Keeps the rows whose bound may reach the distance found.
std::vector<size_t> kept_rows(const RowSet &set, const std::vector<double> &bound, double reach) {
    std::vector<size_t> kept;
    for (size_t s = 0; s < set.size(); ++s)
        if (may_reach(bound[s], set.n, reach)) kept.push_back(set.index[s]);
    return kept;
}

// Progress in pairs of the caller's table: never falling, at most `total`.
struct Reporter {
    const som_internal::Observer &observer;
    size_t total, done = 0;
    bool present() const { return observer.present(); }
    // False when the callback asks to stop.
    bool report(size_t value) {
        done = std::max(done, std::min(value, total));
        return !observer.stop(done, total);
    }
};

// Bound 1: the farthest corner of the bounding box,
// sum_k max(x_k - low_k, high_k - x_k).
void box_bound(const RowSet &set, std::vector<double> &bound) {
    const size_t n = set.n;
    std::vector<double> low(n, INFINITY), high(n, -INFINITY);
    for (size_t s = 0; s < set.size(); ++s)
        for (size_t k = 0; k < n; ++k) {
            low[k] = std::min(low[k], set.row[s][k]);
            high[k] = std::max(high[k], set.row[s][k]);
        }
    bound.resize(set.size());
    over_blocks(set.blocks(), set.size() * n, [&](size_t b0, size_t b1, size_t) {
        for (size_t b = b0; b < b1; ++b) {
            const double *block = set.block(b);
            double sum[kLanes] = {};
            for (size_t k = 0; k < n; ++k)
                for (size_t lane = 0; lane < kLanes; ++lane) {
                    const double x = block[k * kLanes + lane];
                    sum[lane] = sum[lane] + std::max(x - low[k], high[k] - x);
                }
            for (size_t lane = 0; lane < kLanes && b * kLanes + lane < set.size(); ++lane)
                bound[b * kLanes + lane] = sum[lane];
        }
    });
}

// The sums s.x for every sign vector s with s_0 = +1, for the rows of one
// block: sums[(s * kLanes) + lane], bit m - 1 of s set where s_m = -1. Each
// is ((x_0 +- x_1) +- x_2) ..., n - 1 roundings in a fixed order, so it is
// within (n - 1) u / (1 - (n - 1) u) |x|_1 of the real s.x.
void sign_sums(const double *block, size_t n, double *sums) {
    for (size_t lane = 0; lane < kLanes; ++lane) sums[lane] = block[lane];
    size_t filled = 1;
    for (size_t k = 1; k < n; ++k) {
        const double *xk = block + k * kLanes;
        for (size_t s = 0; s < filled; ++s)
            for (size_t lane = 0; lane < kLanes; ++lane) {
                const double v = sums[s * kLanes + lane];
                sums[s * kLanes + lane] = v + xk[lane];
                sums[(s + filled) * kLanes + lane] = v - xk[lane];
            }
        filled *= 2;
    }
}

// Bound 2 (few inputs): max_j |x_i - x_j|_1 = max over sign vectors s of
// max(s.x_i - min_j s.x_j, max_j s.x_j - s.x_i), exact but for rounding
// (placement_pruning::sign_vector_bound). Also offers the pair at the
// extremes of the widest sign vector.
void sign_bound(const RowSet &set, std::vector<double> &bound, Found &found) {
    const size_t n = set.n, count = set.size(), half = size_t{1} << (n - 1);
    const size_t parts = parts_for(set.blocks(), count * half);
    std::vector<double> high(parts * half, -INFINITY), low(parts * half, INFINITY), norm(parts, 0.0);
    // Scratch for each thread, allocated here: nothing may throw on a
    // helper thread.
    std::vector<double> scratch(parts * half * kLanes);
    over_blocks(set.blocks(), count * half, [&](size_t b0, size_t b1, size_t part) {
        double *sums = scratch.data() + part * half * kLanes;
        double *h = high.data() + part * half, *l = low.data() + part * half;
        for (size_t b = b0; b < b1; ++b) {
            sign_sums(set.block(b), n, sums);
            const size_t lanes = std::min(kLanes, count - b * kLanes);
            for (size_t s = 0; s < half; ++s)
                for (size_t lane = 0; lane < lanes; ++lane) {
                    h[s] = std::max(h[s], sums[s * kLanes + lane]);
                    l[s] = std::min(l[s], sums[s * kLanes + lane]);
                }
            for (size_t lane = 0; lane < lanes; ++lane) {
                double one = 0.0;
                for (size_t k = 0; k < n; ++k) one = one + std::fabs(set.block(b)[k * kLanes + lane]);
                norm[part] = std::max(norm[part], one);
            }
        }
    });
    for (size_t part = 1; part < parts; ++part) {
        for (size_t s = 0; s < half; ++s) {
            high[s] = std::max(high[s], high[part * half + s]);
            low[s] = std::min(low[s], low[part * half + s]);
        }
        norm[0] = std::max(norm[0], norm[part]);
    }
    const double allowance = placement_pruning::sign_vector_allowance(n);
    const double widest_norm = norm[0];

    // The rows at both ends of the widest sign vector make a pair at (about)
    // the greatest distance of the set.
    size_t widest = 0;
    for (size_t s = 1; s < half; ++s)
        if (high[s] - low[s] > high[widest] - low[widest]) widest = s;
    size_t at_high = SIZE_MAX, at_low = SIZE_MAX;
    for (size_t s = 0; s < count && (at_high == SIZE_MAX || at_low == SIZE_MAX); ++s) {
        const double *x = set.row[s];
        double v = x[0];
        for (size_t k = 1; k < n; ++k) v = ((widest >> (k - 1)) & 1) ? v - x[k] : v + x[k];
        if (v == high[widest] && at_high == SIZE_MAX) at_high = s;
        if (v == low[widest] && at_low == SIZE_MAX) at_low = s;
    }
    if (at_high != SIZE_MAX && at_low != SIZE_MAX)
        found.offer(city_block(set.row[at_high], set.row[at_low], n), set.index[at_high], set.index[at_low]);

    bound.resize(count);
    over_blocks(set.blocks(), count * half, [&](size_t b0, size_t b1, size_t part) {
        double *sums = scratch.data() + part * half * kLanes;
        for (size_t b = b0; b < b1; ++b) {
            sign_sums(set.block(b), n, sums);
            double best[kLanes], one[kLanes] = {};
            for (size_t lane = 0; lane < kLanes; ++lane) best[lane] = 0.0;
            for (size_t s = 0; s < half; ++s)
                for (size_t lane = 0; lane < kLanes; ++lane) {
                    const double v = sums[s * kLanes + lane];
                    best[lane] = std::max(best[lane], std::max(v - low[s], high[s] - v));
                }
            for (size_t k = 0; k < n; ++k)
                for (size_t lane = 0; lane < kLanes; ++lane) one[lane] = one[lane] + std::fabs(set.block(b)[k * kLanes + lane]);
            for (size_t lane = 0; lane < kLanes && b * kLanes + lane < count; ++lane)
                bound[b * kLanes + lane] =
                    placement_pruning::sign_vector_bound(best[lane], allowance, one[lane], widest_norm);
        }
    });
}

// Bound 3 (any number of inputs): balls. Pivots spread by farthest-point
// traversal cut the rows into cells; each cell has its mean as centre c and
// the greatest distance of a member from it as radius r. Then
// |x_i - x_j|_1 <= |x_i - c_t|_1 + r_t for every member j of cell t, and
// cells t whose balls cannot reach the distance found from row i's cell at
// all (|c_g - c_t|_1 + r_g + r_t too small) are skipped. The traversal's
// distances are distances between rows, so they also offer pairs.
// False when the callback asked to stop between two pivots (a pass each).
bool ball_bound(const RowSet &set, std::vector<double> &bound, Found &found, Reporter &reporter) {
    const size_t n = set.n, count = set.size();
    const size_t pivots = std::min(kPivots, count);
    std::vector<double> nearest(count, INFINITY), from(count);
    std::vector<uint32_t> cell(count, 0);
    size_t cells = 0;
    for (size_t t = 0; t < pivots; ++t) {
        if (t % 8 == 7 && !reporter.report(reporter.done)) return false;
        // The pair found first, then the row farthest from every pivot.
        size_t next;
        if (t == 0) {
            next = set.position(found.first);
        } else if (t == 1 && nearest[set.position(found.second)] > 0.0) {
            next = set.position(found.second);
        } else {
            next = static_cast<size_t>(std::max_element(nearest.begin(), nearest.end()) - nearest.begin());
            if (!(nearest[next] > 0.0)) break;  // every row coincides with a pivot
        }
        distances_from(set, set.row[next], from.data());
        for (size_t s = 0; s < count; ++s) {
            found.offer(from[s], set.index[next], set.index[s]);
            if (from[s] < nearest[s]) {
                nearest[s] = from[s];
                cell[s] = static_cast<uint32_t>(t);
            }
        }
        cells = t + 1;
    }
    std::vector<double> centre(cells * n, 0.0), radius(cells, 0.0);
    std::vector<size_t> members(cells, 0);
    for (size_t s = 0; s < count; ++s) {
        members[cell[s]] += 1;
        for (size_t k = 0; k < n; ++k) centre[cell[s] * n + k] += set.row[s][k];
    }
    for (size_t t = 0; t < cells; ++t)
        for (size_t k = 0; k < n; ++k) centre[t * n + k] /= static_cast<double>(members[t]);
    for (size_t s = 0; s < count; ++s)
        radius[cell[s]] = std::max(radius[cell[s]], city_block(set.row[s], &centre[cell[s] * n], n));
    // For each cell, the cells its rows may find partners in.
    std::vector<std::vector<uint32_t>> reach(cells);
    for (size_t g = 0; g < cells; ++g)
        for (size_t t = 0; t < cells; ++t) {
            const double across = city_block(&centre[g * n], &centre[t * n], n) + radius[g] + radius[t];
            if (may_reach(across, n, found.distance)) reach[g].push_back(static_cast<uint32_t>(t));
        }
    bound.resize(count);
    over_blocks(set.blocks(), count * n * cells, [&](size_t b0, size_t b1, size_t) {
        for (size_t s = b0 * kLanes; s < std::min(count, b1 * kLanes); ++s) {
            double best = 0.0;
            for (uint32_t t : reach[cell[s]])
                best = std::max(best, city_block(set.row[s], &centre[t * n], n) + radius[t]);
            bound[s] = best;
        }
    });
    return true;
}

// Of each set of equal rows, the first.
std::vector<size_t> without_repeats(const RowSet &set) {
    const size_t n = set.n;
    std::vector<size_t> order(set.size());
    for (size_t s = 0; s < order.size(); ++s) order[s] = s;
    auto less = [&](size_t a, size_t b) {
        const double *x = set.row[a], *y = set.row[b];
        for (size_t k = 0; k < n; ++k)
            if (x[k] != y[k]) return x[k] < y[k];
        return a < b;
    };
    std::sort(order.begin(), order.end(), less);
    std::vector<size_t> kept;
    for (size_t e = 0; e < order.size(); ++e) {
        const bool repeat = e > 0 && std::equal(set.row[order[e]], set.row[order[e]] + n, set.row[order[e - 1]]);
        if (!repeat) kept.push_back(set.index[order[e]]);
    }
    std::sort(kept.begin(), kept.end());
    return kept;
}

size_t pairs_of(size_t rows) { return rows < 2 ? 0 : rows * (rows - 1) / 2; }

// Every pair of the set compared, vectorised across the second row and
// split across threads by pair count; the first of the farthest pairs in
// the set's order. Reports `base` plus the pairs compared after each of a
// few dozen slices.
int every_pair(const Kernels &kernels, const RowSet &set, Reporter *reporter, size_t base, Farthest &out) {
    const size_t row_count = set.size(), n = set.n;
    const size_t pairs = pairs_of(row_count);
    auto pairs_before = [row_count](size_t i) { return i * (row_count - 1) - i * (i - 1) / 2; };
    auto row_at = [&](size_t target) {
        size_t low = 0, high = row_count;
        while (low < high) {
            size_t middle = low + (high - low) / 2;
            if (pairs_before(middle) < target) low = middle + 1;
            else high = middle;
        }
        return low;
    };
    const size_t slices = reporter != nullptr && reporter->present() && row_count > 1 ? 64 : 1;
    const size_t parts = worker_count(pairs * n);
    std::vector<Farthest> results;
    for (size_t slice = 0; slice < slices && row_count > 1; ++slice) {
        const size_t slice_begin = row_at(pairs / slices * slice);
        const size_t slice_end = slice + 1 == slices ? row_count : row_at(pairs / slices * (slice + 1));
        if (slice_begin == slice_end) continue;
        const size_t first = pairs_before(slice_begin), count = pairs_before(slice_end) - first;
        const size_t offset = results.size();
        results.resize(offset + parts);
        run_parallel(parts, [&](size_t part, size_t total) {
            // Row i has row_count - 1 - i partners: cut where the pairs
            // before reach part / total of the slice's.
            auto cut = [&](size_t share) {
                return share == total ? slice_end : std::max(slice_begin, row_at(first + count / total * share));
            };
            results[offset + part] =
                kernels.farthest_pair(set.values.get(), n, row_count, set.row.data(), cut(part), cut(part + 1));
        });
        if (reporter && !reporter->report(base + pairs_before(slice_end))) return SOM_ERROR_CANCELLED;
    }
    FirstFarthest farthest;
    for (const Farthest &result : results) farthest = som_literal::first_of(farthest, as_first_farthest(result));
    out = Farthest{farthest.value, farthest.first, farthest.second};
    return SOM_OK;
}

// Wild rows compared with the set a group at a time, so that each block of
// the set is read once per group.
constexpr size_t kWildGroup = 16;

// For each row of `from`, the farthest row of the set: the greatest
// distance above 0.0 (as distances_from computes it) and, of equal ones, the
// first row in the set's order, its position into at[] (SIZE_MAX for none).
// For a row w outside the set that is also the first pair in (i, j) order
// among w's pairs at that distance: (t, w) for the rows t before w, then
// (w, t) for those after, both in the order of t.
void farthest_in_set(const RowSet &set, const double *const *from, size_t count, double *distance, size_t *at) {
    const size_t n = set.n, parts = parts_for(set.blocks(), set.size() * n * count);
    // Per part, row of `from` and lane: the greatest distance and the first
    // position reaching it (exact in a double), -1 for none. Lanes see
    // increasing positions, so a strict comparison keeps the first of equal
    // distances, and NaN never counts: FirstFarthest::offer, lane by lane.
    std::vector<double> lane_best(parts * count * kLanes, 0.0), lane_at(parts * count * kLanes, -1.0);
    over_blocks(set.blocks(), set.size() * n * count, [&](size_t b0, size_t b1, size_t part) {
        double *best = lane_best.data() + part * count * kLanes;
        double *first = lane_at.data() + part * count * kLanes;
        for (size_t b = b0; b < b1; ++b) {
            const double *block = set.block(b);
            const double position = static_cast<double>(b * kLanes);
            for (size_t w = 0; w < count; ++w) {
                double sum[kLanes] = {};
                for (size_t k = 0; k < n; ++k)
                    for (size_t lane = 0; lane < kLanes; ++lane)
                        sum[lane] = sum[lane] + std::fabs(from[w][k] - block[k * kLanes + lane]);
                double *lane_of_best = best + w * kLanes, *lane_of_first = first + w * kLanes;
                for (size_t lane = 0; lane < kLanes; ++lane) {
                    const bool better = sum[lane] > lane_of_best[lane];
                    lane_of_best[lane] = better ? sum[lane] : lane_of_best[lane];
                    lane_of_first[lane] = better ? position + static_cast<double>(lane) : lane_of_first[lane];
                }
            }
        }
    });
    // Of equal distances the smallest position, whatever lane or part found
    // it: the pairs (w, position) folded in any order. Lanes past the end
    // (copies of the last row) never count.
    const double end = static_cast<double>(set.size());
    for (size_t w = 0; w < count; ++w) {
        FirstFarthest farthest;
        for (size_t part = 0; part < parts; ++part)
            for (size_t lane = 0; lane < kLanes; ++lane) {
                const size_t slot = (part * count + w) * kLanes + lane;
                const double position = lane_at[slot];
                if (position < 0.0 || position >= end) continue;
                FirstFarthest lane_pair;
                lane_pair.offer(lane_best[slot], w, static_cast<size_t>(position));
                farthest = som_literal::first_of(farthest, lane_pair);
            }
        distance[w] = farthest.value;
        at[w] = farthest.found() ? farthest.second : SIZE_MAX;
    }
}

// Every pair with a row that defeats the bounds ("wild": a value beyond
// 2^900 or infinite), computed as the plain search computes it: the wild
// rows among themselves by the exact pair search, and each wild row against
// the others (`tame`, packed), |x_k - y_k| being |y_k - x_k| in floating
// point too; each wild row's first farthest partner among those is the only
// one of its pairs that can be first at the greatest distance. Reports the
// pairs compared after each group of wild rows.
int wild_pairs(const Kernels &kernels, double **rows, size_t n, const std::vector<size_t> &wild, const RowSet &tame,
               Reporter &reporter, FirstFarthest &best) {
    size_t compared = 0;
    if (wild.size() >= 2) {
        RowSet among;
        among.take(rows, n, wild);
        Farthest out{0.0, SIZE_MAX, SIZE_MAX};
        every_pair(kernels, among, nullptr, 0, out);
        if (out.first != SIZE_MAX) offer(best, out.distance, among.index[out.first], among.index[out.second]);
        compared = pairs_of(wild.size());
    }
    for (size_t group = 0; group < wild.size() && tame.size() > 0; group += kWildGroup) {
        const size_t count = std::min(kWildGroup, wild.size() - group);
        const double *from[kWildGroup];
        double distance[kWildGroup];
        size_t at[kWildGroup];
        for (size_t w = 0; w < count; ++w) from[w] = rows[wild[group + w]];
        farthest_in_set(tame, from, count, distance, at);
        for (size_t w = 0; w < count; ++w)
            if (at[w] != SIZE_MAX) offer(best, distance[w], wild[group + w], tame.index[at[w]]);
        compared += count * tame.size();
        if (!reporter.report(compared)) return SOM_ERROR_CANCELLED;
    }
    return SOM_OK;
}

int search(double **rows, size_t row_count, size_t n, size_t *first, size_t *second, Reporter &reporter,
           const CallOptions &options, PairCounts &counts) {
    const SearchTuning &tuning = options.search;
    const Kernels &kernels = options.kernels != nullptr ? *options.kernels : active();
    counts.rows = row_count;
    if (!reporter.report(0)) return SOM_ERROR_CANCELLED;
    // Rows with a NaN never take part. Rows with an infinite or huge value
    // go beyond the bounds' arithmetic: they are compared with every other
    // row on their own, and the bounds work on the rest.
    std::vector<size_t> tame, wild;
    for (size_t r = 0; r < row_count; ++r) {
        bool nan = false, huge = false;
        for (size_t k = 0; k < n; ++k) {
            const double v = rows[r][k];
            nan = nan || std::isnan(v);
            huge = huge || placement_pruning::beyond_bounds(v);
        }
        if (!nan) (huge ? wild : tame).push_back(r);
    }
    RowSet set;
    FirstFarthest best;
    // A few wild rows cost a pass over the table each; from an eighth of the
    // table on, comparing every pair costs as much.
    if (row_count < tuning.pair_min_rows || wild.size() * 8 > row_count) {
        std::vector<size_t> all(row_count);
        for (size_t r = 0; r < row_count; ++r) all[r] = r;
        set.take(rows, n, std::move(all));
        counts.every_pair = true;
        counts.candidate_rows = row_count;
        counts.exact_pairs = pairs_of(row_count);
        Farthest out{0.0, SIZE_MAX, SIZE_MAX};
        const int status = every_pair(kernels, set, &reporter, 0, out);
        if (status != SOM_OK) return status;
        if (out.first != SIZE_MAX) offer(best, out.distance, out.first, out.second);
    } else {
        if (!tame.empty()) set.take(rows, n, std::move(tame));
        counts.unbounded_rows = wild.size();
        if (!wild.empty() && wild_pairs(kernels, rows, n, wild, set, reporter, best) != SOM_OK)
            return SOM_ERROR_CANCELLED;
        Found found;
        std::vector<double> bound;
        if (set.size() >= 2) good_pair(set, found, bound);
        if (found.distance > 0.0) {
            // Bounds, round after round, while they pay: each round must at
            // least halve the rows, else equal rows are merged once and the
            // rows left are compared pair by pair.
            box_bound(set, bound);
            std::vector<size_t> kept = kept_rows(set, bound, found.distance);
            bool merged = false;
            for (;;) {
                if (kept.size() < set.size()) set.take(rows, n, std::move(kept));
                if (set.size() <= tuning.pair_direct_rows) break;
                if (n <= kSignInputs) sign_bound(set, bound, found);
                else if (!ball_bound(set, bound, found, reporter)) return SOM_ERROR_CANCELLED;
                if (!reporter.report(reporter.done)) return SOM_ERROR_CANCELLED;
                kept = kept_rows(set, bound, found.distance);
                if (kept.size() * 2 <= set.size()) continue;
                if (merged) {
                    if (kept.size() < set.size()) set.take(rows, n, std::move(kept));
                    break;
                }
                merged = true;
                if (kept.size() < set.size()) set.take(rows, n, std::move(kept));
                kept = without_repeats(set);
            }
            if (!merged && set.size() > 2) set.take(rows, n, without_repeats(set));
            if (!reporter.report(pairs_of(row_count) - pairs_of(set.size()))) return SOM_ERROR_CANCELLED;
            counts.candidate_rows = set.size();
            counts.exact_pairs = pairs_of(set.size());
            Farthest out{0.0, SIZE_MAX, SIZE_MAX};
            const int status = every_pair(kernels, set, &reporter, pairs_of(row_count) - pairs_of(set.size()), out);
            if (status != SOM_OK) return status;
            if (out.first != SIZE_MAX) offer(best, out.distance, set.index[out.first], set.index[out.second]);
        }
    }
    if (!reporter.report(pairs_of(row_count))) return SOM_ERROR_CANCELLED;
    *first = best.found() ? best.first : 0;
    *second = best.found() ? best.second : 0;
    return SOM_OK;
}

}  // namespace

namespace som_engine {

int farthest_pair(double **rows, size_t row_count, size_t n, size_t *first, size_t *second,
                  const som_internal::Observer &observer, const CallOptions &options, PairCounts *counts) {
    Reporter reporter{observer, pairs_of(row_count)};
    PairCounts local;
    // Out of memory comes back as SOM_ERROR_MEMORY, and the placement then
    // runs the plain search, which needs none.
    const int status = som_internal::guarded(
        [&] { return search(rows, row_count, n, first, second, reporter, options, local); });
    if (counts) *counts = local;
    return status;
}

}  // namespace som_engine
