// Map files: the byte layout, what som_load accepts and refuses, and saves
// that either complete or leave whatever was at the path as it was.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "som/io/map_bytes.h"
#include "som/som.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define SOMAP_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOMAP_TEST_ASAN 1
#endif
#endif

namespace {

using somap::testing::bits;
using somap::testing::read_file;
using somap::testing::TempDir;
using somap::testing::write_file;

double from_bits(uint64_t pattern) {
    double value;
    std::memcpy(&value, &pattern, sizeof value);
    return value;
}

struct NetworkDeleter {
    void operator()(som_network *network) const { som_network_destroy(network); }
};
using Network = std::unique_ptr<som_network, NetworkDeleter>;

// ---- The file image, written independently of the library --------------

struct MapImage {
    int64_t saved_at = 0;
    double time_constant = 0.0;
    uint64_t n = 0, x = 0, y = 0;
    std::vector<double> weights;  // file order: (i * y + j) * n + k
};

template <typename T>
void put(std::string &out, T value) {
    static_assert(sizeof(T) == 8, "every map field is 8 bytes");
    char raw[8];
    std::memcpy(raw, &value, 8);
    out.append(raw, 8);
}

std::string header_bytes(int64_t saved_at, double time_constant, uint64_t n, uint64_t x,
                         uint64_t y) {
    std::string out;
    put(out, saved_at);
    put(out, time_constant);
    put(out, n);
    put(out, x);
    put(out, y);
    return out;
}

std::string encode(const MapImage &map) {
    std::string out = header_bytes(map.saved_at, map.time_constant, map.n, map.x, map.y);
    for (double weight : map.weights) put(out, weight);
    return out;
}

// What a network would look like on disk, read straight from its records.
std::string image_of(const som_network *network) {
    MapImage map;
    map.saved_at = static_cast<int64_t>(network->saved_at);
    map.time_constant = network->time_constant;
    map.n = network->input_layer->neurons_count;
    map.x = network->output_layer->neurons_count_x;
    map.y = network->output_layer->neurons_count_y;
    for (size_t i = 0; i < map.x; ++i)
        for (size_t j = 0; j < map.y; ++j) {
            const som_neuron *out = network->output_layer->neurons[i][j];
            for (size_t k = 0; k < out->synapses_count; ++k)
                map.weights.push_back(out->synapses[k]->weight);
        }
    return encode(map);
}

int64_t saved_at_of(const std::string &bytes) {
    int64_t value = 0;
    if (bytes.size() >= 8) std::memcpy(&value, bytes.data(), 8);
    return value;
}

// Byte strings of a megabyte and more make useless failure messages; this
// names the first difference instead.
::testing::AssertionResult same_bytes(const std::string &actual, const std::string &expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return ::testing::AssertionFailure() << "lengths " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << at;
}

// Synapse k of output neuron (i, j) joins input neuron k, and every input
// neuron lists its synapses in row-major order of the output neurons: the
// winner search and training rely on both.
void expect_wired(const som_network *network, uint64_t n, uint64_t x, uint64_t y) {
    ASSERT_NE(network->input_layer, nullptr);
    ASSERT_NE(network->output_layer, nullptr);
    const som_input_layer *inputs = network->input_layer;
    const som_output_layer *grid = network->output_layer;
    ASSERT_EQ(inputs->neurons_count, n);
    ASSERT_EQ(grid->neurons_count_x, x);
    ASSERT_EQ(grid->neurons_count_y, y);
    for (size_t k = 0; k < n; ++k) {
        ASSERT_EQ(inputs->neurons[k]->synapses_count, x * y) << "input " << k;
        ASSERT_EQ(bits(inputs->neurons[k]->input), 0u);
    }
    for (size_t i = 0; i < x; ++i)
        for (size_t j = 0; j < y; ++j) {
            const som_neuron *out = grid->neurons[i][j];
            ASSERT_EQ(out->synapses_count, n) << "output " << i << "," << j;
            for (size_t k = 0; k < n; ++k) {
                const som_synapse *synapse = out->synapses[k];
                ASSERT_EQ(synapse->neuron_in, inputs->neurons[k]) << i << "," << j << "," << k;
                ASSERT_EQ(synapse->neuron_out, out) << i << "," << j << "," << k;
                ASSERT_EQ(inputs->neurons[k]->synapses[i * y + j], synapse)
                    << i << "," << j << "," << k;
            }
        }
}

// Builds a network of the given sizes and overwrites its random weights.
Network make_network(size_t n, size_t x, size_t y, const std::vector<double> &weights,
                     double time_constant, time_t saved_at) {
    Network network(som_network_new(n, x, y));
    if (!network) return network;
    size_t next = 0;
    for (size_t i = 0; i < x; ++i)
        for (size_t j = 0; j < y; ++j) {
            som_neuron *out = network->output_layer->neurons[i][j];
            for (size_t k = 0; k < out->synapses_count; ++k)
                out->synapses[k]->weight = weights.at(next++);
        }
    network->time_constant = time_constant;
    network->saved_at = saved_at;
    return network;
}

// A deterministic mix of raw bit patterns (NaNs and infinities among them)
// and the values most easily lost: zeros of both signs, NaN payloads,
// denormals.
std::vector<double> pattern_weights(size_t count) {
    std::vector<double> weights;
    uint64_t state = 0x9e3779b97f4a7c15ull;
    for (size_t index = 0; index < count; ++index) {
        state += 0x9e3779b97f4a7c15ull;
        uint64_t mixed = state;
        mixed = (mixed ^ (mixed >> 30)) * 0xbf58476d1ce4e5b9ull;
        mixed = (mixed ^ (mixed >> 27)) * 0x94d049bb133111ebull;
        mixed ^= mixed >> 31;
        switch (index % 8) {
            case 0: weights.push_back(0.0); break;
            case 1: weights.push_back(-0.0); break;
            case 2: weights.push_back(from_bits(0x7ff8000000000000ull | (index & 0xffff))); break;
            case 3: weights.push_back(from_bits((index % 1000) + 1)); break;
            default: weights.push_back(from_bits(mixed)); break;
        }
    }
    return weights;
}

// The hand-built fixture: 2 inputs on a 2 x 3 grid, so that row-major and
// column-major order differ, with weights that a careless load would alter.
const int64_t kFixtureSavedAt = 0x0102030405060708;  // every byte distinct
const double kFixtureTimeConstant = 27.104644554585676;

MapImage fixture() {
    MapImage map;
    map.saved_at = kFixtureSavedAt;
    map.time_constant = kFixtureTimeConstant;
    map.n = 2;
    map.x = 2;
    map.y = 3;
    for (uint64_t pattern : {
             0x0000000000000000ull,  // +0.0
             0x8000000000000000ull,  // -0.0
             0xfff8000000000abcull,  // quiet NaN with sign and payload
             0x7ff4000000000001ull,  // signalling NaN
             0x0000000000000001ull,  // smallest denormal
             0x800fffffffffffffull,  // largest negative denormal
             0x7ff0000000000000ull,  // +inf
             0x7fefffffffffffffull,  // DBL_MAX
             0x3ff0000000000000ull,  // 1.0
             0xc004000000000000ull,  // -2.5
             0x3fb999999999999aull,  // 0.1
             0xbff0000000000000ull,  // -1.0
         })
        map.weights.push_back(from_bits(pattern));
    return map;
}

Network fixture_network() {
    MapImage map = fixture();
    return make_network(map.n, map.x, map.y, map.weights, map.time_constant, map.saved_at);
}

Network load(const std::string &path) { return Network(som_load(path.c_str())); }

// ---- Child processes ---------------------------------------------------

// Runs `body` in a child process and gives its exit status, or 128 plus the
// signal that ended it. Limits set in the child stay there, and the alarm
// turns a call that never returns into a failure instead of a hung run.
int run_in_child(const std::function<int()> &body) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        alarm(20);
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Caps the child's address space at what it already uses plus 512 MiB, so
// that a load that allocates for what a header claims, rather than for what
// the file holds, fails. AddressSanitizer reserves terabytes of shadow
// memory up front, so there the cap would break every allocation; the child
// then still catches an oversized request, which it aborts on.
void cap_address_space() {
#ifndef SOMAP_TEST_ASAN
    unsigned long pages = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGE_SIZE)) +
                 (static_cast<rlim_t>(512) << 20);
    struct rlimit limit = {cap, cap};
    setrlimit(RLIMIT_AS, &limit);
