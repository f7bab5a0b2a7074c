// httpserver.h: the daemon's HTTP server: the listener thread (`httpserver`), whose event loop
// holds connections until their request head has arrived, and the fixed pool (`threadpool`) of
// request threads (`httpthread`) that handle one request each at a time.
// SPDX-License-Identifier: MIT
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "util/headerparser.h"
#include "util/stoppable_thread.h"
#include "vantorelld/httpconnection.h"
#include "vantorelld/httpstate.h"

namespace marloven {

class httpserver;
class threadpool;

inline constexpr int default_http_port = 2200;

// A parsed listen address (HTTP_PORT): "address:port", with "*" for every address. Without a
// colon the text is a port ("8080") or an address ("127.0.0.1", port 2200); "*", "2200" and the
// empty text give every address on port 2200. Addresses are dotted quads of four numbers up to
// 255; ports are decimal numbers up to 65535 that use up their part.
struct listen_address {
    in_addr address{};  // network byte order
    std::uint16_t port = default_http_port;
};
std::optional<listen_address> parse_listen_address(std::string_view text);

// The warning that start-up gives when a server on `address` (HTTP_PORT) can be reached from
// other machines and `http_user` (HTTP_USER) is empty: then no request is asked to log in, and
// every client may administer the daemon. Nothing for a loopback address (127.0.0.0/8), when an
// administrator is set, or for an address that does not parse (the listener reports that).
std::optional<std::string> open_server_warning(std::string_view address,
                                               std::string_view http_user);

// Connections the listener holds at most unless told otherwise: those whose head or body is
// arriving, those with the request threads, and those whose reply is being drained.
inline constexpr std::size_t default_max_connections = 4096;
// Request bodies that the listener keeps in memory for requests no request thread has taken yet;
// a body that does not fit any more is read by its request thread instead.
inline constexpr std::size_t max_held_body_bytes = 64u << 20;

// A request whose head has arrived, on its way from the listener to a request thread.
struct http_request {
    std::unique_ptr<http_connection> connection;
    headerparser head;
    std::size_t held_bytes = 0;  // body bytes received for it, counted against the budget above
};

// What a request thread runs for each request: the daemon's routing (`handle`) unless a test
// passes its own.
using request_handler = std::function<void(http_connection&, headerparser, threadcontext&)>;

struct httpserver_options {
    // Binding the listening socket is retried while the address is taken (a daemon restarted
    // quickly finds its port still held by the old process's connections).
    int bind_attempts = 10;
    std::chrono::milliseconds bind_delay{12000};
    std::size_t max_connections = default_max_connections;
    request_handler handler;
};

// Purpose: one request thread: takes the next request whose head has arrived, handles it, sends
// the end of the reply, and gives the connection back to the listener.
// Ownership: owns its thread and its `threadcontext` (with its own database connection); owns a
// connection while it serves it; borrows the pool.
// Failure: a request that fails in an expected way (a broken index-server exchange, memory) gets
// the 500 reply and is logged (tier 3); any other exception is fatal, with the log line.
// Threads: `request_stop` and `cut_off_at` are called by the pool's destructor; the thread runs
// the rest. The mutex guards the socket being served.
class httpthread {
  public:
    httpthread(threadpool& pool, const http_services& lent);
    ~httpthread();
    httpthread(const httpthread&) = delete;
    httpthread& operator=(const httpthread&) = delete;

    // Asks the thread to end. An idle thread ends at once; one that serves a client may finish
    // until `deadline`, after which its client's socket is shut down so that it ends too.
    void request_stop();
    void cut_off_at(std::chrono::steady_clock::time_point deadline);

  private:
    void run(const std::stop_token& stop);
    void serve(http_request& request);

    threadpool& pool_;
    threadcontext context_;
    std::mutex mutex_;
    std::condition_variable idle_;                    // the connection went back to the listener
    int socket_ = -1;                                 // guarded by mutex_
    stoppable_thread thread_{"HTTP request thread"};  // last: the loop uses the members above
};

// Purpose: the fixed set of request threads and the queue of requests waiting for one.
// Ownership: owns the threads and the queued requests; its destructor stops the threads (giving
// busy ones 5 seconds to finish their request) and waits for them.
// Threads: the listener pushes, the request threads take, under one mutex.
class threadpool {
  public:
    static constexpr std::chrono::seconds stop_grace{5};

