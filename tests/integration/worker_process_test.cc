// The real worker program, started through worker_process, against the scripted web server:
// pages, statuses, charsets, limits, log-ins, REPROCESS and garbage requests.
// SPDX-License-Identifier: MIT
#include "worker/worker_process.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "parse/fff_dump.h"
#include "records/records.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "util/config_file.h"
#include "worker/FFF/FFF-serialize.h"

namespace {

using namespace marloven;
using vant_test::http_response;
using vant_test::http_route;

class worker_process_test : public testing::Test {
  protected:
    void start(const std::string& extra_config = "") {
        conf_ = dir_.write("vantorell.conf", "DEPLOYDIR=" VANT_DEPLOY_DIR
                                             "\nFETCH_TIMEOUT=2\nFETCH_CONNECT_TIMEOUT=2\n"
                                             "MAXDOCSIZE=100000\nUserAgent=vant-test/2\n" +
                                                 extra_config);
        config_ = std::make_unique<config_file>(conf_);
        worker_ = std::make_unique<worker_process>(*config_);
        std::string err;
        ASSERT_TRUE(worker_->start(err, {{"MARLOVEN_CONFIG_FILE", conf_}})) << err;
    }
    void TearDown() override {
        if (worker_) {
            worker_->quit();  // the destructor then waits for the exit
        }
    }

    process_request request(const std::string& path, const SourceConfiguration& source = {}) {
        process_request q;
        q.depth_credit = depth_credit(0);
        q.guid = "0123456789abcdef0123456789abcdef";
        q.url = server_.url(path);
        EXPECT_TRUE(write_source_xml(source, q.source_xml));
        return q;
    }
    static std::string text_of(const std::string& fff) {
        auto r = FFF::FromBinary(fff);
        auto* doc = dynamic_cast<FFF::DocumentData*>(r.root.get());
        return doc != nullptr ? vant_test::dump_fff(*doc) : "<no document>";
    }

