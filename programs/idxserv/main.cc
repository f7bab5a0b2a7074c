// idxserv: the index server. Started by the daemon with one argument, a TCP port on 127.0.0.1;
// connects to it at once, sends the channel token of its environment (VANT_CHANNEL_TOKEN, by
// which the daemon knows its own child) and serves that one connection (commands of
// idxstorage/index_protocol.h) until command 0 or the end of the connection, commits and exits.
//
// The index lives in the directory named by VANT_INDEX_DIR, or "index" in the working directory
// (the daemon runs in DATADIR and passes DATADIR/index). Tuning variables, named after the merge
// settings of the index format the daemon was first built on, mapped to the nearest Xapian ones:
//   LUCENE_MINMERGEDOCS    documents buffered in memory before they are written: the number of
//                          changes after which the server commits by itself (default: Xapian's
//                          own threshold, XAPIAN_FLUSH_THRESHOLD or 10000)
//   LUCENE_MAXMERGEDOCS    an upper bound on that number
//   LUCENE_MERGEFACTOR     Xapian has no segments to merge; the factor chooses what segment
//                          merging trades: below 10 (tuned for searching) command 15 packs the
//                          compacted index as tightly as possible (FULLER), 10 the default
//                          (FULL), above 10 (tuned for indexing) leaves room for updates (STANDARD)
//   LUCENE_MAXFIELDLENGTH  the largest number of words indexed from one document's full text;
//                          later words are ignored
// Exit status: 0 after a normal end, 1 when the index cannot be opened, 2 on a bad argument,
// 3 when the connection cannot be made.
// SPDX-License-Identifier: MIT
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "idxserv/index_engine.h"
#include "idxserv/index_session.h"
#include "ipc/socket_ipc.h"
#include "util/crash_dump.h"

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void on_stop_signal(int) {
    stop_requested = true;
}

const char* environment(const char* name) {
    return std::getenv(name);
}

// A server that was killed a moment ago may still hold the index's lock while it dies.
std::unique_ptr<marloven::index_engine> open_index(const marloven::engine_settings& settings) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (true) {
        try {
            return std::make_unique<marloven::index_engine>(settings);
        } catch (const Xapian::DatabaseLockError& e) {
            if (std::chrono::steady_clock::now() >= deadline || stop_requested) {
                std::cerr << "idxserv: index " << settings.directory
                          << " is locked: " << e.get_description() << std::endl;
                return nullptr;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } catch (const Xapian::Error& e) {
            std::cerr << "idxserv: cannot open index " << settings.directory << ": "
                      << e.get_description() << std::endl;
            return nullptr;
        } catch (const std::exception& e) {
            std::cerr << "idxserv: cannot open index " << settings.directory << ": " << e.what()
                      << std::endl;
            return nullptr;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    marloven::setup_crash_dumps(argv[0]);
    if (argc != 2) {
        std::cerr << "usage: idxserv PORT" << std::endl;
        return 2;
    }
    char* end = nullptr;
    long port = std::strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || port <= 0 || port > 65535) {
        std::cerr << "idxserv: bad port " << argv[1] << std::endl;
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    // SIGTERM and SIGINT end the session like the end of the connection: commit, then exit.
    // They stay blocked except while the session waits for requests (see serve_connection).
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    sigset_t stop_signals, wait_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);

    std::string error;
    int sock = socket_ipc::connect_to_parent(static_cast<int>(port), error);
    if (sock < 0) {
        std::cerr << "idxserv: " << error << std::endl;
        return 3;
    }
    socket_ipc::server_helper connection(sock);

    std::string warnings;
    auto settings = marloven::engine_settings::from_environment(environment, warnings);
    if (!warnings.empty()) {
        std::cerr << "idxserv:" << warnings << std::endl;
    }
    auto engine = open_index(settings);
    if (!engine) {
        return 1;
    }
    auto result = marloven::serve_connection(sock, *engine, &stop_requested, &wait_mask);
    if (!result.quit && result.end_reason != "Connection closed") {
        std::cerr << "idxserv: session ended: " << result.end_reason << std::endl;
    }
    return 0;
}
