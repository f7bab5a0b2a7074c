// httpserver.cc: listen addresses, binding, the listener's event loop and the pool of request
// threads.
// SPDX-License-Identifier: MIT
#include "vantorelld/httpserver.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <unordered_map>

#include "ipc/socket_ipc.h"
#include "util/config_file.h"
#include "util/log.h"

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

std::optional<std::string> open_server_warning(std::string_view address,
                                               std::string_view http_user) {
    const auto parsed = parse_listen_address(address);
    if (!http_user.empty() || !parsed || ntohl(parsed->address.s_addr) >> 24 == 127) {
        return std::nullopt;
    }
    return "HTTP server on " + std::string(address) +
           " listens beyond loopback without authentication (no HTTP_USER): everyone who can "
           "reach it may administer the daemon";
}

// ---- request threads ------------------------------------------------------------------------

httpthread::httpthread(threadpool& pool, const http_services& lent) : pool_(pool), context_(lent) {
    thread_.start([this](const std::stop_token& stop) { run(stop); });
}

httpthread::~httpthread() = default;

void httpthread::request_stop() {
    thread_.request_stop();
}

void httpthread::cut_off_at(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (!idle_.wait_until(lock, deadline, [this] { return socket_ < 0; })) {
        // Reads and sends on the socket fail from now on, and the request ends.
        ::shutdown(socket_, SHUT_RDWR);
    }
}

void httpthread::run(const std::stop_token& stop) {
    // Whatever escapes a request here is a broken invariant: the thread shell ends the daemon
    // with the log line that names it, as when a crawl thread fails.
    while (std::unique_ptr<http_request> request = pool_.next(stop)) {
        serve(*request);
    }
}

void httpthread::serve(http_request& request) {
    http_connection& connection = *request.connection;
    {
        std::scoped_lock lock(mutex_);
        socket_ = connection.fd();
    }
    // Failures of one request that the daemon survives: the client gets the 500 reply unless
    // part of another reply has gone out already.
    auto fail = [&connection](std::string_view what) {
        VANT_LOG(HTTPSERVER, error) << "Request failed: " << what;
        if (!connection.sent_anything()) {
            connection.send(html_status_reply("500 Internal Server Error"));
        }
    };
    try {
        pool_.server().run_request(connection, std::move(request.head), context_);
    } catch (const socket_ipc::error& e) {
        fail(e.what());
    } catch (const std::bad_alloc&) {
        fail("out of memory");
    }
    connection.finish_sending();
    {
        std::scoped_lock lock(mutex_);
        socket_ = -1;
        idle_.notify_all();
    }
    pool_.server().finished(std::move(request.connection));
}

