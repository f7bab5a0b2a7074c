// Tests of the HTTP front end's text rules (listen addresses, REST route patterns and search
// parameters), and of uploads through the daemon's HTTP server on a disk short of space.
// SPDX-License-Identifier: MIT
#include "vantorelld/rest.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "api/api-common.h"
#include "support/full_disk.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/test_database.h"
#include "vantorelld/httpserver.h"
#include "vantorelld/test_app.h"

namespace marloven {
namespace {

// Each case: the text and what it gives as "address:port"; "" when refused.
struct address_case {
    std::string_view text;
    std::string_view parsed;
};

class listen_address_test : public testing::TestWithParam<address_case> {};

TEST_P(listen_address_test, parses) {
    std::string parsed;
    if (auto a = parse_listen_address(GetParam().text)) {
        char dotted[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &a->address, dotted, sizeof dotted);
        parsed = std::string(dotted) + ":" + std::to_string(a->port);
    }
    EXPECT_EQ(parsed, GetParam().parsed) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    cases, listen_address_test,
    testing::Values(address_case{"", "0.0.0.0:2200"}, address_case{"8080", "0.0.0.0:8080"},
                    address_case{"127.0.0.1", "127.0.0.1:2200"},
                    address_case{"10.1.2.3:0", "10.1.2.3:0"},
                    address_case{"*:65535", "0.0.0.0:65535"}, address_case{"1.2.3", ""},
                    address_case{"300.1.1.1:80", ""}, address_case{"*:65536", ""}));

// Each case: the pattern, the path, and what a match gives: the first parameter's number and
// numbers and the last one's text; "no" when the path does not match.
struct route_case {
    std::string_view pattern;
    std::string_view path;
    std::string_view matched;
};

class match_route_test : public testing::TestWithParam<route_case> {};

TEST_P(match_route_test, matches) {
    const route_case& c = GetParam();
    std::vector<route_param> params;
    std::string matched = "no";
    if (match_route(c.pattern, c.path, params)) {
        matched = std::to_string(params.at(0).number) + " " +
                  testing::PrintToString(params[0].numbers) + " " + params.back().text;
    }
    EXPECT_EQ(matched, c.matched) << c.pattern << " " << c.path;
}

INSTANTIATE_TEST_SUITE_P(cases, match_route_test,
                         testing::Values(route_case{"/index/%/doc", "/index/12/doc", "12 {} "},
                                         route_case{"/index/%/doc", "/index/0/doc", "no"},
                                         route_case{"/index/%/doc", "/index/1x/doc", "no"},
                                         route_case{"/index/%/doc", "/index/99999999999/doc", "no"},
                                         route_case{"/index/%/doc", "/index/1/doc/", "no"},
                                         route_case{"/index/%/doc/$", "/index/3/doc/abc/def",
                                                    "3 {} abc/def"},
                                         route_case{"/index/@", "/index/3,1,3", "0 { 1, 3 } "},
                                         route_case{"/index/@", "/index/1,,2", "no"},
                                         route_case{"/platform/status", "/Platform/status", "no"}));

TEST(search_parameters, read_every_setting) {
    query_request q;
    std::string error;
    ASSERT_TRUE(parse_search_parameters(
        parse_query_string("q=net+words&rpn=WORD:x&mintime=10&maxtime=20&minscore=5&start=20&"
                           "num=5&info=context&view=corechanged&sort=older&w15=900&w0=-5&enc=x"),
        q, error))
        << error;
    EXPECT_EQ(std::tie(q.parser, q.text, q.min_time, q.max_time, q.min_score, q.first, q.last,
                       q.info, q.view, q.sort),
              std::make_tuple(query_parser::rpn, "WORD:x", 10u, 20u, 5u, 20, 25,
                              query_info::INFO_CONTEXT, 1, query_sort::SORT_TIME_OLDER))
        << "rpn comes after q";
    ASSERT_EQ(q.weights.size(), 2u);
    EXPECT_EQ(
        std::tie(q.weights[0].slice, q.weights[0].weight, q.weights[1].slice, q.weights[1].weight),
        std::make_tuple(0, -5, 15, 900));

    query_request defaults;
    ASSERT_TRUE(parse_search_parameters(parse_query_string("start=20"), defaults, error));
    EXPECT_EQ(std::tie(defaults.first, defaults.last, defaults.parser),
              std::make_tuple(20, 29, query_parser::none));
    ASSERT_TRUE(parse_search_parameters(parse_query_string("alg=a&q=b"), defaults, error));
    EXPECT_EQ(defaults.parser, query_parser::alg) << "alg is read last";
    ASSERT_TRUE(parse_search_parameters(parse_query_string("start=10000&num=999"), q, error));
    EXPECT_EQ(q.last - q.first + 1, idxstorage::max_hits_per_query) << "the caps themselves pass";
}

// Each refusal names the parameter at fault; when several are wrong, the last one checked.
struct refusal_case {
    std::string_view query;
    std::string_view reason;
};
class search_refusal_test : public testing::TestWithParam<refusal_case> {};

TEST_P(search_refusal_test, names_the_parameter) {
    query_request q;
    std::string error;
    EXPECT_FALSE(parse_search_parameters(parse_query_string(GetParam().query), q, error));
    EXPECT_EQ(error, GetParam().reason) << GetParam().query;
}

constexpr std::string_view bad_start = "'start' parameter incorrectly specified";
constexpr std::string_view bad_num = "'num' parameter incorrectly specified";
INSTANTIATE_TEST_SUITE_P(
    cases, search_refusal_test,
    testing::Values(refusal_case{"mintime=4294967296", "'mintime' parameter incorrectly specified"},
                    refusal_case{"maxtime=12x", "'maxtime' parameter incorrectly specified"},
                    refusal_case{"minscore=-1", "'minscore' parameter incorrectly specified"},
                    refusal_case{"num= 1", bad_num},
                    refusal_case{"num=2147483647&start=1", bad_num},
                    // Beyond the result caps (issue 14: num=2000000 held the index for minutes).
                    refusal_case{"start=10001", bad_start}, refusal_case{"num=1000", bad_num},
                    refusal_case{"info=all", "'info' parameter incorrectly specified"},
                    refusal_case{"view=latest", "'published' parameter incorrectly specified"},
                    refusal_case{"w3=heavy", "Invalid slice weight"},
                    refusal_case{"wx=5", "Invalid slice weight"},
                    refusal_case{"sort=date&mintime=x", "'sort' parameter incorrectly specified"}));

// Issue 14: an upload below MINFREEDISK was stored, and a full disk during one ended the daemon.
// (An upload that is stored goes the whole way in the integration tests.)
struct upload_case {
    const char* config;  // extra configuration lines
    bool disk_full;
    bool relative_datadir;  // DATADIR given relative to the working directory
};

class upload_test : public testing::TestWithParam<upload_case> {
  protected:
    upload_test() {
        sqlite_connection db = open_database(app_->config(), "vantorell.db");
        transaction t(db);
        app_->storage().archives.add(db, ArchiveConfiguration{});
        t.commit();
    }
    int stored() {
        sqlite_connection db = open_database(app_->config(), "vantorell.db");
        return std::stoi(vant_test::query(db, "select count(*) from docstorage").at(0));
    }

