#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace somap::testing {

namespace {

// Runs `program`; its standard output goes to the test through a pipe, or
// straight to `out_fd` when that is not -1.
ProcessResult spawn(const std::string &program, const std::vector<std::string> &args, const std::string &input,
                    void (*setup)(), int out_fd) {
    int in_pipe[2], out_pipe[2] = {-1, -1}, err_pipe[2];
    if (pipe(in_pipe) != 0 || (out_fd < 0 && pipe(out_pipe) != 0) || pipe(err_pipe) != 0)
        throw std::runtime_error("pipe failed");
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_fd < 0 ? out_pipe[1] : out_fd, 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            if (fd >= 0) close(fd);
        signal(SIGPIPE, SIG_DFL);
        if (setup) setup();
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    if (out_fd < 0) close(out_pipe[1]);
    close(err_pipe[1]);
    // The child may stop reading early (a failed option), so writing must not
    // be able to kill or block the test.
    signal(SIGPIPE, SIG_IGN);
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
    ProcessResult result;
    size_t written = 0;
    bool input_open = true;
    if (input.empty()) {
        close(in_pipe[1]);
        input_open = false;
    }
    bool out_open = out_fd < 0, err_open = true;
    char buffer[65536];
    while (out_open || err_open) {
        pollfd fds[3];
        int count = 0;
        int out_index = -1, err_index = -1, in_index = -1;
        if (out_open) { fds[count] = {out_pipe[0], POLLIN, 0}; out_index = count++; }
        if (err_open) { fds[count] = {err_pipe[0], POLLIN, 0}; err_index = count++; }
        if (input_open) { fds[count] = {in_pipe[1], POLLOUT, 0}; in_index = count++; }
        if (poll(fds, static_cast<nfds_t>(count), -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        if (in_index >= 0 && fds[in_index].revents) {
            ssize_t n = write(in_pipe[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN) written = input.size();
            if (written == input.size()) {
                close(in_pipe[1]);
                input_open = false;
            }
        }
        if (out_index >= 0 && fds[out_index].revents) {
            ssize_t n = read(out_pipe[0], buffer, sizeof buffer);
            if (n > 0) result.out.append(buffer, static_cast<size_t>(n));
            else { out_open = false; close(out_pipe[0]); }
        }
        if (err_index >= 0 && fds[err_index].revents) {
            ssize_t n = read(err_pipe[0], buffer, sizeof buffer);
            if (n > 0) result.err.append(buffer, static_cast<size_t>(n));
            else { err_open = false; close(err_pipe[0]); }
        }
    }
    if (input_open) close(in_pipe[1]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          const std::string &input, void (*setup)()) {
    return spawn(program, args, input, setup, -1);
}

ProcessResult run_process_with_stdout(int out_fd, const std::string &program, const std::vector<std::string> &args,
                                      const std::string &input, void (*setup)()) {
    return spawn(program, args, input, setup, out_fd);
}

std::string mask_timings(const std::string &err) {
    static const std::regex figure("\t : [0-9]+\\.[0-9]{6} (us|ms|s|m|h)\n");
    return std::regex_replace(err, figure, "\t : #\n");
}

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/somap-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
}

TempDir::~TempDir() {
    std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
        // Nothing more to do: a leftover temporary directory harms no test.
    }
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    if (DIR *dir = opendir(path_.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void write_file(const std::string &path, const std::string &contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

}  // namespace somap::testing