#endif
}

// ---- Directory snapshots -----------------------------------------------

// Everything under `root`: type, permission bits and contents of each file,
// target of each link. Comparing two snapshots shows any change a save made,
// a leftover temporary file included.
void snapshot_into(const std::string &root, const std::string &prefix,
                   std::map<std::string, std::string> &out) {
    DIR *dir = opendir(root.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    for (const std::string &name : names) {
        std::string path = root + "/" + name;
        std::string key = prefix + name;
        struct stat info;
        if (lstat(path.c_str(), &info) != 0) continue;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        if (S_ISDIR(info.st_mode)) {
            out[key] = std::string("dir ") + mode;
            snapshot_into(path, key + "/", out);
        } else if (S_ISLNK(info.st_mode)) {
            char target[4096];
            ssize_t length = readlink(path.c_str(), target, sizeof target);
            out[key] = "link " + std::string(target, length > 0 ? static_cast<size_t>(length) : 0);
        } else if (S_ISREG(info.st_mode)) {
            out[key] = std::string("file ") + mode + " " + read_file(path);
        } else {
            out[key] = std::string("other ") + mode;
        }
    }
}

std::map<std::string, std::string> snapshot(const std::string &root) {
    std::map<std::string, std::string> out;
    snapshot_into(root, "", out);
    return out;
}

// Just the names in a directory outside the test's own, such as /dev.
std::vector<std::string> names_in(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir)) names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

mode_t mode_of(const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

// =========================================================================
// Layout
// =========================================================================

TEST(MapFileLayout, HandBuiltFileLoadsToTheNetworkItDescribes) {
    TempDir dir;
    const MapImage map = fixture();
    write_file(dir.file("map"), encode(map));

    Network network = load(dir.file("map"));
    ASSERT_NE(network, nullptr);
    EXPECT_EQ(static_cast<int64_t>(network->saved_at), kFixtureSavedAt);
    EXPECT_EQ(bits(network->time_constant), bits(kFixtureTimeConstant));
    ASSERT_NO_FATAL_FAILURE(expect_wired(network.get(), 2, 2, 3));

    std::vector<uint64_t> expected, actual;
    for (double weight : map.weights) expected.push_back(bits(weight));
    for (size_t i = 0; i < 2; ++i)
        for (size_t j = 0; j < 3; ++j)
            for (size_t k = 0; k < 2; ++k)
                actual.push_back(bits(network->output_layer->neurons[i][j]->synapses[k]->weight));
    EXPECT_EQ(actual, expected);

    // The series tables are not stored: a loaded network starts them empty.
    for (size_t s = 0; s < SOM_SERIES_LENGTH; ++s) {
        ASSERT_EQ(bits(network->series_alpha[s]), 0u) << s;
        ASSERT_EQ(bits(network->series_mu[s]), 0u) << s;
    }
}

TEST(MapFileLayout, SavingWritesExactlyTheExpectedBytes) {
    TempDir dir;
    Network network = fixture_network();
    ASSERT_NE(network, nullptr);
    const std::string expected = encode(fixture());

    time_t before = std::time(nullptr);
    ASSERT_EQ(som_save(network.get(), dir.file("map").c_str()), 0);
    time_t after = std::time(nullptr);

    const std::string written = read_file(dir.file("map"));
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_EQ(written.substr(8), expected.substr(8));
    const int64_t saved_at = saved_at_of(written);
    EXPECT_GE(saved_at, static_cast<int64_t>(before));
    EXPECT_LE(saved_at, static_cast<int64_t>(after));
    EXPECT_EQ(static_cast<int64_t>(network->saved_at), saved_at);
    // Saving touches nothing else in the network.
    EXPECT_EQ(image_of(network.get()).substr(8), expected.substr(8));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"map"});
}

