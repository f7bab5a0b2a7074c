// Tests of the HTTP front end's text rules (listen addresses, REST route patterns and search
// parameters), and of uploads through the daemon's HTTP server on a disk short of space.
// SPDX-License-Identifier: MIT
#include "vantorelld/rest.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "support/full_disk.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/test_database.h"
#include "vantorelld/httpserver.h"
#include "vantorelld/test_app.h"

namespace marloven {
namespace {

struct address_case {
    std::string_view text;
    bool valid;
    std::string_view address;  // dotted
    int port;
};

class listen_address_test : public testing::TestWithParam<address_case> {};

TEST_P(listen_address_test, parses) {
    const address_case& c = GetParam();
    auto parsed = parse_listen_address(c.text);
    ASSERT_EQ(parsed.has_value(), c.valid) << c.text;
    if (!c.valid) {
        return;
    }
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &parsed->address, dotted, sizeof dotted);
    EXPECT_EQ(dotted, c.address) << c.text;
    EXPECT_EQ(parsed->port, c.port) << c.text;
}

INSTANTIATE_TEST_SUITE_P(cases, listen_address_test,
                         testing::Values(address_case{"", true, "0.0.0.0", 2200},
                                         address_case{"8080", true, "0.0.0.0", 8080},
                                         address_case{"127.0.0.1", true, "127.0.0.1", 2200},
                                         address_case{"10.1.2.3:0", true, "10.1.2.3", 0},
                                         address_case{"*:65535", true, "0.0.0.0", 65535},
                                         address_case{"1.2.3", false, "", 0},
                                         address_case{"300.1.1.1:80", false, "", 0},
                                         address_case{"*:65536", false, "", 0}));

struct route_case {
    std::string_view pattern;
    std::string_view path;
    bool matches;
    int number;                // first "%"
    std::vector<int> numbers;  // first "@"
    std::string_view text;     // the "$"
};

class match_route_test : public testing::TestWithParam<route_case> {};

TEST_P(match_route_test, matches) {
    const route_case& c = GetParam();
    std::vector<route_param> params;
    ASSERT_EQ(match_route(c.pattern, c.path, params), c.matches) << c.pattern << " " << c.path;
    if (!c.matches) {
        return;
    }
    ASSERT_FALSE(params.empty());
    EXPECT_EQ(params[0].number, c.number);
    EXPECT_EQ(params[0].numbers, c.numbers);
    EXPECT_EQ(params.back().text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    cases, match_route_test,
    testing::Values(route_case{"/index/%/doc", "/index/12/doc", true, 12, {}, ""},
                    route_case{"/index/%/doc", "/index/0/doc", false, 0, {}, ""},
                    route_case{"/index/%/doc", "/index/1x/doc", false, 0, {}, ""},
                    route_case{"/index/%/doc", "/index/99999999999/doc", false, 0, {}, ""},
                    route_case{"/index/%/doc", "/index/1/doc/", false, 0, {}, ""},
                    route_case{"/index/%/doc/$", "/index/3/doc/abc/def", true, 3, {}, "abc/def"},
                    route_case{"/index/@", "/index/3,1,3", true, 0, {1, 3}, ""},
                    route_case{"/index/@", "/index/1,,2", false, 0, {}, ""},
                    route_case{"/platform/status", "/Platform/status", false, 0, {}, ""}));

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

}  // namespace
}  // namespace marloven
