// somap: trains and applies a self-organizing map to TAB-separated numbers
// on standard input.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "file_io.h"
#include "input_table.h"
#include "messages.h"
#include "options.h"
#include "output_lines.h"
#include "paths.h"
#include "phase_timer.h"
#include "progress.h"
#include "som/som.h"

namespace {

using namespace somap;

// The reference build (somap-plain, for benchmarks and differential tests)
// runs every phase through the literal implementations; the two builds must
// write the same bytes.
// Each phase returns the library's status (SOM_OK or why it failed).
#ifdef SOMAP_PLAIN_ENGINE
bool read_input(InputTable &table) {
    // Memory running out inside a read would otherwise only set badbit and
    // look like the end of the input.
    std::cin.exceptions(std::ios::badbit);
    read_input_table_plain(std::cin, table);
    // The stream takes a read error for the end; the C stream under it
    // keeps the error.
    return !std::ferror(stdin);
}
int init_weights(som_network *net, double **rows, size_t count, ProgressLine &) {
    return som_init_weights_plain(net, rows, count);
}
int train(som_network *net, double **rows, size_t count, size_t iterations, ProgressLine &) {
    return som_train_plain(net, rows, count, iterations);
}
// Every output line is its own write, as the literal run driver flushes
// after each line. The fast build gathers whole lines into writes of at most
// PIPE_BUF bytes: a reader sees the same bytes in the same order, each line
// whole, at the same moments (when a chunk's winners are known), so the two
// builds differ only in the number of write calls.
constexpr size_t kOutputGroupBytes = 0;
int find_winners(som_network *net, double **rows, size_t count, size_t *wi, size_t *wj) {
    for (size_t k = 0; k < count; ++k) {
        som_set_inputs(net, rows[k]);
        wi[k] = 0;
        wj[k] = 0;
        som_find_winner(net, &wi[k], &wj[k]);
    }
    return SOM_OK;
}
#else
// One write per line would cost a system call per line, and through a pipe
// a wake-up of the reader each: the lines of a chunk go out in writes of
// whole lines, none longer than a pipe takes in one piece (a longer line
// alone).
constexpr size_t kOutputGroupBytes = kWholeWriteBytes;
bool read_input(InputTable &table) { return read_input_table(0, table); }
int init_weights(som_network *net, double **rows, size_t count, ProgressLine &progress) {
    progress.begin(text::kProgressPlacing, text::kProgressPairs);
    return som_init_weights_observed(net, rows, count, progress.enabled() ? ProgressLine::report : nullptr,
                                     &progress);
}
int train(som_network *net, double **rows, size_t count, size_t iterations, ProgressLine &progress) {
    progress.begin(text::kProgressTraining, text::kProgressVectors);
    return som_train_observed(net, rows, count, iterations, progress.enabled() ? ProgressLine::report : nullptr,
                              &progress);
}
int find_winners(som_network *net, double **rows, size_t count, size_t *wi, size_t *wj) {
    return som_find_winners(net, rows, count, wi, wj);
}
#endif

int run(int argc, char **argv) {
    RunSettings settings;
    int early_status = parse_command_line(argc, argv, settings);
    if (early_status >= 0) return early_status;

    // The map must not land on the data it is trained from: that would
    // destroy the input (and a pipe somap reads itself would never drain);
    // nor replace the file the run's own output and messages go to, which
    // would lose them and whatever the file held. Both before anything is
    // read or written.
    if (!settings.save_path.empty()) {
        const char *clash =
            same_file(settings.save_path, "-") ? text::kStandardInputFile : standard_stream_file(settings.save_path);
        if (clash != nullptr) {
            std::cerr << text::kSaveFailed << printable(settings.save_path) << ": " << clash << std::endl;
            return 1;
        }
    }

    InputTable table;
    if (!read_input(table)) {
        std::cerr << text::kReadFailed << ": " << std::strerror(errno) << std::endl;
        return 1;
    }
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
        std::cerr << short_line_message(table, short_line, n) << std::endl;
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
            std::cerr << text::kLoadFailed << printable(settings.apply_path) << std::endl;
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
        // Training can take minutes: a terminal gets a live progress line,
        // erased before the phase report.
        ProgressLine progress(2);
        const int placed = init_weights(network, table.vectors.data(), table.size(), progress);
        const int trained = placed != SOM_OK ? placed
                                             : train(network, table.vectors.data(), table.size(),
                                                     static_cast<size_t>(static_cast<long>(settings.iterations)),
                                                     progress);
        progress.clear();
        // A map that was not placed or trained as asked is not the map the
        // run promises: no winners from it, and no map saved.
        if (trained != SOM_OK) {
            som_network_destroy(network);
            std::cerr << (placed != SOM_OK ? text::kPlacingFailed : text::kTrainingFailed) << ": "
                      << som_status_string(trained) << std::endl;
            return 1;
        }
    }
    print_phase_time(text::kPhaseTraining);

