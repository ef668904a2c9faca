// The output lines of recognition, "i<TAB>j<TAB>line\n", written to a
// descriptor in groups of whole lines: one write carries as many lines as
// fit in a group, not one line each.
#ifndef SOMAP_TOOL_OUTPUT_LINES_H
#define SOMAP_TOOL_OUTPUT_LINES_H

#include <limits.h>

#include <cstddef>
#include <string_view>
#include <vector>

namespace somap {

// The most a write to a pipe may carry and still arrive in one piece: the
// system puts a write of at most PIPE_BUF bytes into a pipe whole or not at
// all, so lines from several writers sharing a pipe never tear each other,
// and a writer killed while it waits for room leaves no part of its write.
inline constexpr size_t kWholeWriteBytes = PIPE_BUF;

class OutputLines {
  public:
    // Lines are gathered into writes of at most `group_bytes` bytes of whole
    // lines; a line longer than that is written alone. With 0, and always
    // into a regular file, every line is its own write.
    OutputLines(int fd, size_t group_bytes);

    // Adds the line for one row, writing the lines held before it when it
    // would not fit beside them. False when a write failed, with errno
    // telling why; the caller stops there.
    bool add(size_t i, size_t j, std::string_view line);

    // Writes the lines held. False, with errno set, when the write failed.
    bool flush();

  private:
    int fd_;
    size_t group_bytes_;
    std::vector<char> group_;  // the lines held are its first used_ bytes
    size_t used_ = 0;
};

}  // namespace somap

#endif