struct Shape {
    const char *name;
    size_t n, x, y;
    double time_constant;
};

void PrintTo(const Shape &value, std::ostream *out) { *out << value.name; }


class MapFileRoundTrip : public ::testing::TestWithParam<Shape> {};

// The bytes in memory (what the Python module pickles): those of a save, but
// with the saved_at the network holds, which they carry back exactly.
TEST_P(MapFileRoundTrip, BytesInMemoryGiveEveryFieldAndWeightBack) {
    const Shape shape = GetParam();
    Network network = make_network(shape.n, shape.x, shape.y,
                                   pattern_weights(shape.n * shape.x * shape.y),
                                   shape.time_constant, kFixtureSavedAt);
    ASSERT_NE(network, nullptr);
    const std::string image = image_of(network.get());
    std::string bytes = "whatever was here before";
    ASSERT_EQ(som_internal::map_bytes(network.get(), bytes), SOM_OK);
    EXPECT_TRUE(same_bytes(bytes, image));
    // Only read: nothing stamped.
    EXPECT_EQ(static_cast<int64_t>(network->saved_at), kFixtureSavedAt);
    EXPECT_TRUE(same_bytes(image_of(network.get()), image));

    int status = 1;
    Network back(som_internal::map_from_bytes(bytes.data(), bytes.size(), &status));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(status, SOM_OK);
    ASSERT_NO_FATAL_FAILURE(expect_wired(back.get(), shape.n, shape.x, shape.y));
    EXPECT_TRUE(same_bytes(image_of(back.get()), image));
}

TEST_P(MapFileRoundTrip, SaveThenLoadGivesEveryFieldAndWeightBack) {
    const Shape shape = GetParam();
    TempDir dir;
    Network network = make_network(shape.n, shape.x, shape.y,
                                   pattern_weights(shape.n * shape.x * shape.y),
                                   shape.time_constant, 0);
    ASSERT_NE(network, nullptr);
    ASSERT_EQ(som_save(network.get(), dir.file("map").c_str()), 0);

    const std::string written = read_file(dir.file("map"));
    EXPECT_EQ(written.size(), SOM_MAP_HEADER_BYTES + 8 * shape.n * shape.x * shape.y);
    EXPECT_TRUE(same_bytes(written, image_of(network.get())));

    Network loaded = load(dir.file("map"));
    ASSERT_NE(loaded, nullptr);
    ASSERT_NO_FATAL_FAILURE(expect_wired(loaded.get(), shape.n, shape.x, shape.y));
    EXPECT_EQ(loaded->saved_at, network->saved_at);
    EXPECT_TRUE(same_bytes(image_of(loaded.get()), image_of(network.get())));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MapFileRoundTrip,
    ::testing::Values(Shape{"Fixture", 2, 2, 3, kFixtureTimeConstant},
                      Shape{"Single", 1, 1, 1, 1.0},
                      // The smallest time constant training can use.
                      Shape{"Oblong", 5, 7, 3, from_bits(0x03f0000000000001ull)},
                      Shape{"NegativeZeroTimeConstant", 3, 2, 2, -0.0},
                      // Larger than the write buffer and the read chunks.
                      Shape{"SeveralMegabytes", 10, 100, 200, 1e300},
                      // Empty networks are the 40-byte header alone.
                      Shape{"NoInputs", 0, 2, 3, 2.0},
                      Shape{"NoRows", 3, 0, 4, 2.0},
                      Shape{"NoColumns", 3, 4, 0, 2.0},
                      Shape{"Nothing", 0, 0, 0, 0.0}),
    [](const ::testing::TestParamInfo<Shape> &info) { return std::string(info.param.name); });

// =========================================================================
// What loading refuses
// =========================================================================

TEST(MapFileLoad, EveryTruncationIsRefused) {
    TempDir dir;
    const std::string full = encode(fixture());
    for (size_t length = 0; length < full.size(); ++length) {
        write_file(dir.file("map"), full.substr(0, length));
        Network network = load(dir.file("map"));
        EXPECT_EQ(network, nullptr) << "file cut to " << length << " of " << full.size() << " bytes";
    }
}

// Bytes in memory are checked as a file is, but must hold one map exactly:
// what follows it is damage, not a file's unrelated tail.
TEST(MapBytesLoad, RefusesWhatAFileLoadRefusesAndAnyTrailingByte) {
    const std::string full = encode(fixture());
    auto status_of = [](const void *data, size_t size) {
        int status = 1;
        Network network(som_internal::map_from_bytes(data, size, &status));
        EXPECT_EQ(network == nullptr, status != SOM_OK) << "status " << status;
        return status;
    };
    for (size_t length = 0; length < full.size(); ++length)
        EXPECT_EQ(status_of(full.data(), length), SOM_ERROR_FORMAT) << "cut to " << length << " bytes";
    for (const std::string &tail : {std::string(1, '\0'), full})
        EXPECT_EQ(status_of((full + tail).data(), full.size() + tail.size()), SOM_ERROR_FORMAT)
            << tail.size() << " trailing bytes";
    MapImage nan_constant = fixture();
    nan_constant.time_constant = from_bits(0x7ff8000000000000ull);
    const std::string damaged = encode(nan_constant);
    EXPECT_EQ(status_of(damaged.data(), damaged.size()), SOM_ERROR_FORMAT);
    // A header alone claiming 2^40 weights: refused from the size it has,
    // before anything is allocated for the claim.
    const std::string claim = header_bytes(0, 1.0, 1, uint64_t{1} << 20, uint64_t{1} << 20);
    EXPECT_EQ(status_of(claim.data(), claim.size()), SOM_ERROR_FORMAT);
    EXPECT_EQ(status_of(nullptr, 40), SOM_ERROR_INVALID);
    EXPECT_EQ(status_of(nullptr, 0), SOM_ERROR_FORMAT);
    Network without_status(som_internal::map_from_bytes(full.data(), full.size(), nullptr));
    EXPECT_NE(without_status, nullptr);
}

