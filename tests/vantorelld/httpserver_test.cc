// Tests of the HTTP server: binding (retries while the port is taken, a stop while it waits to
// retry), the time a slow client is given, the bound on connections, and requests that fail.
// SPDX-License-Identifier: MIT
#include "vantorelld/httpserver.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

#include "ipc/socket_ipc.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/test_http_server.h"
#include "vantorelld/test_app.h"

namespace marloven {
namespace {

class httpserver_test : public testing::Test {
  protected:
    std::string log() const { return app_.log(); }

    // A server on a free port whose requests for /fail run `raise`; other requests get a fixed
    // reply.
    std::unique_ptr<httpserver> server_with(void (*raise)()) {
        httpserver_options options;
        options.handler = [raise](http_connection& c, const headerparser& head, threadcontext&) {
            if (head.target() == "/fail") {
                raise();
            }
            c.send("HTTP/1.1 200 OK\r\n\r\nfine");
        };
        auto server = std::make_unique<httpserver>(app_->request_services(), 1, "127.0.0.1:0",
                                                   std::move(options));
        server->start();
        EXPECT_TRUE(vant_test::eventually([&] { return server->port() != 0; }));
        return server;
    }

    vant_test::test_app app_{"LOGCFG=HTTPSERVER:DEBUG\n"};
};

// A test web server holds the port that the server under test is to bind: the bind is retried
// after the delay until the port is free, and a stop ends the wait between attempts.
class bind_retry_test : public httpserver_test, public testing::WithParamInterface<int> {};

TEST_P(bind_retry_test, retries_until_the_port_is_free_or_the_server_stops) {
    const bool port_freed = GetParam() == 0;  // the delay in seconds
    auto holder = std::make_unique<vant_test::test_http_server>();
    const int port = holder->port();
    httpserver_options options;
    options.bind_attempts = 500;
    options.bind_delay = port_freed ? std::chrono::milliseconds(20) : std::chrono::minutes(10);
    httpserver server(app_->request_services(), 1, "127.0.0.1:" + std::to_string(port),
                      std::move(options));
    server.start();
    ASSERT_TRUE(vant_test::eventually([&] {
        return log().find("Address in use, will retry in " + std::to_string(GetParam()) +
                          " seconds") != std::string::npos;
    }));
    EXPECT_EQ(server.port(), 0);
    if (!port_freed) {
        server.stop();  // returns without waiting out the ten minutes
        return;
    }
    holder.reset();
    ASSERT_TRUE(vant_test::eventually([&] { return server.port() == port; }));
    std::string reply = vant_test::http_exchange(port, "GET /platform/status HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
}
INSTANTIATE_TEST_SUITE_P(delays, bind_retry_test, testing::Values(0, 600));

// The time a client is given while it sends a body or takes a reply: pauses up to the limit,
// one second more for every 500 bytes, never more than the limit in hand, and no charge for
// time the server spends elsewhere.
struct allowance_step {
    int at_ms;
    std::size_t bytes;     // bytes moved at that moment
    bool server_was_busy;  // the client is waited for only from that moment
};
struct allowance_case {
    std::vector<allowance_step> steps;
    int deadline_ms;  // after the steps; the limit is 5 s
};
class transfer_allowance_test : public testing::TestWithParam<allowance_case> {};

TEST_P(transfer_allowance_test, deadline_follows_the_bytes_moved) {
    const auto t0 = transfer_allowance::clock::time_point() + std::chrono::hours(1);
    transfer_allowance allowance(std::chrono::seconds(5), t0);
    for (const allowance_step& step : GetParam().steps) {
        auto at = t0 + std::chrono::milliseconds(step.at_ms);
        if (step.server_was_busy) {
            allowance.wait_from(at);
        } else {
            allowance.moved(step.bytes, at);
        }
    }
    EXPECT_EQ(allowance.deadline(), t0 + std::chrono::milliseconds(GetParam().deadline_ms));
}
INSTANTIATE_TEST_SUITE_P(
    cases, transfer_allowance_test,
    testing::Values(allowance_case{{}, 5000},
                    allowance_case{{{3000, 500, false}}, 6000},      // 2 s left, one earned
                    allowance_case{{{1000, 1 << 20, false}}, 6000},  // no more than the limit
                    // A trickler: one byte every 3 s runs out before its second byte.
                    allowance_case{{{3000, 1, false}}, 5002},
                    // 10 s of work between two sends costs the client nothing.
                    allowance_case{{{1000, 500, false}, {11000, 0, true}, {13000, 500, false}},
                                   17000}));

// Without HTTP_USER every client is an administrator: a server that other machines can reach
// is warned about at start-up.
struct exposure_case {
    const char* address;
    const char* http_user;
    bool warned;
};
class open_server_warning_test : public testing::TestWithParam<exposure_case> {};

TEST_P(open_server_warning_test, only_a_server_beyond_loopback_without_http_user_is_warned_about) {
    EXPECT_EQ(open_server_warning(GetParam().address, GetParam().http_user).has_value(),
              GetParam().warned);
}
INSTANTIATE_TEST_SUITE_P(cases, open_server_warning_test,
                         testing::Values(exposure_case{"127.8.9.10:2200", "", false},
                                         exposure_case{"128.0.0.1:80", "", true},
                                         exposure_case{"*:0", "admin", false}));

// A full pool of connections makes room for a newcomer by cutting off the client that has waited
// longest for its head.
TEST_F(httpserver_test, beyond_the_connection_bound_the_oldest_unfinished_head_is_cut_off) {
    httpserver_options options;
    options.max_connections = 3;
    httpserver server(app_->request_services(), 1, "127.0.0.1:0", std::move(options));
    server.start();
    ASSERT_TRUE(vant_test::eventually([&] { return server.port() != 0; }));
    std::vector<std::unique_ptr<vant_test::http_client>> slow;
    for (int i = 0; i < 3; ++i) {
        slow.push_back(std::make_unique<vant_test::http_client>(server.port()));
        slow.back()->send("GET /platform/status HTTP/1.1\r\n");
    }
    std::string reply =
        vant_test::http_exchange(server.port(), "GET /platform/status HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_EQ(slow[0]->read_all(), "HTTP/1.1 408 Request timeout\r\n\r\n");
    EXPECT_TRUE(slow[0]->closed_by_server());
    // The others keep their place: the next one to finish its head is served.
    slow[1]->send("\r\n");
    EXPECT_EQ(slow[1]->read_all().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

// Issue 15: an exception in a request ended the process without the fatal log line. A failure
// that a request may meet is answered with 500 and the thread goes on; anything else is fatal,
// with the line.
struct failure_case {
    const char* name;
    void (*raise)();
};
class request_failure_test : public httpserver_test,
                             public testing::WithParamInterface<failure_case> {};

TEST_P(request_failure_test, expected_failures_get_500_and_the_thread_goes_on) {
    auto server = server_with(GetParam().raise);
    EXPECT_TRUE(std::regex_match(
        vant_test::http_exchange(server->port(), "GET /fail HTTP/1.0\r\n\r\n"),
        std::regex("HTTP/1\\.1 500 Internal Server Error\r\nContent-Type: text/html\r\n"
                   "Date: [^\r]+ GMT\r\n\r\n")));
    EXPECT_EQ(vant_test::http_exchange(server->port(), "GET /ok HTTP/1.0\r\n\r\n"),
              "HTTP/1.1 200 OK\r\n\r\nfine");
}
INSTANTIATE_TEST_SUITE_P(
    cases, request_failure_test,
    testing::Values(failure_case{"index server exchange",
                                 [] { throw socket_ipc::error("connection closed"); }},
                    failure_case{"out of memory", [] { throw std::bad_alloc(); }}));

TEST_F(httpserver_test, an_unexpected_exception_in_a_request_is_fatal_with_its_log_line) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto server = server_with([] { throw std::logic_error("broken invariant"); });
            vant_test::http_exchange(server->port(), "GET /fail HTTP/1.0\r\n\r\n");
        },
        "assertion \\[HTTP request thread failed: broken invariant\\]");
}

}  // namespace
}  // namespace marloven
