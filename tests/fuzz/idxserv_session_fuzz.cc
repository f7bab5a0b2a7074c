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

class framing_model {
  public:
    framing_model(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    expectation run() {
        expectation e;
        std::int32_t fields = 0;
        std::int32_t cmd = 0;
        while (number(cmd)) {
            ++e.requests;
            auto is = [&](command c) { return cmd == static_cast<std::int32_t>(c); };
            if (is(command::quit)) {
                e.quit = true;
                return e;
            }
            fields = is(command::begin_document) ? 0 : fields;
            const char* parts = layout(cmd);
            step s = parts == nullptr ? step::broken : read(parts);
            if (s == step::whole && (is(command::text_field) || is(command::number_field)) &&
                ++fields > proto::max_fields_per_document) {
                s = step::broken;
            }
            if (s == step::cut) {
                return e;  // the bytes end inside the request: no reply
            }
            e.answered.push_back(cmd);
            e.broken = s == step::broken;
            if (e.broken) {
                return e;
            }
        }
        return e;
    }

  private:
    enum class step { whole, cut, broken };

    // The parts of each request after its command number, by that number: n a number, s a name,
    // v a value, T a counted list of terms (n v s each), W a counted list of weight pairs (n n
    // each). Nothing for an unknown command.
    static const char* layout(std::int32_t cmd) {
        static constexpr const char* layouts[] = {
            nullptr, "",      "",  "svnnn", "snnnn", "",  "T",     "TWsnnsnss",
            "",      nullptr, "n", "",      "s",     "s", nullptr, ""};
        return cmd > 0 && cmd < 16 ? layouts[cmd] : nullptr;
    }

    bool number(std::int32_t& v) {
        if (size_ - pos_ < 4) {
            pos_ = size_;
            return false;
        }
        v = proto::decode_number(data_ + pos_);
        pos_ += 4;
        return true;
    }
    step string(std::size_t limit) {
        std::int32_t n = 0;
        if (!number(n)) {
            return step::cut;
        }
        if (n < 0 || static_cast<std::size_t>(n) > limit) {
            return step::broken;
        }
        if (size_ - pos_ < static_cast<std::size_t>(n)) {
            pos_ = size_;
            return step::cut;
        }
        pos_ += static_cast<std::size_t>(n);
        return step::whole;
    }
    step list(std::int32_t limit, const char* item) {
        std::int32_t n = 0;
        if (!number(n)) {
            return step::cut;
        }
        step s = n < 0 || n > limit ? step::broken : step::whole;
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
                : parts[i] == 's' ? string(proto::max_name_length)
                : parts[i] == 'v' ? string(proto::max_value_length)
                : parts[i] == 'T' ? list(proto::max_terms, "nvs")
                                  : list(proto::max_weight_pairs, "nn");
        }
        return s;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// One index for the whole run, in memory-backed storage where there is one, and started afresh
// now and then so that it stays small.
std::filesystem::path index_dir;
std::unique_ptr<marloven::index_engine> engine;
std::uint64_t runs = 0;

void open_engine() {
    engine.reset();
    std::filesystem::remove_all(index_dir);
    marloven::engine_settings settings;
    settings.directory = index_dir.string();
    engine = std::make_unique<marloven::index_engine>(settings);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::filesystem::path base =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    index_dir = base / ("idxserv_session_fuzz." + std::to_string(::getpid()));
    open_engine();
    std::atexit([] {
        engine.reset();
        std::filesystem::remove_all(index_dir);
    });
    // The session reports each failed request on standard error; libFuzzer and the sanitizers
    // write there without going through std::cerr.
    std::cerr.rdbuf(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The bytes must fit the socket buffer, since they are written before the session starts.
    int fds[2];
    if (!input_socket_pair(fds, data, size)) {
        return 0;
    }
    if (++runs % 5000 == 0) {
        open_engine();
    }
    const expectation expected = framing_model(data, size).run();
    std::string replies;
    std::thread reader([&] {
        char chunk[65536];
        ssize_t n = 0;
        while ((n = ::recv(fds[0], chunk, sizeof chunk, 0)) > 0) {
            replies.append(chunk, static_cast<std::size_t>(n));
        }
    });
    const marloven::session_result result = marloven::serve_connection(fds[1], *engine);
    ::shutdown(fds[1], SHUT_RDWR);
    reader.join();
    ::close(fds[0]);
    ::close(fds[1]);

    FUZZ_CHECK(result.requests == expected.requests);
    FUZZ_CHECK(result.broken == expected.broken);
    FUZZ_CHECK(result.quit == expected.quit);
    // Exactly one reply per answered command, in order, and nothing more.
    std::size_t pos = 0;
    auto take_number = [&] {
        FUZZ_CHECK(replies.size() - pos >= 4);
        std::int32_t v =
            proto::decode_number(reinterpret_cast<const unsigned char*>(replies.data() + pos));
        pos += 4;
        return v;
    };
    for (std::size_t i = 0; i < expected.answered.size(); ++i) {
        const bool last_broken = expected.broken && i + 1 == expected.answered.size();
        const std::int32_t status = take_number();
        FUZZ_CHECK(!last_broken || status == -1);
        if (expected.answered[i] == static_cast<std::int32_t>(command::stored_text)) {
            std::int32_t length = take_number();
            FUZZ_CHECK(length >= 0 && replies.size() - pos >= static_cast<std::size_t>(length));
            FUZZ_CHECK(!last_broken || length == 0);
            pos += static_cast<std::size_t>(length);
        }
    }
    FUZZ_CHECK(pos == replies.size());
    return 0;
}
