// test_http_server.cc: the scripted loopback HTTP server of the tests.
// SPDX-License-Identifier: MIT
#include "support/test_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "util/ascii.h"
#include "util/http_text.h"

namespace vant_test {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    marloven::ascii_lower_in_place(out);
    return out;
}

std::string trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string_view::npos ? std::string() : std::string(s.substr(b, e - b + 1));
}

const char* reason(int status) {
    static const std::map<int, const char*> reasons = {{200, "OK"},
                                                       {301, "Moved Permanently"},
                                                       {302, "Found"},
                                                       {304, "Not Modified"},
                                                       {401, "Unauthorized"},
                                                       {403, "Forbidden"},
                                                       {404, "Not Found"},
                                                       {410, "Gone"},
                                                       {500, "Internal Server Error"},
                                                       {503, "Service Unavailable"}};
    auto it = reasons.find(status);
    return it != reasons.end() ? it->second : "Status";
}

std::string gzip(std::string_view data) {
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Whether the Cookie header holds `wanted` ("name=value") as one of its cookies.
bool cookie_present(std::string_view cookie_header, std::string_view wanted) {
    std::string cookies = ";" + std::string(cookie_header) + ";";
    std::erase(cookies, ' ');
    return cookies.find(";" + std::string(wanted) + ";") != std::string::npos;
}

}  // namespace

std::string http_request::header(std::string_view name) const {
    auto it = headers.find(lower(name));
    return it == headers.end() ? std::string() : it->second;
}

test_http_server::test_http_server() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || wake_fd_ < 0 ||
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 64) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("test_http_server");
        std::abort();
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::jthread([this] { accept_loop(); });
}

test_http_server::~test_http_server() {
    {
        std::scoped_lock lock(mutex_);
        stopping_ = true;
    }
    stopped_cv_.notify_all();
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(wake_fd_, &one, sizeof one);
    acceptor_.join();
    // No new connections now; join the serving threads outside the lock.
    std::list<connection> done;
    {
        std::scoped_lock lock(mutex_);
        done.swap(connections_);
    }
    for (auto& c : done) {
        c.thread.join();
        ::close(c.fd);
    }
    ::close(listen_fd_);
    ::close(wake_fd_);
}

std::string test_http_server::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void test_http_server::route(const std::string& path, http_route r) {
    std::scoped_lock lock(mutex_);
    handlers_.erase(path);
    routes_[path] = std::move(r);
}

void test_http_server::route(const std::string& path, http_response r) {
    route(path, http_route(std::move(r)));
}

void test_http_server::route(const std::string& path, int status, std::string content_type,
                             std::string body) {
    route(path,
          http_response{status, {{"Content-Type", std::move(content_type)}}, std::move(body)});
}

void test_http_server::route(const std::string& path, http_handler handler) {
    std::scoped_lock lock(mutex_);
    routes_.erase(path);
    handlers_[path] = std::move(handler);
}

std::vector<http_request> test_http_server::requests() const {
    std::scoped_lock lock(mutex_);
    return requests_;
}

size_t test_http_server::count(std::string_view path) const {
    std::scoped_lock lock(mutex_);
    return static_cast<size_t>(std::count_if(
        requests_.begin(), requests_.end(), [&](const http_request& r) { return r.path == path; }));
}

