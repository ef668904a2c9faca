// Interrupting a retraining run that replaces its own map (`-a M -s M`) at
// any moment must leave M either the old map or the new one, whole; after
// SIGINT, SIGTERM or any other signal that ends a process at its default
// (SIGUSR1, a realtime one) no temporary file may be left beside it either.
// After SIGKILL a temporary file can remain (nothing can run to remove it),
// but M is still whole, because it is only ever replaced by a rename.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using somap::testing::read_file;
using somap::testing::run_somap;
using somap::testing::TempDir;
using somap::testing::write_file;

// Rows of pseudo-random values in [0, 1), from a fixed seed.
std::string rows(size_t count, size_t fields, uint64_t seed) {
    std::string out;
    for (size_t r = 0; r < count; ++r) {
        for (size_t f = 0; f < fields; ++f) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            out += std::to_string((seed >> 40) % 10000 / 10000.0);
            out += f + 1 < fields ? '\t' : '\n';
        }
    }
    return out;
}

const std::vector<std::string> kGrid = {"-x", "60", "-y", "60", "-i", "1"};

// The map before the run, the map an uninterrupted run leaves, the input and
// how long an uninterrupted run takes here (only to spread the kills over it).
struct Setting {
    TempDir dir;
    std::string input_path, old_map, new_map;
    double run_seconds = 0;
};

const Setting &setting() {
    // Built once for every case; destroyed (its directory removed) at exit.
    static Setting s;
    static const bool ready = [] {
        s.input_path = s.dir.file("input");
        write_file(s.input_path, rows(600, 8, 1));
        std::vector<std::string> train = kGrid;
        train.insert(train.end(), {"-s", s.dir.file("old")});
        if (run_somap(train, rows(200, 8, 2)).status != 0) return false;
        s.old_map = read_file(s.dir.file("old"));
        write_file(s.dir.file("new"), s.old_map);
        auto start = std::chrono::steady_clock::now();
        const std::string path = s.dir.file("new");
        if (run_somap({"-a", path, "-s", path, "-i", "1"}, read_file(s.input_path)).status != 0) return false;
        s.run_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        s.new_map = read_file(path);
        return true;
    }();
    (void)ready;
    return s;
}

struct Child {
    pid_t pid = -1;
    int err = -1;  // reading end of the child's standard error
};

Child start(const std::vector<std::string> &args, const std::string &input_path) {
    int err_pipe[2];
    if (::pipe(err_pipe) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        int in = ::open(input_path.c_str(), O_RDONLY);
        int out = ::open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0) _exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err_pipe[1], 2);
        ::close(err_pipe[0]);
        ::close(err_pipe[1]);
        for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGRTMIN}) ::signal(signal, SIG_DFL);
        std::vector<char *> argv{const_cast<char *>(SOMAP_BINARY)};
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(SOMAP_BINARY, argv.data());
        _exit(127);
    }
    ::close(err_pipe[1]);
    return {pid, err_pipe[0]};
}

void sleep_for(double seconds) {
    timespec wait{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    while (::nanosleep(&wait, &wait) != 0) {
    }
}

// Reads the child's standard error until `marker` has appeared or the
// stream ends; what was read is appended to `err`.
void read_until(int fd, const std::string &marker, std::string &err) {
    char buffer[4096];
    while (err.find(marker) == std::string::npos) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        err.append(buffer, static_cast<size_t>(n));
    }
}

enum class When { AfterDelay, AfterRecognition };

struct Kill {
    int signal;
    When when;
    double delay;  // seconds
};

std::string describe(const Kill &k) {
    return std::string(strsignal(k.signal)) +
           (k.when == When::AfterDelay ? " after " : " after the recognition report and ") +
           std::to_string(k.delay) + " s";
}

