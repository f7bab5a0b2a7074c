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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace marloven;
    // The bytes must fit the socket buffer, since nothing reads while they are written.
    int fds[2];
    if (size == 0 || !input_socket_pair(fds, data + 1, size - 1)) {
        return 0;
    }
    ::close(fds[0]);
    socket_ipc::server_helper channel(fds[1]);
    bool daemon_side = (data[0] & 1) != 0;
    try {
        while (true) {
            if (daemon_side) {
                switch (receive_reply_id(channel)) {
                    case reply_t::PROCESSED:
                        (void)receive_process_reply(channel);
                        break;
                    case reply_t::REPROCESSED:
                        (void)receive_reprocess_reply(channel);
                        break;
                    default:
                        receive_quitting(channel);
                        break;
                }
            } else {
                switch (receive_request_id(channel)) {
                    case request_t::PROCESS:
                        (void)receive_process_request(channel);
                        break;
                    case request_t::REPROCESS:
                        (void)receive_reprocess_request(channel);
                        break;
                    default:
                        break;
                }
            }
        }
    } catch (const socket_ipc::error&) {
        // The bytes ran out or held an impossible count: the expected end.
    }
    return 0;
}
