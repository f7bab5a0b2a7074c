// socket_ipc.cc: loopback listener, child start, exact transfers and typed operations.
// SPDX-License-Identifier: MIT
#include "ipc/socket_ipc.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "ipc/spawn.h"
#include "util/config_file.h"
#include "util/install_paths.h"
#include "util/log.h"

namespace socket_ipc {

namespace {

int socket_error(int sock) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        return errno;
    }
    return err;
}

[[noreturn]] void fail_transfer(const char* what, int sock, ssize_t last, size_t count, size_t n) {
    int e = errno;
    int serr = sock >= 0 ? socket_error(sock) : 0;
    std::string text = std::string(what) + " error (" + std::to_string(e) + " " +
                       std::to_string(serr) + " " + std::to_string(last) + "/" +
                       std::to_string(count) + "/" + std::to_string(n) +
                       "): " + std::strerror(serr != 0 ? serr : (last == 0 ? ECONNRESET : e));
    throw error(text);
}

// Connections that may be waiting to send their token at one time; more drop the oldest.
constexpr std::size_t max_pending_connections = 16;

// Owns a descriptor; closes it on destruction.
class unique_fd {
  public:
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }
    int fd_;
};

// A connection accepted while waiting for the child, and the token bytes it has sent so far.
struct pending_connection {
    unique_fd sock;
    std::string received;
};

// 32 random bytes in lower-case hexadecimal; empty when the system has no random bytes to give.
std::string new_channel_token() {
    unsigned char bytes[channel_token_length / 2];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        return {};
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

void check_count(size_t got, size_t n, bool sending) {
    if (got != n) {
        throw error("Expecting " + std::to_string(n) + " bytes, " + (sending ? "sent " : "got ") +
                    std::to_string(got));
    }
}

}  // namespace

size_t send_exact(int sock, const void* buffer, size_t n) {
    const char* p = static_cast<const char*>(buffer);
    size_t count = 0;
    while (count < n) {
        ssize_t r = ::send(sock, p + count, n - count, MSG_NOSIGNAL);
        if (r > 0) {
            count += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            fail_transfer("safe_send", sock, r, count, n);
        }
    }
    VANT_LOG(IPCSOCK, boring) << "Sent " << count << "/" << n << " bytes";
    return count;
}

size_t recv_exact(int sock, void* buffer, size_t n) {
    char* p = static_cast<char*>(buffer);
    size_t count = 0;
    while (count < n) {
        ssize_t r = ::recv(sock, p + count, n - count, 0);
        if (r > 0) {
            count += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            fail_transfer("safe_recv", sock, r, count, n);
        }
    }
    VANT_LOG(IPCSOCK, boring) << "Received " << count << "/" << n << " bytes";
    return count;
}

server_helper::~server_helper() {
    close_socket();
}

void server_helper::close_socket() {
    if (sock_ >= 0) {
        ::close(sock_);
        sock_ = -1;
    }
}

// A string at least this long goes out in a write of its own instead of being copied into a batch;
// a batch that grows past the second figure is sent before it grows further.
constexpr size_t direct_write_length = 64 * 1024;
constexpr size_t batch_send_length = 256 * 1024;

void server_helper::write(const void* data, size_t n) {
    if (gathering_ && n < direct_write_length) {
        pending_.append(static_cast<const char*>(data), n);
        if (pending_.size() >= batch_send_length) {
            send_pending();
        }
        return;
    }
    send_pending();
    check_count(send_exact(sock_, data, n), n, true);
}

void server_helper::send_pending() {
    if (!pending_.empty()) {
        check_count(send_exact(sock_, pending_.data(), pending_.size()), pending_.size(), true);
        pending_.clear();
    }
}

void server_helper::put_uint32(std::uint32_t v) {
    unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    write(b, 4);
}

void server_helper::put_int32(std::int32_t v) {
    put_uint32(static_cast<std::uint32_t>(v));
}

void server_helper::put_int16(std::int16_t v) {
    auto u = static_cast<std::uint16_t>(v);
    unsigned char b[2] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8)};
    write(b, 2);
}

