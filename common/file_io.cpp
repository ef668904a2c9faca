#include "file_io.h"

#include "som/io/descriptor_io.h"
#include "som/io/map_bytes.h"
#include "som/io/whole_file.h"

namespace somap {

bool read_descriptor(int fd, std::string &text) { return som_internal::read_all(fd, text); }

bool write_all(int fd, const std::string &text) { return som_internal::write_all(fd, text.data(), text.size()); }

bool write_all(int fd, const char *data, size_t size) { return som_internal::write_all(fd, data, size); }

void write_without_waiting(int fd, const std::string &text) {
    // A progress line is never worth failing a run for.
    (void)som_internal::write_all_without_waiting(fd, text.data(), text.size());
}

bool write_file_whole(const std::string &path, const std::string &bytes) {
    return som_internal::write_whole_file(
        path.c_str(), [&](int fd) { return som_internal::write_all(fd, bytes.data(), bytes.size()); });
}

int map_file_bytes(const som_network *network, std::string &bytes) { return som_internal::map_bytes(network, bytes); }

som_network *network_from_map_file_bytes(const void *data, size_t size, int *status) {
    return som_internal::map_from_bytes(data, size, status);
}

}  // namespace somap
