// somap._core: the compiled half of the Python package. It hands NumPy
// arrays to the som library (its analysis calls included) and the shared
// input reader, exactly as the programs call them; somap/__init__.py checks and
// converts the arguments first, so every array arriving here is float64,
// two-dimensional and C-contiguous, and is read where it lies.
//
// The GIL is released around every call into the library that can take
// long. Training reports its progress through the library's callback, which
// runs on the calling thread: it takes the GIL back only a few times a
// second, to let Python handle signals (Ctrl-C) and to call the user's
// progress function, and cancels the training when either raises.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "file_io.h"
#include "input_table.h"
#include "paths.h"
#include "som/som.h"
#include "texts.h"

namespace py = pybind11;

namespace {

struct NetworkDeleter {
    void operator()(som_network *network) const { som_network_destroy(network); }
};
using NetworkPointer = std::unique_ptr<som_network, NetworkDeleter>;

// Raises OSError(error, message): Python picks the subclass from the number
// (FileNotFoundError, PermissionError, IsADirectoryError...).
[[noreturn]] void raise_os_error(int error, const std::string &message) {
    py::object exception = py::reinterpret_borrow<py::object>(PyExc_OSError)(error, message);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

[[noreturn]] void raise_error(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// A path from os.fsencode, as the bytes the system takes and as text to show.
struct Path {
    std::string bytes;
    std::string shown;
};

Path to_path(const py::bytes &encoded) {
    Path path{std::string(encoded), ""};
    // The C library would stop at the first NUL and act on another file.
    if (path.bytes.find('\0') != std::string::npos) raise_error(PyExc_ValueError, "embedded null byte in path");
    // Bytes that are not UTF-8 are shown as \xNN escapes.
    py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(path.bytes.data(), static_cast<Py_ssize_t>(path.bytes.size()), "backslashreplace"));
    if (!text) throw py::error_already_set();
    path.shown = py::str(text);
    return path;
}

// The message the programs give for a row shorter than the network's input:
// "line 3 has 2 fields, expected 4", row numbers counted from 1.
std::string short_row_message(size_t row, size_t fields, size_t n) {
    somap::InputTable table;
    table.lines.push_back(somap::InputLine{0, 0, row + 1, 0, fields});
    return somap::short_line_message(table, 0, n);
}

// Pointers to the rows of a C-contiguous (rows, fields) array, which must
// have at least n fields; longer rows are used up to field n, as somap uses
// longer input lines.
std::vector<double *> row_pointers(const py::array_t<double, py::array::c_style> &data, size_t n) {
    if (data.ndim() != 2) raise_error(PyExc_ValueError, "data must be a 2-D array (rows by fields)");
    const size_t count = static_cast<size_t>(data.shape(0));
    const size_t fields = static_cast<size_t>(data.shape(1));
    if (count > 0 && fields < n) raise_error(PyExc_ValueError, short_row_message(0, fields, n));
    // The library takes double ** but never writes through it.
    double *first = const_cast<double *>(data.data());
    std::vector<double *> rows(count);
    for (size_t r = 0; r < count; ++r) rows[r] = first + r * fields;
    return rows;
}

std::vector<py::ssize_t> dims(std::initializer_list<size_t> sizes) {
    std::vector<py::ssize_t> out;
    for (size_t size : sizes) out.push_back(static_cast<py::ssize_t>(size));
    return out;
}

[[noreturn]] void raise_status(int status, const std::string &what) {
    if (status == SOM_ERROR_MEMORY) raise_error(PyExc_MemoryError, what + ": out of memory");
    raise_error(PyExc_RuntimeError, what + ": " + som_status_string(status));
}

// A trained or loaded map. Nothing changes it after construction except
// saving, which stamps the save time into it: saves take turns, and every
// other call only reads, so any number of threads may use one Map.
class Network {
  public:
    explicit Network(NetworkPointer network) : network_(std::move(network)) {
        som_network_shape(network_.get(), &n_, &x_, &y_);
    }

    py::tuple shape() const { return py::make_tuple(x_, y_, n_); }
    double time_constant() const { return network_->time_constant; }

    py::array_t<double> weights() const {
        py::array_t<double> out(dims({x_, y_, n_}));
        double *target = out.mutable_data();
        int status;
        {
            py::gil_scoped_release release;
            status = som_get_weights(network_.get(), target);
        }
        if (status != SOM_OK) raise_status(status, "som_get_weights");
        return out;
    }

    py::array_t<int64_t> winners(const py::array_t<double, py::array::c_style> &data) const {
        std::vector<double *> rows = row_pointers(data, n_);
        const size_t count = rows.size();
        py::array_t<int64_t> out(dims({count, 2}));
        int64_t *target = out.mutable_data();
        int status = SOM_OK;
        {
            py::gil_scoped_release release;
            std::vector<size_t> wi(count), wj(count);
            if (count > 0) status = som_find_winners_readonly(network_.get(), rows.data(), count, wi.data(), wj.data());
            for (size_t r = 0; r < count; ++r) {
                target[2 * r] = static_cast<int64_t>(wi[r]);
                target[2 * r + 1] = static_cast<int64_t>(wj[r]);
            }
        }
        if (status != SOM_OK) raise_status(status, "som_find_winners_readonly");
        return out;
    }

    // (vectors, quantization error, topographic error, topographic errors),
    // as somap-render --stats measures them.
    py::tuple quality(const py::array_t<double, py::array::c_style> &data) const {
        if (x_ == 0 || y_ == 0)
            raise_error(PyExc_ValueError, "the map has an empty grid (" + std::to_string(x_) + " by " +
                                              std::to_string(y_) + " neurons): nothing to measure");
        std::vector<double *> rows = row_pointers(data, n_);
        if (rows.empty()) raise_error(PyExc_ValueError, "no data vectors");
        som_quality quality;
        int measured;
        {
            py::gil_scoped_release release;
            measured = som_measure_quality(network_.get(), rows.data(), rows.size(), &quality);
        }
        if (measured != SOM_OK) raise_status(measured, "som_measure_quality");
        return py::make_tuple(quality.vectors, quality.quantization_error, quality.topographic_error,
                              quality.topographic_errors);
    }

    py::array_t<double> umatrix() const {
        py::array_t<double> out(dims({x_, y_}));
        double *target = out.mutable_data();
        int status;
        {
            py::gil_scoped_release release;
            status = som_u_matrix(network_.get(), target);
        }
        if (status != SOM_OK) raise_status(status, "som_u_matrix");
        return out;
    }

    void save(const py::bytes &encoded) {
        const Path path = to_path(encoded);
        int status, error;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(save_mutex_);
            status = som_save(network_.get(), path.bytes.c_str());
            error = errno;
        }
        if (status == SOM_OK) return;
        const std::string message = somap::text::kSaveFailed + path.shown;
        if (status == SOM_ERROR_SYSTEM) raise_os_error(error, message + ": " + std::strerror(error));
        if (status == SOM_ERROR_MEMORY) raise_error(PyExc_MemoryError, message + ": out of memory");
        raise_error(PyExc_ValueError, message + ": " + som_status_string(status));
    }

    // The map file's bytes, with the save time the network holds rather than
    // now: what a pickle carries, so that the copy is the map exactly. Taken
    // in turn with saves, which change that time.
    py::bytes map_bytes() {
        std::string bytes;
        int status;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(save_mutex_);
            status = somap::map_file_bytes(network_.get(), bytes);
        }
        if (status != SOM_OK) raise_status(status, "map_bytes");
        return py::bytes(bytes);
    }

