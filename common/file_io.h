// What the programs (and the Python module) read and write through
// descriptors, files and memory, from the library's one I/O unit
// (som/io/descriptor_io.h, som/io/whole_file.h, som/io/map_bytes.h): the
// front ends themselves include only the library's public headers and
// common/.
#ifndef SOMAP_COMMON_FILE_IO_H
#define SOMAP_COMMON_FILE_IO_H

#include <cstddef>
#include <string>

#include "som/som.h"

namespace somap {

// Appends everything `fd` holds, from where it stands to its end, to `text`.
// A descriptor in non-blocking mode is waited on (poll), not taken to have
// ended. Returns false, with errno telling why, on a read error; `text` then
// holds what was read before it.
bool read_descriptor(int fd, std::string &text);

// Writes all of `text` to `fd`, retrying short writes and EINTR, and waiting
// (poll) when a descriptor in non-blocking mode is full; false with errno
// set on failure.
bool write_all(int fd, const std::string &text);
bool write_all(int fd, const char *data, size_t size);

// The same for output nobody must wait for (a progress line): a full
// non-blocking descriptor, like any error, drops the rest at once.
void write_without_waiting(int fd, const std::string &text);

// Writes `bytes` to `path` as som_save writes a map: a regular file (or
// none) is replaced only once the new one is complete, a device or FIFO is
// written in place, a path naming one of the process's own descriptors
// (/dev/stdout) is written at that descriptor's offset, and a directory is
// refused (EISDIR). Returns false with errno telling why; the old file is
// then untouched.
bool write_file_whole(const std::string &path, const std::string &bytes);

// Replaces `bytes` with the map file som_save would write for `network`,
// but with the saved_at the network holds: nothing is stamped, the network
// is only read (what a pickle carries). SOM_OK, SOM_ERROR_INVALID (a network
// som_network_check refuses) or SOM_ERROR_MEMORY.
int map_file_bytes(const som_network *network, std::string &bytes);

// The network that `size` bytes of one map file describe, checked as
// som_load checks a file; trailing bytes are SOM_ERROR_FORMAT. Null on
// failure, with *status (when not null) SOM_OK or why.
som_network *network_from_map_file_bytes(const void *data, size_t size, int *status);

}  // namespace somap

#endif
