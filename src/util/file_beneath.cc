// file_beneath.cc: name resolution confined to a directory (openat2, or a walk without links).
// SPDX-License-Identifier: MIT
#include "util/file_beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace marloven {

namespace {

// Closes a descriptor when it goes out of scope unless released.
struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

// The walk used where openat2 is missing: each component opened without following links, ".."
// refused, so the name can neither climb nor jump out.
int walk_beneath(int root, std::string_view name, int flags) {
    int current = ::dup(root);
    if (current < 0) {
        return -1;
    }
    fd_guard guard{current};
    while (!name.empty()) {
        const std::size_t slash = name.find('/');
        const std::string component(name.substr(0, slash));
        name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
        if (component.empty() || component == ".") {
            continue;
        }
        if (component == "..") {
            return -1;
        }
        const bool last = name.find_first_not_of('/') == std::string_view::npos;
        const int next =
            ::openat(guard.fd, component.c_str(),
                     last ? flags | O_NOFOLLOW : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            return -1;
        }
        ::close(guard.fd);
        guard.fd = next;
        if (last) {
            return guard.release();
        }
    }
    // The name was the directory itself.
    return ::openat(guard.fd, ".", flags);
}

}  // namespace

directory_beneath::directory_beneath(const std::string& path)
    : fd_(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}

directory_beneath::~directory_beneath() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int directory_beneath::open_beneath(std::string_view name, int flags) const {
    if (fd_ < 0 || name.find('\0') != std::string_view::npos) {
        return -1;
    }
    while (!name.empty() && name.front() == '/') {
        name.remove_prefix(1);
    }
    const std::string relative = name.empty() ? std::string(".") : std::string(name);
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, fd_, relative.c_str(), &how, sizeof how);
    if (fd >= 0) {
        return static_cast<int>(fd);
    }
    // Kernels before 5.6, and sandboxes that filter the call, get the stricter walk.
    if (errno == ENOSYS || errno == EPERM) {
        return walk_beneath(fd_, relative, flags);
    }
    return -1;
}

directory_beneath::kind directory_beneath::kind_of(std::string_view name) const {
    fd_guard f{open_beneath(name, O_PATH | O_CLOEXEC)};
    struct stat st {};
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0) {
        return kind::missing;
    }
    if (S_ISDIR(st.st_mode)) {
        return kind::directory;
    }
    return S_ISREG(st.st_mode) ? kind::file : kind::other;
}

int directory_beneath::open_file(std::string_view name, std::uint64_t& size) const {
    // Non-blocking, so that a FIFO in the tree cannot hold the caller; only regular files pass.
    fd_guard f{open_beneath(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    struct stat st {};
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return f.release();
}

std::optional<std::string> directory_beneath::read(std::string_view name,
                                                   std::size_t max_size) const {
    std::uint64_t size = 0;
    fd_guard f{open_file(name, size)};
    if (f.fd < 0 || size > max_size) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(f.fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        got += static_cast<std::size_t>(n);
    }
    return text;
}

}  // namespace marloven