    vant_test::temp_dir dir_;
    vant_test::test_http_server server_;
    std::string conf_;
    std::unique_ptr<config_file> config_;
    std::unique_ptr<worker_process> worker_;
};

// An ISO-8859-1 page with every kind of content the parser sorts.
const std::string rich_page =
    "<!DOCTYPE html><html><head><title>Caf\xE9 guide</title>"
    "<meta name=keywords content='coffee, beans'><meta name=description content='All about it'>"
    "<meta name=author content='Ann Example'></head><body>"
    "<nav><a href='/'>Home</a></nav>"
    "<h1>Brewing</h1><p>Use <em>fresh</em> beans. See <a href='more.html#x'>more</a>.</p>"
    "<p>Keep<!--skip--> secret <a href='/hidden'>hidden link</a><!--/skip--> this.</p>"
    "<footer>Updated today</footer></body></html>";

TEST_F(worker_process_test, rich_page_is_fetched_and_parsed_into_fff) {
    start();
    server_.route("/guide/index.html",
                  http_response{200,
                                {{"Content-Type", "text/html; charset=ISO-8859-1"},
                                 {"Last-Modified", "Sun, 06 Nov 1994 08:49:37 GMT"}},
                                rich_page});
    SourceConfiguration source;
    source.text_exclusion_begin = "<!--skip-->";
    source.text_exclusion_end = "<!--/skip-->";
    process_request q = request("/guide/index.html", source);
    q.depth_credit = depth_credit(1);
    q.filters.marker_begin = source.text_exclusion_begin;
    q.filters.marker_end = source.text_exclusion_end;
    q.cookies = "a=1; b=2";
    process_reply r = worker_->process(q);

    EXPECT_EQ(r.result.status, crawl_error::none) << r.result.status_text;
    EXPECT_EQ(r.result.mime, "text/html");
    EXPECT_EQ(r.result.charset, "iso-8859-1");
    EXPECT_EQ(r.result.datetime, 784111777);
    EXPECT_EQ(r.content, rich_page) << "the raw body, not the converted text";
    EXPECT_EQ(r.headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(
        text_of(r.fff),
        "15[Caf\xC3\xA9 guide] | 2[coffee , beans] | 3[All about it] | 1[Ann Example] | "
        "7#0[Home] | 14[Brewing] | 10[Use] 11[fresh] 10[beans .] / 10[See] 12#1[more] 10[.] | "
        "10[Keep this .] | 5[Updated today]");
    EXPECT_EQ(r.score, 666666u);
    std::vector<outlink> expected = {{server_.url("/"), 333333},
                                     {server_.url("/guide/more.html"), 666666},
                                     {server_.url("/hidden"), 666666}};
    EXPECT_EQ(r.outlinks, expected);
    EXPECT_EQ(r.result.fffcrc, crc32(0, reinterpret_cast<const Bytef*>(r.fff.data()),
                                     static_cast<uInt>(r.fff.size())));
    auto sent = server_.requests().at(0);
    EXPECT_EQ(sent.header("cookie"), "a=1; b=2");
    EXPECT_EQ(sent.header("user-agent"), "vant-test/2");

    // An unchanged page gives the same document and checksums on the next fetch.
    process_reply again = worker_->process(q);
    EXPECT_EQ(again.fff, r.fff);
    EXPECT_EQ(again.result.fffcrc, r.result.fffcrc);
    EXPECT_EQ(again.result.corecrc, r.result.corecrc);

    // REPROCESS reads the stored head and body again, without asking the server.
    size_t asked = server_.requests().size();
    reprocess_request rq{q.depth_credit, q.guid, q.url,       r.headers,
                         r.content,      "",     "side-meta", q.filters};
    reprocess_reply rr = worker_->reprocess(rq);
    EXPECT_EQ(server_.requests().size(), asked);
    EXPECT_EQ(rr.result.status, crawl_error::none);
    EXPECT_EQ(rr.fff, r.fff);
    EXPECT_EQ(rr.result.fffcrc, r.result.fffcrc);
    EXPECT_EQ(rr.result.corecrc, r.result.corecrc);
    EXPECT_EQ(rr.result.charset, "iso-8859-1");
    EXPECT_EQ(rr.result.side_metadata, "side-meta");
    EXPECT_EQ(rr.score, r.score);
}

// The mapping of each HTTP status is in the worker program's unit tests; here what only the whole
// program shows: redirects reported and not followed, error pages raw, documents without text.
TEST_F(worker_process_test, http_failures_map_onto_crawl_errors) {
    start();
    server_.route("/missing", 404, "text/html", "<p>no such page</p>");
    server_.route("/old", http_response{301, {{"Location", "../new/place?q=1"}}, ""});
    server_.route("/image.png", 200, "image/png", std::string("\x89PNG\r\n\x1a\n\0\0", 10));
    server_.route("/noindex", 200, "text/html",
                  "<meta name=robots content=noindex><p>x</p><a href=/next>n</a>");
    process_reply r = worker_->process(request("/old"));
    EXPECT_EQ(r.result.status, crawl_error::redirect);
    EXPECT_EQ(r.result.redirect, server_.url("/new/place?q=1"));
    EXPECT_EQ(server_.count("/new/place"), 0u) << "redirects are not followed";
    r = worker_->process(request("/missing"));
    EXPECT_EQ(r.result.status, crawl_error::notfound);
    EXPECT_EQ(r.content, "<p>no such page</p>") << "the body of an error page comes back raw";
    EXPECT_TRUE(r.fff.empty());
    EXPECT_EQ(worker_->process(request("/image.png")).result.status, crawl_error::unparsable);
    r = worker_->process(request("/noindex"));
    EXPECT_EQ(r.result.status, crawl_error::index);
    ASSERT_EQ(r.outlinks.size(), 1u) << "a noindex page still gives its links";
    EXPECT_EQ(r.outlinks[0].url, server_.url("/next"));
}

TEST_F(worker_process_test, slow_and_oversized_responses_are_bounded) {
    start();
    http_response slow{200, {{"Content-Type", "text/plain"}}, "late"};
    slow.delay = std::chrono::milliseconds(6000);
    server_.route("/slow", slow);
    process_reply r = worker_->process(request("/slow"));
    EXPECT_EQ(r.result.status, crawl_error::network);
    EXPECT_NE(r.result.status_text.find("imed out"), std::string::npos) << r.result.status_text;

    std::string big;
    while (big.size() < 150000) {
        big += "word ";
    }
    server_.route("/big", 200, "text/plain", big);
    r = worker_->process(request("/big"));
    EXPECT_EQ(r.result.status, crawl_error::none);
    EXPECT_EQ(r.content.size(), 100000u);
    EXPECT_NE(r.result.status_text.find("Body cut at 100000 bytes"), std::string::npos);
    EXPECT_FALSE(r.fff.empty());
}

TEST_F(worker_process_test, basic_credentials_come_from_the_auth_record) {
    start();
    server_.route("/members", http_route(http_response{200, {{"Content-Type", "text/plain"}}, "ok"},
                                         std::pair{"jo", "s3cret"}));
    SourceConfiguration source;
    source.auth = auth_type::basic;
    process_request q = request("/members", source);
    q.auth_xml = "<auth username=\"jo\" password=\"s3cret\"/>";
    EXPECT_EQ(worker_->process(q).result.status, crawl_error::none);
    q.auth_xml = "<auth username=\"jo\" password=\"wrong\"/>";
    EXPECT_EQ(worker_->process(q).result.status, crawl_error::authreq);
}

TEST_F(worker_process_test, cookie_log_in_sends_the_form_and_returns_the_cookies) {
    start();
    server_.route(
        "/start",
        http_response{
            200, {{"Set-Cookie", "pre=1; Path=/"}, {"Set-Cookie", "lang=de; Path=/"}}, "form"});
    server_.route("/login", [](const vant_test::http_request& req) {
        bool ok = req.method == "POST" && req.body == "user=jo&pw=s%26cret&lang=en&domain=corp" &&
                  req.header("cookie").find("pre=1") != std::string::npos;
        return ok ? http_response{302,
                                  {{"Location", "/members"},
                                   {"Set-Cookie", "session=abc; HttpOnly"},
                                   {"Set-Cookie", "lang=en"}}}
                  : http_response{403, {}, "bad log-in: " + req.body};
    });
    server_.route("/members",
                  http_route(http_response{200, {{"Content-Type", "text/plain"}}, "members only"},
                             std::nullopt, "session=abc"));
    SourceConfiguration source;
    source.auth = auth_type::cookie;
    source.cookie.url = server_.url("/login");
    source.cookie.action = cookie_action::post;
    source.cookie.params = {{"user", "", cookie_param_type::username},
                            {"pw", "", cookie_param_type::password},
                            {"lang", "en", cookie_param_type::other}};
    source.cookie.pre_urls = {server_.url("/start")};

    process_request login;
    login.depth_credit = depth_credit(0);
    login.url = source.cookie.url;
    login.login = true;
    ASSERT_TRUE(write_source_xml(source, login.source_xml));
    login.auth_xml =
        "<auth username=\"jo\" password=\"s&amp;cret\"><param name=\"domain\" "
        "value=\"corp\"/></auth>";
    process_reply r = worker_->process(login);
    EXPECT_EQ(r.result.status, crawl_error::none) << r.result.status_text << r.content;

    // What the crawl thread does with the head: every Set-Cookie value up to its first ";".
    std::string cookies;
    size_t pos = 0;
    while ((pos = r.headers.find("Set-Cookie: ", pos)) != std::string::npos) {
        pos += 12;
        std::string value = r.headers.substr(pos, r.headers.find_first_of(";\r", pos) - pos);
        cookies += (cookies.empty() ? "" : "; ") + value;
    }
    EXPECT_EQ(cookies, "session=abc; lang=en; pre=1") << "each cookie once, the newest value";

    process_request member = request("/members", source);
    member.cookies = cookies;
    EXPECT_EQ(worker_->process(member).result.status, crawl_error::none);
    member.cookies.clear();
    EXPECT_EQ(worker_->process(member).result.status, crawl_error::authreq);
}

TEST_F(worker_process_test, garbage_in_the_request_fields_gets_an_answer) {
    start();
    server_.route("/p", 200, "text/html", "<p>fine</p>");
    process_request q = request("/p");
    q.source_xml = "<source><unclosed";
    q.auth_xml = std::string("\0\xFF", 2);
    q.login = false;
    EXPECT_EQ(worker_->process(q).result.status, crawl_error::none);
    q.login = true;
    EXPECT_EQ(worker_->process(q).result.status, crawl_error::unknown);
    reprocess_request rq;
    rq.url = "not a url at all";
    rq.headers = "garbage\r\n\r\n";
    rq.content = std::string(3000, '\0');
    EXPECT_EQ(worker_->reprocess(rq).result.status, crawl_error::unparsable);
}

}  // namespace
