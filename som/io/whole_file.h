// Writing a file whole: the one implementation behind som_save and
// somap-render's --output. Internal to the project; not installed.
#ifndef SOM_WHOLE_FILE_H
#define SOM_WHOLE_FILE_H

#include <cstddef>
#include <functional>

namespace som_internal {

// Writes a file whose contents `produce` writes to the descriptor it is
// given (returning false, errno set, when it fails), so that no file the
// user has is ever damaged by a failure, and nothing is written where the
// kernel would refuse this process an ordinary open of `path` for writing
// (O_WRONLY | O_CREAT, as a shell's `>>` opens it): that open is made first
// (where nothing exists yet, one without O_CREAT, which follows the same
// links under the same rules and makes nothing), and its refusal (EACCES
// from fs.protected_symlinks or fs.protected_regular, say) is the save's.
// Then:
// - `path` names, through links, one of this process's own descriptors
//   (/dev/stdout, /dev/fd/N, /proc/self/fd/N, a shell's process
//   substitution): the map is written to that descriptor, at its offset,
//   whatever it is open on; one open for reading only is refused (EBADF).
//   Here only the links are the kernel's to allow (a path-only open), since
//   no open reaches some descriptors (a socket) and the process has this
//   one already.
// - `path` leads to an existing file that is not regular (a device, a FIFO)
//   or to another process's descriptor: it is written in place, through the
//   one descriptor that open gave.
// - It leads to a regular file, or to nothing: a temporary file is made in
//   the target's directory (the last link's target when `path` is a link,
//   which stays a link), filled, synced and renamed over the target, and the
//   directory is synced. The replaced file's mode is kept, and its owner and
//   group where the process may set them. Nothing appears at the target
//   before the rename.
// - A directory is refused (EISDIR).
// Links are followed one at a time from descriptors of their directories, so
// long chains work and directories need only be searchable (the target's
// must be writable for the rename). Every signal whose default action ends
// the process, but the faults a process raises on itself (SIGSEGV and its
// kind), is held on the calling thread from that open to the temporary
// file's rename or removal, so a signal never leaves one behind in a program
// whose other threads block them too; nothing is held while a FIFO waits
// for its reader. SIGXFSZ and SIGPIPE raised by the writes are held and
// discarded: a file-size limit or a vanished reader is a failure (EFBIG,
// EPIPE) like any other. A path that changes while it is being saved (what
// the open reached is not what the rename would replace) is not saved
// (EAGAIN).
// Returns true, or false with errno telling why; on failure the old file is
// untouched and no temporary file remains.
bool write_whole_file(const char *path, const std::function<bool(int fd)> &produce);

// Whether `path` names, through links, one of this process's own
// descriptors (/dev/stdout, /dev/fd/N, /proc/self/fd/N), which
// write_whole_file writes to at its offset instead of replacing the file
// behind it. errno is kept.
bool names_own_descriptor(const char *path);

}  // namespace som_internal

#endif
