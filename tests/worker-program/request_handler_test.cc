// The mapping of fetches onto crawl error codes, and redirect targets.
// SPDX-License-Identifier: MIT
#include "worker-program/request_handler.h"

#include <gtest/gtest.h>

#include "parse/response_head.h"

namespace {

using namespace marloven;

struct status_case {
    transfer_failure failure;
    long status;
    crawl_error expected;
};
class status_mapping_test : public testing::TestWithParam<status_case> {};
TEST_P(status_mapping_test, fetch_outcomes_map_onto_crawl_errors) {
    fetch_response r;
    r.failure = GetParam().failure;
    r.status = GetParam().status;
    EXPECT_EQ(status_of_fetch(r), GetParam().expected)
        << static_cast<int>(GetParam().failure) << " " << GetParam().status;
}
INSTANTIATE_TEST_SUITE_P(
    cases, status_mapping_test,
    testing::Values(status_case{transfer_failure::none, 200, crawl_error::none},
                    status_case{transfer_failure::none, 204, crawl_error::none},
                    status_case{transfer_failure::none, 301, crawl_error::redirect},
                    status_case{transfer_failure::none, 308, crawl_error::redirect},
                    status_case{transfer_failure::none, 304, crawl_error::unknown},
                    status_case{transfer_failure::none, 401, crawl_error::authreq},
                    status_case{transfer_failure::none, 403, crawl_error::authreq},
                    status_case{transfer_failure::none, 404, crawl_error::notfound},
                    status_case{transfer_failure::none, 410, crawl_error::notfound},
                    status_case{transfer_failure::none, 408, crawl_error::network},
                    status_case{transfer_failure::none, 429, crawl_error::server},
                    status_case{transfer_failure::none, 500, crawl_error::server},
                    status_case{transfer_failure::none, 503, crawl_error::server},
                    status_case{transfer_failure::none, 400, crawl_error::unknown},
                    status_case{transfer_failure::none, 100, crawl_error::unknown},
                    status_case{transfer_failure::resolve, 0, crawl_error::network},
                    status_case{transfer_failure::connect, 0, crawl_error::network},
                    status_case{transfer_failure::timeout, 200, crawl_error::network},
                    status_case{transfer_failure::tls, 0, crawl_error::network},
                    status_case{transfer_failure::broken, 0, crawl_error::network},
                    status_case{transfer_failure::bad_url, 0, crawl_error::unknown},
                    status_case{transfer_failure::decoding, 200, crawl_error::unparsable}));

struct redirect_case {
    const char* head;
    crawl_error status;
    const char* target;
    bool parse = false;  // a success is a document to parse
};
class redirect_test : public testing::TestWithParam<redirect_case> {};
TEST_P(redirect_test, targets_are_resolved_or_rejected) {
    crawl_result r;
    EXPECT_EQ(check_http_status("http://h.test/a/b", parse_response_head(GetParam().head), r),
              GetParam().parse);
    EXPECT_EQ(r.status, GetParam().status) << GetParam().head;
    EXPECT_EQ(r.redirect, GetParam().target);
}
INSTANTIATE_TEST_SUITE_P(
    cases, redirect_test,
    testing::Values(
        redirect_case{"HTTP/1.1 301 M\r\nLocation: c?x=1#f\r\n", crawl_error::redirect,
                      "http://h.test/a/c?x=1"},
        redirect_case{"HTTP/1.1 302 F\r\nLocation: HTTPS://Other.test:443/\r\n",
                      crawl_error::redirect, "https://other.test/"},
        redirect_case{"HTTP/1.1 302 F\r\n", crawl_error::badredir, ""},
        redirect_case{"HTTP/1.1 302 F\r\nLocation:\r\n", crawl_error::badredir, ""},
        redirect_case{"HTTP/1.1 302 F\r\nLocation: /a/./b#x\r\n", crawl_error::badredir, ""},
        redirect_case{"HTTP/1.1 303 S\r\nLocation: mailto:x@y\r\n", crawl_error::badredir, ""},
        redirect_case{"HTTP/1.1 404 N\r\nLocation: /x\r\n", crawl_error::notfound, ""},
        redirect_case{"HTTP/1.1 200 OK\r\n", crawl_error::none, "", true}));

TEST(request_handler_test, filter_and_plugin_records_are_kept_by_id_newest_first) {
    request_handler handler(fetch_settings{});
    reprocess_request q;
    q.url = "http://h/";
    q.mime = "text/plain";
    q.content = "text";
    q.filters.docfilter_ids = {3};
    q.filters.docfilters = {{3, 1, 0, "strip", "", 9, "cfg-1"}};
    q.filters.plugins = {{9, 1, 0, "p", "", "libp", ""}};
    EXPECT_EQ(handler.reprocess(q).result.status, crawl_error::none);
    q.filters.docfilters = {{3, 2, 0, "strip", "", 9, "cfg-2"}};
    q.filters.plugins = {};
    handler.reprocess(q);
    ASSERT_EQ(handler.docfilters().size(), 1u);
    EXPECT_EQ(handler.docfilters().at(3).plugin_config, "cfg-2");
    EXPECT_EQ(handler.plugins().at(9).dll, "libp");
}

}  // namespace
