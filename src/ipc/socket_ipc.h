// socket_ipc.h: the channel to a helper program: a child started from DEPLOYDIR/bin that connects
// back to an ephemeral loopback port, with exact-transfer primitives and typed operations.
// Wire encoding: integers little-endian (4, 2 or 1 bytes), strings as a 32-bit length and the
// bytes. There is no framing beyond this; each side reads exactly what the other wrote.
// Before anything else the child sends the channel token it found in its environment (64
// hexadecimal digits, no length): the port is visible to every local user, so the daemon talks
// only to the connection that proves to be its own child.
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace marloven {
class config_file;
}

namespace socket_ipc {

// The environment variable that hands a child its channel token (never the command line, which
// every local user can read).
inline constexpr const char* channel_token_variable = "VANT_CHANNEL_TOKEN";
// The token's length on the wire: 32 random bytes in hexadecimal.
inline constexpr std::size_t channel_token_length = 64;

// Raised by every failed exchange: a broken or closed connection, or a short transfer.
class error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Sends exactly `n` bytes; retries interrupted calls. Throws error "safe_send error (...)" when the
// peer closes or the socket fails. Returns `n`.
size_t send_exact(int sock, const void* buffer, size_t n);
// Receives exactly `n` bytes; retries interrupted calls. Throws error "safe_recv error (...)".
size_t recv_exact(int sock, void* buffer, size_t n);

// Purpose: one connected socket with the typed operations of the channel.
// Ownership: owns the socket and closes it when destroyed.
// Failure: every transfer failure throws socket_ipc::error (tier 3).
// Threads: one thread at a time.
class server_helper {
  public:
    server_helper() = default;
    // Takes ownership of a connected socket (used by the child side).
    explicit server_helper(int sock) : sock_(sock) {}
    virtual ~server_helper();
    server_helper(const server_helper&) = delete;
    server_helper& operator=(const server_helper&) = delete;

    int socket() const { return sock_; }

    // Purpose: one message's puts gathered into as few writes as possible. While a batch lives,
    // puts are collected instead of sent one system call each; send() writes them. A batch
    // ended without send() (building the message failed) discards what it collected.
    // Ownership: borrows the channel; one batch per channel at a time.
    class message_batch {
      public:
        explicit message_batch(server_helper& channel) : channel_(channel) {
            channel_.gathering_ = true;
        }
        ~message_batch() {
            channel_.gathering_ = false;
            channel_.pending_.clear();
        }
        message_batch(const message_batch&) = delete;
        message_batch& operator=(const message_batch&) = delete;
        void send() { channel_.send_pending(); }

      private:
        server_helper& channel_;
    };

    void put_int32(std::int32_t v);
    void put_uint32(std::uint32_t v);
    void put_int16(std::int16_t v);
    void put_byte(std::uint8_t v);
    void put_bool(bool v) { put_byte(v ? 1 : 0); }
    void put_string(std::string_view s);

    std::int32_t get_int32();
    std::uint32_t get_uint32();
    std::int16_t get_int16();
    std::uint8_t get_byte();
    bool get_bool() { return get_byte() != 0; }
    // A length of 0 or less gives the empty string. Longer strings are read in pieces, so a
    // length announced by a peer that then closes never costs more memory than what arrived.
    std::string get_string();

    server_helper& operator<<(std::int32_t v) {
        put_int32(v);
        return *this;
    }
    server_helper& operator<<(std::uint32_t v) {
        put_uint32(v);
        return *this;
    }
    server_helper& operator<<(std::int16_t v) {
        put_int16(v);
        return *this;
    }
    server_helper& operator<<(std::uint8_t v) {
        put_byte(v);
        return *this;
    }
    server_helper& operator<<(std::string_view s) {
        put_string(s);
        return *this;
    }
    server_helper& operator>>(std::int32_t& v) {
        v = get_int32();
        return *this;
    }
    server_helper& operator>>(std::uint32_t& v) {
        v = get_uint32();
        return *this;
    }
    server_helper& operator>>(std::int16_t& v) {
        v = get_int16();
        return *this;
    }
    server_helper& operator>>(std::uint8_t& v) {
        v = get_byte();
        return *this;
    }
    server_helper& operator>>(std::string& s) {
        s = get_string();
        return *this;
    }

  protected:
    void close_socket();
    int sock_ = -1;

  private:
    // Sends `n` bytes now, or gathers them while a message batch lives.
    void write(const void* data, size_t n);
    void send_pending();
    bool gathering_ = false;
    std::string pending_;
};

// Purpose: starts a helper program and holds the one connection it makes back.
// Ownership: owns the listening socket, the data socket and the child process: the destructor
// closes the sockets and waits for the child to end, so the owner must first make the child exit
// (a quit message) or kill it.
// Failure: start() returns false with a message; transfers throw socket_ipc::error.
// Threads: one owner thread; kill_child() may be called from another thread (the watchdog), which
// makes a receive blocked in the owner thread fail.
class server_proxy : public server_helper {
  public:
    // How long start() waits for the child to connect back.
    static constexpr std::chrono::seconds accept_timeout{30};

    server_proxy(const marloven::config_file& config, std::string program);
    ~server_proxy() override;

    // Listens on 127.0.0.1 (ephemeral port), starts DEPLOYDIR/bin/<program> with the port as its
    // one argument and `extra_env` and a fresh channel token added to the environment, and
    // accepts its connection: the first one that sends the token. Other connections (another
    // local user's) are dropped; the wait ends when the child has connected, has ended, or
    // accept_timeout has passed.
    bool start(std::string& error_text, const std::map<std::string, std::string>& extra_env = {});

    // Ends the child at once (SIGKILL). The process is reaped by the destructor.
    void kill_child();

    pid_t pid() const { return pid_; }
    const std::string& program() const { return program_; }

  private:
    // Accepts connections until one sends `token`; that one becomes sock_.
    bool accept_child(const std::string& token, const std::string& path, std::string& error_text);

    const marloven::config_file& config_;
    std::string program_;
    int listen_sock_ = -1;
    pid_t pid_ = 0;
};

// The child's side of start-up: connects to the daemon's port on 127.0.0.1, sends the channel
// token of its environment (and removes the variable, so that nothing the child starts inherits
// it) and returns the socket, or -1 with `error_text` set. Call it before starting threads: it
// changes the environment.
int connect_to_parent(int port, std::string& error_text);

}  // namespace socket_ipc
