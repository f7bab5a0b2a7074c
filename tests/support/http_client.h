// http_client.h: a raw HTTP client for tests: sends bytes exactly as given over a loopback TCP
// connection and reads the reply up to the end of the connection; and a free loopback port.
// SPDX-License-Identifier: MIT
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

#include "ipc/socket_ipc.h"

namespace vant_test {

// One client connection. Every read waits at most `timeout` for data, so a test never hangs on a
// server that does not answer.
class http_client {
  public:
    explicit http_client(int port, std::chrono::milliseconds timeout = std::chrono::seconds(20))
        : timeout_(timeout) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    ~http_client() { ::close(fd_); }
    http_client(const http_client&) = delete;
    http_client& operator=(const http_client&) = delete;

    int fd() const { return fd_; }

    // Sends all of `bytes`; false when the connection refused them.
    bool send(std::string_view bytes) {
        try {
            socket_ipc::send_exact(fd_, bytes.data(), bytes.size());
            return true;
        } catch (const socket_ipc::error&) {
            return false;
        }
    }
    // No more bytes from this side.
    void finish_sending() { ::shutdown(fd_, SHUT_WR); }

    // Reads until `n` bytes have arrived in all (or the end, or the time-out).
    std::string read_at_least(std::size_t n) {
        while (received_.size() < n && read_some()) {
        }
        return received_;
    }
    // Reads up to the end of the connection (or the time-out).
    std::string read_all() {
        while (read_some()) {
        }
        return received_;
    }
    // True when the server closed the connection (or reset it) within the time-out.
    bool closed_by_server() {
        read_all();
        return ended_;
    }

  private:
    bool read_some() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout_.count())) <= 0) {
            return false;
        }
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        received_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool ended_ = false;
    std::chrono::milliseconds timeout_;
    std::string received_;
};

// Sends `request` on a new connection, closes the sending side, and returns the whole reply.
inline std::string http_exchange(int port, std::string_view request) {
    http_client c(port);
    c.send(request);
    c.finish_sending();
    return c.read_all();
}

}  // namespace vant_test
