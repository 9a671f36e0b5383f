// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// The transfers that the file and pipe backends share: exactly one read or write system call
// on a descriptor they hold, reported under the backend's own operation name (`name`).

// -19 with "device not open" when fd is 0; -1 on failure, with one line naming `path` and the
// system's reason; otherwise the count the system call returned, possibly short (a write that
// a signal interrupted before a byte moved gives 0).
[[nodiscard]] std::int32_t descriptor_write(int fd, const void* data, std::uint64_t size,
                                            const char* name, const char* path);
// -19 with "device not open" when fd is 0; -1 with the system's reason on failure;
// otherwise the count the system call returned, possibly short.
[[nodiscard]] std::int32_t descriptor_read(int fd, void* data, std::uint64_t size,
                                           const char* name);

// descriptor's wait_input: polls `fd` (0: nothing held, which a read reports) and `other_fd`
// (-1: none) for reading. A failed poll says the input is ready, for the read to report.
[[nodiscard]] std::int32_t descriptor_wait(int fd, int other_fd, int timeout_ms);

// Opens `path` with the given flags and mode, keeping the descriptor above 0. On failure logs
// "<name>: <path>: <reason>" and returns the negated errno; on success stores the descriptor
// in *fd and returns 0.
[[nodiscard]] std::int32_t descriptor_open(const char* path, int flags, int mode, int* fd,
                                           const char* name);

// descriptor_open for a path a user named, where another user may have made something first.
// In a shared sticky directory (writable by all or by a group, such as /tmp) a symbolic link,
// and for an open that writes a regular file or a FIFO, is used only when it belongs to this
// user or to the directory's owner: the rule of the kernel's protected_symlinks,
// protected_regular and protected_fifos at level 2, applied whether or not the system turned
// them on. Anything else is refused, before the open (which a FIFO would block) and again on
// what was opened: -EACCES with a fatal line under `name` naming the path and its owner. A
// path that is no link when it is looked at is opened with O_NOFOLLOW, so that it cannot
// become one before the open. A free name is made with O_EXCL; `created` (may be null) tells
// whether this open made the file, which only then may be removed again. An open for reading
// does not wait for a FIFO's writer: descriptor_wait and the reads do.
[[nodiscard]] std::int32_t descriptor_open_named(const char* path, int flags, int mode, int* fd,
                                                 const char* name, bool* created = nullptr);