    vant_test::full_disk disk_;  // every connection of the daemon goes through it
    vant_test::test_app app_{std::string("LOGCFG=HTTPSERVER:INFO\n") + GetParam().config,
                             GetParam().relative_datadir};
};

TEST_P(upload_test, short_disk_refuses_the_upload_and_stores_nothing) {
    httpserver server(app_->request_services(), 1, "127.0.0.1:0");
    server.start();
    ASSERT_TRUE(vant_test::eventually([&] { return server.port() != 0; }));
    disk_.set_full(GetParam().disk_full);
    std::string reply = vant_test::http_exchange(
        server.port(),
        "POST /index/1/doc?url=http://x/a HTTP/1.1\r\nContent-Type: text/plain\r\n"
        "Content-Length: 4\r\n\r\ntext");
    disk_.set_full(false);
    EXPECT_EQ(reply.rfind("HTTP/1.1 400 Document storage limit reached\r\n", 0), 0u) << reply;
    EXPECT_EQ(stored(), 0);
    // Crawling pauses too, and the status says why.
    EXPECT_THAT(vant_test::http_exchange(server.port(), "GET /platform/status HTTP/1.0\r\n\r\n"),
                testing::HasSubstr("<status>Low disk space</status>"));
    server.stop();
}

INSTANTIATE_TEST_SUITE_P(disks, upload_test,
                         testing::Values(upload_case{"", true, false},
                                         // Issue 15: with a relative DATADIR the free space could
                                         // not be read, and the limit was not enforced.
                                         upload_case{"MINFREEDISK=1000000000\n", false, true}));

// Requests as clients send them, through the daemon's HTTP server, and how each reply starts: the
// two kinds of account, the body-size checks, the exact SOAP targets, the REST refusals, and the
// portal's fixed pages, redirects and plain files.
struct exchange_case {
    const char* rule;
    std::string request;
    std::string reply;  // a pattern for the start of the reply
};

std::string request(const std::string& line, const std::string& headers = "",
                    const std::string& body = "") {
    return line + " HTTP/1.1\r\n" + headers + "\r\n" + body;
}
std::string basic(const std::string& credentials) {
    return "Authorization: Basic " + encode_base64(credentials) + "\r\n";
}
const std::string boss = basic("boss:pw");
const std::string unauthorized =
    "HTTP/1.1 401 Authorization required\r\nWWW-Authenticate: Basic realm=\"vantorell\"\r\n\r\n";
// The head of every portal page: status, type, date and the lines that keep it from caches.
std::string page_head(const std::string& status, const std::string& type) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
           "\r\nDate: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} GMT\r\n"
           "Last-Modified: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} GMT\r\n"
           "Cache-Control: no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
           "Expires: Mon, 26 Jul 1997 05:00:00 GMT\r\nPragma: no-cache\r\n";
}
const std::string html = "text/html; charset=UTF-8";
std::string moved(const std::string& url) {
    return page_head("302 Found", html) + "Location: " + url +
           "\r\n\r\n<html><body>Moved <a href=\"" + url + "\">here</a></body></html>\r\n$";
}
std::string error_page(const std::string& status, const std::string& text) {
    return page_head(status, html) + "\r\n<html><body>Error " + text + ".</body></html>$";
}
std::string plain(const std::string& type, const std::string& body) {
    return page_head("200 OK", type) + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body + "$";
}

class exchange_test : public testing::TestWithParam<exchange_case> {
  protected:
    // Archive 1; ann (in group staff, who may read the status) and bob in the user store; a
    // portal with a directory, plain files, a redirect, a language chooser and a cache.
    exchange_test() {
        sqlite_connection db = open_database(app_->config(), "vantorell.db");
        transaction t(db);
        app_->storage().archives.add(db, ArchiveConfiguration{});
        LoginConfiguration login;
        login.users["ann"] = {"ann", md5_hex("annpw"), false, {"staff"}};
        login.users["bob"] = {"bob", md5_hex("bobpw"), false, {}};
        login.users["nopass"] = {"nopass", "", true, {}};
        app_->storage().logins.set(db, login_record_id, login);
        app_->storage().root_acls.set(db, root_acl_browsing,
                                      RootACL{{{"staff", access_type::read, false}}});
        t.commit();
        docs_.write("index.html.special", "language\nen /en/\nde /de/\n");
        docs_.write("old.special", "redirect /new/\n");
        docs_.write("cache.special", "cache\n");
        docs_.write("dir/index.html", "in dir");
        docs_.write("image.png", "PNG");
        docs_.write("style.css", "p,b");
    }

