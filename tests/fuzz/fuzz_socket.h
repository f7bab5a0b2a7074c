// fuzz_socket.h: the connected pair of local sockets over which a fuzz target feeds its input to
// a reader of one of the daemon's channels.
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdlib>

// The largest input that fits the pair's buffers, so that it can be written whole before the
// reader starts.
inline constexpr std::size_t max_socket_input = 60000;

// fds[0] writes, fds[1] reads; both ends are the caller's to close.
inline void input_socket_pair(int fds[2]) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        std::abort();
    }
    int buffer = 1 << 20;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
}
