// worker_process.cc: requests to a worker program and the checks on its replies.
// SPDX-License-Identifier: MIT
#include "worker/worker_process.h"

#include "util/log.h"

namespace marloven {

namespace {
// The reply identifier, read and checked before its payload.
struct reply_header {
    reply_t id;
};
}  // namespace

worker_process::worker_process(const config_file& config)
    : socket_ipc::server_proxy(config, program_name) {}

process_reply worker_process::process(const process_request& request) {
    send_request(*this, request);
    reply_header rep{receive_reply_id(*this)};
    VANT_ASSERT(rep.id == reply_t::PROCESSED);
    process_reply reply = receive_process_reply(*this);
    VANT_LOG(WORKER, debug) << "worker_process('" << request.url << "') ends with "
                            << reply.outlinks.size() << " outlinks";
    return reply;
}

reprocess_reply worker_process::reprocess(const reprocess_request& request) {
    send_request(*this, request);
    reply_header rep{receive_reply_id(*this)};
    VANT_ASSERT(rep.id == reply_t::REPROCESSED);
    reprocess_reply reply = receive_reprocess_reply(*this);
    VANT_LOG(WORKER, debug) << "worker_reprocess('" << request.url << "') ends";
    return reply;
}

void worker_process::quit() {
    send_quit(*this);
    reply_header rep{receive_reply_id(*this)};
    VANT_ASSERT(rep.id == reply_t::QUITTING);
    receive_quitting(*this);
}

}  // namespace marloven