TEST(MapBytesSave, NetworkNotWiredGivesInvalidAndLeavesTheBufferAlone) {
    std::string bytes = "untouched";
    EXPECT_EQ(som_internal::map_bytes(nullptr, bytes), SOM_ERROR_INVALID);
    som_network hollow{};
    EXPECT_EQ(som_internal::map_bytes(&hollow, bytes), SOM_ERROR_INVALID);
    EXPECT_EQ(bytes, "untouched");
}

TEST(MapFileLoad, BytesAfterTheLastWeightAreIgnored) {
    TempDir dir;
    const std::string full = encode(fixture());
    for (const std::string &tail : {std::string(1, '\xff'), std::string(8, '\0'), full}) {
        write_file(dir.file("map"), full + tail);
        Network network = load(dir.file("map"));
        ASSERT_NE(network, nullptr) << tail.size() << " trailing bytes";
        EXPECT_EQ(image_of(network.get()), full) << tail.size() << " trailing bytes";
    }
}

struct OversizedHeader {
    const char *name;
    uint64_t n, x, y;
    size_t file_bytes;  // the header, then zero bytes up to this length
};

void PrintTo(const OversizedHeader &value, std::ostream *out) { *out << value.name; }


class MapFileOversizedHeader : public ::testing::TestWithParam<OversizedHeader> {};

// Each load runs in a child whose address space is capped: refusing must not
// depend on first trying to allocate what the header claims.
TEST_P(MapFileOversizedHeader, IsRefusedWithoutAllocatingForIt) {
    const OversizedHeader c = GetParam();
    TempDir dir;
    std::string bytes = header_bytes(1, kFixtureTimeConstant, c.n, c.x, c.y);
    bytes.resize(c.file_bytes, '\0');
    write_file(dir.file("map"), bytes);
    const std::string path = dir.file("map");
    int status = run_in_child([&] {
        cap_address_space();
        som_network *network = som_load(path.c_str());
        return network == nullptr ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << "1: loaded; other: the child failed or was killed";
}

constexpr uint64_t kTwoTo32 = 1ull << 32;
constexpr uint64_t kTwoTo61 = 1ull << 61;

INSTANTIATE_TEST_SUITE_P(
    Headers, MapFileOversizedHeader,
    ::testing::Values(
        OversizedHeader{"AllTwoTo32", kTwoTo32, kTwoTo32, kTwoTo32, 40},
        // Unchecked products wrap to byte counts that such a file matches.
        OversizedHeader{"GridWrapsToZero", 1, kTwoTo32, kTwoTo32, 40},
        OversizedHeader{"GridWrapsToZeroNoInputs", 0, kTwoTo32, kTwoTo32, 40},
        OversizedHeader{"BytesWrapToZero", kTwoTo61, 1, 1, 40},
        OversizedHeader{"BytesWrapToOneWeight", kTwoTo61 + 1, 1, 1, 48},
        OversizedHeader{"MaximalInputs", UINT64_MAX, 1, 1, 48},
        OversizedHeader{"HugeGridShortFile", 1000, 1000000, 1000000, 40},
        // Would fit in memory, but the file holds one weight of 100 million.
        OversizedHeader{"HundredsOfMegabytesClaimed", 100, 1000, 1000, 48}),
    [](const ::testing::TestParamInfo<OversizedHeader> &info) {
        return std::string(info.param.name);
    });

// ---- Networks beyond the machine's memory --------------------------------

// A file may really be as long as its header says (a sparse one costs
// nothing on disk) and still declare a network no memory here can hold:
// n = 1 and 2^17 by 2^17 neurons, 128 GiB of weights. It must be refused
// from the header alone (SOM_ERROR_TOO_LARGE), before a weight is read (the
// descriptor stands just past the header) and within the memory a small map
// needs (the child's address space is capped); likewise from a pipe that
// brings the header and nothing more.
TEST(MapFileLoad, NetworkBeyondPhysicalMemoryIsRefusedFromTheHeader) {
    const uint64_t side = uint64_t{1} << 17;
    size_t needed = 0;
    ASSERT_TRUE(som_network_memory(1, side, side, &needed));
    const double physical = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGE_SIZE));
    if (static_cast<double>(needed) <= physical) GTEST_SKIP() << "this machine could hold the network";
    TempDir dir;
    const std::string path = dir.file("sparse.map");
    const std::string header = header_bytes(1, kFixtureTimeConstant, 1, side, side);
    write_file(path, header);
    if (truncate(path.c_str(), static_cast<off_t>(SOM_MAP_HEADER_BYTES + 8 * side * side)) != 0)
        GTEST_SKIP() << "no sparse file of 128 GiB here: " << std::strerror(errno);

    int status = run_in_child([&] {
        cap_address_space();
        int why = SOM_OK;
        const int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) return 10;
        if (som_load_fd(fd, &why) != nullptr) return 1;
        if (why != SOM_ERROR_TOO_LARGE) return 2;
        if (lseek(fd, 0, SEEK_CUR) != SOM_MAP_HEADER_BYTES) return 3;
        if (som_load_status(path.c_str(), &why) != nullptr || why != SOM_ERROR_TOO_LARGE) return 4;
        int ends[2];
        if (pipe(ends) != 0 || write(ends[1], header.data(), header.size()) != static_cast<ssize_t>(header.size()))
            return 11;
        close(ends[1]);
        if (som_load_fd(ends[0], &why) != nullptr || why != SOM_ERROR_TOO_LARGE) return 5;
        return 0;
    });
    EXPECT_EQ(status, 0) << "1: loaded; 2: another status; 3: weights were read; 4: another status by path; "
                            "5: another status from a pipe; other: the child failed or was killed";
}

