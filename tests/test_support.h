// Shared helpers for the tests (the somap_test_support library): running a
// program under test, temporary directories, and bit-level comparison of
// doubles.
#ifndef SOMAP_TESTS_TEST_SUPPORT_H
#define SOMAP_TESTS_TEST_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace somap::testing {

struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1;   // exit status, or 128 + signal number
};

// Runs `program` with `args` (argv[1..]) and `input` on standard input;
// with `no_stdin` standard input is closed instead. `setup` runs in the
// child before exec (limits, for instance) when given.
ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          const std::string &input, void (*setup)() = nullptr);

// As run_process, but the program's standard output is `out_fd` (a full
// device, a pipe nobody reads) instead of a pipe to the test; `out` stays
// empty. The caller keeps and closes `out_fd`.
ProcessResult run_process_with_stdout(int out_fd, const std::string &program,
                                      const std::vector<std::string> &args, const std::string &input,
                                      void (*setup)() = nullptr);

// The somap binary under test, in the test executables the build hands it
// to (SOMAP_BINARY).
#ifdef SOMAP_BINARY
inline ProcessResult run_somap(const std::vector<std::string> &args, const std::string &input = "",
                               void (*setup)() = nullptr) {
    return run_process(SOMAP_BINARY, args, input, setup);
}

inline ProcessResult run_somap_with_stdout(int out_fd, const std::vector<std::string> &args,
                                           const std::string &input = "", void (*setup)() = nullptr) {
    return run_process_with_stdout(out_fd, SOMAP_BINARY, args, input, setup);
}
#endif

// Replaces the figure and unit of each phase report ("Network Creation\t : 1.234567 ms")
// with "#" so that standard error can be compared exactly: "Network Creation\t : #".
std::string mask_timings(const std::string &err);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::vector<std::string> entries() const;  // names in the directory, sorted

  private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &contents);

inline uint64_t bits(double value) {
    uint64_t out;
    std::memcpy(&out, &value, sizeof out);
    return out;
}

}  // namespace somap::testing

#endif