threadpool::threadpool(httpserver& server, const http_services& lent, int size) : server_(server) {
    threads_.reserve(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) {
        threads_.push_back(std::make_unique<httpthread>(*this, lent));
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

void threadpool::push(std::unique_ptr<http_request> request) {
    std::scoped_lock lock(mutex_);
    queued_bytes_ += request->held_bytes;
    queue_.push_back(std::move(request));
    ready_.notify_one();
}

std::unique_ptr<http_request> threadpool::next(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait(lock, stop, [this] { return !queue_.empty(); }) || stop.stop_requested()) {
        return nullptr;
    }
    std::unique_ptr<http_request> request = std::move(queue_.front());
    queue_.pop_front();
    VANT_CHECK(queued_bytes_ >= request->held_bytes, "queued_bytes >= held_bytes");
    queued_bytes_ -= request->held_bytes;
    return request;
}

std::size_t threadpool::queued_bytes() const {
    std::scoped_lock lock(mutex_);
    return queued_bytes_;
}

// ---- the event loop -------------------------------------------------------------------------

// Purpose: the listener's event loop: accepts connections, receives request heads and the bodies
// that clients send without waiting, hands complete requests to the pool, and drains connections
// after their reply until the client closes. Clients too slow for the time limits are cut off.
// Ownership: owns the connections it holds; a connection handed to the pool comes back through
// `httpserver::finished` and the wake-up descriptor.
// Threads: the listener thread only.
class httpserver::loop {
  public:
    loop(httpserver& server, std::size_t max_connections);
    ~loop();
    loop(const loop&) = delete;
    loop& operator=(const loop&) = delete;

    void run(const std::stop_token& stop);

  private:
    using clock = std::chrono::steady_clock;
    using timer_map = std::multimap<clock::time_point, int>;

    enum class phase {
        head,     // the request head is arriving
        body,     // the body is arriving, kept for the request thread
        discard,  // a body over the limit is arriving; nobody reads it
        drain,    // the reply is out; waiting for the client to close
    };
    struct client {
        std::unique_ptr<http_connection> connection;
        phase stage = phase::head;
        std::string head;
        headerparser parsed;
        std::uint64_t body_left = 0;  // body bytes still to come (discard phase)
        std::uint64_t body_size = 0;  // the declared body (body phase)
        std::size_t held = 0;         // body bytes received, counted in held_
        std::uint64_t drained = 0;
        clock::time_point give_up{};  // discard phase: when draining the body stops
        timer_map::iterator timer;
    };

    void accept_all(clock::time_point now);
    void take_back(clock::time_point now);
    void readable(client& c, clock::time_point now);
    void expired(client& c);
    void head_arrived(client& c, bool cut_short, clock::time_point now);
    void receive_body(client& c);
    void to_pool(client& c);
    void reply_and_drain(client& c, std::string_view reply, clock::time_point now);
    void close(client& c);
    void evict_one();

    client& add(std::unique_ptr<http_connection> connection, phase stage);
    void set_stage(client& c, phase stage);
    void set_deadline(client& c, clock::time_point deadline);
    void update_listener(clock::time_point now);

    httpserver& server_;
    const std::size_t max_connections_;
    owned_fd epoll_;
    std::unordered_map<int, client> clients_;  // by socket
    timer_map timers_;                         // each client's deadline
    std::size_t open_ = 0;       // connections accepted and not yet closed, wherever they are
    std::size_t receiving_ = 0;  // clients in the body or discard phase (never evicted)
    std::size_t held_ = 0;       // body bytes kept by clients in the body phase
    bool listener_armed_ = false;
    clock::time_point accept_paused_until_{};
};

namespace {

// Bytes that the loop reads from a lingering client after its reply before it gives up.
constexpr std::uint64_t drain_limit = 1u << 20;
constexpr std::size_t receive_piece = 16384;
constexpr auto accept_pause = std::chrono::milliseconds(100);

}  // namespace

httpserver::loop::loop(httpserver& server, std::size_t max_connections)
    : server_(server), max_connections_(max_connections), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    VANT_CHECK(epoll_.get() >= 0, "epoll_create1");
    for (int fd : {server_.listen_fd_.get(), server_.wake_fd_.get()}) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = fd;
        VANT_CHECK(::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &e) == 0, "epoll_ctl");
    }
    listener_armed_ = true;
}

httpserver::loop::~loop() {
    std::vector<std::unique_ptr<http_connection>> returned;
    {
        std::scoped_lock lock(server_.mutex_);
        server_.looping_ = false;
        returned.swap(server_.returned_);
    }
    clients_.clear();
}

void httpserver::loop::run(const std::stop_token& stop) {
    {
        std::scoped_lock lock(server_.mutex_);
        server_.looping_ = true;
    }
    std::array<epoll_event, 256> events;
    while (!stop.stop_requested()) {
        int wait_ms = -1;
        clock::time_point next = clock::time_point::max();
        if (!timers_.empty()) {
            next = timers_.begin()->first;
        }
        if (!listener_armed_ && accept_paused_until_ > clock::now()) {
            next = std::min(next, accept_paused_until_);
        }
        if (next != clock::time_point::max()) {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - clock::now()).count();
            wait_ms = static_cast<int>(std::clamp<long long>(ms, 0, 1 << 30));
        }
        int n = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), wait_ms);
        VANT_CHECK(n >= 0 || errno == EINTR, "epoll_wait");
        clock::time_point now = clock::now();
        for (int i = 0; i < n; ++i) {
            int fd = events[static_cast<std::size_t>(i)].data.fd;
            if (fd == server_.listen_fd_.get()) {
                accept_all(now);
            } else if (fd == server_.wake_fd_.get()) {
                std::uint64_t count;
                [[maybe_unused]] ssize_t r = ::read(fd, &count, sizeof count);
                take_back(now);
            } else if (auto it = clients_.find(fd); it != clients_.end()) {
                readable(it->second, now);
            }
        }
        now = clock::now();
        while (!timers_.empty() && timers_.begin()->first <= now) {
            expired(clients_.at(timers_.begin()->second));
        }
        update_listener(now);
    }
}

