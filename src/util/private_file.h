// private_file.h: creating the files that hold crawl passwords and password hashes (the database,
// the log, exported records, backups, crash dumps) readable and writable by their owner only.
// SPDX-License-Identifier: MIT
#pragma once

namespace marloven {

// Mode of every such file: owner read and write, whatever the process's umask.
inline constexpr unsigned private_file_mode = 0600;
// Mode of a directory that holds them.
inline constexpr unsigned private_directory_mode = 0700;

// Creates `path` with `flags` (O_WRONLY or O_RDWR, plus O_APPEND and the like) and mode 0600. It
// never opens what is there already: an existing file or link (dangling or not) fails with
// EEXIST. Returns the descriptor (close-on-exec), or -1 with errno set.
// Async-signal-safe: only open and fchmod, so the crash handler can use it.
int create_private_file(const char* path, int flags) noexcept;

// Opens `path` with `flags`, creating it as create_private_file does when it is missing; a file
// that exists (also through a link) keeps its mode. Returns the descriptor, or -1 with errno set
// (ENOENT for a dangling link).
int open_private_file(const char* path, int flags) noexcept;

// Creates the directory `path` with mode 0700, whatever the umask. Returns false with errno set
// when it cannot (EEXIST when it is there already).
bool create_private_directory(const char* path) noexcept;

}  // namespace marloven
