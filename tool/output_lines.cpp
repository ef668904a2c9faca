#include "output_lines.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include <sys/stat.h>

#include "file_io.h"

namespace somap {

OutputLines::OutputLines(int fd, size_t group_bytes) : fd_(fd), group_bytes_(group_bytes) {
    // A regular file gets a write per line. A kill stops a write to a file
    // between two pages of the page cache (a pipe takes a write of at most
    // PIPE_BUF bytes whole or not at all), and a group of lines nearly always
    // reaches across a page: a run killed while writing a file (GNU parallel's
    // --halt now does it to jobs whose output it keeps in files) would
    // nearly always leave a torn last line, where a write per line almost
    // never does.
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) group_bytes_ = 0;
    group_.resize(std::max<size_t>(group_bytes_, 1));
}

bool OutputLines::add(size_t i, size_t j, std::string_view line) {
    // The two indices straight into a small buffer: no string is built per
    // line.
    constexpr size_t kDigits = 20;  // of the largest size_t
    char prefix[2 * kDigits + 2];
    char *end = std::to_chars(prefix, prefix + kDigits, i).ptr;
    *end++ = '\t';
    end = std::to_chars(end, end + kDigits, j).ptr;
    *end++ = '\t';
    const size_t prefix_size = static_cast<size_t>(end - prefix);
    const size_t size = prefix_size + line.size() + 1;
    if (used_ > 0 && used_ + size > group_bytes_ && !flush()) return false;
    if (size > group_.size()) group_.resize(size);  // a line longer than a group
    char *at = group_.data() + used_;
    std::memcpy(at, prefix, prefix_size);
    std::memcpy(at + prefix_size, line.data(), line.size());
    at[size - 1] = '\n';
    used_ += size;
    // A line that does not fit in a group goes out alone, at once.
    return used_ <= group_bytes_ || flush();
}

bool OutputLines::flush() {
    if (used_ == 0) return true;
    // write_all continues a short write (a file reaching a size limit or a
    // full disk, a terminal) from where it stopped; when the continuation
    // fails, the lines before the break are whole and the one it falls in
    // ends where the device stopped taking bytes. A write of every line on
    // its own leaves the same bytes: the output up to the byte where the
    // device stopped. A pipe never takes part of a write of at most PIPE_BUF
    // bytes, even when left in non-blocking mode (it takes all of it or
    // nothing, and write_all then waits for room).
    const bool written = write_all(fd_, group_.data(), used_);
    used_ = 0;
    return written;
}

}  // namespace somap
