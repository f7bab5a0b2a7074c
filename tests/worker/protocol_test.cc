// The worker messages: field order and widths on the wire, and round trips of every message.
// SPDX-License-Identifier: MIT
#include "worker/protocol.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "ipc/socket_ipc.h"
#include "worker/validators.h"

// Designated initializers name only the fields a case sets; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace marloven;

// Two connected channel ends; a writer thread avoids blocking on large messages.
struct channel_pair {
    channel_pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        daemon = std::make_unique<socket_ipc::server_helper>(fds[0]);
        worker = std::make_unique<socket_ipc::server_helper>(fds[1]);
    }
    std::unique_ptr<socket_ipc::server_helper> daemon;
    std::unique_ptr<socket_ipc::server_helper> worker;
};

filter_settings sample_filters() {
    return {{7, 3},
            {{2, 11, 5, "strip", "Strips", "stripper", "cfg"}},
            {{3, 12, 1, "a", "b", 2, "p1"}, {7, 13, 2, "c", "", 2, ""}},
            "<!--x-->",
            "<!--/x-->"};
}

TEST(protocol_test, requests_round_trip_with_every_field) {
    channel_pair p;
    process_request q{999997,      "guid1",   "http://h/a", "a=1; b=2", true,
                      "<source/>", "<auth/>", "",           true,       sample_filters()};
    send_request(*p.daemon, q);
    reprocess_request r{
        5,           "g",    "http://h/",     "HTTP/1.1 200 OK\r\n\r\n", std::string("a\0b", 3),
        "text/html", "side", sample_filters()};
    send_request(*p.daemon, r);
    EXPECT_EQ(receive_request_id(*p.worker), request_t::PROCESS);
    EXPECT_EQ(receive_process_request(*p.worker), q);
    EXPECT_EQ(receive_request_id(*p.worker), request_t::REPROCESS);
    EXPECT_EQ(receive_reprocess_request(*p.worker), r);
}

// A reprocess reply carries only the first eleven fields: what follows it must still be unread.
TEST(protocol_test, replies_round_trip_including_zero_outlinks) {
    channel_pair p;
    process_reply none{.result = {crawl_error::redirect, "moved", "text/html", "utf-8", 1700000000,
                                  "http://h/b", "sm", 0xdeadbeef, 0x12345678},
                       .fff = std::string("\x80\x01", 2),
                       .score = 1000000,
                       .headers = "HTTP/1.1 301 Moved\r\n\r\n",
                       .content = "body"};
    process_reply three = none;
    three.outlinks = {{"http://h/0", 0}, {"http://h/1", 1}, {"http://h/2", 2}};
    reprocess_reply again{{crawl_error::none, "", "text/plain", "utf-8", 0, "", "", 1, 2}, "", 7};
    std::thread writer([&] {
        send_reply(*p.worker, none);
        send_reply(*p.worker, three);
        send_reply(*p.worker, again);
        p.worker->put_int16(0x7777);
    });
    for (const process_reply* r : {&none, &three}) {
        EXPECT_EQ(receive_reply_id(*p.daemon), reply_t::PROCESSED);
        EXPECT_EQ(receive_process_reply(*p.daemon), *r);
    }
    EXPECT_EQ(receive_reply_id(*p.daemon), reply_t::REPROCESSED);
    EXPECT_EQ(receive_reprocess_reply(*p.daemon), again);
    EXPECT_EQ(p.daemon->get_int16(), 0x7777);
    writer.join();
}

// The validators travel in `extra`, whose length both ends bound: an over-long field is refused
// before it is written, and a peer that announces one loses the conversation before its bytes
// are read.
TEST(protocol_test, extra_field_longer_than_the_limit_ends_the_exchange) {
    channel_pair p;
    process_request q;
    q.extra.assign(max_extra_length + 1, 'x');
    EXPECT_THROW(send_request(*p.daemon, q), socket_ipc::error);
    q.extra.resize(max_extra_length);
    send_request(*p.daemon, q);
    EXPECT_EQ(receive_request_id(*p.worker), request_t::PROCESS);
    EXPECT_EQ(receive_process_request(*p.worker).extra.size(), max_extra_length);

    // A hostile sender: the same request with the length announced one byte longer.
    p.daemon->put_int16(static_cast<std::int16_t>(request_t::PROCESS));
    *p.daemon << std::int32_t{0} << ""
              << "u"
              << "" << std::uint8_t{0} << ""
              << "";
    p.daemon->put_int32(static_cast<std::int32_t>(max_extra_length + 1));
    EXPECT_EQ(receive_request_id(*p.worker), request_t::PROCESS);
    EXPECT_THROW(receive_process_request(*p.worker), socket_ipc::error);
}

}  // namespace
