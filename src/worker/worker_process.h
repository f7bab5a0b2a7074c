// worker_process.h: the daemon's end of the channel to one worker program ("worker-process"):
// one PROCESS or REPROCESS request at a time, answered by exactly one reply.
// SPDX-License-Identifier: MIT
#pragma once

#include "ipc/socket_ipc.h"
#include "worker/protocol.h"

namespace marloven {

// Purpose: starts the worker program (server_proxy::start) and runs requests on it.
// Ownership: owns the child and its connection (see server_proxy); the destructor does not send
// QUIT: the owner calls quit() or kill_child() first, else destruction waits for the child.
// Failure: a broken connection, a short transfer or a reply of another kind than the request's
// throws socket_ipc::error (tier 3): the worker parses hostile pages, so nothing it sends may end
// the daemon.
// Threads: one owner thread; kill_child() may come from a watchdog thread.
class worker_process : public socket_ipc::server_proxy {
  public:
    using request_t = marloven::request_t;
    using reply_t = marloven::reply_t;

    static constexpr const char* program_name = "worker-process";

    explicit worker_process(const config_file& config);

    // Fetches and parses request.url; the reply carries the result, the FFF document, the
    // links, and the raw headers and body.
    process_reply process(const process_request& request);
    // Parses a stored document again.
    reprocess_reply reprocess(const reprocess_request& request);
    // Asks the worker to end and waits for its QUITTING; the process then exits by itself.
    void quit();
};

}  // namespace marloven
