// The worker's HTTP client against the scripted loopback server. A body cut at the size limit:
// integration/worker_process_test.
// SPDX-License-Identifier: MIT
#include "fetch/http_fetcher.h"

#include <gtest/gtest.h>

#include "support/test_http_server.h"

// Designated initializers name only the fields a case sets; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace marloven;
using vant_test::http_response;
using vant_test::http_route;

class http_fetcher_test : public testing::Test {
  protected:
    static fetch_settings quick() {
        return {.connect_timeout_seconds = 5, .timeout_seconds = 1, .max_size = 1000};
    }
    vant_test::test_http_server server_;
    http_fetcher fetcher_{quick()};
};

TEST_F(http_fetcher_test, response_head_is_kept_raw_and_compressed_bodies_arrive_decoded) {
    const std::string text(600, 'z');
    http_response gz{200, {{"Content-Type", "text/plain"}}, text};
    gz.gzip = true;
    server_.route("/gz", gz);
    fetch_response r = fetcher_.fetch({server_.url("/gz"), "", std::nullopt, std::nullopt});
    EXPECT_EQ(r.body, text);
    EXPECT_NE(r.headers.find("\r\nContent-Encoding: gzip\r\n"), std::string::npos) << r.headers;
    EXPECT_TRUE(r.headers.ends_with("\r\n\r\n"));
    EXPECT_NE(server_.requests().at(0).header("accept-encoding").find("gzip"), std::string::npos);
}

TEST_F(http_fetcher_test, failures_before_any_response_are_classified) {
    std::string closed;
    {
        vant_test::test_http_server gone;  // stopped: nothing accepts at its port
        closed = gone.url("/");
    }
    struct failure_case {
        std::string url;
        transfer_failure expected;
    } cases[] = {
        {closed, transfer_failure::connect},
        {"file:///etc/passwd", transfer_failure::bad_url},
        // A label longer than 63 bytes cannot be put in a DNS query, so the lookup fails on
        // this machine without asking any name server.
        {"http://" + std::string(64, 'a') + ".invalid/", transfer_failure::resolve},
    };
    for (const auto& c : cases) {
        fetch_response r = fetcher_.fetch({c.url, "", std::nullopt, std::nullopt});
        EXPECT_EQ(r.failure, c.expected) << c.url << ": " << r.failure_text;
        EXPECT_FALSE(r.failure_text.empty());
        EXPECT_TRUE(r.body.empty());
    }
}

TEST_F(http_fetcher_test, cookies_credentials_and_form_bodies_are_sent) {
    http_route guarded(http_response{200, {}, "secret"}, std::pair{"jo", "pw"}, "sid=42");
    server_.route("/private", guarded);
    fetch_response r =
        fetcher_.fetch({server_.url("/private"), "sid=42; x=1", std::pair{"jo", "pw"}, "a=1&b=2"});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "secret");
    auto req = server_.requests().at(0);
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(req.body, "a=1&b=2");
    EXPECT_EQ(req.header("cookie"), "sid=42; x=1");
}

// A session sends back the cookies it was given (integration/crawl_test logs in through one);
// the fetcher's own handle keeps none between requests, so no site gets another's cookies.
TEST_F(http_fetcher_test, the_shared_handle_keeps_no_cookies_between_requests) {
    server_.route("/start", http_response{200, {{"Set-Cookie", "pre=1; Path=/"}}, "form"});
    server_.route("/check", http_route(http_response{200, {}, "in"}, std::nullopt, "pre=1"));
    fetcher_.fetch({server_.url("/start"), "", {}, {}});
    EXPECT_EQ(fetcher_.fetch({server_.url("/check"), "", {}, {}}).status, 403);
}

TEST(form_encode_test, reserved_and_non_ascii_bytes_are_escaped) {
    EXPECT_EQ(form_encode("a b&c=d/é~_.-"), "a%20b%26c%3Dd%2F%C3%A9~_.-");
}

}  // namespace