  private:
    NetworkPointer network_;
    size_t n_ = 0, x_ = 0, y_ = 0;
    std::mutex save_mutex_;
};

std::unique_ptr<Network> load(const py::bytes &encoded) {
    const Path path = to_path(encoded);
    int status = SOM_OK, error = 0;
    NetworkPointer network;
    {
        py::gil_scoped_release release;
        network.reset(som_load_status(path.bytes.c_str(), &status));
        error = errno;
    }
    if (network) return std::make_unique<Network>(std::move(network));
    const std::string message = somap::text::kLoadFailed + path.shown;
    const std::string reason = message + ": " + somap::load_failure(status, error);
    switch (status) {
    case SOM_ERROR_SYSTEM: raise_os_error(error, reason);
    case SOM_ERROR_MEMORY: raise_error(PyExc_MemoryError, reason);
    default: raise_error(PyExc_ValueError, reason);
    }
}

// The network a pickle's map-file bytes describe, checked as a map file is
// checked; anything but the bytes of exactly one map is refused.
std::unique_ptr<Network> from_map_bytes(const py::bytes &data) {
    char *bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &bytes, &size) != 0) throw py::error_already_set();
    int status = SOM_OK;
    NetworkPointer network;
    {
        // `data` is immutable and held by the caller: safe to read without
        // the GIL.
        py::gil_scoped_release release;
        network.reset(somap::network_from_map_file_bytes(bytes, static_cast<size_t>(size), &status));
    }
    if (network) return std::make_unique<Network>(std::move(network));
    const std::string message = "cannot make a somap.Map from " + std::to_string(size) + " bytes: ";
    switch (status) {
    case SOM_ERROR_MEMORY: raise_error(PyExc_MemoryError, message + "out of memory");
    case SOM_ERROR_FORMAT:
        raise_error(PyExc_ValueError,
                    message + "not the bytes of one map file (cut short, followed by more, or a bad time constant)");
    default: raise_error(PyExc_ValueError, message + somap::load_failure(status, 0));
    }
}

