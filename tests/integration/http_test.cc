// The daemon's HTTP server over real sockets: the WSDL's address, clients that are too slow or keep
// their connection open, an address that cannot be bound, and stopping with clients connected.
// (Accounts, body sizes and refusals are the request table of the REST unit tests.)
// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>
#include <sys/socket.h>

#include <cstring>

#include "daemon_fixture.h"

namespace vant_test {
namespace {

class http_test : public daemon_fixture {
  protected:
    static bool ok(const std::string& reply) { return reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0; }
};

// The installed WSDL with the address the client used: the SOAP client suites follow the address
// of a Host header with a port; without one, the port listened on.
TEST_F(http_test, wsdl_names_the_soap_address_the_client_used) {
    start_daemon();
    std::string reply = http_exchange(port_, "GET /wsdl HTTP/1.1\r\nHost: here\r\n\r\n");
    EXPECT_THAT(reply, testing::HasSubstr("<soap:address location=\"http://here:" +
                                          std::to_string(port_) + "/soap\"/>"));
}

// (That slow heads hold no request thread, and keep their place, is the server's unit test.)
TEST_F(http_test, a_slow_client_is_cut_off) {
    start_daemon("HTTP_TIMEOUT=1\n");
    // A client that never finishes its head gets the time-out reply.
    http_client slow(port_);
    slow.send("GET /platform/status HTTP/1.1\r\nHost: x\r\n");
    EXPECT_EQ(slow.read_all(), "HTTP/1.1 408 Request timeout\r\n\r\n");
    EXPECT_TRUE(slow.closed_by_server());
    EXPECT_TRUE(ok(get("/platform/status")));
    EXPECT_THAT(log(), testing::HasSubstr("Client cut off: no request head within the time-out"));
}

TEST_F(http_test, an_address_that_cannot_be_bound_stops_the_daemon) {
    std::string conf = write_config("HTTP_PORT=300.1.1.1:80\nLOGCFG=HTTPSERVER:DEBUG\n");
    auto r = run_daemon(conf, {});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_THAT(r.err, testing::HasSubstr("src\\vantorelld\\httpserver("));
    EXPECT_THAT(r.err, testing::HasSubstr("): assertion [binderr == 0] failed."));
    EXPECT_THAT(log(), testing::HasSubstr("binderr==1: bad listen address '300.1.1.1:80'"));
}

// Issue 14: clients that trickled their heads or bodies held the request threads, so that nobody
// else was served until they timed out (heads: the server's unit test). Issue 15: after every
// reply the request thread waited up to 500 ms for the client to close before it took the next
// request; the listener waits now, and the thread goes on at once.
TEST_F(http_test, clients_that_trickle_bodies_or_keep_connections_open_hold_no_request_thread) {
    start_daemon("HTTP_THREADS=1\nHTTP_TIMEOUT=600\n");
    http_client upload(port_);
    upload.send("POST /index/1/doc?url=http://x/ HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123");
    http_client open(port_);
    open.send("GET /platform/status HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(ok(open.read_all()));  // and the server has ended its side; this client has not
    EXPECT_TRUE(ok(get("/platform/status")));
    // The server still reads from the open client: it takes more bytes without a reset.
    EXPECT_TRUE(open.send("x"));
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(open.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
    EXPECT_EQ(error, 0) << std::strerror(error);
}

TEST_F(http_test, stop_cuts_off_clients_in_the_listener_and_in_request_threads) {
    start_daemon();
    http_client head(port_);
    head.send("GET /platform/status HTTP/1.1\r\n");
    http_client body(port_);
    body.send(
        "POST /index/1/doc?url=http://x/ HTTP/1.1\r\nContent-Length: 10\r\n"
        "Expect: 100-continue\r\n\r\n");
    // A request thread now waits for the body.
    EXPECT_EQ(body.read_at_least(25), "HTTP/1.1 100 continue\r\n\r\n");
    stop_daemon();  // exits 0 after the grace period
    EXPECT_TRUE(head.closed_by_server());
    EXPECT_TRUE(body.closed_by_server());
}

}  // namespace
}  // namespace vant_test
