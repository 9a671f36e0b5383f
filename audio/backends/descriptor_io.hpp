// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// The transfers that the file and pipe backends share: exactly one read or write system call
// on a descriptor they hold, reported under the backend's own operation name (`name`).

// -19 with "device not open" when fd is 0; -1 with the system's reason on failure;
// otherwise the count the system call returned, possibly short (a write that a signal
// interrupted before a byte moved gives 0).
[[nodiscard]] std::int32_t descriptor_write(int fd, const void* data, std::uint64_t size,
                                            const char* name);
[[nodiscard]] std::int32_t descriptor_read(int fd, void* data, std::uint64_t size,
                                           const char* name);

// Opens `path` with the given flags and mode, keeping the descriptor above 0. On failure logs
// "<name>: <path>: <reason>" and returns the negated errno; on success stores the descriptor
// in *fd and returns 0.
[[nodiscard]] std::int32_t descriptor_open(const char* path, int flags, int mode, int* fd,
                                           const char* name);

// descriptor_open for a path a user named, which may be a symbolic link: one that another user
// may have planted is not followed, by the rule the kernel's protected_symlinks applies (a link
// in a sticky, world-writable directory such as /tmp is followed only when it belongs to this
// user or to the directory's owner): -EACCES with a fatal line under `name` naming the link.
// A path that is no link when it is looked at is opened with O_NOFOLLOW, so that it cannot
// become one before the open.
[[nodiscard]] std::int32_t descriptor_open_named(const char* path, int flags, int mode, int* fd,
                                                 const char* name);