// The table somap would read from `fd` (the same reader, the same rules):
// one row per line that has a field, n = the first row's field count,
// longer rows cut to n, a shorter row refused with the programs' message.
py::array_t<double> read_table(int fd, const std::string &shown) {
    auto table = std::make_unique<somap::InputTable>();
    bool read;
    int error;
    {
        py::gil_scoped_release release;
        // Numbers are read as somap reads them whatever the process's
        // rounding mode or flush-to-zero setting: the reader parses in the
        // default environment, like every computing call of the library.
        read = somap::read_input_table(fd, *table);
        error = errno;
    }
    if (!read) raise_os_error(error, "cannot read " + shown + ": " + std::strerror(error));
    const size_t count = table->size();
    const size_t n = count == 0 ? 0 : table->lines[0].field_count;
    const size_t short_line = somap::find_short_line(*table, n);
    if (short_line != count) raise_error(PyExc_ValueError, somap::short_line_message(*table, short_line, n));
    if (table->values.size() == count * n) {
        // Every row has exactly n values: the reader's own buffer is the
        // array, handed over rather than copied.
        using Values = decltype(table->values);
        auto values = std::make_unique<Values>(std::move(table->values));
        py::capsule owner(values.get(), [](void *p) { delete static_cast<Values *>(p); });
        const double *first = values.release()->data();
        return py::array_t<double>(dims({count, n}), first, owner);
    }
    py::array_t<double> out(dims({count, n}));
    double *target = out.mutable_data();
    for (size_t r = 0; r < count; ++r)
        std::memcpy(target + r * n, table->values.data() + table->lines[r].first_value, n * sizeof(double));
    return out;
}

// The library's progress callback during placement and training.
class Observer {
  public:
    explicit Observer(py::object progress) : progress_(std::move(progress)) {}

    void start_training() {
        training_ = true;
        last_visit_ = Clock::now();
    }
    bool failed() const { return error_.has_value(); }
    size_t stopped_at() const { return stopped_at_; }
    // The exception that stopped the call, now the current Python error.
    [[noreturn]] void rethrow(const std::string &note) {
        py::object exception = error_->value();
        if (py::hasattr(exception, "add_note")) exception.attr("add_note")(note);
        throw *error_;
    }

    static int report(void *context, size_t done, size_t total) {
        return static_cast<Observer *>(context)->visit(done, total);
    }

  private:
    using Clock = std::chrono::steady_clock;
    // Often enough for Ctrl-C to feel immediate and for a progress bar; rare
    // enough that taking the GIL (which can wait for another thread's time
    // slice, 5 ms by default) costs nothing against the training.
    static constexpr std::chrono::milliseconds kInterval{50};