// ---- Memory a header may claim ------------------------------------------

// The loader's rule: a network may need at most 32 bytes of memory per byte
// of the file, plus 64 MiB.
constexpr uint64_t kMemoryAllowance = uint64_t{64} << 20;
uint64_t memory_limit(uint64_t file_bytes) { return 32 * file_bytes + kMemoryAllowance; }

struct MemoryClaim {
    const char *name;
    uint64_t n, x, y;
    bool complete;  // all declared weights present, else the 40-byte header alone
    bool loads;
};

void PrintTo(const MemoryClaim &value, std::ostream *out) { *out << value.name; }

class MapFileMemoryClaim : public ::testing::TestWithParam<MemoryClaim> {};

// A header with no weights to back it can still describe a network of many
// neurons (no inputs) or many inputs (an empty grid); such a network fits in
// memory, so only the rule refuses it.
TEST_P(MapFileMemoryClaim, OnlyNetworksTheFileJustifiesLoad) {
    const MemoryClaim c = GetParam();
    TempDir dir;
    std::string bytes = header_bytes(1, kFixtureTimeConstant, c.n, c.x, c.y);
    if (c.complete) bytes.resize(SOM_MAP_HEADER_BYTES + 8 * c.n * c.x * c.y, '\0');
    size_t needed = 0;
    ASSERT_TRUE(som_network_memory(c.n, c.x, c.y, &needed));
    // Every case lies beyond the fixed allowance, so the file size decides.
    ASSERT_GT(needed, kMemoryAllowance + 32 * SOM_MAP_HEADER_BYTES);
    ASSERT_EQ(needed <= memory_limit(bytes.size()), c.loads) << "the case does not test the rule";
    write_file(dir.file("map"), bytes);

    Network network = load(dir.file("map"));
    if (!c.loads) {
        EXPECT_EQ(network, nullptr);
        return;
    }
    ASSERT_NE(network, nullptr);
    EXPECT_EQ(network->input_layer->neurons_count, c.n);
    EXPECT_EQ(network->output_layer->neurons_count_x, c.x);
    EXPECT_EQ(network->output_layer->neurons_count_y, c.y);
}

INSTANTIATE_TEST_SUITE_P(
    Claims, MapFileMemoryClaim,
    ::testing::Values(
        MemoryClaim{"NoInputsMillionNeurons", 0, 1000, 1000, false, false},
        MemoryClaim{"NoRowsBesideMillionInputs", 1000000, 0, 1000, false, false},
        MemoryClaim{"NoColumnsBesideMillionsOfRows", 5, 2000000, 0, false, false},
        // One input and one column costs the most memory per byte of weights,
        // and a complete file of it still loads.
        MemoryClaim{"OneInputOneColumnComplete", 1, 400000, 1, true, true}),
    [](const ::testing::TestParamInfo<MemoryClaim> &info) {
        return std::string(info.param.name);
    });

// The largest network of no inputs that a bare header justifies loads, and
// one neuron more does not.
TEST(MapFileLoad, HeaderAloneJustifiesUpToTheAllowance) {
    const uint64_t limit = memory_limit(SOM_MAP_HEADER_BYTES);
    auto memory = [](uint64_t y) {
        size_t bytes = 0;
        EXPECT_TRUE(som_network_memory(0, 1, y, &bytes));
        return static_cast<uint64_t>(bytes);
    };
    uint64_t low = 0, high = limit;  // memory(low) <= limit < memory(high)
    while (high - low > 1) {
        const uint64_t middle = low + (high - low) / 2;
        (memory(middle) <= limit ? low : high) = middle;
    }
    TempDir dir;
    write_file(dir.file("map"), header_bytes(1, 0.0, 0, 1, low));
    Network largest = load(dir.file("map"));
    ASSERT_NE(largest, nullptr) << low << " neurons";
    EXPECT_EQ(largest->output_layer->neurons_count_y, low);
    largest.reset();
    write_file(dir.file("map"), header_bytes(1, 0.0, 0, 1, low + 1));
    EXPECT_EQ(load(dir.file("map")), nullptr) << low + 1 << " neurons";
}

struct TimeConstantCase {
    const char *name;
    uint64_t pattern;
    bool loads;
};

void PrintTo(const TimeConstantCase &value, std::ostream *out) { *out << value.name; }


class MapFileTimeConstant : public ::testing::TestWithParam<TimeConstantCase> {};

TEST_P(MapFileTimeConstant, OnlyZeroOrPositiveFiniteValuesLoad) {
    const TimeConstantCase c = GetParam();
    TempDir dir;
    MapImage map;
    map.time_constant = from_bits(c.pattern);
    map.n = map.x = map.y = 1;
    map.weights = {0.25};
    write_file(dir.file("map"), encode(map));

    Network network = load(dir.file("map"));
    if (!c.loads) {
        EXPECT_EQ(network, nullptr);
        return;
    }
    ASSERT_NE(network, nullptr);
    EXPECT_EQ(bits(network->time_constant), c.pattern);
    // Zero of either sign means "not computed": training must compute it.
    if (network->time_constant == 0.0) {
        som_time_constant(network.get());
        EXPECT_GT(network->time_constant, 0.0);
    }
    // Every iteration a caller can ask for has a learning rate, NaN for none.
    for (size_t t : {size_t{1}, size_t{2147483647}, SIZE_MAX})
        EXPECT_FALSE(std::isnan(som_learning_rate(t, network->time_constant))) << t;
}

