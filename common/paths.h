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

// Why som_save failed, in words, for the status it gave (and errno, for
// SOM_ERROR_SYSTEM).
std::string save_failure(int status, int error);

// Why som_load_status refused a map, in words, for the status it gave (and
// errno, for SOM_ERROR_SYSTEM).
std::string load_failure(int status, int error);

}  // namespace somap

#endif
