// index_session.h: the index server's side of the connection: reads requests (with bounded
// lengths), runs them on the engine and answers them, until command 0 or the end of the
// connection. Used by programs/idxserv/main.cc.
// SPDX-License-Identifier: MIT
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace marloven {

class index_engine;

struct session_result {
    bool quit = false;    // ended by command 0
    bool broken = false;  // ended by a request that broke a limit or the framing
    std::uint64_t requests = 0;
    std::uint64_t failures = 0;  // requests answered with -1
    std::string end_reason;
};

// Serves the connected socket `fd` (not owned) until command 0, the end of the connection, or
// `stop` becoming true. A program that sets `stop` from a signal handler blocks that signal and
// passes in `wait_mask` the mask to wait with (the signal unblocked): the session then sees the
// signal even when it arrives between two reads. Commits before returning. A request that the
// engine cannot carry out is answered with -1 and the session goes on; a request that breaks the
// framing (an unknown command, a string or count beyond the limits of index_protocol.h, a
// negative length) is answered once with -1 and ends the session: nothing after it is read, and
// the socket is shut down in both directions. Replies are buffered and written whenever the
// server would wait for more input, so pipelined requests cost one write. Failure: returns
// normally in every case; engine failures are written to standard error.
session_result serve_connection(int fd, index_engine& engine,
                                const std::atomic<bool>* stop = nullptr,
                                const sigset_t* wait_mask = nullptr);

}  // namespace marloven