INSTANTIATE_TEST_SUITE_P(
    Values, MapFileTimeConstant,
    ::testing::Values(TimeConstantCase{"QuietNaN", 0x7ff8000000000000ull, false},
                      TimeConstantCase{"NegativeNaN", 0xfff8000000000001ull, false},
                      TimeConstantCase{"PlusInfinity", 0x7ff0000000000000ull, false},
                      TimeConstantCase{"MinusInfinity", 0xfff0000000000000ull, false},
                      TimeConstantCase{"MinusOne", 0xbff0000000000000ull, false},
                      TimeConstantCase{"NegativeDenormal", 0x8000000000000001ull, false},
                      TimeConstantCase{"PlusZero", 0x0000000000000000ull, true},
                      TimeConstantCase{"MinusZero", 0x8000000000000000ull, true},
                      // Positive, but t / T overflows for iterations that
                      // training can reach: every weight would turn NaN.
                      TimeConstantCase{"PositiveDenormal", 0x0000000000000001ull, false},
                      TimeConstantCase{"SmallestNormal", 0x0010000000000000ull, false},
                      // Usable up to the command line's largest -i,
                      // 2147483647, but not up to the library's, 2^64 - 1.
                      TimeConstantCase{"UsableOnlyUpToIntMax", 0x01dfffffffc00001ull, false},
                      // 2^64 / T is finite from here up, and not one step
                      // below.
                      TimeConstantCase{"JustTooSmall", 0x03f0000000000000ull, false},
                      TimeConstantCase{"SmallestUsable", 0x03f0000000000001ull, true},
                      TimeConstantCase{"Largest", 0x7fefffffffffffffull, true},
                      TimeConstantCase{"Trained", bits(kFixtureTimeConstant), true}),
    [](const ::testing::TestParamInfo<TimeConstantCase> &info) {
        return std::string(info.param.name);
    });

TEST(MapFileLoad, PathsThatHoldNoMapGiveNull) {
    TempDir dir;
    mkdir(dir.file("directory").c_str(), 0755);
    write_file(dir.file("empty"), "");
    for (const std::string &path :
         {dir.file("directory"), dir.file("empty"), dir.file("missing"), std::string("/dev/null")}) {
        Network network = load(path);
        EXPECT_EQ(network, nullptr) << path;
    }
}

