// httpserver.cc: listen addresses, binding, the accept loop and the pool of request threads.
// SPDX-License-Identifier: MIT
#include "vantorelld/httpserver.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/config_file.h"
#include "util/log.h"
#include "vantorelld/vantorelld.h"

namespace marloven {

namespace {

// A decimal number made only of digits, up to `max`.
std::optional<unsigned> whole_number(std::string_view text, unsigned max) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    unsigned long long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n > max) {
        return std::nullopt;
    }
    return static_cast<unsigned>(n);
}

std::optional<in_addr> dotted_quad(std::string_view text) {
    std::uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) {
            return std::nullopt;
        }
        auto n = whole_number(text.substr(0, dot), 255);
        if (!n) {
            return std::nullopt;
        }
        value = (value << 8) | *n;
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    in_addr a{};
    a.s_addr = htonl(value);
    return a;
}

}  // namespace

std::optional<listen_address> parse_listen_address(std::string_view text) {
    listen_address result;
    result.address.s_addr = htonl(INADDR_ANY);
    std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        std::string_view host = text.substr(0, colon);
        std::string_view port = text.substr(colon + 1);
        auto p = whole_number(port, 65535);
        if (!p) {
            return std::nullopt;
        }
        result.port = static_cast<std::uint16_t>(*p);
        if (host != "*") {
            auto a = dotted_quad(host);
            if (!a) {
                return std::nullopt;
            }
            result.address = *a;
        }
        return result;
    }
    if (text.empty() || text == "*" || text == "2200") {
        return result;
    }
    if (auto p = whole_number(text, 65535)) {
        result.port = static_cast<std::uint16_t>(*p);
        return result;
    }
    auto a = dotted_quad(text);
    if (!a) {
        return std::nullopt;
    }
    result.address = *a;
    return result;
}

// ---- request threads ------------------------------------------------------------------------

httpthread::httpthread(threadpool& pool, int index, vantorelld& daemon)
    : pool_(pool),
      index_(index),
      context_(daemon),
      thread_([this](const std::stop_token& stop) { run(stop); }) {}

httpthread::~httpthread() {
    thread_.request_stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void httpthread::serve(const httpserver& server, int fd) {
    std::scoped_lock lock(mutex_);
    VANT_CHECK(running_, "running");
    server_ = &server;
    socket_ = fd;
    wake_.notify_one();
}

void httpthread::request_stop() {
    thread_.request_stop();
}

void httpthread::cut_off_at(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (!idle_.wait_until(lock, deadline, [this] { return socket_ < 0; })) {
        // Reads and sends on the socket fail from now on; the thread closes it itself.
        ::shutdown(socket_, SHUT_RDWR);
    }
}

void httpthread::run(const std::stop_token& stop) {
    {
        std::scoped_lock lock(mutex_);
        running_ = true;
    }
    pool_.release(index_);
    const auto silence = std::chrono::seconds(config_file().integer(keys::HTTP_TIMEOUT));
    while (true) {
        int fd;
        const httpserver* server;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [this] { return socket_ >= 0; })) {
                return;
            }
            fd = socket_;
            server = server_;
        }
        {
            http_connection connection(fd, silence);
            handle(connection, server->port(), server->address(), server->secure(), context_);
        }
        // Our side is done: send the end of the reply, and give the client a moment to take it
        // before the socket goes (closing with unread request bytes would reset the connection
        // and could destroy the reply on its way).
        ::shutdown(fd, SHUT_WR);
        http_connection linger(fd, std::chrono::milliseconds(500));
        linger.discard(1u << 20);
        ::close(fd);
        {
            std::scoped_lock lock(mutex_);
            socket_ = -1;
            server_ = nullptr;
            idle_.notify_all();
        }
        pool_.release(index_);
    }
}

threadpool::threadpool(vantorelld& daemon, int size) : max_(size) {
    idle_.reserve(static_cast<std::size_t>(size));
    threads_.reserve(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) {
        threads_.push_back(std::make_unique<httpthread>(*this, i, daemon));
    }
}

threadpool::~threadpool() {
    for (auto& t : threads_) {
        t->request_stop();
    }
    auto deadline = std::chrono::steady_clock::now() + stop_grace;
    for (auto& t : threads_) {
        t->cut_off_at(deadline);
    }
    threads_.clear();
}

