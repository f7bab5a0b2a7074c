// httpconnection.cc: buffered reading and sending on a client socket, without waiting for the
// event loop and within the transfer allowances for a request thread.
// SPDX-License-Identifier: MIT
#include "vantorelld/httpconnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "util/log.h"

namespace marloven {

namespace {

constexpr std::size_t receive_piece = 16384;

// Waits until `fd` is ready for `events` or `deadline` passes; false on the deadline.
bool wait_for(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    while (true) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd, events, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (ready > 0) {
            return true;  // ready, or an error that the next call reports
        }
        if (ready < 0 && errno != EINTR) {
            return true;
        }
    }
}

}  // namespace

void owned_fd::reset(int fd) noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

void transfer_allowance::moved(std::size_t bytes, clock::time_point now) {
    left_ -= now - since_;
    left_ += std::chrono::duration_cast<clock::duration>(std::chrono::seconds(bytes)) /
             static_cast<long long>(min_transfer_rate);
    left_ = std::min(left_, limit_);
    since_ = now;
}

http_connection::http_connection(int fd, std::chrono::milliseconds timeout)
    : fd_(fd), timeout_(timeout), input_(timeout, clock::now()), output_(timeout, clock::now()) {}

http_connection::receive_status http_connection::receive_at(char* out, std::size_t max,
                                                            std::size_t& count) {
    count = 0;
    if (max == 0) {
        return receive_status::nothing;
    }
    ssize_t n;
    do {
        n = ::recv(fd(), out, max, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        count = static_cast<std::size_t>(n);
        input_.moved(count, clock::now());
        return receive_status::data;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return receive_status::nothing;
    }
    ended_ = true;
    peer_closed_ = true;
    return receive_status::ended;
}

http_connection::receive_status http_connection::receive_into_buffer(std::size_t max) {
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    std::size_t old = buffer_.size();
    buffer_.resize(old + max);
    std::size_t count;
    receive_status status = receive_at(buffer_.data() + old, max, count);
    buffer_.resize(old + count);
    return status;
}

http_connection::receive_status http_connection::receive(std::size_t max) {
    if (ended_) {
        return receive_status::ended;
    }
    return receive_into_buffer(std::min(max, receive_piece));
}

http_connection::receive_status http_connection::receive_and_drop(std::uint64_t max,
                                                                  std::uint64_t& count) {
    if (peer_closed_) {
        return receive_status::ended;
    }
    char piece[receive_piece];
    std::size_t got;
    receive_status status = receive_at(
        piece, static_cast<std::size_t>(std::min<std::uint64_t>(max, sizeof piece)), got);
    count += got;
    return status;
}

http_connection::head_status http_connection::take_head(std::string& head, std::size_t max_bytes) {
    while (true) {
        std::size_t lf = buffer_.find('\n', start_);
        if (lf == std::string::npos) {
            return head.size() + buffered() > max_bytes ? head_status::too_large
                                                        : head_status::incomplete;
        }
        std::size_t length = lf + 1 - start_;
        if (head.size() + length > max_bytes) {
            return head_status::too_large;
        }
        char first = buffer_[start_];
        head.append(buffer_, start_, length);
        start_ += length;
        if (first == '\r' || first == '\n') {
            return head_status::complete;
        }
    }
}

void http_connection::take_rest(std::string& head) {
    head.append(buffer_, start_, std::string::npos);
    start_ = buffer_.size();
}

void http_connection::end_input(bool timed_out) {
    ended_ = true;
    timed_out_ = timed_out_ || timed_out;
}

void http_connection::send_now(std::string_view bytes) {
    ssize_t n;
    do {
        n = ::send(fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        sent_ += static_cast<std::uint64_t>(n);
    }
}

bool http_connection::fill() {
    if (ended_) {
        return false;
    }
    input_.wait_from(clock::now());
    while (true) {
        switch (receive_into_buffer(receive_piece)) {
            case receive_status::data:
                return true;
            case receive_status::ended:
                return false;
            case receive_status::nothing:
                break;
        }
        if (!wait_for(fd(), POLLIN, input_.deadline())) {
            VANT_LOG(HTTPSERVER, info) << "Client cut off: request body too slow";
            end_input(true);
            return false;
        }
    }
}

std::size_t http_connection::read(char* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (buffered() == 0 && !fill()) {
        return 0;
    }
    std::size_t n = std::min(size, buffered());
    std::copy_n(buffer_.data() + start_, n, buffer);
    start_ += n;
    return n;
}

std::size_t http_connection::read_exact(std::string& out, std::size_t size) {
    out.resize(size);
    std::size_t got = 0;
    while (got < size) {
        std::size_t n = read(out.data() + got, size - got);
        if (n == 0) {
            break;
        }
        got += n;
    }
    out.resize(got);
    return got;
}

void http_connection::discard(std::uint64_t size) {
    const clock::time_point deadline = clock::now() + timeout_;
    char piece[1024];
    while (size > 0 && clock::now() < deadline) {
        std::size_t n = read(piece, static_cast<std::size_t>(std::min<std::uint64_t>(size, 1024)));
        if (n == 0) {
            return;
        }
        size -= n;
    }
}

void http_connection::send(std::string_view bytes) {
    if (send_failed_) {
        return;
    }
    output_.wait_from(clock::now());
    while (!bytes.empty()) {
        ssize_t n = ::send(fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent_ += static_cast<std::uint64_t>(n);
            output_.moved(static_cast<std::size_t>(n), clock::now());
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_for(fd(), POLLOUT, output_.deadline())) {
                continue;
            }
            VANT_LOG(HTTPSERVER, info) << "Client cut off: reply taken too slowly";
        }
        send_failed_ = true;
        return;
    }
}

void http_connection::finish_sending() {
    ::shutdown(fd(), SHUT_WR);
}

}  // namespace marloven
