// somap: trains and applies a self-organizing map to TAB-separated numbers
// on standard input.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "input_table.h"
#include "messages.h"
#include "options.h"
#include "phase_timer.h"
#include "som/som.h"

namespace {

using namespace somap;

void write_output_line(size_t i, size_t j, std::string_view line) {
    std::string out = std::to_string(i);
    out += '\t';
    out += std::to_string(j);
    out += '\t';
    out += line;
    out += '\n';
    std::cout.write(out.data(), static_cast<std::streamsize>(out.size()));
    std::cout.flush();
}

int run(int argc, char **argv) {
    RunSettings settings;
    int early_status = parse_command_line(argc, argv, settings);
    if (early_status >= 0) return early_status;

    InputTable table;
    read_input_table_plain(std::cin, table);
    const bool training = !settings.save_path.empty();
    if (training && table.size() == 0) {
        std::cerr << text::kNothingToTrain << std::endl;
        return 1;
    }

    // Rows shorter than the network's input dimension are refused before
    // anything is reported: the library would read past their end.
    auto refuse_short_lines = [&table](size_t n) {
        size_t short_line = find_short_line(table, n);
        if (short_line == table.size()) return false;
        const InputLine &line = table.lines[short_line];
        std::cerr << "line " << line.line_number << " has " << line.field_count
                  << (line.field_count == 1 ? " field" : " fields") << ", expected " << n
                  << std::endl;
        return true;
    };

    som_network *network = nullptr;
    if (settings.apply_path.empty()) {
        const size_t n = table.size() == 0 ? 0 : table.lines[0].field_count;
        if (refuse_short_lines(n)) return 1;
        start_phase_timer();
        network = som_network_new(n, static_cast<size_t>(static_cast<long>(settings.height)),
                                  static_cast<size_t>(static_cast<long>(settings.width)));
        if (network == nullptr) {
            std::puts(text::kCreationFailed);
            return 1;
        }
    } else {
        start_phase_timer();
        std::cerr << text::kLoading << std::endl;
        network = som_load(settings.apply_path.c_str());
        if (network == nullptr) {
            std::cerr << text::kLoadFailed << settings.apply_path << std::endl;
            return 1;
        }
        if (refuse_short_lines(network->input_layer->neurons_count)) {
            som_network_destroy(network);
            return 1;
        }
    }
    print_phase_time(text::kPhaseCreation);

    if (training) {
        std::cerr << text::kTrainingPrefix << table.size() << text::kTrainingSuffix << std::endl;
        som_init_weights(network, table.vectors.data(), table.size());
        som_train(network, table.vectors.data(), table.size(),
                  static_cast<size_t>(static_cast<long>(settings.iterations)));
    }
    print_phase_time(text::kPhaseTraining);

    for (size_t k = 0; k < table.size(); ++k) {
        som_set_inputs(network, table.vectors[k]);
        size_t i = 0, j = 0;
        som_find_winner(network, &i, &j);
        write_output_line(i, j, table.line(k));
    }
    print_phase_time(text::kPhaseRecognition);

    if (training && som_save(network, settings.save_path.c_str()) != 0) {
        som_network_destroy(network);
        std::cerr << text::kSaveFailed << settings.save_path << std::endl;
        return 1;
    }
    som_network_destroy(network);
    print_phase_time(text::kPhaseDestruction);
    return 0;
}

}  // namespace

int main(int argc, char **argv) { return run(argc, argv); }