void test_http_server::accept_loop() {
    while (true) {
        pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (p[1].revents != 0) {
            return;
        }
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::scoped_lock lock(mutex_);
        // Reap connections that have ended, so that a long crawl does not pile up threads.
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (it->done) {
                it->thread.join();
                ::close(it->fd);
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        connection& c = connections_.emplace_back();
        c.fd = fd;
        c.thread = std::jthread([this, &c] { serve(c); });
    }
}

bool test_http_server::wait_or_stop(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !stopped_cv_.wait_for(lock, delay, [this] { return stopping_; });
}

void test_http_server::serve(connection& c) {
    std::string buffer;
    bool keep_alive = true;
    while (keep_alive) {
        // Read one request head.
        size_t head_end;
        while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
            pollfd p[2] = {{c.fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) {
                break;
            }
            if (p[1].revents != 0 || buffer.size() > 65536) {
                break;
            }
            char chunk[8192];
            ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                break;
            }
            buffer.append(chunk, static_cast<size_t>(n));
        }
        if (head_end == std::string::npos) {
            break;
        }
        http_request req;
        std::string_view head(buffer.data(), head_end);
        size_t line_end = head.find("\r\n");
        std::string_view request_line = head.substr(0, line_end);
        size_t sp1 = request_line.find(' ');
        size_t sp2 = request_line.rfind(' ');
        if (sp1 == std::string_view::npos || sp2 == sp1) {
            send_all(c.fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
            break;
        }
        req.method = std::string(request_line.substr(0, sp1));
        req.target = std::string(request_line.substr(sp1 + 1, sp2 - sp1 - 1));
        std::string version(request_line.substr(sp2 + 1));
        req.path = req.target.substr(0, req.target.find('?'));
        while (line_end != std::string_view::npos && line_end < head.size()) {
            size_t next = head.find("\r\n", line_end + 2);
            std::string_view line =
                head.substr(line_end + 2, next == std::string_view::npos ? std::string_view::npos
                                                                         : next - line_end - 2);
            size_t colon = line.find(':');
            if (colon != std::string_view::npos) {
                req.headers.emplace(lower(line.substr(0, colon)), trim(line.substr(colon + 1)));
            }
            line_end = next;
        }
        buffer.erase(0, head_end + 4);
        size_t length = std::strtoul(req.header("content-length").c_str(), nullptr, 10);
        while (buffer.size() < length) {
            char chunk[8192];
            ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                break;
            }
            buffer.append(chunk, static_cast<size_t>(n));
        }
        req.body = buffer.substr(0, length);
        buffer.erase(0, std::min(length, buffer.size()));
        keep_alive = lower(req.header("connection")) != "close" && version == "HTTP/1.1";

        {
            std::scoped_lock lock(mutex_);
            requests_.push_back(req);
        }
        http_response res = answer(req);
        if (res.delay.count() > 0 && !wait_or_stop(res.delay)) {
            break;
        }
        std::string body = res.body;
        bool compressed =
            res.gzip && req.header("accept-encoding").find("gzip") != std::string::npos;
        if (compressed) {
            body = gzip(body);
        }
        std::string out =
            "HTTP/1.1 " + std::to_string(res.status) + " " + reason(res.status) + "\r\n";
        bool has_length = false;
        for (const auto& [name, value] : res.headers) {
            out.append(name).append(": ").append(value).append("\r\n");
            has_length = has_length || lower(name) == "content-length";
        }
        if (compressed) {
            out += "Content-Encoding: gzip\r\n";
        }
        if (!has_length) {
            out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        }
        if (!keep_alive) {
            out += "Connection: close\r\n";
        }
        out += "\r\n";
        if (req.method != "HEAD") {
            out += body;
        }
        if (!send_all(c.fd, out)) {
            break;
        }
    }
    ::shutdown(c.fd, SHUT_RDWR);
    std::scoped_lock lock(mutex_);
    c.done = true;
}

http_response test_http_server::answer(const http_request& req) {
    std::unique_lock lock(mutex_);
    if (auto h = handlers_.find(req.path); h != handlers_.end()) {
        http_handler handler = h->second;
        lock.unlock();
        return handler(req);
    }
    auto r = routes_.find(req.path);
    if (r == routes_.end()) {
        return http_response{404, {{"Content-Type", "text/plain"}}, "not found"};
    }
    const http_route& route = r->second;
    if (route.basic_auth) {
        std::string expected = "Basic " + marloven::encode_base64(route.basic_auth->first + ":" +
                                                                  route.basic_auth->second);
        if (req.header("authorization") != expected) {
            return http_response{
                401,
                {{"WWW-Authenticate", "Basic realm=\"test\""}, {"Content-Type", "text/plain"}},
                "credentials required"};
        }
    }
    if (route.required_cookie && !cookie_present(req.header("cookie"), *route.required_cookie)) {
        return http_response{403, {{"Content-Type", "text/plain"}}, "cookie required"};
    }
    return route.response;
}

}  // namespace vant_test
