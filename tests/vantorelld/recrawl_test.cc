// Fetching a crawled site again: conditional requests, "304 Not Modified", bodies that did not
// change, and the links of unchanged pages, with the real worker program against scripted sites.
// SPDX-License-Identifier: MIT
#include "vantorelld/recrawl.h"

#include <gtest/gtest.h>

#include "util/metrics.h"
#include "vantorelld/crawl_fixture.h"

namespace marloven {
namespace {

using vant_test::http_request;
using vant_test::http_response;
using vant_test::page;

struct recrawl_case {
    const char* name;
    bool honours_validators;  // the site answers 304 when both validators match
    int not_modified;         // 304 answers expected in the re-crawl (of its two pages)
};

class recrawl_edge_test : public vant_test::site_crawl_fixture {
  protected:
    recrawl_edge_test() { svc_.metrics = &metrics_; }
    daemon_metrics metrics_;
};

class recrawl_test : public recrawl_edge_test, public testing::WithParamInterface<recrawl_case> {
  protected:
    // Serves `body` as version `version` of a page, honouring validators as the case says.
    void serve(const std::string& path, const std::string& body, int version) {
        const bool honours = GetParam().honours_validators;
        site_.route(path, [honours, body, version](const http_request& q) {
            const std::string etag = "\"v" + std::to_string(version) + "\"";
            const std::string modified =
                "Tue, 1" + std::to_string(version) + " Nov 2023 10:00:00 GMT";
            // Both must come back: the daemon keeps each from the stored reply head.
            if (honours && q.header("If-None-Match") == etag &&
                q.header("If-Modified-Since") == modified) {
                return http_response(304, {{"ETag", etag}});
            }
            return http_response(
                200, {{"Content-Type", "text/html"}, {"ETag", etag}, {"Last-Modified", modified}},
                body);
        });
    }
};

TEST_P(recrawl_test, unchanged_site_keeps_its_versions_and_changed_page_is_stored) {
    serve("/", page("Home", "steady home", {"/a"}), 1);
    serve("/a", page("A", "steady leaf"), 1);
    const std::uint32_t arcid = site_archive();
    auto thread = make_thread();
    crawl_again(*thread, arcid, 0);
    const auto first =
        rows("select guid, error, content, fff, fffcrc from docstorage order by url");

    // The re-crawl: the leaf is reached through the unchanged home page's stored links.
    crawl_again(*thread, arcid, 3600);
    EXPECT_EQ(site_.count("/a"), 2u);
    EXPECT_EQ(rows("select status from documentlog where timestamp>" + std::to_string(start_time)),
              (row_list{"9", "9"}));
    EXPECT_EQ(rows("select guid, error, content, fff, fffcrc from docstorage order by url"), first);
    EXPECT_EQ(rows("select count(*) from docstorage where timestamp=" +
                   std::to_string(start_time + 3600)),
              (row_list{"2"}))
        << "the kept versions' time moves on";
    EXPECT_EQ(last_crawl(arcid)->docs, 2);
    const std::int64_t second_start = last_crawl(arcid)->start;
    EXPECT_EQ(in_transaction([&] { return svc_.logs->notModified(db_, arcid, second_start); }),
              GetParam().not_modified);
    EXPECT_EQ(metrics_.not_modified(), static_cast<std::uint64_t>(GetParam().not_modified));
    EXPECT_EQ(metrics_.pages(crawl_error::unchanged), 2u);

    // A page that changes is fetched whole and stored again.
    const std::string leaf_crc = rows("select fffcrc from docstorage where url like '%/a'").at(0);
    serve("/a", page("A", "fresh leaf"), 2);
    crawl_again(*thread, arcid, 3600);
    EXPECT_EQ(rows("select error, fffcrc<>" + leaf_crc + " from docstorage where url like '%/a'"),
              (row_list{"0|1"}));
}

INSTANTIATE_TEST_SUITE_P(sites, recrawl_test,
                         testing::Values(recrawl_case{"honours_validators", true, 2},
                                         recrawl_case{"ignores_validators", false, 0}),
                         [](const auto& c) { return std::string(c.param.name); });

// With history every fetch is a version: a 304 adds a copy of the stored one, marked UNCHANGED.
TEST_F(recrawl_edge_test, archive_with_history_keeps_a_copy_for_a_not_modified_page) {
    site_.route("/", [](const http_request& q) {
        if (q.header("If-None-Match") == "\"1\"") {
            return http_response(304, {});
        }
        return http_response(200, {{"Content-Type", "text/html"}, {"ETag", "\"1\""}},
                             page("Home", "kept words"));
    });
    ArchiveConfiguration archive;
    archive.historicize = true;
    const std::uint32_t arcid = site_archive(archive);
    auto thread = make_thread();
    crawl_again(*thread, arcid, 0);
    crawl_again(*thread, arcid, 3600);
    EXPECT_EQ(rows("select error, length(content) > 0 from docstorage order by timestamp"),
              (row_list{"0|1", "9|1"}));
    // The copy's head, body and parsed document are the stored version's, not the 304's.
    EXPECT_EQ(rows("select count(distinct headers), count(distinct content), count(distinct fff) "
                   "from docstorage"),
              (row_list{"1|1|1"}));
}

struct outlinks_case {
    const char* text;
    bool readable;
};
class outlinks_test : public testing::TestWithParam<outlinks_case> {};
TEST_P(outlinks_test, damaged_stored_links_are_not_used) {
    EXPECT_EQ(decode_outlinks(GetParam().text).has_value(), GetParam().readable) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(cases, outlinks_test,
                         testing::Values(outlinks_case{"links 1\n5 http://h/a b\n", true},
                                         outlinks_case{"links 2\n5 http://h/\n", false},
                                         outlinks_case{"links 2\nbody 3 7\n5 http://h/\n", true},
                                         outlinks_case{"links 1\n5 http://h/", false},
                                         outlinks_case{"links 1\n99999999999 http://h/\n", false}));

TEST(outlinks_round_trip_test, links_come_back_as_kept_and_unusable_ones_are_left_out) {
    const std::vector<outlink> links = {{"http://h/a", 1000000}, {"http://h/b?x=1", 0}};
    std::vector<outlink> with_bad = links;
    with_bad.push_back({"http://h/c\nd", 5});
    with_bad.push_back({"", 5});
    EXPECT_EQ(decode_outlinks(encode_outlinks(with_bad, {7, 42})),
              (stored_links{links, body_checksum{7, 42}}));
}

}  // namespace
}  // namespace marloven
