// httpconnection.h: one client connection of a request thread: buffered reading of the request
// head and body under time limits, and sending of the reply.
// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace marloven {

// Purpose: reads a request head line by line and then its body, through one buffer, so that
// bytes of the body that arrived with the head are not lost; sends the reply.
// Every read waits at most the silence time-out for the client to send something; the head as a
// whole must arrive within one time-out as well, so that a client that trickles bytes cannot hold
// a request thread. Sends wait at most the silence time-out for the client to take data.
// Ownership: borrows the socket; the request thread closes it.
// Failure: reading reports the end of the data (closed, broken or timed out) as a short count;
// `timed_out()` tells which. Send errors are ignored (the client went away).
// Threads: one request thread.
class http_connection {
  public:
    using clock = std::chrono::steady_clock;

    http_connection(int fd, std::chrono::milliseconds silence);

    int fd() const { return fd_; }

    enum class head_status {
        complete,   // the empty line arrived
        cut_short,  // the connection ended (or broke) before it
        too_large,  // more than the bound arrived without an empty line
        timed_out,  // the client took longer than the time-out
    };
    // Reads lines (each up to and including LF) into `head` until a line that begins with CR or
    // LF, the end of the connection, `max_bytes` or the time-out.
    head_status read_head(std::string& head, std::size_t max_bytes);

    // Reads up to `size` bytes: the count, 0 at the end of the data (closed, broken or silent for
    // longer than the time-out).
    std::size_t read(char* buffer, std::size_t size);
    // Reads exactly `size` bytes into `out` unless the data ends first; returns what arrived.
    std::size_t read_exact(std::string& out, std::size_t size);
    // Reads and throws away up to `size` bytes (pieces of at most 1024 bytes), stopping early at
    // the end of the data or when a whole time-out has passed since the start.
    void discard(std::uint64_t size);

    void send(std::string_view bytes);

    bool timed_out() const { return timed_out_; }

  private:
    // Waits for data until `deadline` and appends what comes to the buffer; false at the end.
    bool fill(clock::time_point deadline);

    const int fd_;
    const std::chrono::milliseconds silence_;
    std::string buffer_;     // received, not yet consumed
    std::size_t start_ = 0;  // first unconsumed byte of buffer_
    bool ended_ = false;
    bool timed_out_ = false;
};

}  // namespace marloven
