#include "paths.h"

#include <sys/stat.h>

#include <cstring>

#include "som/io/whole_file.h"
#include "som/som.h"
#include "texts.h"

namespace somap {

std::string printable(const std::string &text) {
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7f) ? '?' : c;
    }
    return out;
}

bool same_file(const std::string &output, const std::string &input) {
    if (output.empty() || input.empty()) return false;
    struct stat first, second;
    if (::stat(output.c_str(), &first) != 0) return false;
    const int found = input == "-" ? ::fstat(0, &second) : ::stat(input.c_str(), &second);
    return found == 0 && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

const char *standard_stream_file(const std::string &path) {
    if (path.empty() || som_internal::names_own_descriptor(path.c_str())) return nullptr;
    struct stat target;
    if (::stat(path.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return nullptr;
    for (int fd : {1, 2}) {
        struct stat stream;
        if (::fstat(fd, &stream) == 0 && stream.st_dev == target.st_dev && stream.st_ino == target.st_ino)
            return fd == 1 ? text::kStandardOutputFile : text::kStandardErrorFile;
    }
    return nullptr;
}

std::string save_failure(int status, int error) {
    return status == SOM_ERROR_SYSTEM ? std::strerror(error) : som_status_string(status);
}

std::string load_failure(int status, int error) {
    switch (status) {
    case SOM_ERROR_SYSTEM: return std::strerror(error);
    case SOM_ERROR_FORMAT:
        return "not a somap map file (too short for its header, cut short, or a bad time constant)";
    case SOM_ERROR_TOO_LARGE: return "it declares a network too large for this machine or for its size";
    default: return som_status_string(status);
    }
}

}  // namespace somap
