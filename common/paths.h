// What the programs (and the Python module) need to know about the paths
// they are given, and how they explain a map that would not load.
#ifndef SOMAP_COMMON_PATHS_H
#define SOMAP_COMMON_PATHS_H

#include <string>

namespace somap {

// A name as a message shows it: control bytes replaced by '?', so that a
// file name cannot steer the terminal.
std::string printable(const std::string &text);

// Whether `output` names an existing file that is the same file as `input`
// ("-" for standard input): writing there would destroy an input of the run.
bool same_file(const std::string &output, const std::string &input);

// Whether replacing the file at `path` would destroy what the run writes to
// standard output or standard error: the text that says which
// (text::kStandardOutputFile, text::kStandardErrorFile) when `path` leads
// to the regular file that one of them is open on, otherwise null. A path
// that names one of the process's own descriptors (/dev/stdout, /dev/fd/1)
// is written at that descriptor's offset, never replaced: null.
const char *standard_stream_file(const std::string &path);

// Why som_save failed, in words, for the status it gave (and errno, for
// SOM_ERROR_SYSTEM).
std::string save_failure(int status, int error);

// Why som_load_status refused a map, in words, for the status it gave (and
// errno, for SOM_ERROR_SYSTEM).
std::string load_failure(int status, int error);

}  // namespace somap

#endif