    // Winners are found a chunk of rows at a time, so that output keeps
    // flowing on long inputs (a few times a second) while each batch search
    // stays long enough to pay for packing the map and starting threads.
    // The lines of one chunk are written (in input order, all of them as
    // soon as the chunk is searched) by a helper thread while the next chunk
    // is searched; two sets of winners take turns. Where no thread can be
    // had, the lines are written right after their search.
    const size_t work_per_row = std::max<size_t>(
        1, network->output_layer->neurons_count_x * network->output_layer->neurons_count_y *
               std::max<size_t>(1, network->input_layer->neurons_count));
    const size_t chunk = std::clamp<size_t>((size_t{1} << 31) / work_per_row, 1024, 65536);
    const size_t batch = std::min(chunk, table.size());
    std::vector<size_t> winners_i[2] = {std::vector<size_t>(batch), std::vector<size_t>(batch)};
    std::vector<size_t> winners_j[2] = {std::vector<size_t>(batch), std::vector<size_t>(batch)};
    // How writing the last chunk ended: a failed write (with its errno), or
    // no memory left (passed on as it would have been without the thread).
    struct Written {
        bool failed = false, out_of_memory = false;
        int error = 0;
    };
    // A failed write (a full device, a closed descriptor, a reader that went
    // away with SIGPIPE ignored) loses lines, so the run must stop there
    // rather than save a map and report success. A descriptor a parent left
    // in non-blocking mode is waited on when full.
    auto write_chunk = [&table](const std::vector<size_t> &wi, const std::vector<size_t> &wj, size_t begin,
                                size_t count, Written &written) {
        try {
            OutputLines lines(1, kOutputGroupBytes);
            bool ok = true;
            for (size_t k = 0; k < count && ok; ++k) ok = lines.add(wi[k], wj[k], table.line(begin + k));
            // The chunk's last lines go out now, not with the next chunk's.
            if (ok && lines.flush()) return;
            written.failed = true;
            written.error = errno;
        } catch (const std::bad_alloc &) {
            written.out_of_memory = true;
        }
    };
    std::thread writer;
    Written written;
    // Waits for the chunk being written; false once a write has failed.
    auto settle = [&]() {
        if (writer.joinable()) writer.join();
        if (written.out_of_memory) throw std::bad_alloc();
        return !written.failed;
    };
    bool lines_out = true;
    int searched = SOM_OK;
    for (size_t begin = 0, turn = 0; begin < table.size() && lines_out; begin += chunk, turn ^= 1) {
        size_t count = std::min(chunk, table.size() - begin);
        searched = find_winners(network, table.vectors.data() + begin, count, winners_i[turn].data(),
                                winners_j[turn].data());
        lines_out = settle();
        if (!lines_out || searched != SOM_OK) break;
        try {
            writer = std::thread(write_chunk, std::cref(winners_i[turn]), std::cref(winners_j[turn]), begin, count,
                                 std::ref(written));
        } catch (const std::system_error &) {
            write_chunk(winners_i[turn], winners_j[turn], begin, count, written);
        }
    }
    if (lines_out) lines_out = settle();
    if (!lines_out) {
        // A reader that has gone away (EPIPE) is the normal end of
        // `somap | head`: quiet, as SIGPIPE would have been.
        som_network_destroy(network);
        if (written.error != EPIPE) std::cerr << text::kOutputFailed << std::endl;
        return 1;
    }
    if (searched != SOM_OK) {
        som_network_destroy(network);
        std::cerr << text::kRecognitionFailed << ": " << som_status_string(searched) << std::endl;
        return 1;
    }
    print_phase_time(text::kPhaseRecognition);

    if (training) {
        const int saved = som_save(network, settings.save_path.c_str());
        const int error = errno;
        if (saved != SOM_OK) {
            som_network_destroy(network);
            std::cerr << text::kSaveFailed << printable(settings.save_path) << ": " << save_failure(saved, error)
                      << std::endl;
            return 1;
        }
    }
    som_network_destroy(network);
    print_phase_time(text::kPhaseDestruction);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // A write beyond the file-size limit must fail like any other write (the
    // library's saves hold the signal themselves; standard output needs
    // this), not kill the run with its output half written.
    std::signal(SIGXFSZ, SIG_IGN);
    // Input larger than the memory the process may use ends with a message,
    // like any other bad input, not with an abort; no map has been written
    // by then, since saving comes last and allocates nothing of this kind.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs(somap::text::kOutOfMemory, stderr);
        std::fputc('\n', stderr);
        return 1;
    }
}
