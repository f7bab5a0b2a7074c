// httpconnection.cc: buffered, time-limited reading and sending on a client socket.
// SPDX-License-Identifier: MIT
#include "vantorelld/httpconnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

namespace marloven {

namespace {
constexpr std::size_t receive_piece = 16384;
}

http_connection::http_connection(int fd, std::chrono::milliseconds silence)
    : fd_(fd), silence_(silence) {
    // A client that stops reading must not block a request thread in send() for ever.
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(silence.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((silence.count() % 1000) * 1000);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool http_connection::fill(clock::time_point deadline) {
    if (ended_) {
        return false;
    }
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) {
            timed_out_ = true;
            ended_ = true;
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            continue;  // the loop sees the deadline
        }
        if (ready < 0) {
            ended_ = true;
            return false;
        }
        if (start_ > 0 && start_ == buffer_.size()) {
            buffer_.clear();
            start_ = 0;
        }
        std::size_t old = buffer_.size();
        buffer_.resize(old + receive_piece);
        ssize_t n = ::recv(fd_, buffer_.data() + old, receive_piece, 0);
        buffer_.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        return true;
    }
}

http_connection::head_status http_connection::read_head(std::string& head, std::size_t max_bytes) {
    const clock::time_point deadline = clock::now() + silence_;
    while (true) {
        // One line: up to and including LF.
        std::size_t lf;
        while ((lf = buffer_.find('\n', start_)) == std::string::npos) {
            if (head.size() + (buffer_.size() - start_) > max_bytes) {
                return head_status::too_large;
            }
            if (!fill(deadline)) {
                head.append(buffer_, start_, std::string::npos);
                start_ = buffer_.size();
                return timed_out_ ? head_status::timed_out : head_status::cut_short;
            }
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

std::size_t http_connection::read(char* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (start_ == buffer_.size() && !fill(clock::now() + silence_)) {
        return 0;
    }
    std::size_t n = std::min(size, buffer_.size() - start_);
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
    const clock::time_point deadline = clock::now() + silence_;
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
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace marloven
