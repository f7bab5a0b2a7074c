// stoppable_thread.h: the shell of every long-lived thread of the daemon (crawl processing
// threads, the scheduler, the HTTP listener and request threads): one std::jthread owned by one
// object, asked to stop through a stop token, an interruptible pause, and the one top-level
// catch that turns an escaped exception into the fatal log line.
// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace marloven {

// Purpose: runs one body on a thread of its own until the body returns; stopping is asked, not
// forced: the body watches the stop token (directly, or by waiting in pause()).
// Ownership: owns the thread; the destructor requests a stop and joins. Whatever the body
// borrows must outlive the join (declare the shell after the members the body uses).
// Failure: an exception that escapes the body is a broken invariant: fatal_assertion with
// "<name> failed: <what>" ends the process (tier 1). Catch tier-3 failures inside the body.
// Threads: start() once, from the owner; request_stop(), stop_requested() and the stop token
// from any thread; join() from the owner.
class stoppable_thread {
  public:
    // `name` names the thread in the fatal log line ("Crawl processing thread").
    explicit stoppable_thread(std::string name);
    ~stoppable_thread();
    stoppable_thread(const stoppable_thread&) = delete;
    stoppable_thread& operator=(const stoppable_thread&) = delete;

    // Starts the thread running `body` with this shell's stop token. A stop requested before
    // start() is seen by the body at once.
    void start(std::function<void(std::stop_token)> body);
    // Asks the body to end and interrupts a pause; returns without waiting. Stop callbacks
    // registered on the token run on the calling thread.
    void request_stop();
    // Waits for the body to return (nothing when the thread never started or was joined).
    void join();

    bool stop_requested() const { return stop_.stop_requested(); }
    std::stop_token stop_token() const { return stop_.get_token(); }

    // Waits for `duration`, or less when a stop is requested; false when stopping.
    bool pause(std::chrono::milliseconds duration);

  private:
    const std::string name_;
    std::stop_source stop_;
    std::mutex pause_mutex_;
    std::condition_variable_any pause_;
    std::jthread thread_;
};

}  // namespace marloven
