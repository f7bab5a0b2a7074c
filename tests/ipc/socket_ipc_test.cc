// The channel to a child program, with a scripted fake child. A kill that wakes a receiver blocked
// on a hung child: vantorelld/processthr_test (hung_worker_test).
// SPDX-License-Identifier: MIT
#include "ipc/socket_ipc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <map>
#include <memory>

#include "support/temp_dir.h"
#include "util/config_file.h"

namespace {

class socket_ipc_test : public testing::Test {
  protected:
    socket_ipc_test() : config_(dir_.write("v.conf", "DEPLOYDIR=" VANT_TEST_DEPLOY_DIR "\n")) {}
    void mode(const std::string& m) { ::setenv("VANT_FAKE_MODE", m.c_str(), 1); }
    ~socket_ipc_test() override { ::unsetenv("VANT_FAKE_MODE"); }
    // The fake child, started in mode `m` (with `env` added to its environment).
    std::unique_ptr<socket_ipc::server_proxy> started(
        const std::string& m, const std::map<std::string, std::string>& env = {}) {
        mode(m);
        auto proxy = std::make_unique<socket_ipc::server_proxy>(config_, "fake_child");
        std::string err;
        EXPECT_TRUE(proxy->start(err, env)) << err;
        return proxy;
    }
    vant_test::temp_dir dir_;
    marloven::config_file config_;
};

TEST_F(socket_ipc_test, strings_around_the_stack_buffer_size_travel_intact) {
    auto proxy = started("echo");
    for (size_t n : {0u, 1u, 4095u, 4096u, 4097u, 3000000u}) {
        std::string s(n, 'x');
        for (size_t i = 0; i < n; ++i) {
            s[i] = static_cast<char>(i * 7);
        }
        proxy->put_string(s);
        EXPECT_EQ(proxy->get_string(), s) << n;
    }
    // Closing the connection ends the echo loop; the destructor then reaps the child.
}

// A batch gathers a message; one ended without send() (building it failed) must leave nothing on
// the wire, and a long string in a batch, which goes out on its own, must keep its place. The
// byte layout of numbers and strings is worker/protocol_test's.
TEST_F(socket_ipc_test, message_batches_send_in_order_or_not_at_all) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    socket_ipc::server_helper a(fds[0]);
    socket_ipc::server_helper b(fds[1]);
    {
        socket_ipc::server_helper::message_batch dropped(a);
        a << std::int32_t{99} << std::string_view("lost");
    }
    const std::string long_text(70000,
                                'L');  // longer than a batch copies, within the socket buffer
    {
        socket_ipc::server_helper::message_batch batch(a);
        a << std::int16_t{1} << std::string_view(long_text) << std::string_view("after");
        batch.send();
    }
    a << std::int32_t{7};
    EXPECT_EQ(b.get_int16(), 1);
    EXPECT_EQ(b.get_string(), long_text);
    EXPECT_EQ(b.get_string(), "after");
    EXPECT_EQ(b.get_int32(), 7) << "puts outside a batch go out at once";
    a.put_int32(-5);
    a << std::string_view("next");
    EXPECT_EQ(b.get_string(), "") << "a negative length reads as the empty string";
    EXPECT_EQ(b.get_string(), "next");
}

TEST_F(socket_ipc_test, peer_closing_inside_a_string_raises_safe_recv_error) {
    auto proxy = started("half_string");
    EXPECT_THROW(proxy->get_string(), socket_ipc::error);
}

TEST_F(socket_ipc_test, a_child_that_cannot_start_or_exits_before_connecting_fails_start) {
    mode("exit_early");
    std::string exited, missing;
    EXPECT_FALSE(socket_ipc::server_proxy(config_, "fake_child").start(exited));
    EXPECT_NE(exited.find("ended before connecting (exit status 3)"), std::string::npos) << exited;
    EXPECT_FALSE(socket_ipc::server_proxy(config_, "no-such-program").start(missing));
    EXPECT_EQ(missing, "Could not spawn " VANT_TEST_DEPLOY_DIR
                       "/bin/no-such-program: No such file or directory");
}

// Issue 14: the port is visible to every local user, and the daemon used to talk to whoever
// connected first (crawl passwords went to that connection).
class socket_ipc_stranger_test : public socket_ipc_test,
                                 public testing::WithParamInterface<const char*> {};

TEST_P(socket_ipc_stranger_test, stranger_connecting_first_is_dropped_and_the_child_gets_through) {
    auto proxy = started(std::string("intruder ") + GetParam());
    EXPECT_EQ(proxy->get_string(), "dropped");
    proxy->put_string("after");
    EXPECT_EQ(proxy->get_string(), "after");
}

INSTANTIATE_TEST_SUITE_P(strangers, socket_ipc_stranger_test,
                         testing::Values("silent", "wrong", "short"));

// The channel token is removed from the child's environment; extra variables reach it.
TEST_F(socket_ipc_test, child_environment_has_the_extra_variables_but_not_the_token) {
    for (auto [name, value] :
         {std::pair{"VANT_CHANNEL_TOKEN", "<unset>"}, std::pair{"LUCENE_MERGEFACTOR", "17"}}) {
        EXPECT_EQ(started(std::string("env ") + name, {{"LUCENE_MERGEFACTOR", "17"}})->get_string(),
                  value);
    }
}

}  // namespace