httpserver::loop::client& httpserver::loop::add(std::unique_ptr<http_connection> connection,
                                                phase stage) {
    int fd = connection->fd();
    client& c = clients_[fd];
    c.connection = std::move(connection);
    c.stage = phase::head;
    c.timer = timers_.end();
    set_stage(c, stage);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = fd;
    VANT_CHECK(::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &e) == 0, "epoll_ctl");
    return c;
}

void httpserver::loop::set_stage(client& c, phase stage) {
    auto receiving = [](phase p) { return p == phase::body || p == phase::discard; };
    receiving_ -= receiving(c.stage) ? 1 : 0;
    receiving_ += receiving(stage) ? 1 : 0;
    c.stage = stage;
}

void httpserver::loop::set_deadline(client& c, clock::time_point deadline) {
    if (c.timer != timers_.end()) {
        timers_.erase(c.timer);
    }
    c.timer = timers_.emplace(deadline, c.connection->fd());
}

void httpserver::loop::close(client& c) {
    set_stage(c, phase::head);
    held_ -= c.held;
    if (c.timer != timers_.end()) {
        timers_.erase(c.timer);
    }
    --open_;
    clients_.erase(c.connection->fd());  // closing the socket takes it out of the epoll set
}

void httpserver::loop::to_pool(client& c) {
    set_stage(c, phase::head);
    held_ -= c.held;
    if (c.timer != timers_.end()) {
        timers_.erase(c.timer);
    }
    int fd = c.connection->fd();
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    auto request = std::make_unique<http_request>();
    request->connection = std::move(c.connection);
    request->head = std::move(c.parsed);
    request->held_bytes = c.held;
    clients_.erase(fd);
    server_.pool_.push(std::move(request));
}

void httpserver::loop::reply_and_drain(client& c, std::string_view reply, clock::time_point now) {
    c.connection->send_now(reply);
    if (c.connection->closed_by_client()) {
        close(c);
        return;
    }
    c.connection->finish_sending();
    set_stage(c, phase::drain);
    set_deadline(c, now + server_.timeout_);
}

void httpserver::loop::update_listener(clock::time_point now) {
    bool room = open_ < max_connections_ || clients_.size() > receiving_;
    bool armed = room && now >= accept_paused_until_;
    if (armed != listener_armed_) {
        epoll_event e{};
        e.events = armed ? std::uint32_t{EPOLLIN} : 0u;
        e.data.fd = server_.listen_fd_.get();
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, e.data.fd, &e);
        listener_armed_ = armed;
    }
}

void httpserver::loop::evict_one() {
    // The client that has waited longest for its head, or lingered longest after its reply.
    for (auto& [deadline, fd] : timers_) {
        client& c = clients_.at(fd);
        if (c.stage == phase::head) {
            VANT_LOG(HTTPSERVER, info) << "Client cut off: too many connections";
            c.connection->send_now(reply_timeout);
            close(c);
            return;
        }
        if (c.stage == phase::drain) {
            close(c);
            return;
        }
    }
}

void httpserver::loop::accept_all(clock::time_point now) {
    while (true) {
        const bool full = open_ >= max_connections_;
        if (full && clients_.size() == receiving_) {
            return;  // nothing to make room with: newcomers wait in the backlog
        }
        int fd =
            ::accept4(server_.listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;
            }
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) {
                continue;
            }
            // Out of descriptors or memory for a moment (or worse): connections wait in the
            // backlog meanwhile.
            VANT_LOG(HTTPSERVER, error) << "Accept failed: " << std::strerror(errno);
            accept_paused_until_ = now + accept_pause;
            return;
        }
        if (full) {
            evict_one();
        }
        ++open_;
        client& c = add(std::make_unique<http_connection>(fd, server_.timeout_), phase::head);
        set_deadline(c, now + server_.timeout_);
    }
}