// One interrupted run; returns whether M ended up as the new map.
bool interrupted_run(const Kill &kill) {
    const Setting &s = setting();
    TempDir dir;
    const std::string map = dir.file("M");
    write_file(map, s.old_map);
    Child child = start({"-a", map, "-s", map, "-i", "1"}, s.input_path);
    EXPECT_GT(child.pid, 0);
    if (child.pid <= 0) return false;
    std::string err;
    // The report comes just before the save: the kill then lands while the
    // map is being written, renamed or synced.
    if (kill.when == When::AfterRecognition) read_until(child.err, "Input Recognition", err);
    sleep_for(kill.delay);
    ::kill(child.pid, kill.signal);
    read_until(child.err, "\1", err);  // to the end
    ::close(child.err);
    int status = 0;
    ::waitpid(child.pid, &status, 0);

    const std::string what = describe(kill);
    EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
                (WIFSIGNALED(status) && WTERMSIG(status) == kill.signal))
        << what << ": status " << status << ", standard error:\n" << err;

    const std::string now = read_file(map);
    const bool is_old = now.size() == s.old_map.size() && now.substr(8) == s.old_map.substr(8);
    const bool is_new = now.size() == s.new_map.size() && now.substr(8) == s.new_map.substr(8);
    EXPECT_TRUE(is_old || is_new) << what << ": M is neither map whole (" << now.size() << " bytes)";

    std::vector<std::string> entries = dir.entries();
    if (kill.signal == SIGKILL) {
        // Only a temporary file of this map may remain.
        std::vector<std::string> kept;
        for (const std::string &name : entries)
            if (name.rfind(".M.somap-", 0) != 0) kept.push_back(name);
        entries = kept;
    }
    EXPECT_EQ(entries, std::vector<std::string>{"M"}) << what;
    return is_new;
}

TEST(Interrupt, MapIsOldOrNewWholeAndNoTemporaryFileRemains) {
    const Setting &s = setting();
    ASSERT_FALSE(s.old_map.empty());
    ASSERT_FALSE(s.new_map.empty());
    ASSERT_EQ(s.old_map.size(), s.new_map.size());
    ASSERT_NE(s.old_map.substr(8), s.new_map.substr(8)) << "the two maps must be told apart";

    int replaced = 0, kept = 0;
    for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGRTMIN, SIGKILL}) {
        // Spread over the whole run and a little beyond it...
        for (double fraction : {0.0, 0.3, 0.7, 1.1})
            (interrupted_run({signal, When::AfterDelay, fraction * s.run_seconds}) ? replaced : kept)++;
        // ...and close around the save, which is where it matters most.
        for (double delay : {0.0, 0.0003, 0.001, 0.003})
            (interrupted_run({signal, When::AfterRecognition, delay}) ? replaced : kept)++;
    }
    // How the kills fell depends on the machine; it is shown, not checked.
    std::cout << kept << " runs left the old map, " << replaced << " the new one\n";
}

// Writing a map into a FIFO waits for a reader; an interrupt must still end
// the wait, as it ends any other blocked write.
TEST(Interrupt, SaveWaitingForAFifoReaderEndsOnSigint) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
    write_file(dir.file("input"), "1\t2\n3\t4\n");
    Child child = start({"-x", "2", "-y", "2", "-i", "1", "-s", dir.file("fifo")}, dir.file("input"));
    ASSERT_GT(child.pid, 0);
    std::string err;
    read_until(child.err, "Input Recognition", err);
    sleep_for(0.2);  // into the open() that waits for a reader
    ::kill(child.pid, SIGINT);
    // A generous bound on how long the interrupted run may take to end; one
    // that ignores the interrupt would wait for ever.
    int status = 0;
    pid_t ended = 0;
    for (int tick = 0; tick < 600 && ended == 0; ++tick) {
        ended = ::waitpid(child.pid, &status, WNOHANG);
        if (ended == 0) sleep_for(0.05);
    }
    if (ended == 0) {
        ::kill(child.pid, SIGKILL);
        ::waitpid(child.pid, &status, 0);
    }
    ::close(child.err);
    EXPECT_NE(ended, 0) << "SIGINT did not end a save waiting for a reader";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status;
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fifo", "input"}));
}

}  // namespace
