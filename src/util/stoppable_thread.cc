// stoppable_thread.cc: the thread shell and its top-level catch.
// SPDX-License-Identifier: MIT
#include "util/stoppable_thread.h"

#include <exception>

#include "util/log.h"

namespace marloven {

stoppable_thread::stoppable_thread(std::string name) : name_(std::move(name)) {}

stoppable_thread::~stoppable_thread() {
    request_stop();
    join();
}

void stoppable_thread::start(std::function<void(std::stop_token)> body) {
    VANT_CHECK(!thread_.joinable(), name_ + " started twice");
    thread_ = std::jthread([this, body = std::move(body)] {
        // The one place where anything a thread's body let escape is caught: it is a broken
        // invariant, and the daemon ends with the line that names it.
        try {
            body(stop_.get_token());
        } catch (const std::exception& e) {
            fatal_assertion_at(name_ + " failed: " + e.what(), __FILE__, __LINE__);
        } catch (...) {
            fatal_assertion_at(name_ + " failed: unknown exception", __FILE__, __LINE__);
        }
    });
}

void stoppable_thread::request_stop() {
    stop_.request_stop();
}

void stoppable_thread::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool stoppable_thread::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(pause_mutex_);
    pause_.wait_for(lock, stop_.get_token(), duration, [] { return false; });
    return !stop_.stop_requested();
}

}  // namespace marloven
