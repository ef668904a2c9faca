// A map file's bytes in memory: what moves a map between processes without
// a file (the Python module's pickling), through the very writer and reader
// of som_save and som_load. Internal to the project; not installed.
#ifndef SOM_MAP_BYTES_H
#define SOM_MAP_BYTES_H

#include <cstddef>
#include <string>

#include "som/som.h"

namespace som_internal {

// Replaces `out` with the bytes som_save would write for `network`, but with
// the saved_at the network holds: nothing is stamped, the network is only
// read. SOM_OK, SOM_ERROR_INVALID (a network som_network_check refuses) or
// SOM_ERROR_MEMORY.
int map_bytes(const som_network *network, std::string &out);

// The network that `size` bytes of a map file describe, checked as som_load
// checks a file (cut short, a time constant training cannot use, sizes
// beyond what the bytes justify). They must hold one map and nothing after
// it: trailing bytes are SOM_ERROR_FORMAT. Null on failure, with *status
// (when not null) SOM_OK or why.
som_network *map_from_bytes(const void *data, size_t size, int *status);

}  // namespace som_internal

#endif
