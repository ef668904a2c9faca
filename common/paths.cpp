#include "paths.h"

#include <sys/stat.h>

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

}  // namespace somap
