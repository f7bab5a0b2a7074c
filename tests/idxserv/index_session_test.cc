// The index server's request loop: framing, replies, limits and garbage.
// SPDX-License-Identifier: MIT
#include "idxserv/index_session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "idxserv/index_engine.h"
#include "idxstorage/index_protocol.h"
#include "ipc/socket_ipc.h"
#include "support/temp_dir.h"

namespace {

using marloven::index_engine;
namespace proto = marloven::index_protocol;

class index_session_test : public testing::Test {
  protected:
    index_session_test() {
        marloven::engine_settings s;
        s.directory = dir_ / "index";
        engine_ = std::make_unique<index_engine>(s);
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        // A reply that never comes fails the test instead of hanging it.
        const timeval patience{30, 0};
        ::setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        client_ = std::make_unique<socket_ipc::server_helper>(fds[0]);
        server_fd_ = fds[1];
        thread_ =
            std::thread([this] { result_ = marloven::serve_connection(server_fd_, *engine_); });
    }
    ~index_session_test() override {
        end_session();
        ::close(server_fd_);
    }
    void end_session() {
        client_.reset();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    void cmd(proto::command c) { client_->put_int32(static_cast<std::int32_t>(c)); }
    void text_field(const std::string& name, const std::string& value, int a, int b, int c) {
        cmd(proto::command::text_field);
        *client_ << std::string_view(name) << std::string_view(value) << a << b << c;
    }
    std::int32_t reply() { return client_->get_int32(); }

    vant_test::temp_dir dir_;
    std::unique_ptr<index_engine> engine_;
    std::unique_ptr<socket_ipc::server_helper> client_;
    int server_fd_ = -1;
    std::thread thread_;
    marloven::session_result result_;
};

// A request that breaks the framing or a limit, then requests that the old server read as new
// commands (issue 14: a query's terms read as commands deleted or planted documents).
struct broken_case {
    const char* fault;
    std::string request;
    int answered_first = 0;   // requests before it, each answered with 0
    bool text_reply = false;  // command 12: -1 and an empty string
};

std::string numbers(std::initializer_list<std::int32_t> values) {
    std::string out;
    for (std::int32_t v : values) {
        proto::append_number(out, v);
    }
    return out;
}
std::string text(std::string_view s) {
    return numbers({static_cast<std::int32_t>(s.size())}) + std::string(s);
}

// Command 7 for the one word `w`, as the client sends it.
std::string query(std::string_view w) {
    return numbers({7, 1, 0}) + text(w) + text("") + numbers({0}) + text("") + numbers({0, 0}) +
           text("") + numbers({0}) + text("score") + text("");
}

// A query of one term more than the limit, every term and the rest well formed: only the count
// can refuse it.
std::string too_many_terms() {
    const std::string term = numbers({0}) + text("w") + text("");
    std::string r = numbers({7, proto::max_terms + 1});
    for (std::int32_t i = 0; i <= proto::max_terms; ++i) {
        r += term;
    }
    return r + query("w").substr(numbers({7, 1}).size() + term.size());
}

std::string too_many_fields() {
    std::string r = numbers({2});
    for (std::int32_t i = 0; i <= proto::max_fields_per_document; ++i) {
        r += numbers({4}) + text("n") + numbers({7, 1, 1, 0});
    }
    return r;
}

class broken_request_test : public index_session_test,
                            public testing::WithParamInterface<broken_case> {};

TEST_P(broken_request_test, is_answered_once_and_ends_the_session_unread) {
    const broken_case& c = GetParam();
    // One send: the smuggled commands are queued before the server reads the broken request, and
    // the server cannot close the connection between two sends (a broken pipe for the client).
    const std::string bytes = c.request + numbers({2, 3}) + text("guid") + text("planted") +
                              numbers({1, 1, 0}) + numbers({5, 1});
    socket_ipc::send_exact(client_->socket(), bytes.data(), bytes.size());
    for (int i = 0; i < c.answered_first; ++i) {
        ASSERT_EQ(reply(), 0) << c.fault;
    }
    EXPECT_EQ(reply(), -1) << c.fault;
    if (c.text_reply) {
        EXPECT_EQ(client_->get_string(), "");
    }
    char extra = 0;
    EXPECT_EQ(::recv(client_->socket(), &extra, 1, 0), 0) << c.fault << ": no further reply";
    thread_.join();
    EXPECT_TRUE(result_.broken) << c.fault;
    EXPECT_EQ(result_.requests, static_cast<std::uint64_t>(c.answered_first) + 1) << c.fault;
    EXPECT_EQ(engine_->document_count(), 0u) << c.fault << ": the smuggled document was added";
}

INSTANTIATE_TEST_SUITE_P(
    faults, broken_request_test,
    testing::Values(
        broken_case{"negative_term_count", numbers({6, -3})},
        broken_case{"query_terms_over_limit", too_many_terms()},
        broken_case{"weight_pairs_over_limit", numbers({7, 0, proto::max_weight_pairs + 1})},
        broken_case{"negative_string_length", numbers({13, -1})},
        broken_case{"value_over_limit",
                    numbers({3}) + text("n") +
                        numbers({static_cast<std::int32_t>(proto::max_value_length + 1)})},
        broken_case{"unknown_command_in_a_gap_of_the_table", numbers({9})},
        broken_case{"fields_over_limit", too_many_fields(), proto::max_fields_per_document + 1},
        broken_case{
            "field_name_over_limit_after_a_query",
            query("w") + numbers({8, 12}) + text(std::string(proto::max_name_length + 1, 'n')), 2,
            true}),
    [](const testing::TestParamInfo<broken_case>& c) { return c.param.fault; });

// The client sends a query's commands together and reads the replies afterwards: each command
// gets exactly its own reply, in order; a failed one (-1) ends nothing, and the hit selected last
// stays selected.
TEST_F(index_session_test, pipelined_commands_are_answered_one_by_one_in_order) {
    cmd(proto::command::begin_document);
    text_field("guid", "g1", 1, 1, 0);
    text_field("", std::string("w") + static_cast<char>(10 + proto::slice_byte_offset), 0, 1, 1);
    cmd(proto::command::end_document);
    cmd(proto::command::commit);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(reply(), 0);
    }
    const std::string stored_guid = numbers({12}) + text("guid");
    const std::string request = query("w") + numbers({8, 10, 1}) + stored_guid + numbers({13}) +
                                text("guid") + numbers({10, 0}) + stored_guid + numbers({11});
    socket_ipc::send_exact(client_->socket(), request.data(), request.size());
    EXPECT_EQ(reply(), 1) << "command 7";
    EXPECT_EQ(reply(), 1) << "command 8";
    EXPECT_EQ(reply(), -1) << "select past the count";
    EXPECT_EQ(reply(), -1) << "no hit selected";
    EXPECT_EQ(client_->get_string(), "");
    EXPECT_EQ(reply(), -1) << "no hit selected";
    EXPECT_EQ(reply(), 0) << "select 0";
    EXPECT_EQ(reply(), 0);
    EXPECT_EQ(client_->get_string(), "g1");
    EXPECT_GT(reply(), 0) << "the score";
    cmd(proto::command::stored_text);
    *client_ << std::string_view("guid");
    EXPECT_EQ(reply(), 0);
    EXPECT_EQ(client_->get_string(), "g1") << "the last hit stays selected";
    cmd(proto::command::quit);
    end_session();
    EXPECT_TRUE(result_.quit);
    EXPECT_FALSE(result_.broken) << "failed requests do not end the session";
    EXPECT_EQ(result_.failures, 3u);
}

}  // namespace
