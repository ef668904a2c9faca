/* A C caller of the library under an address-space limit that leaves almost
 * no room: every call must come back with a status (or fall back to a path
 * that needs no memory, to the same result), never abort the process with a
 * C++ exception it cannot catch. Argument: an empty directory to work in.
 * Exit status 0 when every check holds. */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "som/som.h"

enum { N = 16, X = 160, Y = 160, ROWS = 40 };

static int failures = 0;

static void check(int condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "c_api_memory_limit: %s\n", what);
        ++failures;
    }
}

/* Lets the process map only `headroom` bytes beyond what it maps now. */
static int limit_address_space(size_t headroom) {
    FILE *statm = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (statm == NULL || fscanf(statm, "%lu", &pages) != 1) return -1;
    fclose(statm);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + headroom;
    return setrlimit(RLIMIT_AS, &limit);
}

/* What a progress callback was told: the first and last done, the total,
 * and whether done ever fell. */
struct reports {
    size_t first, last, total, count;
    int fell;
};

static int record(void *context, size_t done, size_t total) {
    struct reports *seen = context;
    if (seen->count == 0) seen->first = done;
    else if (done < seen->last) seen->fell = 1;
    seen->last = done;
    seen->total = total;
    ++seen->count;
    return 0;
}

/* Entries of `directory` other than . and .. */
static int entries(const char *directory) {
    DIR *dir = opendir(directory);
    int count = 0;
    if (dir == NULL) return -1;
    for (struct dirent *entry; (entry = readdir(dir)) != NULL;)
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++count;
    closedir(dir);
    return count;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s EMPTY_DIRECTORY\n", argv[0]);
        return 2;
    }
    char map_path[4096], second_path[4096];
    snprintf(map_path, sizeof map_path, "%s/big.map", argv[1]);
    snprintf(second_path, sizeof second_path, "%s/second.map", argv[1]);

    static double data[ROWS][N];
    double *rows[ROWS];
    for (int r = 0; r < ROWS; ++r) {
        for (int k = 0; k < N; ++k) data[r][k] = (double)((r * 7 + k * 3) % 11) / 10.0;
        rows[r] = data[r];
    }
    som_network *network = som_network_new(N, X, Y);
    if (network == NULL || som_save(network, map_path) != SOM_OK) return 2;
    /* What the winner search must still find with no memory to spare. */
    static size_t expected_i[ROWS], expected_j[ROWS], found_i[ROWS], found_j[ROWS];
    for (int r = 0; r < ROWS; ++r) {
        som_set_inputs(network, rows[r]);
        expected_i[r] = expected_j[r] = 0;
        som_find_winner(network, &expected_i[r], &expected_j[r]);
    }

    if (limit_address_space(1u << 20) != 0) return 2;

    int status = SOM_OK;
    som_network *loaded = som_load_status(map_path, &status);
    check(loaded == NULL && status == SOM_ERROR_MEMORY, "loading a map beyond the limit is not SOM_ERROR_MEMORY");

    status = som_save(network, second_path);
    check(status == SOM_ERROR_MEMORY, "saving without room for the buffer is not SOM_ERROR_MEMORY");
    check(entries(argv[1]) == 1, "a failed save left a file behind");

    status = som_find_winners(network, rows, ROWS, found_i, found_j);
    check(status == SOM_OK, "the winner search failed instead of searching without its packed copy");
    for (int r = 0; r < ROWS; ++r)
        check(found_i[r] == expected_i[r] && found_j[r] == expected_j[r], "a winner differs without memory");

    check(som_init_weights(network, rows, ROWS) == SOM_OK, "placement failed");
    check(som_train(network, rows, ROWS, 2) == SOM_OK, "training failed instead of training the plain way");

    /* Whichever way they find to run, observed calls report from 0 to the
     * total. */
    struct reports placing = {0, 0, 0, 0, 0}, training = {0, 0, 0, 0, 0};
    check(som_init_weights_observed(network, rows, ROWS, record, &placing) == SOM_OK, "observed placement failed");
    check(placing.count > 0 && placing.first == 0 && placing.total == ROWS * (ROWS - 1) / 2 &&
              placing.last == placing.total && !placing.fell,
          "placement did not report from 0 to every pair");
    check(som_train_observed(network, rows, ROWS, 2, record, &training) == SOM_OK, "observed training failed");
    check(training.count > 0 && training.first == 0 && training.total == ROWS && training.last == ROWS &&
              !training.fell,
          "training did not report from 0 to every row");

    som_network_destroy(network);
    return failures == 0 ? 0 : 1;
}
