// main.cc: the worker program "worker-process": connects back to the daemon on the loopback
// port given as its one argument, proves itself with the channel token of its environment
// (VANT_CHANNEL_TOKEN), and answers each request with exactly one reply until QUIT or the end of
// the connection.
// SPDX-License-Identifier: MIT
#include <curl/curl.h>
#include <libxml/parser.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ipc/socket_ipc.h"
#include "util/config_file.h"
#include "util/crash_dump.h"
#include "util/log.h"
#include "worker-program/document_filters.h"
#include "worker-program/request_handler.h"
#include "worker/protocol.h"

using namespace marloven;

namespace {

// A document this large (raw content and FFF together) leaves the heap at a high-water mark of
// several times its size (the parse tree), which the allocator keeps; the free pages go back to
// the system after the reply, so that a worker's memory follows the document in hand rather than
// the largest it has ever parsed.
constexpr std::size_t large_document = std::size_t{256} << 10;

std::size_t size_of(const process_reply& r) {
    return r.fff.size() + r.content.size();
}
std::size_t size_of(const reprocess_reply& r) {
    return r.fff.size();
}

// Sends the reply, then gives the heap's free pages back after a large document.
template <typename Reply>
void answer(socket_ipc::server_helper& channel, Reply reply) {
    const bool large = size_of(reply) >= large_document;
    send_reply(channel, reply);
    reply = Reply{};
    if (large) {
        malloc_trim(0);
    }
}

// Reads requests until QUIT or the end of the connection. Adding a message type: a case here
// and the enums and coding in worker/protocol.h.
int serve(socket_ipc::server_helper& channel, request_handler& handler) {
    try {
        while (true) {
            request_t id = receive_request_id(channel);
            switch (id) {
                case request_t::QUIT:
                    send_quitting(channel);
                    return 0;
                case request_t::PROCESS:
                    answer(channel, handler.process(receive_process_request(channel)));
                    break;
                case request_t::REPROCESS:
                    answer(channel, handler.reprocess(receive_reprocess_request(channel)));
                    break;
                default:
                    // The payload's length is unknown, so the conversation cannot go on.
                    VANT_LOG(WORKER, error) << "Unknown request " << static_cast<int>(id);
                    return 1;
            }
        }
    } catch (const socket_ipc::error& e) {
        // The daemon closed the connection (or died): nothing is left to do.
        VANT_LOG(WORKER, debug) << "Connection ended: " << e.what();
        return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    setup_crash_dumps(argv[0]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: worker-process PORT\n");
        return 2;
    }
    char* end = nullptr;
    long port = std::strtol(argv[1], &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535) {
        std::fprintf(stderr, "worker-process: bad port '%s'\n", argv[1]);
        return 2;
    }
    config_file config;
    if (config.loaded()) {
        std::string message;
        configure_log(config, stderr, message);
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    xmlInitParser();

    std::string error;
    int sock = socket_ipc::connect_to_parent(static_cast<int>(port), error);
    if (sock < 0) {
        std::fprintf(stderr, "worker-process: %s\n", error.c_str());
        return 1;
    }
    int status = 0;
    {
        socket_ipc::server_helper channel(sock);
        // The filter children must not hold the daemon's connection: when the daemon kills this
        // worker it waits for the connection's end.
        document_filters filters(filter_limits::from(config), {sock});
        request_handler handler(fetch_settings::from(config), &filters);
        status = serve(channel, handler);
    }
    xmlCleanupParser();
    curl_global_cleanup();
    return status;
}
