// worker_process.cc: requests to a worker program and the checks on its replies.
// SPDX-License-Identifier: MIT
#include "worker/worker_process.h"

#include "util/log.h"

namespace marloven {

namespace {

// Reads the reply identifier. A worker parses hostile pages, so a reply of another kind than the
// request's is a broken exchange (the crawl thread replaces the worker), not a broken invariant.
void expect_reply(socket_ipc::server_helper& channel, reply_t wanted, const char* name) {
    const reply_t got = receive_reply_id(channel);
    if (got != wanted) {
        throw socket_ipc::error("Worker replied with reply kind " +
                                std::to_string(static_cast<int>(got)) + " instead of " + name);
    }
}

}  // namespace

worker_process::worker_process(const config_file& config)
    : socket_ipc::server_proxy(config, program_name) {}

process_reply worker_process::process(const process_request& request) {
    send_request(*this, request);
    expect_reply(*this, reply_t::PROCESSED, "PROCESSED");
    process_reply reply = receive_process_reply(*this);
    VANT_LOG(WORKERSCHEDULING, debug) << "worker_process('" << request.url << "') ends with "
                                      << reply.outlinks.size() << " outlinks";
    return reply;
}

reprocess_reply worker_process::reprocess(const reprocess_request& request) {
    send_request(*this, request);
    expect_reply(*this, reply_t::REPROCESSED, "REPROCESSED");
    reprocess_reply reply = receive_reprocess_reply(*this);
    VANT_LOG(WORKERSCHEDULING, debug) << "worker_reprocess('" << request.url << "') ends";
    return reply;
}

void worker_process::quit() {
    send_quit(*this);
    expect_reply(*this, reply_t::QUITTING, "QUITTING");
    receive_quitting(*this);
}

}  // namespace marloven
