// The mapping of fetches onto crawl error codes, redirect targets, and filtered documents.
// SPDX-License-Identifier: MIT
#include "worker-program/request_handler.h"

#include <gtest/gtest.h>

#include "parse/document_parser.h"
#include "parse/response_head.h"
#include "support/plugin_dir.h"
#include "support/test_http_server.h"
#include "util/config_file.h"
#include "worker-program/document_filters.h"

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
    testing::Values(status_case{transfer_failure::none, 204, crawl_error::none},
                    status_case{transfer_failure::none, 308, crawl_error::redirect},
                    status_case{transfer_failure::none, 304, crawl_error::unknown},
                    status_case{transfer_failure::none, 403, crawl_error::authreq},
                    status_case{transfer_failure::none, 410, crawl_error::notfound},
                    status_case{transfer_failure::none, 408, crawl_error::network},
                    status_case{transfer_failure::none, 429, crawl_error::server},
                    status_case{transfer_failure::none, 503, crawl_error::server},
                    status_case{transfer_failure::none, 400, crawl_error::unknown},
                    status_case{transfer_failure::resolve, 0, crawl_error::network},
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
        redirect_case{"HTTP/1.1 302 F\r\nLocation: /a/./b#x\r\n", crawl_error::badredir, ""},
        redirect_case{"HTTP/1.1 303 S\r\nLocation: mailto:x@y\r\n", crawl_error::badredir, ""},
        redirect_case{"HTTP/1.1 404 N\r\nLocation: /x\r\n", crawl_error::notfound, ""},
        redirect_case{"HTTP/1.1 200 OK\r\n", crawl_error::none, "", true}));

// The configured size limit reaches the fetch, and the reply says where the body was cut.
TEST(request_handler_test, bodies_over_the_configured_size_are_cut) {
    vant_test::temp_dir tmp;
    vant_test::test_http_server site;
    site.route("/big", 200, "text/plain", std::string(150, 'w'));
    request_handler handler(
        fetch_settings::from(config_file(tmp.write("v.conf", "MAXDOCSIZE=100\n"))));
    process_request q;
    q.url = site.url("/big");
    process_reply r = handler.process(q);
    EXPECT_EQ(r.content.size(), 100u);
    EXPECT_EQ(r.result.status_text, "Body cut at 100 bytes");
}

// A filter's outcome reaches the reply: a crash makes the URL UNPARSABLE with the plug-in named,
// and the checksum of a filtered document is that of the document sent.
TEST(request_handler_test, filtered_documents_carry_their_own_checksum_and_failures_the_plugin) {
    vant_test::temp_dir tmp;
    vant_test::plugin_dir dir(tmp);
    dir.add(VANT_PROBE_DIR "/probe_good.so");
    document_filters filters({dir.plugins(), 5}, {});
    request_handler handler(fetch_settings{}, &filters);
    reprocess_request q;
    q.url = "http://h/";
    q.mime = "text/plain";
    q.content = "some text";
    q.filters.docfilter_ids = {3};
    q.filters.plugins = {{9, 1, 0, "Probe", "", "probe_good", ""}};
    q.filters.docfilters = {{3, 1, 0, "f", "", 9, "meta k v"}};
    reprocess_reply good = handler.reprocess(q);
    EXPECT_EQ(good.result.status, crawl_error::none);
    EXPECT_EQ(good.result.fffcrc, fff_crc(good.fff));
    EXPECT_NE(good.fff.find('k'), std::string::npos);

    q.filters.docfilters = {{3, 2, 0, "f", "", 9, "crash"}};
    EXPECT_EQ(handler.reprocess(q).result.status, crawl_error::unparsable);
}

}  // namespace
