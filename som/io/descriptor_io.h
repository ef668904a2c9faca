// Reading and writing open descriptors: the one copy of the loops that
// retry interrupted calls and wait on descriptors a parent left in
// non-blocking mode. Map files, writing a file whole and (through common/)
// the programs' input and output all go through here. Internal to the
// project; not installed.
#ifndef SOM_DESCRIPTOR_IO_H
#define SOM_DESCRIPTOR_IO_H

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace som_internal {

// One read of up to `size` bytes: retried on EINTR, and waited for (poll)
// when a descriptor in non-blocking mode has nothing yet, which is not the
// end of its data. Returns the bytes read (at least 1), 0 at the end, or -1
// with errno set.
ssize_t read_some(int fd, void *data, size_t size);

// Reads until `size` bytes or the end of the data; returns the bytes read,
// or -1 on a read error.
ssize_t read_full(int fd, void *data, size_t size);

// Appends everything `fd` holds, from where it stands to its end, to
// `text`. A regular file says how much is coming, so the buffer is sized
// once instead of doubled. Returns false, with errno telling why, on a read
// error; `text` then holds what was read before it.
bool read_all(int fd, std::string &text);

// Writes all of `data` to `fd`, retrying short writes and EINTR, and waiting
// (poll) when a descriptor in non-blocking mode is full; false with errno
// set on failure (EIO for a write that took nothing).
bool write_all(int fd, const void *data, size_t size);

// The same loop for output nobody must wait for (a progress line on a
// terminal): short writes and EINTR are retried, but a full non-blocking
// descriptor, like any error, ends the write at once with what got through.
// Returns whether all of it was written.
bool write_all_without_waiting(int fd, const void *data, size_t size);

}  // namespace som_internal

#endif
