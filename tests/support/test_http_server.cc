// test_http_server.cc: the scripted loopback HTTP server of the tests.
// SPDX-License-Identifier: MIT
#include "support/test_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipc/socket_ipc.h"
#include "util/ascii.h"
#include "util/headerparser.h"
#include "util/http_text.h"

namespace vant_test {

namespace {

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
    try {
        socket_ipc::send_exact(fd, data.data(), data.size());
        return true;
    } catch (const socket_ipc::error&) {
        return false;  // the client went away
    }
}

// Whether the Cookie header holds `wanted` ("name=value") as one of its cookies.
bool cookie_present(std::string_view cookie_header, std::string_view wanted) {
    std::string cookies = ";" + std::string(cookie_header) + ";";
    std::erase(cookies, ' ');
    return cookies.find(";" + std::string(wanted) + ";") != std::string::npos;
}

}  // namespace

std::string http_request::header(std::string_view name) const {
    std::string key(name);
    marloven::ascii_lower_in_place(key);
    auto it = headers.find(key);
    return it == headers.end() ? std::string() : it->second;
}

test_http_server::test_http_server() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 ||
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
    // Shutting the sockets down ends a wait in accept() or recv() at once.
    ::shutdown(listen_fd_, SHUT_RDWR);
    acceptor_.join();
    // No new connections now; join the serving threads outside the lock.
    std::list<connection> done;
    {
        std::scoped_lock lock(mutex_);
        done.swap(connections_);
    }
    for (auto& c : done) {
        ::shutdown(c.fd, SHUT_RDWR);
        c.thread.join();
        ::close(c.fd);
    }
    ::close(listen_fd_);
}

std::string test_http_server::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void test_http_server::route(const std::string& path, http_route r) {
    route(path, [r = std::move(r)](const http_request& req) {
        if (r.basic_auth && req.header("authorization") !=
                                "Basic " + marloven::encode_base64(r.basic_auth->first + ":" +
                                                                   r.basic_auth->second)) {
            return http_response{
                401,
                {{"WWW-Authenticate", "Basic realm=\"test\""}, {"Content-Type", "text/plain"}},
                "credentials required"};
        }
        if (r.required_cookie && !cookie_present(req.header("cookie"), *r.required_cookie)) {
            return http_response{403, {{"Content-Type", "text/plain"}}, "cookie required"};
        }
        return r.response;
    });
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
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) {
            continue;
        }
        if (fd < 0) {
            return;  // the socket was shut down
        }
        std::scoped_lock lock(mutex_);
        // Reap connections that have ended, so that a long crawl does not pile up threads.
        std::erase_if(connections_, [](connection& ended) {
            if (ended.done) {
                ended.thread.join();
                ::close(ended.fd);
            }
            return ended.done;
        });
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
    auto read_more = [&] {
        char chunk[8192];
        ssize_t n;
        do {
            n = ::recv(c.fd, chunk, sizeof chunk, 0);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            buffer.append(chunk, static_cast<size_t>(n));
        }
        return n > 0;
    };
    bool keep_alive = true;
    while (keep_alive) {
        size_t head_end;
        while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos &&
               buffer.size() <= 65536 && read_more()) {
        }
        if (head_end == std::string::npos) {
            break;
        }
        const marloven::headerparser head(std::string_view(buffer).substr(0, head_end + 2));
        buffer.erase(0, head_end + 4);
        if (!head.ok() || head.method().empty()) {
            send_all(c.fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
            break;
        }
        http_request req;
        req.method = head.method();
        req.target = head.target();
        req.path = req.target.substr(0, req.target.find('?'));
        req.headers.insert(head.headers().begin(), head.headers().end());  // names in lower case
        size_t length = std::strtoul(req.header("content-length").c_str(), nullptr, 10);
        while (buffer.size() < length && read_more()) {
        }
        req.body = buffer.substr(0, length);
        buffer.erase(0, std::min(length, buffer.size()));
        keep_alive = head.header_lower("connection") != "close" && head.version() == "1.1";

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
        // Clients read the status code; the reason phrase is the same for every code but 200.
        std::string out = "HTTP/1.1 " + std::to_string(res.status) +
                          (res.status == 200 ? " OK\r\n" : " Status\r\n");
        for (const auto& [name, value] : res.headers) {
            out.append(name).append(": ").append(value).append("\r\n");
        }
        if (compressed) {
            out += "Content-Encoding: gzip\r\n";
        }
        out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        if (!keep_alive) {
            out += "Connection: close\r\n";
        }
        if (!send_all(c.fd, out + "\r\n" + body)) {
            break;
        }
    }
    ::shutdown(c.fd, SHUT_RDWR);
    std::scoped_lock lock(mutex_);
    c.done = true;
}

http_response test_http_server::answer(const http_request& req) {
    std::unique_lock lock(mutex_);
    auto h = handlers_.find(req.path);
    if (h == handlers_.end()) {
        return http_response{404, {{"Content-Type", "text/plain"}}, "not found"};
    }
    http_handler handler = h->second;
    lock.unlock();  // a handler may take its time, or change the routes
    return handler(req);
}

}  // namespace vant_test