void server_helper::put_byte(std::uint8_t v) {
    write(&v, 1);
}

void server_helper::put_string(std::string_view s) {
    put_uint32(static_cast<std::uint32_t>(s.size()));
    if (!s.empty()) {
        write(s.data(), s.size());
    }
}

std::uint32_t server_helper::get_uint32() {
    unsigned char b[4];
    check_count(recv_exact(sock_, b, 4), 4, false);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::int32_t server_helper::get_int32() {
    return static_cast<std::int32_t>(get_uint32());
}

std::int16_t server_helper::get_int16() {
    unsigned char b[2];
    check_count(recv_exact(sock_, b, 2), 2, false);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(b[0] | b[1] << 8));
}

std::uint8_t server_helper::get_byte() {
    std::uint8_t b = 0;
    check_count(recv_exact(sock_, &b, 1), 1, false);
    return b;
}

std::string server_helper::get_string() {
    std::int32_t length = get_int32();
    std::string s;
    if (length <= 0) {
        return s;
    }
    auto n = static_cast<size_t>(length);
    if (n <= 4096) {
        char stack_buffer[4096];
        check_count(recv_exact(sock_, stack_buffer, n), n, false);
        s.assign(stack_buffer, n);
        return s;
    }
    constexpr size_t piece = 1 << 20;
    while (s.size() < n) {
        size_t take = std::min(piece, n - s.size());
        size_t old = s.size();
        s.resize(old + take);
        check_count(recv_exact(sock_, s.data() + old, take), take, false);
    }
    return s;
}

server_proxy::server_proxy(const marloven::config_file& config, std::string program)
    : config_(config), program_(std::move(program)) {}

