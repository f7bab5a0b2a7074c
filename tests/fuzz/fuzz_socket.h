// fuzz_socket.h: the connected pair of local sockets over which a fuzz target feeds its input to
// a reader of one of the daemon's channels.
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdlib>

#include "ipc/socket_ipc.h"

// The largest input that fits the pair's buffers, so that it can be written whole before the
// reader starts.
inline constexpr std::size_t max_socket_input = 60000;

// A connected pair holding `size` bytes of input, its writing direction ended: fds[0] wrote,
// fds[1] reads; both ends are the caller's to close. False, and no pair, for an input too large.
inline bool input_socket_pair(int fds[2], const void* data, std::size_t size) {
    if (size > max_socket_input || ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return false;
    }
    int buffer = 1 << 20;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (socket_ipc::send_exact(fds[0], data, size) != size) {
        std::abort();
    }
    ::shutdown(fds[0], SHUT_WR);
    return true;
}