    vant_test::temp_dir docs_;
    vant_test::test_app app_{"LOGCFG=\nHTTP_USER=boss\nHTTP_MD5PASS=" + md5_hex("pw") +
                             "\nPORTAL_DOCS=" + docs_.str() + "\n"};
};

TEST_P(exchange_test, reply_starts_as_the_rule_says) {
    httpserver server(app_->request_services(), 1, "127.0.0.1:0");
    server.start();
    ASSERT_TRUE(vant_test::eventually([&] { return server.port() != 0; }));
    const std::string reply = vant_test::http_exchange(server.port(), GetParam().request);
    EXPECT_TRUE(std::regex_search(reply, std::regex(GetParam().reply),
                                  std::regex_constants::match_continuous))
        << GetParam().rule << "\n"
        << reply.substr(0, 300);
    server.stop();
    sqlite_connection db = open_database(app_->config(), "vantorell.db");
    EXPECT_EQ(vant_test::query(db, "select count(*) from docstorage").at(0), "0");
}

const std::string status = "GET /platform/status";
const std::string too_large = "Content-Length: 16777217\r\n" + boss;
const std::string upload = "POST /index/1/doc?url=http://x/";
INSTANTIATE_TEST_SUITE_P(
    cases, exchange_test,
    testing::Values(
        exchange_case{"no credentials", request(status), unauthorized},
        exchange_case{"built-in account", request(status, boss), "HTTP/1.1 200 OK\r\n"},
        exchange_case{"the scheme compared without case",
                      request(status, "Authorization: BASIC " + encode_base64("boss:pw") + "\r\n"),
                      "HTTP/1.1 200 OK\r\n"},
        exchange_case{"wrong password", request(status, basic("boss:wrong")), unauthorized},
        exchange_case{"an empty digest never matches", request(status, basic("nopass:")),
                      unauthorized},
        exchange_case{"a user of the store", request(status, basic("ann:annpw")),
                      "HTTP/1.1 200 OK\r\n"},
        exchange_case{"a user acts with their own rights", request(status, basic("bob:bobpw")),
                      "HTTP/1.1 400 Access violation\r\n"},
        exchange_case{"a user's own password", request(status, basic("ann:pw")), unauthorized},
        exchange_case{"a body too large for a client that expects 100-continue",
                      request("POST /soap", too_large + "Expect: 100-continue\r\n"),
                      "HTTP/1.1 417 Document too large\r\n\r\n"},
        exchange_case{"HTTP/1.0 clients cannot expect 100-continue",
                      "POST /soap HTTP/1.0\r\nExpect: 100-continue\r\n" + too_large + "\r\n" +
                          std::string(16777217, 'x'),
                      "HTTP/1.1 400 Document too large\r\n\r\n"},
        exchange_case{
            "an acceptable body hears 100 continue, then a fault for no envelope",
            request("POST /soap", "Content-Length: 5\r\nExpect: 100-continue\r\n" + boss, "hello"),
            "HTTP/1.1 100 continue\r\n\r\nHTTP/1.1 500 OK\r\n[^]*<faultstring>syntax "
            "error at line 1, column 0</faultstring>"},
        exchange_case{"without a length the body ends when the client closes its side",
                      request("POST /soap", boss, "hello"),
                      "HTTP/1.1 500 OK\r\n[^]*<faultstring>syntax error"},
        exchange_case{"a reply deflated for a client that accepts it",
                      request("POST /soap", "Accept-Encoding: gzip, deflate\r\n" + boss, "hello"),
                      "HTTP/1.1 500 OK\r\n[^]*\r\nContent-Encoding: deflate\r\n\r\n"},
        exchange_case{"the Research pane answers a fault too",
                      request("POST /research", "Content-Length: 5\r\n" + boss, "hello"),
                      "HTTP/1.1 500 OK\r\n[^]*</faultstring>"},
        exchange_case{"only the exact SOAP target", request("GET /SOAP"),
                      "HTTP/1.1 404 Not found\r\n"},
        exchange_case{"a head past the bound",
                      request(status, "X-Padding: " + std::string(70000, 'p') + "\r\n"),
                      "HTTP/1.1 400 Bad request\r\n"},
        exchange_case{"a path past the bound", request("GET /" + std::string(8192, 'a')),
                      "HTTP/1.1 400 Missing or bad request method\r\n"},
        exchange_case{"a method the route lacks", request("DELETE /index/1", boss),
                      "HTTP/1.1 405 Method Not Allowed\r\n"},
        exchange_case{"an unknown document",
                      request("GET /index/1/doc/ffffffffffffffffffffffffffffffff", boss),
                      "HTTP/1.1 404 No such content\r\n"},
        exchange_case{"an upload without a body", request(upload, boss),
                      "HTTP/1.1 400 Input document expected\r\n"},
        exchange_case{
            "an upload without its URL",
            request("POST /index/1/doc?uri=http://x/", "Content-Length: 4\r\n" + boss, "text"),
            "HTTP/1.1 400 Required parameter 'url' not specified\r\n"},
        exchange_case{
            "an upload to an archive that does not exist",
            request("POST /index/9/doc?url=http://x/", "Content-Length: 4\r\n" + boss, "text"),
            "HTTP/1.1 400 Access violation\r\n"},
        exchange_case{"a body that stops half-way",
                      request(upload, "Content-Length: 100\r\n" + boss, "0123456789"),
                      "HTTP/1.1 400 Document size error\r\n"},
        exchange_case{"a page that is not there", request("GET /nothing.html"),
                      error_page("404 Not found", "404 - File not found")},
        exchange_case{"a directory", request("GET /dir?x=1", "Host: portal.test:8080\r\n"),
                      moved("http://portal.test:8080/dir/")},
        exchange_case{"a redirect", request("GET /old"), moved("http://[^/:]+:[1-9][0-9]*/new/")},
        // (Which language a header chooses is the language chooser's table.)
        exchange_case{"a language",
                      request("GET /", "Host: h:1\r\nAccept-Language: de-DE, en;q=0.5\r\n"),
                      moved("http://h:1/de/")},
        exchange_case{"no language", request("GET /", "Accept-Language: en;q=high\r\n"),
                      error_page("500 Internal server error",
                                 "500 - Internal server error, invalid redirect")},
        exchange_case{"a cached view without a document", request("GET /cache/x.html"),
                      error_page("500 Internal server error",
                                 "500 - Internal server error, invalid template")},
        exchange_case{"a directory's index", request("GET /dir/"), plain(html, "in dir")},
        exchange_case{"a file by its type", request("GET /style.css"), plain("text/css", "p,b")},
        exchange_case{"an unknown type", request("GET /image.png"), plain(html, "PNG")}));

}  // namespace
}  // namespace marloven
