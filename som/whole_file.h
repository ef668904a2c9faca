// Writing a file whole: the one implementation behind som_save and
// somap-render's --output. Internal to the project; not installed.
#ifndef SOM_WHOLE_FILE_H
#define SOM_WHOLE_FILE_H

#include <cstddef>
#include <functional>

namespace som_internal {

// Writes all of `data` to `fd`, retrying short writes and EINTR, and waiting
// (poll) when a descriptor in non-blocking mode is full; false with errno
// set on failure.
bool write_all(int fd, const void *data, size_t size);

// Writes a file whose contents `produce` writes to the descriptor it is
// given (returning false, errno set, when it fails), so that no file the
// user has is ever damaged by a failure:
// - `path` names, through links, one of this process's own descriptors
//   (/dev/stdout, /dev/fd/N, /proc/self/fd/N, a shell's process
//   substitution): the map is written to that descriptor, at its offset,
//   whatever it is open on; one open for reading only is refused (EBADF).
// - `path` leads to an existing file that is not regular (a device, a FIFO)
//   or to another process's descriptor: it is written in place, since it
//   cannot be replaced.
// - It leads to a regular file, or to nothing: a temporary file is made in
//   the target's directory (the last link's target when `path` is a link,
//   which stays a link), filled, synced and renamed over the target, and the
//   directory is synced. The replaced file's mode is kept, and its owner and
//   group where the process may set them. An existing target the user may
//   not write is refused (EACCES), as an ordinary write would be.
// - A directory is refused (EISDIR).
// Links are followed one at a time from descriptors of their directories, so
// long chains work and directories need only be searchable (the target's
// must be writable for the rename). Interrupts (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT) are held on the calling thread from the temporary file's creation
// to its rename or removal, so an interrupt never leaves it behind in a
// program whose other threads block them too; they are not held while a FIFO
// waits for its reader. SIGXFSZ and
// SIGPIPE raised by the writes are held and discarded: a file-size limit or
// a vanished reader is a failure (EFBIG, EPIPE) like any other.
// Returns true, or false with errno telling why; on failure the old file is
// untouched and no temporary file remains.
bool write_whole_file(const char *path, const std::function<bool(int fd)> &produce);

}  // namespace som_internal

#endif
