// httpserver.h: the daemon's HTTP server: the listener thread (`httpserver`) and the fixed pool
// (`threadpool`) of request threads (`httpthread`) that serve one connection each at a time.
// SPDX-License-Identifier: MIT
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vantorelld/httpstate.h"

namespace marloven {

class vantorelld;
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

// How binding the listening socket is retried while the address is taken (a daemon restarted
// quickly finds its port still held by the old process's connections).
struct bind_policy {
    int attempts = 10;
    std::chrono::milliseconds delay{12000};
};

// Purpose: one request thread: waits in the pool until the listener hands it a connection,
// handles the one request on it, closes it, and returns to the pool.
// Ownership: owns its thread, its `threadcontext` (with its own database connection) and the
// client socket while it serves it; borrows the pool and the server.
// Failure: request failures are handled inside `handle` (tier 3, as replies); nothing escapes.
// Threads: `serve` is called by the listener, `stop_after` by the pool's destructor; the thread
// itself runs `run`. The mutex guards the socket, the server and the running flag.
class httpthread {
  public:
    httpthread(threadpool& pool, int index, vantorelld& daemon);
    ~httpthread();
    httpthread(const httpthread&) = delete;
    httpthread& operator=(const httpthread&) = delete;

    // Hands the connection `fd` (accepted by `server`) to this idle thread.
    void serve(const httpserver& server, int fd);
    // Asks the thread to end. An idle thread ends at once; one that serves a client may finish
    // until `deadline`, after which its client's socket is shut down so that it ends too.
    void request_stop();
    void cut_off_at(std::chrono::steady_clock::time_point deadline);

  private:
    void run(const std::stop_token& stop);

    threadpool& pool_;
    const int index_;
    threadcontext context_;
    std::mutex mutex_;
    std::condition_variable_any wake_;    // a connection arrived, or a stop
    std::condition_variable idle_;        // the connection was closed
    int socket_ = -1;                     // guarded by mutex_
    const httpserver* server_ = nullptr;  // guarded by mutex_
    bool running_ = false;                // guarded by mutex_
    std::jthread thread_;                 // last: it starts once the members above exist
};

// Purpose: the fixed set of request threads and the stack of idle ones.
// Ownership: owns the threads; its destructor stops them (giving busy ones 5 seconds to finish
// their request) and waits for them.
// Failure: a broken count of idle threads is fatal.
// Threads: acquire (the listener) and release (the request threads) under one mutex.
class threadpool {
  public:
    static constexpr std::chrono::seconds stop_grace{5};

    threadpool(vantorelld& daemon, int size);
    ~threadpool();
    threadpool(const threadpool&) = delete;
    threadpool& operator=(const threadpool&) = delete;

    // An idle thread, waiting while all are busy; nothing once `stop` is requested.
    httpthread* acquire(std::stop_token stop);
    void release(int index);

  private:
    std::mutex mutex_;
    std::condition_variable_any available_;
    std::vector<int> idle_;  // guarded by mutex_; indexes of idle threads, used as a stack
    const int max_;
    std::vector<std::unique_ptr<httpthread>> threads_;  // last: threads release into idle_
};

// Purpose: the listener: binds the listen address, accepts connections and hands each to an
// idle request thread; new connections wait in the listen backlog while all threads are busy.
// Every connection carries one request and is closed after the reply.
// Ownership: owns the listening socket, the pool and the listener thread; borrows the daemon.
// Failure: an address that cannot be bound after every attempt is fatal ("binderr == 0").
// Threads: start and stop from the daemon's main thread; the listener thread runs the rest.
class httpserver {
  public:
    httpserver(vantorelld& daemon, int threads, std::string address, bind_policy policy = {});
    ~httpserver();
    httpserver(const httpserver&) = delete;
    httpserver& operator=(const httpserver&) = delete;

    void start();
    // Ends the accept loop and waits for the listener; the pool goes with the server.
    void stop();

    const std::string& address() const { return address_; }
    // The port listened on (0 until the socket is bound).
    int port() const { return port_.load(); }
    // Self-URLs use https when set; this server speaks plain HTTP only.
    bool secure() const { return false; }

  private:
    void run(const std::stop_token& stop);
    // 0 once listening; 1 bad address, 2 no socket, 3 never bound, 4 listen failed.
    int bind_listener(const std::stop_token& stop, std::string& error);

    vantorelld& daemon_;
    const std::string address_;
    const bind_policy policy_;
    std::atomic<int> port_{0};
    threadpool pool_;
    std::mutex mutex_;
    std::condition_variable_any retry_;  // interrupts the wait between bind attempts
    int listen_fd_ = -1;                 // guarded by mutex_
    bool listening_ = false;             // guarded by mutex_
    std::jthread thread_;
};

}  // namespace marloven
