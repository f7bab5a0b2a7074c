// Fuzz target: arbitrary bytes as the daemon's side of the index-server connection, served by
// idxserv's session loop over a real index. A model of the request framing, written apart from
// the server, finds the requests in the bytes and the first one that breaks the framing or a
// limit; the server must answer every complete request exactly once and in order, answer a
// breaking one with -1 and then end the session without reading anything after it.
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
#include <vector>

#include "fuzz_check.h"
#include "fuzz_socket.h"
#include "idxserv/index_engine.h"
#include "idxserv/index_session.h"
#include "idxstorage/index_protocol.h"
#include "ipc/socket_ipc.h"

namespace {

namespace proto = marloven::index_protocol;
using proto::command;

// What the bytes hold, by the framing alone.
struct expectation {
    std::vector<std::int32_t> answered;  // the commands that get a reply, in order
    std::uint64_t requests = 0;          // command numbers read whole
    bool broken = false;                 // the last answered command broke the framing
    bool quit = false;
};

enum class step { whole, cut, broken };

class framing_model {
  public:
    explicit framing_model(std::string_view in) : in_(in) {}

    expectation run() {
        // The parts of each request after its command number, by that number: n a number, s a
        // name, v a value, T a counted list of terms (n v s each), W a counted list of weight
        // pairs (n n each). Nothing for an unknown command.
        static constexpr const char* layouts[] = {
            nullptr, "",      "",  "svnnn", "snnnn", "",  "T",     "TWsnnsnss",
            "",      nullptr, "n", "",      "s",     "s", nullptr, ""};
        expectation e;
        std::int32_t cmd = 0, fields = 0;
        while (number(cmd)) {
            ++e.requests;
            if (cmd == static_cast<std::int32_t>(command::quit)) {
                e.quit = true;
                break;
            }
            if (cmd == static_cast<std::int32_t>(command::begin_document)) {
                fields = 0;
            }
            const char* parts = cmd > 0 && cmd < 16 ? layouts[cmd] : nullptr;
            step s = parts == nullptr ? step::broken : read(parts);
            if (s == step::whole && (cmd == static_cast<std::int32_t>(command::text_field) ||
                                     cmd == static_cast<std::int32_t>(command::number_field))) {
                s = ++fields > proto::max_fields_per_document ? step::broken : s;
            }
            if (s == step::cut) {
                break;  // the bytes end inside the request: no reply
            }
            e.answered.push_back(cmd);
            e.broken = s == step::broken;
            if (e.broken) {
                break;
            }
        }
        return e;
    }

  private:
    bool number(std::int32_t& v) {
        if (in_.size() < 4) {
            in_ = {};
            return false;
        }
        v = proto::decode_number(reinterpret_cast<const unsigned char*>(in_.data()));
        in_.remove_prefix(4);
        return true;
    }
    // A count of at most `limit`, then that many bytes (no `item`) or items.
    step counted(std::size_t limit, std::string_view item) {
        std::int32_t n = 0;
        if (!number(n)) {
            return step::cut;
        }
        if (n < 0 || static_cast<std::size_t>(n) > limit) {
            return step::broken;
        }
        if (item.empty()) {
            const bool whole = in_.size() >= static_cast<std::size_t>(n);
            in_.remove_prefix(whole ? static_cast<std::size_t>(n) : in_.size());
            return whole ? step::whole : step::cut;
        }
        step s = step::whole;
        for (std::int32_t i = 0; i < n && s == step::whole; ++i) {
            s = read(item);
        }
        return s;
    }
    // Each part in order; the first that is not whole decides.
    step read(std::string_view parts) {
        step s = step::whole;
        for (std::size_t i = 0; i < parts.size() && s == step::whole; ++i) {
            std::int32_t v = 0;
            s = parts[i] == 'n'   ? (number(v) ? step::whole : step::cut)
                : parts[i] == 's' ? counted(proto::max_name_length, "")
                : parts[i] == 'v' ? counted(proto::max_value_length, "")
                : parts[i] == 'T' ? counted(proto::max_terms, "nvs")
                                  : counted(proto::max_weight_pairs, "nn");
        }
        return s;
    }

    std::string_view in_;
};

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
    const expectation expected =
        framing_model(std::string_view(reinterpret_cast<const char*>(data), size)).run();
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

    FUZZ_CHECK(result.requests == expected.requests && result.broken == expected.broken &&
               result.quit == expected.quit);
    // Exactly one reply per answered command, in order, and nothing more.
    std::string_view rest = replies;
    auto take_number = [&rest] {
        FUZZ_CHECK(rest.size() >= 4);
        const std::int32_t v =
            proto::decode_number(reinterpret_cast<const unsigned char*>(rest.data()));
        rest.remove_prefix(4);
        return v;
    };
    for (std::size_t i = 0; i < expected.answered.size(); ++i) {
        const bool breaking = expected.broken && i + 1 == expected.answered.size();
        FUZZ_CHECK(take_number() == -1 || !breaking);
        if (expected.answered[i] == static_cast<std::int32_t>(command::stored_text)) {
            const std::int32_t length = take_number();
            FUZZ_CHECK(length >= 0 && rest.size() >= static_cast<std::size_t>(length));
            FUZZ_CHECK(!breaking || length == 0);
            rest.remove_prefix(static_cast<std::size_t>(length));
        }
    }
    FUZZ_CHECK(rest.empty());
    return 0;
}
