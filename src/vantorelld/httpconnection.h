// httpconnection.h: one client connection of the HTTP server: its socket, the bytes received and
// not yet consumed, and the time limits on reading and sending. The listener's event loop fills
// it without waiting; a request thread then reads the rest of the request and sends the reply.
// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace marloven {

// A client that sends a body or reads a reply more slowly than this on average is cut off once
// its first time-out's worth of waiting is used up.
inline constexpr std::size_t min_transfer_rate = 500;  // bytes per second

// Owns one file descriptor and closes it.
class owned_fd {
  public:
    owned_fd() = default;
    explicit owned_fd(int fd) : fd_(fd) {}
    owned_fd(owned_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    owned_fd& operator=(owned_fd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~owned_fd() { reset(); }
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;

    int get() const { return fd_; }
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

// Purpose: how long a client may still keep the server waiting while it sends a body or takes a
// reply. It starts at `limit`; time spent waiting for the client uses it up, and every
// `min_transfer_rate` bytes that move earn one second back, never more than `limit` in hand. So a
// client may pause for up to `limit` at a time, and one that trickles runs out soon after its
// first `limit`, however long it keeps trickling.
// Ownership: a value. Threads: one thread at a time.
class transfer_allowance {
  public:
    using clock = std::chrono::steady_clock;

    // A full allowance, counted from `now`.
    transfer_allowance(std::chrono::milliseconds limit, clock::time_point now)
        : limit_(limit), left_(limit), since_(now) {}

    // A full allowance, counted from `now`.
    void restart(clock::time_point now) {
        left_ = limit_;
        since_ = now;
    }
    // The client is waited for from `now` on; time before it was spent by the server.
    void wait_from(clock::time_point now) { since_ = now; }
    // `bytes` moved at `now`.
    void moved(std::size_t bytes, clock::time_point now);
    // The moment the allowance runs out unless more bytes move.
    clock::time_point deadline() const { return since_ + left_; }

  private:
    clock::duration limit_;
    clock::duration left_;
    clock::time_point since_;
};

// Purpose: one accepted connection, carrying one request. The event loop receives the request
// head (and usually the body) into the buffer without waiting; the request thread then reads
// through the same buffer, so bytes that arrived early are not lost, and sends the reply.
// Reads of a request thread wait within the input allowance, sends within the output allowance
// (see transfer_allowance); once one runs out the client is cut off: reads report the end of the
// data with timed_out() set, and further sends are dropped.
// Ownership: owns the socket (non-blocking) and closes it when destroyed.
// Failure: reading reports the end of the data (closed, broken, cut off) as a short count; send
// errors are remembered and later sends dropped (the client went away).
// Threads: one thread at a time; the listener hands it to a request thread and back.
class http_connection {
  public:
    using clock = std::chrono::steady_clock;

    // Takes over the socket `fd`; `timeout` is the time-out of the configuration (HTTP_TIMEOUT).
    http_connection(int fd, std::chrono::milliseconds timeout);

    int fd() const { return fd_.get(); }
    std::chrono::milliseconds timeout() const { return timeout_; }

    // ---- the event loop: nothing here waits ----

    enum class receive_status { data, nothing, ended };
    // Receives what has arrived, at most `max` bytes, into the buffer.
    receive_status receive(std::size_t max);
    // Receives what has arrived, at most `max` bytes, and throws it away, adding the count to
    // `count`; also after end_input (to drain a connection before closing it).
    receive_status receive_and_drop(std::uint64_t max, std::uint64_t& count);

    enum class head_status { complete, incomplete, too_large };
    // Moves whole lines (each up to and including LF) from the buffer to `head` until a line that
    // begins with CR or LF has been moved (complete), or more than `max_bytes` would be needed.
    head_status take_head(std::string& head, std::size_t max_bytes);
    // Moves the rest of the buffer to `head`: the part of a head that ended early.
    void take_rest(std::string& head);

    std::size_t buffered() const { return buffer_.size() - start_; }
    // Nothing more is read from the client: reads deliver what is buffered, then 0.
    // `timed_out` tells that the client was too slow.
    void end_input(bool timed_out);
    bool input_ended() const { return ended_; }
    // True when the client closed its side (or the connection broke).
    bool closed_by_client() const { return peer_closed_; }
    transfer_allowance& input_allowance() { return input_; }

    // Sends what the socket takes at once and drops the rest: for short fixed replies sent by
    // the event loop on a connection that has sent nothing before.
    void send_now(std::string_view bytes);

    // ---- a request thread ----

    // Reads up to `size` bytes: the count, 0 at the end of the data.
    std::size_t read(char* buffer, std::size_t size);
    // Reads exactly `size` bytes into `out` unless the data ends first; returns what arrived.
    std::size_t read_exact(std::string& out, std::size_t size);
    // Reads and throws away up to `size` bytes (pieces of at most 1024 bytes), stopping early at
    // the end of the data or when a whole time-out has passed since the start.
    void discard(std::uint64_t size);

    void send(std::string_view bytes);
    // The end of the reply: the client sees the connection end; it may still send.
    void finish_sending();

    bool timed_out() const { return timed_out_; }
    bool send_failed() const { return send_failed_; }
    bool sent_anything() const { return sent_ > 0; }

  private:
    // Waits for data within the input allowance and appends it to the buffer; false at the end.
    bool fill();
    // Receives up to `max` bytes to `out` without waiting; `count` tells how many arrived.
    receive_status receive_at(char* out, std::size_t max, std::size_t& count);
    // Receives into the buffer without waiting.
    receive_status receive_into_buffer(std::size_t max);

    owned_fd fd_;
    const std::chrono::milliseconds timeout_;
    transfer_allowance input_;
    transfer_allowance output_;
    std::string buffer_;     // received, not yet consumed
    std::size_t start_ = 0;  // first unconsumed byte of buffer_
    std::uint64_t sent_ = 0;
    bool ended_ = false;
    bool peer_closed_ = false;
    bool timed_out_ = false;
    bool send_failed_ = false;
};

}  // namespace marloven