httpthread* threadpool::acquire(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (!available_.wait(lock, std::move(stop), [this] { return !idle_.empty(); })) {
        return nullptr;
    }
    VANT_CHECK(!idle_.empty(), "availablecount - 1 >= 0");
    int index = idle_.back();
    idle_.pop_back();
    return threads_[static_cast<std::size_t>(index)].get();
}

void threadpool::release(int index) {
    std::scoped_lock lock(mutex_);
    VANT_CHECK(static_cast<int>(idle_.size()) + 1 <= max_, "availablecount + 1 <= max");
    idle_.push_back(index);
    available_.notify_one();
}

// ---- listener -------------------------------------------------------------------------------

httpserver::httpserver(vantorelld& daemon, int threads, std::string address, bind_policy policy)
    : daemon_(daemon), address_(std::move(address)), policy_(policy), pool_(daemon, threads) {}

httpserver::~httpserver() {
    stop();
}

void httpserver::start() {
    thread_ = std::jthread([this](const std::stop_token& stop) { run(stop); });
}

void httpserver::stop() {
    if (!thread_.joinable()) {
        return;
    }
    thread_.request_stop();
    {
        std::scoped_lock lock(mutex_);
        if (listening_) {
            // accept() returns with an error, which ends the loop.
            ::shutdown(listen_fd_, SHUT_RDWR);
        }
    }
    thread_.join();
}

int httpserver::bind_listener(const std::stop_token& stop, std::string& error) {
    auto parsed = parse_listen_address(address_);
    if (!parsed) {
        error = "bad listen address '" + address_ + "'";
        return 1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return 2;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = parsed->address;
    sa.sin_port = htons(parsed->port);
    const long long delay_seconds = policy_.delay.count() / 1000;
    for (int attempt = 0; attempt < policy_.attempts; ++attempt) {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            if (::listen(fd, 128) != 0) {
                error = std::strerror(errno);
                ::close(fd);
                return 4;
            }
            socklen_t len = sizeof sa;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
            port_ = ntohs(sa.sin_port);
            std::scoped_lock lock(mutex_);
            listen_fd_ = fd;
            return 0;
        }
        error = std::strerror(errno);
        if (errno == EADDRINUSE) {
            VANT_LOG(HTTPSERVER, debug)
                << "Address in use, will retry in " << delay_seconds << " seconds";
        } else {
            VANT_LOG(HTTPSERVER, debug)
                << "Bind error (" << error << ") will retry in " << delay_seconds << " seconds";
        }
        std::unique_lock lock(mutex_);
        retry_.wait_for(lock, stop, policy_.delay, [] { return false; });
        if (stop.stop_requested()) {
            break;
        }
    }
    ::close(fd);
    return 3;
}

void httpserver::run(const std::stop_token& stop) {
    std::string error;
    int binderr = bind_listener(stop, error);
    VANT_LOG(HTTPSERVER, debug) << "binderr==" << binderr << ": " << error;
    if (binderr != 0 && stop.stop_requested()) {
        return;  // stopped while waiting to retry
    }
    VANT_CHECK(binderr == 0, "binderr == 0");
    {
        std::scoped_lock lock(mutex_);
        if (stop.stop_requested()) {
            ::close(listen_fd_);
            listen_fd_ = -1;
            return;
        }
        listening_ = true;
    }
    VANT_LOG(LOG, info) << "HTTP server listening on " << address_ << " (port " << port_ << ")";
    while (true) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (stop.stop_requested()) {
                break;
            }
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory for a moment: connections wait in the backlog.
                VANT_LOG(HTTPSERVER, error) << "Accept failed: " << std::strerror(errno);
                std::unique_lock lock(mutex_);
                retry_.wait_for(lock, stop, std::chrono::milliseconds(100), [] { return false; });
                continue;
            }
            VANT_LOG(HTTPSERVER, error) << "Accept failed: " << std::strerror(errno);
            break;
        }
        httpthread* t = pool_.acquire(stop);
        if (t == nullptr) {
            ::close(fd);
            break;
        }
        t->serve(*this, fd);
    }
    std::scoped_lock lock(mutex_);
    listening_ = false;
    ::close(listen_fd_);
    listen_fd_ = -1;
}

}  // namespace marloven
