// How the sweeps of training fared on a data set: trains as `somap -s` does
// (placement from the data, then training with the fast engine) and prints
// the engine's counts, above all the share of sweeps that had to be
// replayed. The counts are those the engine's training call reports.
//
//   sweep_stats [-x X] [-y Y] [-i ITERATIONS] [-first K] [-most K] [-lead 0|1] [-skip 0|1]
//               [-repeat R] [-threads T] < rows.tsv
//
// -repeat R trains R fresh networks and reports the shortest time (a
// shared machine only ever makes a run slower); the counts are per run
// (the last one's). -first, -most, -lead and -skip change the sweep policy
// (see som/engine/options.h), to see what another one would have cost.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "input_table.h"
#include "som/engine/options.h"
#include "som/som.h"

int main(int argc, char **argv) {
    size_t x = 100, y = 100, iterations = 1000, repeat = 1;
    som_engine::CallOptions options;
    som_engine::SweepPolicy &policy = options.sweeps;
    for (int a = 1; a + 1 < argc; a += 2) {
        const size_t value = std::strtoull(argv[a + 1], nullptr, 10);
        if (std::strcmp(argv[a], "-x") == 0) x = value;
        else if (std::strcmp(argv[a], "-y") == 0) y = value;
        else if (std::strcmp(argv[a], "-i") == 0) iterations = value;
        else if (std::strcmp(argv[a], "-first") == 0) policy.first = value;
        else if (std::strcmp(argv[a], "-most") == 0) policy.most = value;
        else if (std::strcmp(argv[a], "-lead") == 0) policy.lead_block = value != 0;
        else if (std::strcmp(argv[a], "-skip") == 0) policy.skipping = value != 0;
        else if (std::strcmp(argv[a], "-repeat") == 0) repeat = value < 1 ? 1 : value;
        else if (std::strcmp(argv[a], "-threads") == 0) som_set_max_threads(static_cast<unsigned>(value));
        else {
            std::fprintf(stderr, "usage: %s [-x X] [-y Y] [-i ITERATIONS] [-first K] [-most K] [-lead 0|1] [-skip 0|1] [-repeat R] [-threads T] < rows.tsv\n", argv[0]);
            return 2;
        }
    }
    somap::InputTable table;
    somap::read_input_table(0, table);
    if (table.size() == 0) {
        std::fprintf(stderr, "no rows\n");
        return 1;
    }
    double seconds = 0.0, cpu_seconds = 0.0;
    som_engine::SweepStats s;
    auto cpu_now = [] {
        timespec now;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
    };
    for (size_t run = 0; run < repeat; ++run) {
        som_network *network = som_network_new(table.lines[0].field_count, x, y);
        if (network == nullptr || som_init_weights(network, table.vectors.data(), table.size()) != SOM_OK) return 1;
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_now();
        if (som_engine::train(network, table.vectors.data(), table.size(), iterations, som_internal::Observer{}, options,
                              &s) != SOM_OK)
            return 1;
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu_took = cpu_now() - cpu_start;
        if (run == 0 || took < seconds) seconds = took;
        if (run == 0 || cpu_took < cpu_seconds) cpu_seconds = cpu_took;
        som_network_destroy(network);
    }
    std::printf("vectors %llu (%llu searched alone), iterations %llu (%.1f a vector), sweeps %llu (%.1f iterations a sweep), "
                "replayed %llu (%.3f%%: %llu index sum changes, %llu early zeros), distances of %.1f%% of block-iterations formed, training %.1f ms (%.1f ms of processor "
                "time)\n",
                static_cast<unsigned long long>(s.vectors), static_cast<unsigned long long>(s.searches),
                static_cast<unsigned long long>(s.iterations),
                s.vectors ? static_cast<double>(s.iterations) / s.vectors : 0.0,
                static_cast<unsigned long long>(s.sweeps),
                s.sweeps ? static_cast<double>(s.iterations) / s.sweeps : 0.0,
                static_cast<unsigned long long>(s.replays), s.sweeps ? 100.0 * s.replays / s.sweeps : 0.0,
                static_cast<unsigned long long>(s.sum_changes), static_cast<unsigned long long>(s.early_zeros),
                s.measured + s.skipped ? 100.0 * s.measured / (s.measured + s.skipped) : 100.0, seconds * 1e3,
                cpu_seconds * 1e3);
    return 0;
}
