// private_file.cc: files and directories created for their owner only.
// SPDX-License-Identifier: MIT
#include "util/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace marloven {

int create_private_file(const char* path, int flags) noexcept {
    int fd = ::open(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, private_file_mode);
    if (fd < 0) {
        return -1;
    }
    // The umask may have taken bits away (0400 under umask 0277); the owner needs both.
    if (::fchmod(fd, private_file_mode) != 0) {
        int error = errno;
        ::close(fd);
        ::unlink(path);
        errno = error;
        return -1;
    }
    return fd;
}

int open_private_file(const char* path, int flags) noexcept {
    // Bounded: a dangling link exists (EEXIST) but cannot be opened (ENOENT) for ever.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = create_private_file(path, flags);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
        fd = ::open(path, flags | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
        // Removed between the two calls: create it after all.
    }
    return -1;
}

bool create_private_directory(const char* path) noexcept {
    if (::mkdir(path, private_directory_mode) != 0) {
        return false;
    }
    // As for files: the umask only takes bits away, and the owner needs all three.
    return ::chmod(path, private_directory_mode) == 0;
}

}  // namespace marloven
