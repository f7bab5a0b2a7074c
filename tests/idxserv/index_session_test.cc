// The index server's request loop: framing, replies, limits and garbage.
// SPDX-License-Identifier: MIT
#include "idxserv/index_session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <random>
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

TEST_F(index_session_test, bad_requests_get_minus_one_and_the_session_goes_on) {
    cmd(proto::command::stored_text);  // no hit selected: status -1 and an empty string
    *client_ << std::string_view("guid");
    EXPECT_EQ(reply(), -1);
    EXPECT_EQ(client_->get_string(), "");
    client_->put_int32(99);  // unknown command
    EXPECT_EQ(reply(), -1);
    client_->put_int32(9);  // a gap in the command table
    EXPECT_EQ(reply(), -1);
    text_field("guid", "x", 1, 1, 0);  // outside a document
    EXPECT_EQ(reply(), -1);
    // A field name beyond the limit is skipped whole, so the next request is still understood.
    cmd(proto::command::begin_document);
    EXPECT_EQ(reply(), 0);
    text_field(std::string(proto::max_name_length + 1, 'n'), "v", 1, 1, 0);
    EXPECT_EQ(reply(), -1);
    cmd(proto::command::remove);
    client_->put_int32(-3);  // negative count
    EXPECT_EQ(reply(), -1);
    cmd(proto::command::query);
    client_->put_int32(proto::max_terms + 1);
    EXPECT_EQ(reply(), -1);
    cmd(proto::command::hit_count);
    EXPECT_EQ(reply(), 0);
    cmd(proto::command::select_hit);
    client_->put_int32(0);
    EXPECT_EQ(reply(), -1);
    cmd(proto::command::hit_score);
    EXPECT_EQ(reply(), -1);
    cmd(proto::command::commit);
    EXPECT_EQ(reply(), 0);
    cmd(proto::command::quit);
    end_session();
    EXPECT_TRUE(result_.quit);
    EXPECT_EQ(result_.failures, 9u);
}

TEST_F(index_session_test, the_end_of_the_connection_commits) {
    cmd(proto::command::begin_document);
    text_field("guid", "g", 1, 1, 0);
    cmd(proto::command::end_document);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(reply(), 0);
    }
    end_session();
    EXPECT_FALSE(result_.quit);
    marloven::engine_settings s;
    s.directory = dir_ / "index";
    engine_.reset();
    index_engine reopened(s);
    EXPECT_EQ(reopened.document_count(), 1u);
}

TEST_F(index_session_test, random_bytes_never_crash_the_server) {
    std::mt19937 rng(1234);
    std::string junk(50000, '\0');
    for (char& c : junk) {
        // Mostly small numbers, so that many of them read as commands and lengths.
        c = static_cast<char>(rng() % 4 == 0 ? rng() : rng() % 17);
    }
    std::thread drain([fd = client_->socket()] {
        char buf[4096];
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }
    });
    socket_ipc::send_exact(client_->socket(), junk.data(), junk.size());
    ::shutdown(client_->socket(), SHUT_WR);
    thread_.join();
    ::shutdown(server_fd_, SHUT_RDWR);
    drain.join();
    end_session();
    EXPECT_GT(result_.requests, 100u);
}

}  // namespace