TEST(MapFileLoad, FifoWithoutWriterGivesNullInsteadOfWaiting) {
    TempDir dir;
    const std::string path = dir.file("fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int status = run_in_child([&] {
        som_network *network = som_load(path.c_str());
        return network == nullptr ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << "1: loaded; 142: still waiting when the alarm rang";
}

struct FifoCase {
    const char *name;
    std::string bytes;
    bool loads;
};

void PrintTo(const FifoCase &value, std::ostream *out) { *out << value.name; }


class MapFileFromFifo : public ::testing::TestWithParam<FifoCase> {};

// A FIFO has no size to compare with the header, so only the data that
// actually arrives can decide, and a header that claims much must not make
// the load allocate it in advance.
TEST_P(MapFileFromFifo, LoadsOnlyWhatIsComplete) {
    const FifoCase &c = GetParam();
    TempDir dir;
    const std::string path = dir.file("fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    // A reader that stays open keeps the written bytes in the pipe after the
    // writer has gone, so the load sees the data and then the end.
    int keeper = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(keeper, 0);
    int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
    close(writer);

    const std::string result = dir.file("loaded");
    int status = run_in_child([&] {
        cap_address_space();
        som_network *network = som_load(path.c_str());
        if (network == nullptr) return 0;
        std::ofstream(result, std::ios::binary) << image_of(network);
        return 1;
    });
    close(keeper);
    ASSERT_EQ(status, c.loads ? 1 : 0) << "0: null; 1: loaded; other: failed or killed";
    if (c.loads) {
        EXPECT_EQ(read_file(result), encode(fixture()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Contents, MapFileFromFifo,
    ::testing::Values(FifoCase{"Complete", encode(fixture()), true},
                      FifoCase{"WithTrailingBytes", encode(fixture()) + "xyz", true},
                      FifoCase{"OneByteShort",
                               encode(fixture()).substr(0, encode(fixture()).size() - 1), false},
                      FifoCase{"HeaderClaimingHundredsOfMegabytes",
                               header_bytes(1, 1.0, 100, 1000, 1000) + std::string(8, '\0'),
                               false}),
    [](const ::testing::TestParamInfo<FifoCase> &info) { return std::string(info.param.name); });

// =========================================================================
// Saving
// =========================================================================

struct SaveFailure {
    const char *name;
    // Prepares the directory and gives the path to save to.
    std::string (*prepare)(const TempDir &dir);
    void (*in_child)();  // limits or identity for the save, when needed
    int error;           // the errno the failure must leave
    bool opened;         // whether a file was opened, so saved_at may change
};

void PrintTo(const SaveFailure &value, std::ostream *out) { *out << value.name; }


std::string old_map(const TempDir &dir, const std::string &name) {
    write_file(dir.file(name), encode(fixture()));
    return dir.file(name);
}

void limit_file_size() {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
}

// Root ignores directory permissions, so the save runs as nobody there.
void unprivileged() {
    if (geteuid() != 0) return;
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
}

const SaveFailure kSaveFailures[] = {
    {"MissingDirectory", [](const TempDir &dir) { return dir.file("missing/map"); }, nullptr,
     ENOENT, false},
    {"ParentIsAFile",
     [](const TempDir &dir) {
         old_map(dir, "file");
         return dir.file("file/map");
     },
     nullptr, ENOTDIR, false},
    {"PathIsADirectory",
     [](const TempDir &dir) {
         mkdir(dir.file("map").c_str(), 0755);
         write_file(dir.file("map/inside"), "keep");
         return dir.file("map");
     },
     nullptr, EISDIR, false},
    // The old map itself is writable: only replacing it through the
    // directory is refused, so writing it in place would be wrong.
    {"ReadOnlyDirectory",
     [](const TempDir &dir) {
         chmod(dir.path().c_str(), 0755);
         mkdir(dir.file("locked").c_str(), 0755);
         std::string path = old_map(dir, "locked/map");
         chmod(path.c_str(), 0666);
         chmod(dir.file("locked").c_str(), 0555);
         return path;
     },
     unprivileged, EACCES, false},
    {"FileSizeLimit", [](const TempDir &dir) { return old_map(dir, "map"); }, limit_file_size,
     EFBIG, true},
    // Nothing is made at the target before the map is complete.
    {"NewFileBeyondFileSizeLimit", [](const TempDir &dir) { return dir.file("new.map"); }, limit_file_size,
     EFBIG, true},
    // A link to itself: ELOOP, as an open of it gives.
    {"LinkLoop",
     [](const TempDir &dir) {
         symlink("map", dir.file("map").c_str());
         return dir.file("map");
     },
     nullptr, ELOOP, false},
    {"DeviceThatIsFull", [](const TempDir &) { return std::string("/dev/full"); }, nullptr,
     ENOSPC, true},
};

class MapFileSaveFailure : public ::testing::TestWithParam<SaveFailure> {};

TEST_P(MapFileSaveFailure, ReportsAndLeavesEverythingAsItWas) {
    const SaveFailure c = GetParam();
    TempDir dir;
    const std::string path = c.prepare(dir);
    if (path == "/dev/full") {
        struct stat info;
        if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
            GTEST_SKIP() << "no /dev/full here";
    }
    const std::string parent = path.substr(0, path.rfind('/'));
    const auto tree_before = snapshot(dir.path());
    const auto parent_before = names_in(parent);
    struct stat before;
    const bool existed = lstat(path.c_str(), &before) == 0;

    // A few hundred kilobytes, well past the file-size limit.
    int status = run_in_child([&] {
        if (c.in_child) c.in_child();
        Network network = make_network(8, 64, 64, pattern_weights(8 * 64 * 64), 2.0, 12345);
        if (!network) return 10;
        errno = 0;
        if (som_save(network.get(), path.c_str()) == 0) return 1;
        if (errno != c.error) return 2;
        if (!c.opened && network->saved_at != 12345) return 3;
        return 0;
    });
    if (status == 77) GTEST_SKIP() << "cannot drop root privileges here";
    EXPECT_EQ(status, 0) << "1: reported success; 2: wrong errno; 3: saved_at changed; "
                            "other: the child failed or was killed";

    EXPECT_EQ(snapshot(dir.path()), tree_before);
    if (parent.rfind(dir.path(), 0) != 0) {
        EXPECT_EQ(names_in(parent), parent_before);
    }
    struct stat after;
    ASSERT_EQ(lstat(path.c_str(), &after) == 0, existed);
    if (existed) {
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MapFileSaveFailure, ::testing::ValuesIn(kSaveFailures),
                         [](const ::testing::TestParamInfo<SaveFailure> &info) {
                             return std::string(info.param.name);
                         });

struct LinkLayout {
    const char *name;
    // Creates b/real.map and the links; gives the path to save to.
    std::string (*prepare)(const TempDir &dir);
};

void PrintTo(const LinkLayout &value, std::ostream *out) { *out << value.name; }


const LinkLayout kLinkLayouts[] = {
    // A relative link counts from its own directory, not the working one.
    {"RelativeFromAnotherDirectory",
     [](const TempDir &dir) {
         symlink("../b/real.map", dir.file("a/link").c_str());
         return dir.file("a/link");
     }},
    {"Absolute",
     [](const TempDir &dir) {
         symlink(dir.file("b/real.map").c_str(), dir.file("a/link").c_str());
         return dir.file("a/link");
     }},
    {"Chain",
     [](const TempDir &dir) {
         symlink("../b/real.map", dir.file("a/second").c_str());
         symlink("second", dir.file("a/first").c_str());
         return dir.file("a/first");
     }},
};

class MapFileSaveThroughLink : public ::testing::TestWithParam<LinkLayout> {};

TEST_P(MapFileSaveThroughLink, KeepsTheLinkAndReplacesTheMapItNames) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("b").c_str(), 0755), 0);
    write_file(dir.file("b/real.map"), "not yet a map");
    ASSERT_EQ(chmod(dir.file("b/real.map").c_str(), 0640), 0);
    const std::string path = GetParam().prepare(dir);
    auto expected = snapshot(dir.path());

    Network network = make_network(3, 2, 2, pattern_weights(12), 5.0, 0);
    ASSERT_NE(network, nullptr);
    ASSERT_EQ(som_save(network.get(), path.c_str()), 0);

    // The links and directories as they were; only the map's contents new.
    expected["b/real.map"] = "file 0640 " + image_of(network.get());
    EXPECT_EQ(snapshot(dir.path()), expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MapFileSaveThroughLink, ::testing::ValuesIn(kLinkLayouts),
                         [](const ::testing::TestParamInfo<LinkLayout> &info) {
                             return std::string(info.param.name);
                         });

TEST(MapFileSave, ReplacingAMapKeepsItsPermissionBits) {
    for (mode_t mode : {0640, 0604, 0600, 0666}) {
        TempDir dir;
        const std::string path = old_map(dir, "map");
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        Network network = make_network(2, 1, 2, pattern_weights(4), 3.0, 0);
        ASSERT_NE(network, nullptr);
        ASSERT_EQ(som_save(network.get(), path.c_str()), 0) << std::oct << mode;
        EXPECT_EQ(mode_of(path), mode) << std::oct << mode;
        EXPECT_EQ(read_file(path), image_of(network.get())) << std::oct << mode;
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"map"}) << std::oct << mode;
    }
}

TEST(MapFileSave, NewFileGetsTheUsualModeUnderTheUmask) {
    for (mode_t mask : {022, 027, 077, 0}) {
        TempDir dir;
        Network network = make_network(2, 1, 2, pattern_weights(4), 3.0, 0);
        ASSERT_NE(network, nullptr);
        const mode_t previous = umask(mask);
        const int result = som_save(network.get(), dir.file("map").c_str());
        umask(previous);
        ASSERT_EQ(result, 0) << std::oct << mask;
        EXPECT_EQ(mode_of(dir.file("map")), 0666 & ~mask) << std::oct << mask;
    }
}

// A FIFO at the path is written into, not replaced by a file.
TEST(MapFileSave, FifoIsWrittenInPlace) {
    TempDir dir;
    const std::string path = dir.file("fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);

    int status = run_in_child([&] {
        Network network = fixture_network();
        return network && som_save(network.get(), path.c_str()) == 0 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);

    std::string received;
    char buffer[4096];
    ssize_t got;
    while ((got = read(reader, buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<size_t>(got));
    close(reader);
    const std::string expected = encode(fixture());
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_EQ(received.substr(8), expected.substr(8));
    struct stat info;
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"fifo"});
}

// The temporary file beside the target must not need a longer name than the
// target itself is allowed.
TEST(MapFileSave, LongestFileNameStillSaves) {
    TempDir dir;
    const long name_max = pathconf(dir.path().c_str(), _PC_NAME_MAX);
    ASSERT_GT(name_max, 0);
    const std::string name(static_cast<size_t>(name_max), 'm');
    Network network = fixture_network();
    ASSERT_NE(network, nullptr);
    ASSERT_EQ(som_save(network.get(), dir.file(name).c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(read_file(dir.file(name)), image_of(network.get()));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{name});
}

TEST(MapFileSave, SavingOverAnOlderMapReplacesItWhole) {
    TempDir dir;
    // The old map is longer than the new one: no tail of it may survive.
    Network big = make_network(4, 5, 6, pattern_weights(120), 7.0, 0);
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(som_save(big.get(), dir.file("map").c_str()), 0);
    Network small = fixture_network();
    ASSERT_NE(small, nullptr);
    ASSERT_EQ(som_save(small.get(), dir.file("map").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("map")), image_of(small.get()));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"map"});
}

// ---- Signals during a save ----------------------------------------------

struct SignalCase {
    std::string name;
    int signal;
    // SIGXFSZ and SIGPIPE that arrive while the map is being written are
    // taken for the write's own and discarded, so the save may go on.
    bool may_be_discarded;
};

void PrintTo(const SignalCase &value, std::ostream *out) { *out << value.name; }

// Every signal whose default action ends a process, but the faults a
// process raises on itself.
std::vector<SignalCase> terminating_signals() {
    std::vector<SignalCase> cases = {
        {"SIGHUP", SIGHUP, false},     {"SIGINT", SIGINT, false},       {"SIGQUIT", SIGQUIT, false},
        {"SIGABRT", SIGABRT, false},   {"SIGUSR1", SIGUSR1, false},     {"SIGUSR2", SIGUSR2, false},
        {"SIGPIPE", SIGPIPE, true},    {"SIGALRM", SIGALRM, false},     {"SIGTERM", SIGTERM, false},
        {"SIGSTKFLT", SIGSTKFLT, false}, {"SIGXCPU", SIGXCPU, false},   {"SIGXFSZ", SIGXFSZ, true},
        {"SIGVTALRM", SIGVTALRM, false}, {"SIGPROF", SIGPROF, false},   {"SIGIO", SIGIO, false},
        {"SIGPWR", SIGPWR, false}};
    for (int offset : {0, 1, 15}) cases.push_back({"SIGRTMIN" + std::to_string(offset), SIGRTMIN + offset, false});
    cases.push_back({"SIGRTMAX", SIGRTMAX, false});
    return cases;
}

class MapFileSaveSignal : public ::testing::TestWithParam<SignalCase> {};

// A program that blocks nothing and leaves every signal at its default saves
// a map of a few megabytes over and over; the signal arrives at some moment
// of a save. The map must be the old one or the new one, whole, and no
// temporary file may remain: the signal waits until the save is done, then
// ends the program as it would have.
TEST_P(MapFileSaveSignal, EndsTheProgramButLeavesNoTemporaryFile) {
    const SignalCase c = GetParam();
    Network network = make_network(8, 180, 180, pattern_weights(8 * 180 * 180), 3.0, 0);
    ASSERT_NE(network, nullptr);
    const std::string body = image_of(network.get()).substr(8);
    for (int attempt = 0; attempt < 3; ++attempt) {
        TempDir dir;
        const std::string path = dir.file("map");
        ASSERT_EQ(som_save(network.get(), path.c_str()), SOM_OK);
        int ready[2], stop[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(stop), 0);
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(ready[0]);
            close(stop[1]);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
            struct rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            fcntl(stop[0], F_SETFL, O_NONBLOCK);
            alarm(30);
            // Saves until the test says stop (by closing its end).
            for (bool told = false;;) {
                if (som_save(network.get(), path.c_str()) != SOM_OK) _exit(2);
                if (!told) {
                    told = write(ready[1], "r", 1) == 1;
                    if (!told) _exit(3);
                }
                char byte;
                if (read(stop[0], &byte, 1) == 0) _exit(0);
            }
        }
        close(ready[1]);
        close(stop[0]);
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        // Some way into one of the later saves.
        usleep(static_cast<useconds_t>(1000 + 3700 * attempt));
        kill(child, c.signal);
        usleep(100000);
        close(stop[1]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(ready[0]);

        const bool ended_by_it = WIFSIGNALED(status) && WTERMSIG(status) == c.signal;
        const bool went_on = c.may_be_discarded && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        EXPECT_TRUE(ended_by_it || went_on) << "attempt " << attempt << ": status " << status;
        const std::string now = read_file(path);
        EXPECT_TRUE(now.size() == body.size() + 8 && now.compare(8, std::string::npos, body) == 0)
            << "attempt " << attempt << ": the map is not whole (" << now.size() << " bytes)";
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"map"}) << "attempt " << attempt;
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, MapFileSaveSignal, ::testing::ValuesIn(terminating_signals()),
                         [](const ::testing::TestParamInfo<SignalCase> &info) { return info.param.name; });

}  // namespace