void httpserver::loop::take_back(clock::time_point now) {
    std::vector<std::unique_ptr<http_connection>> returned;
    {
        std::scoped_lock lock(server_.mutex_);
        returned.swap(server_.returned_);
    }
    for (auto& connection : returned) {
        if (connection->closed_by_client() || connection->send_failed()) {
            --open_;
            continue;  // nothing to wait for: closed here
        }
        client& c = add(std::move(connection), phase::drain);
        set_deadline(c, now + server_.timeout_);
    }
}

void httpserver::loop::readable(client& c, clock::time_point now) {
    http_connection& connection = *c.connection;
    switch (c.stage) {
        case phase::head: {
            auto received = connection.receive(receive_piece);
            switch (connection.take_head(c.head, max_head_size)) {
                case http_connection::head_status::complete:
                    head_arrived(c, false, now);
                    return;
                case http_connection::head_status::too_large:
                    VANT_LOG(HTTPSERVER, info)
                        << "Client cut off: request head over " << max_head_size << " bytes";
                    reply_and_drain(c, html_status_reply("400 Bad request"), now);
                    return;
                case http_connection::head_status::incomplete:
                    if (received == http_connection::receive_status::ended) {
                        // The client ended early: the request is handled with what arrived.
                        connection.take_rest(c.head);
                        head_arrived(c, true, now);
                    }
                    return;
            }
            return;
        }
        case phase::body:
            receive_body(c);
            return;
        case phase::discard: {
            std::uint64_t count = 0;
            auto received = connection.receive_and_drop(c.body_left, count);
            c.body_left -= count;
            if (c.body_left == 0) {
                connection.end_input(false);
                to_pool(c);
            } else if (received == http_connection::receive_status::ended) {
                to_pool(c);
            } else {
                set_deadline(c, std::min(c.give_up, connection.input_allowance().deadline()));
            }
            return;
        }
        case phase::drain: {
            auto received = connection.receive_and_drop(drain_limit - c.drained, c.drained);
            if (received == http_connection::receive_status::ended || c.drained >= drain_limit) {
                close(c);
            }
            return;
        }
    }
}

void httpserver::loop::head_arrived(client& c, bool cut_short, clock::time_point now) {
    http_connection& connection = *c.connection;
    c.parsed.parse(c.head);
    c.head.clear();
    if (!c.parsed.ok()) {
        reply_and_drain(c, html_status_reply("400 Bad request"), now);
        return;
    }
    // The body, if any, gets a time-out of its own after the head.
    connection.input_allowance().restart(now);
    std::uint64_t size = content_length_number(c.parsed.header_lower("content-length"));
    if (cut_short || size <= connection.buffered() || expects_continue(c.parsed)) {
        // Nothing to wait for, or the client waits for the request thread's answer first.
        to_pool(c);
        return;
    }
    if (size > max_body_size) {
        // A body over the limit is never read, only drained before the reply (or refused
        // before it is sent, which needs the 100-continue expectation): drain it here, for at
        // most one time-out.
        std::string dropped;
        connection.take_rest(dropped);
        c.body_left = size - dropped.size();
        c.give_up = now + server_.timeout_;
        set_stage(c, phase::discard);
        set_deadline(c, std::min(c.give_up, connection.input_allowance().deadline()));
        return;
    }
    c.body_size = size;
    set_stage(c, phase::body);
    c.held = connection.buffered();
    held_ += c.held;
    set_deadline(c, connection.input_allowance().deadline());
}

void httpserver::loop::receive_body(client& c) {
    http_connection& connection = *c.connection;
    if (held_ + server_.pool_.queued_bytes() >= max_held_body_bytes) {
        to_pool(c);  // the request thread reads the rest
        return;
    }
    auto received = connection.receive(static_cast<std::size_t>(
        std::min<std::uint64_t>(c.body_size - connection.buffered(), receive_piece)));
    held_ += connection.buffered() - c.held;
    c.held = connection.buffered();
    if (connection.buffered() >= c.body_size ||
        received == http_connection::receive_status::ended) {
        to_pool(c);
        return;
    }
    set_deadline(c, connection.input_allowance().deadline());
}

void httpserver::loop::expired(client& c) {
    switch (c.stage) {
        case phase::head:
            VANT_LOG(HTTPSERVER, info) << "Client cut off: no request head within the time-out";
            reply_and_drain(c, reply_timeout, clock::now());
            return;
        case phase::body:
        case phase::discard:
            // The request thread answers as it does when a body ends early.
            VANT_LOG(HTTPSERVER, info) << "Client cut off: request body too slow";
            c.connection->end_input(true);
            to_pool(c);
            return;
        case phase::drain:
            close(c);
            return;
    }
}