    threadpool(httpserver& server, const http_services& lent, int size);
    ~threadpool();
    threadpool(const threadpool&) = delete;
    threadpool& operator=(const threadpool&) = delete;

    // Queues `request` for the next idle thread; never waits.
    void push(std::unique_ptr<http_request> request);
    // The oldest queued request, waiting while there is none; nothing once `stop` is requested.
    std::unique_ptr<http_request> next(std::stop_token stop);
    // Body bytes held by the queued requests.
    std::size_t queued_bytes() const;
    int size() const { return static_cast<int>(threads_.size()); }

    httpserver& server() { return server_; }

  private:
    httpserver& server_;
    mutable std::mutex mutex_;
    std::condition_variable_any ready_;
    std::deque<std::unique_ptr<http_request>> queue_;   // guarded by mutex_
    std::size_t queued_bytes_ = 0;                      // guarded by mutex_
    std::vector<std::unique_ptr<httpthread>> threads_;  // last: threads take from queue_
};

// Purpose: the listener: binds the listen address and runs the event loop that accepts
// connections and reads request heads (and bodies the client sends without waiting) without
// holding a request thread; a request goes to the pool only once its head has arrived. After the
// reply the loop waits for the client to close. Slow clients are cut off (see README):
// a head must arrive within the time-out; bodies and replies must keep a minimum rate. At most
// `max_connections` connections are held; when a new one comes beyond that, the oldest that is
// still sending its head or lingering after its reply is closed, and when there is none the
// new connections wait in the listen backlog.
// Every connection carries one request and is closed after the reply.
// Ownership: owns the listening socket, the connections in the loop, the pool and the listener
// thread; the request threads borrow what `lent` names.
// Failure: an address that cannot be bound after every attempt is fatal ("binderr == 0").
// Threads: start and stop from the daemon's main thread; the listener thread runs the loop;
// request threads give connections back through `finished`.
class httpserver {
  public:
    httpserver(const http_services& lent, int threads, std::string address,
               httpserver_options options = {});
    ~httpserver();
    httpserver(const httpserver&) = delete;
    httpserver& operator=(const httpserver&) = delete;

    void start();
    // Asks the event loop to end (it then closes the connections it holds); returns at once.
    void request_stop();
    // Waits for the listener to end. The pool's request threads go with the server.
    void join();
    // Both.
    void stop();

    const std::string& address() const { return address_; }
    // The port listened on (0 until the socket is bound).
    int port() const { return port_.load(); }
    // Self-URLs use https when set; this server speaks plain HTTP only.
    bool secure() const { return false; }

    // Handles one request on the calling request thread.
    void run_request(http_connection& connection, headerparser head, threadcontext& context);
    // A request thread is done with `connection`: the listener closes it once the client has
    // closed its side (or after the time-out), so that no unread request bytes reset the
    // connection before the client has read the reply.
    void finished(std::unique_ptr<http_connection> connection);

  private:
    class loop;

    void run(const std::stop_token& stop);
    // 0 once listening; 1 bad address, 2 no socket, 3 never bound, 4 listen failed.
    int bind_listener(const std::stop_token& stop, std::string& error);

    const std::string address_;
    const httpserver_options options_;
    const std::chrono::milliseconds timeout_;  // HTTP_TIMEOUT
    std::atomic<int> port_{0};
    owned_fd listen_fd_;  // the listener thread's
    owned_fd wake_fd_;    // an eventfd: connections came back, or stop
    std::mutex mutex_;
    std::condition_variable_any retry_;  // interrupts the wait between bind attempts
    std::vector<std::unique_ptr<http_connection>> returned_;  // guarded by mutex_
    bool looping_ = false;                                    // guarded by mutex_
    threadpool pool_;  // after the members that its threads use
    stoppable_thread thread_{"HTTP server thread"};
};

}  // namespace marloven
