// file_beneath.h: reading files below one directory without ever leaving it, however a name is
// written: "..", absolute names and symbolic links that lead outside are refused.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace marloven {

// Purpose: a directory whose files are served to outside clients (the portal's document root).
// Names are resolved below it by the kernel (openat2 with RESOLVE_BENEATH): a symbolic link that
// stays inside works, one that points outside (absolutely or by climbing) fails as if the file
// were missing. Where the kernel lacks openat2, names are walked one component at a time and
// every symbolic link is refused.
// Ownership: owns a descriptor of the directory, opened once; every lookup is relative to it,
// so renaming the directory's path later changes nothing.
// Failure: none thrown; lookups of a directory that could not be opened find nothing.
// Threads: immutable after construction; lookups may run on several threads.
class directory_beneath {
  public:
    explicit directory_beneath(const std::string& path);
    ~directory_beneath();
    directory_beneath(const directory_beneath&) = delete;
    directory_beneath& operator=(const directory_beneath&) = delete;

    bool is_open() const { return fd_ >= 0; }

    enum class kind { missing, directory, file, other };
    // What `name` (relative; leading "/" are ignored) is. Unreadable and escaping names are
    // missing.
    kind kind_of(std::string_view name) const;

    // The contents of the regular file `name`, or nothing (missing, not a regular file, larger
    // than `max_size`, unreadable).
    std::optional<std::string> read(std::string_view name, std::size_t max_size) const;

    // Opens the regular file `name` for reading: the descriptor (the caller closes it) and the
    // file's size, or -1.
    int open_file(std::string_view name, std::uint64_t& size) const;

  private:
    // A descriptor of `name` opened with `flags`, or -1.
    int open_beneath(std::string_view name, int flags) const;

    int fd_ = -1;
};

}  // namespace marloven