server_proxy::~server_proxy() {
    if (listen_sock_ >= 0) {
        ::close(listen_sock_);
    }
    // Closing our end first lets a child that waits for requests see the end of the connection.
    close_socket();
    if (pid_ > 0) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

bool server_proxy::start(std::string& error_text,
                         const std::map<std::string, std::string>& extra_env) {
    error_text.clear();
    // Non-blocking: start() drains every waiting connection each time the socket is ready.
    listen_sock_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (listen_sock_ < 0) {
        error_text = std::string("Could not create socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    if (::setsockopt(listen_sock_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        error_text = std::string("Could not disable nagle: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listen_sock_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error_text = std::string("Could not bind to socket: ") + std::strerror(errno);
        return false;
    }
    // Room for a few connections: strangers' connections must not keep the child's from being
    // queued while they are read and dropped.
    if (::listen(listen_sock_, static_cast<int>(max_pending_connections)) != 0) {
        error_text = "Could not listen to socket";
        return false;
    }
    socklen_t len = sizeof addr;
    if (::getsockname(listen_sock_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error_text = std::string("Could not listen to socket: ") + std::strerror(errno);
        return false;
    }
    int port = ntohs(addr.sin_port);
    std::string path = marloven::install_paths::from(config_).program(program_);
    VANT_LOG(IPCSOCK, debug) << "server_proxy will talk on port " << port;

    std::string token = new_channel_token();
    if (token.empty()) {
        error_text = "Could not make a channel token: no random bytes";
        return false;
    }
    std::map<std::string, std::string> env = extra_env;
    env[channel_token_variable] = token;
    auto spawned = marloven::spawn_process(path, {std::to_string(port)}, env);
    if (spawned.pid <= 0) {
        error_text = "Could not spawn " + path + ": " + spawned.reason;
        return false;
    }
    pid_ = spawned.pid;
    if (!accept_child(token, path, error_text)) {
        return false;
    }
    ::setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::close(listen_sock_);
    listen_sock_ = -1;
    return true;
}

bool server_proxy::accept_child(const std::string& token, const std::string& path,
                                std::string& error_text) {
    // Every connection that arrives is read at once, side by side, so a stranger who connects
    // and says nothing cannot hold up the child behind it; the oldest is dropped when too many
    // wait. Nothing is ever sent before the token has been checked.
    std::vector<pending_connection> pending;
    auto drop = [&](std::vector<pending_connection>::iterator it, const char* why) {
        VANT_LOG(IPCSOCK, warning)
            << "Dropped a connection on the channel to " << program_ << ": " << why;
        return pending.erase(it);
    };
    // Wait for the connection, but not for ever: a child that dies before connecting (or never
    // connects) must not hang the daemon.
    const auto deadline = std::chrono::steady_clock::now() + accept_timeout;
    while (true) {
        std::vector<pollfd> fds{{listen_sock_, POLLIN, 0}};
        for (const auto& p : pending) {
            fds.push_back({p.sock.get(), POLLIN, 0});
        }
        int r = ::poll(fds.data(), fds.size(), 200);
        if (r < 0 && errno != EINTR) {
            error_text = std::string("Could not accept connection: ") + std::strerror(errno);
            return false;
        }
        // Data first, from the connections of the previous rounds (fds[1...] match `pending`).
        if (r > 0) {
            auto it = pending.begin();
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) {
                    ++it;
                    continue;
                }
                char buffer[channel_token_length];
                const std::size_t want = channel_token_length - it->received.size();
                ssize_t n = ::recv(it->sock.get(), buffer, want, 0);
                if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
                    ++it;
                    continue;
                }
                if (n <= 0) {
                    it = drop(it, "closed before sending the channel token");
                    continue;
                }
                it->received.append(buffer, static_cast<std::size_t>(n));
                if (it->received.size() < channel_token_length) {
                    ++it;
                    continue;
                }
                if (CRYPTO_memcmp(it->received.data(), token.data(), channel_token_length) != 0) {
                    it = drop(it, "wrong channel token");
                    continue;
                }
                // The child: its socket blocks from now on, like any channel socket.
                int flags = ::fcntl(it->sock.get(), F_GETFL);
                ::fcntl(it->sock.get(), F_SETFL, flags & ~O_NONBLOCK);
                sock_ = it->sock.release();
                pending.erase(it);
                for (auto rest = pending.begin(); rest != pending.end();) {
                    rest = drop(rest, "the child connected");
                }
                return true;
            }
        }
        if (r > 0 && (fds[0].revents & POLLIN) != 0) {
            while (true) {
                int s = ::accept4(listen_sock_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (s < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                        errno != ECONNABORTED) {
                        error_text =
                            std::string("Could not accept connection: ") + std::strerror(errno);
                        return false;
                    }
                    break;
                }
                pending.push_back({unique_fd(s), {}});
                if (pending.size() > max_pending_connections) {
                    drop(pending.begin(), "too many connections waiting");
                }
            }
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            error_text = "Could not accept connection: " + path + " ended before connecting (" +
                         (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                            : "signal " + std::to_string(WTERMSIG(status))) +
                         ")";
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error_text = "Could not accept connection: no connection from " + path + " within " +
                         std::to_string(accept_timeout.count()) + " seconds";
            kill_child();
            return false;
        }
    }
}

int connect_to_parent(int port, std::string& error_text) {
    const char* variable = std::getenv(channel_token_variable);
    const std::string token = variable != nullptr ? variable : "";
    ::unsetenv(channel_token_variable);
    if (token.size() != channel_token_length) {
        error_text =
            std::string("No channel token in the environment (") + channel_token_variable + ")";
        return -1;
    }
    int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0) {
        error_text = std::string("Could not create socket: ") + std::strerror(errno);
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    while (::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno == EINTR) {
            continue;
        }
        error_text =
            "Could not connect to port " + std::to_string(port) + ": " + std::strerror(errno);
        ::close(sock);
        return -1;
    }
    int one = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    try {
        send_exact(sock, token.data(), token.size());
    } catch (const error& e) {
        error_text = std::string("Could not send the channel token: ") + e.what();
        ::close(sock);
        return -1;
    }
    return sock;
}

void server_proxy::kill_child() {
    if (pid_ > 0) {
        VANT_LOG(IPCSOCK, debug) << "Killing hanged worker " << pid_;
        ::kill(pid_, SIGKILL);
    }
}

}  // namespace socket_ipc
