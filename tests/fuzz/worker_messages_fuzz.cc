// Fuzz target: arbitrary bytes as worker messages, read by both sides' decoders (requests as the
// worker program reads them, replies as the daemon reads them) until the bytes run out.
// The first byte chooses the side.
// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fuzz_socket.h"
#include "ipc/socket_ipc.h"
#include "worker/protocol.h"

using namespace marloven;

namespace {

// Reads one message of the side chosen; throws at the end of the bytes.
void read_message(socket_ipc::server_helper& channel, bool daemon_side) {
    if (daemon_side) {
        const reply_t id = receive_reply_id(channel);
        if (id == reply_t::PROCESSED) {
            (void)receive_process_reply(channel);
        } else if (id == reply_t::REPROCESSED) {
            (void)receive_reprocess_reply(channel);
        } else {
            receive_quitting(channel);
        }
        return;
    }
    const request_t id = receive_request_id(channel);
    if (id == request_t::PROCESS) {
        (void)receive_process_request(channel);
    } else if (id == request_t::REPROCESS) {
        (void)receive_reprocess_request(channel);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The bytes must fit the socket buffer, since nothing reads while they are written.
    int fds[2];
    if (size == 0 || !input_socket_pair(fds, data + 1, size - 1)) {
        return 0;
    }
    ::close(fds[0]);
    socket_ipc::server_helper channel(fds[1]);
    try {
        while (true) {
            read_message(channel, (data[0] & 1) != 0);
        }
    } catch (const socket_ipc::error&) {
        // The bytes ran out or held an impossible count: the expected end.
    }
    return 0;
}
