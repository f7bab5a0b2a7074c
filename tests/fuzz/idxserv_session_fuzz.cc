// Fuzz target: arbitrary bytes as the daemon's side of the index-server connection, served by
// idxserv's session loop over a real index. Whatever the bytes, the session must end without a
// crash, having answered what it read, and a request that broke the framing or a limit last.
// SPDX-License-Identifier: MIT
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "fuzz_check.h"
#include "fuzz_socket.h"
#include "idxserv/index_engine.h"
#include "idxserv/index_session.h"
#include "idxstorage/index_protocol.h"
#include "ipc/socket_ipc.h"

namespace {

namespace proto = marloven::index_protocol;

// The index of the whole run, in memory-backed storage, started afresh now and then so that it
// stays small, and removed at the end.
struct scratch_index {
    const std::filesystem::path dir = "/dev/shm/idxserv_session_fuzz." + std::to_string(::getpid());
    std::unique_ptr<marloven::index_engine> engine;
    std::uint64_t runs = 0;

    marloven::index_engine& next() {
        if (runs++ % 5000 == 0) {
            engine.reset();
            std::filesystem::remove_all(dir);
            marloven::engine_settings settings;
            settings.directory = dir.string();
            engine = std::make_unique<marloven::index_engine>(settings);
        }
        return *engine;
    }
    ~scratch_index() {
        engine.reset();
        std::filesystem::remove_all(dir);
    }
} scratch;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The session reports each failed request on standard error; libFuzzer and the sanitizers
    // write there without going through std::cerr.
    std::cerr.rdbuf(nullptr);
    // The bytes must fit the socket buffer, since they are written before the session starts.
    int fds[2];
    if (!input_socket_pair(fds, data, size)) {
        return 0;
    }
    std::string replies;
    std::thread reader([&] {
        char chunk[65536];
        ssize_t n = 0;
        while ((n = ::recv(fds[0], chunk, sizeof chunk, 0)) > 0) {
            replies.append(chunk, static_cast<std::size_t>(n));
        }
    });
    const marloven::session_result result = marloven::serve_connection(fds[1], scratch.next());
    ::shutdown(fds[1], SHUT_RDWR);
    reader.join();
    ::close(fds[0]);
    ::close(fds[1]);

    // Every request read has its command number and gets at least a status; a request that
    // breaks the framing is answered -1 (command 12 also with an empty text), and is the last.
    FUZZ_CHECK(result.requests <= size / 4 && replies.size() + 4 >= 4 * result.requests);
    FUZZ_CHECK(!(result.broken && result.quit));
    auto number_at_end = [&](std::size_t back) {
        return proto::decode_number(
            reinterpret_cast<const unsigned char*>(replies.data() + replies.size() - back));
    };
    FUZZ_CHECK(!result.broken || (replies.size() >= 4 && number_at_end(4) == -1) ||
               (replies.size() >= 8 && number_at_end(8) == -1 && number_at_end(4) == 0));
    return 0;
}
