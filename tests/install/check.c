/* Built against an installed somap library, as a C program: trains a small
 * map, saves and reloads it, and checks that the reload is bit for bit the
 * trained map and that both pick the same winners and give the same quality
 * figures and U-matrix; also that the header and the library agree on the
 * version, and that calls report their status. */
#include <som/som.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s MAP_PATH\n", argv[0]);
        return 2;
    }
    double data[6][3] = {{0.1, 0.2, 0.9}, {0.8, 0.1, 0.3}, {0.5, 0.5, 0.5},
                         {0.9, 0.9, 0.1}, {0.2, 0.7, 0.4}, {0.3, 0.3, 0.8}};
    double *rows[6];
    for (int r = 0; r < 6; ++r) rows[r] = data[r];

    if (strcmp(som_version(), SOM_VERSION_STRING) != 0) {
        fprintf(stderr, "header says %s, library %s\n", SOM_VERSION_STRING, som_version());
        return 1;
    }
    som_network *trained = som_network_new(3, 4, 5);
    if (trained == NULL) return 1;
    if (som_init_weights(trained, rows, 6) != SOM_OK || som_train(trained, rows, 6, 50) != SOM_OK) return 1;
    if (som_save(trained, argv[1]) != SOM_OK) return 1;
    int status = SOM_ERROR_INVALID;
    som_network *loaded = som_load_status(argv[1], &status);
    if (loaded == NULL || status != SOM_OK) {
        fprintf(stderr, "load: %s\n", som_status_string(status));
        return 1;
    }

    int failures = 0;
    double flat[4 * 5 * 3];
    size_t n = 0, x = 0, y = 0;
    if (som_network_shape(loaded, &n, &x, &y) != SOM_OK || n != 3 || x != 4 || y != 5) return 1;
    if (som_get_weights(loaded, flat) != SOM_OK) return 1;
    for (size_t i = 0; i < 4; ++i)
        for (size_t j = 0; j < 5; ++j)
            for (size_t k = 0; k < 3; ++k) {
                double a = trained->output_layer->neurons[i][j]->synapses[k]->weight;
                double b = loaded->output_layer->neurons[i][j]->synapses[k]->weight;
                failures += memcmp(&a, &b, sizeof a) != 0;
                failures += memcmp(&a, &flat[(i * 5 + j) * 3 + k], sizeof a) != 0;
            }
    for (int r = 0; r < 6; ++r) {
        size_t ti = 0, tj = 0, li = 0, lj = 0;
        som_set_inputs(trained, rows[r]);
        som_find_winner(trained, &ti, &tj);
        som_set_inputs(loaded, rows[r]);
        som_find_winner(loaded, &li, &lj);
        failures += ti != li || tj != lj;
        printf("%zu\t%zu\n", ti, tj);
    }
    som_quality quality[2];
    double u_matrix[2][4 * 5];
    som_network *both[2] = {trained, loaded};
    for (int m = 0; m < 2; ++m)
        if (som_measure_quality(both[m], (const double *const *)rows, 6, &quality[m]) != SOM_OK ||
            som_u_matrix(both[m], u_matrix[m]) != SOM_OK)
            return 1;
    failures += quality[0].vectors != 6 || quality[1].vectors != 6;
    failures += quality[0].topographic_errors != quality[1].topographic_errors;
    failures += memcmp(&quality[0].quantization_error, &quality[1].quantization_error, sizeof(double)) != 0;
    failures += memcmp(u_matrix[0], u_matrix[1], sizeof u_matrix[0]) != 0;
    printf("%zu\t%.17g\n", quality[1].topographic_errors, quality[1].quantization_error);
    som_network_destroy(trained);
    som_network_destroy(loaded);
    if (failures != 0) {
        fprintf(stderr, "%d mismatches between the trained and the reloaded map\n", failures);
        return 1;
    }
    return 0;
}