// ---- listener -------------------------------------------------------------------------------

httpserver::httpserver(const http_services& lent, int threads, std::string address,
                       httpserver_options options)
    : address_(std::move(address)),
      options_(std::move(options)),
      timeout_(std::chrono::seconds(
          std::clamp<long long>(config_file().integer(keys::HTTP_TIMEOUT), 1, 86400))),
      wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      pool_(*this, lent, threads) {
    VANT_CHECK(wake_fd_.get() >= 0, "eventfd");
}

httpserver::~httpserver() {
    stop();
}

void httpserver::start() {
    thread_.start([this](const std::stop_token& stop) { run(stop); });
}

void httpserver::request_stop() {
    thread_.request_stop();
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wake_fd_.get(), &one, sizeof one);
}

void httpserver::join() {
    thread_.join();
}

void httpserver::stop() {
    request_stop();
    join();
}

void httpserver::run_request(http_connection& connection, headerparser head,
                             threadcontext& context) {
    if (options_.handler) {
        options_.handler(connection, std::move(head), context);
    } else {
        handle(connection, std::move(head), port(), address_, secure(), context);
    }
}

void httpserver::finished(std::unique_ptr<http_connection> connection) {
    std::scoped_lock lock(mutex_);
    if (!looping_) {
        return;  // stopping: the connection closes here
    }
    returned_.push_back(std::move(connection));
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wake_fd_.get(), &one, sizeof one);
}

int httpserver::bind_listener(const std::stop_token& stop, std::string& error) {
    auto parsed = parse_listen_address(address_);
    if (!parsed) {
        error = "bad listen address '" + address_ + "'";
        return 1;
    }
    owned_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        error = std::strerror(errno);
        return 2;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = parsed->address;
    sa.sin_port = htons(parsed->port);
    const long long delay_seconds = options_.bind_delay.count() / 1000;
    for (int attempt = 0; attempt < options_.bind_attempts; ++attempt) {
        int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            if (::listen(fd.get(), 128) != 0) {
                error = std::strerror(errno);
                return 4;
            }
            socklen_t len = sizeof sa;
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len);
            port_ = ntohs(sa.sin_port);
            listen_fd_ = std::move(fd);
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
        retry_.wait_for(lock, stop, options_.bind_delay, [] { return false; });
        if (stop.stop_requested()) {
            break;
        }
    }
    return 3;
}

namespace {

// The connections the process can hold: its soft descriptor limit, raised towards the hard limit
// when it is lower than `wanted` plus what the rest of the daemon needs (databases, workers, the
// index server, the log).
std::size_t connection_room(std::size_t wanted, int threads) {
    const rlim_t reserve = 256 + 4 * static_cast<rlim_t>(threads);
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return wanted;
    }
    const rlim_t needed = static_cast<rlim_t>(wanted) + reserve;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        rlim_t raised = limit.rlim_max == RLIM_INFINITY ? needed : std::min(limit.rlim_max, needed);
        if (raised > limit.rlim_cur) {
            rlimit wider = limit;
            wider.rlim_cur = raised;
            if (::setrlimit(RLIMIT_NOFILE, &wider) == 0) {
                limit = wider;
            }
        }
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed) {
        return wanted;
    }
    return static_cast<std::size_t>(std::max<rlim_t>(limit.rlim_cur, reserve + 16) - reserve);
}

}  // namespace

void httpserver::run(const std::stop_token& stop) {
    std::string error;
    int binderr = bind_listener(stop, error);
    VANT_LOG(HTTPSERVER, debug) << "binderr==" << binderr << ": " << error;
    if (binderr != 0 && stop.stop_requested()) {
        return;  // stopped while waiting to retry
    }
    VANT_CHECK(binderr == 0, "binderr == 0");
    const std::size_t room = connection_room(options_.max_connections, pool_.size());
    VANT_LOG(LOG, info) << "HTTP server listening on " << address_ << " (port " << port_
                        << ", at most " << room << " connections)";
    {
        loop connections(*this, room);
        connections.run(stop);
    }
    listen_fd_.reset();
}

}  // namespace marloven