    int visit(size_t done, size_t total) {
        // The user's function always sees the start and the end of training.
        const bool edge = training_ && (done == 0 || done == total);
        const Clock::time_point now = Clock::now();
        if (!edge && now - last_visit_ < kInterval) return 0;
        last_visit_ = now;
        py::gil_scoped_acquire gil;
        try {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (training_ && !progress_.is_none()) progress_(done, total);
            return 0;
        } catch (py::error_already_set &error) {
            error_.emplace(std::move(error));
        } catch (const std::exception &error) {
            // An argument conversion that failed: nothing else reaches here.
            PyErr_SetString(PyExc_RuntimeError, error.what());
            error_.emplace();
        }
        stopped_at_ = done;
        return 1;
    }

    py::object progress_;
    bool training_ = false;
    Clock::time_point last_visit_ = Clock::now();
    std::optional<py::error_already_set> error_;
    size_t stopped_at_ = 0;
};

// somap -x width -y height -i iterations -s: a network of n = fields inputs
// and a height by width grid, weights placed from the rows, then trained on
// every row in turn.
std::unique_ptr<Network> train(const py::array_t<double, py::array::c_style> &data, size_t width, size_t height,
              size_t iterations, py::object progress) {
    if (data.ndim() != 2) raise_error(PyExc_ValueError, "data must be a 2-D array (rows by fields)");
    const size_t n = static_cast<size_t>(data.shape(1));
    std::vector<double *> rows = row_pointers(data, n);
    if (rows.empty()) raise_error(PyExc_ValueError, somap::text::kNothingToTrain);

    Observer observer(std::move(progress));
    NetworkPointer network;
    int placed = SOM_OK, trained = SOM_OK;
    {
        py::gil_scoped_release release;
        network.reset(som_network_new(n, height, width));
        if (network) {
            placed = som_init_weights_observed(network.get(), rows.data(), rows.size(), Observer::report, &observer);
            if (placed == SOM_OK) {
                observer.start_training();
                trained = som_train_observed(network.get(), rows.data(), rows.size(), iterations, Observer::report,
                                             &observer);
            }
        }
    }
    if (!network)
        raise_error(PyExc_MemoryError, std::string(somap::text::kCreationFailed) + " A " + std::to_string(height) +
                                           " by " + std::to_string(width) + " map of " + std::to_string(n) +
                                           " inputs does not fit in this machine's memory.");
    // Whatever stopped the call, the half-made network goes with `network`.
    if (observer.failed()) {
        if (placed != SOM_OK)
            observer.rethrow("somap.train stopped while placing the weights; no map was returned");
        observer.rethrow("somap.train stopped after " + std::to_string(observer.stopped_at()) + " of " +
                         std::to_string(rows.size()) + " vectors; no map was returned");
    }
    if (placed != SOM_OK) raise_status(placed, "som_init_weights");
    if (trained != SOM_OK) raise_status(trained, "som_train");
    return std::make_unique<Network>(std::move(network));
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The som library behind the somap package; use somap, not this module.";
    m.def("version", [] { return std::string(som_version()); });
    m.def("max_threads", [] { return som_max_threads(); });
    m.def("set_max_threads", [](unsigned threads) { som_set_max_threads(threads); });
    m.def("read_table", &read_table, py::arg("fd"), py::arg("shown"));
    m.def("train", &train, py::arg("data"), py::arg("width"), py::arg("height"), py::arg("iterations"),
          py::arg("progress"));
    m.def("load", &load, py::arg("path"));
    m.def("from_map_bytes", &from_map_bytes, py::arg("data"));
    py::class_<Network>(m, "Network")
        .def_property_readonly("shape", &Network::shape)
        .def_property_readonly("time_constant", &Network::time_constant)
        .def("weights", &Network::weights)
        .def("winners", &Network::winners, py::arg("data"))
        .def("quality", &Network::quality, py::arg("data"))
        .def("umatrix", &Network::umatrix)
        .def("save", &Network::save, py::arg("path"))
        .def("map_bytes", &Network::map_bytes);
}
