// Tests of the search service's handler: failed operations give their texts as faults with the
// transaction committed, the parameter aliases and optional results. (The client stacks' tests
// call every method and round trip every record kind.)
// SPDX-License-Identifier: MIT
#include "vantorelld/searchhandler.h"

#include <gtest/gtest.h>

#include <regex>

#include "api/api_fixture.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "logstorage/logstorage.h"
#include "soap/contract.h"
#include "soap/soap_fixture.h"
#include "vantorelld/soap_types.h"

namespace marloven {

// Decoding what only the server writes, for the tests below.
void read_fields(soap::element_reader& r, ArchiveInfo& v) {
    r.field("Crawling", v.crawling);
}

namespace {

class searchhandler_test : public api_fixture {
  protected:
    // The reply to `method` with `content`, called by `caller`.
    std::string call(const api_session& caller, std::string_view method,
                     std::string_view content = {}) {
        MarlovenSearchHandler handler(caller);
        soap::text_transport t(soap::request(method, content, {}, soap::search_ns));
        handler.dispatcher().handle(t);
        EXPECT_NE(sqlite3_get_autocommit(db_), 0) << method << ": the transaction was committed";
        return t.reply;
    }

    // The faultstring of a reply, or "" for a response.
    static std::string fault_of(const std::string& reply) {
        std::smatch m;
        return std::regex_search(reply, m, std::regex("<faultstring>(.*)</faultstring>"))
                   ? m[1].str()
                   : std::string();
    }

    // The result `name` of a response to `method`.
    template <typename T>
    static T result(const std::string& reply, std::string_view method, std::string_view name) {
        soap::envelope e = soap::parse(reply);
        soap::decoder d(e);
        soap::element_reader r(d, *e.call, soap::search_service().find_method(method)->results);
        T out{};
        r.param(name, out);
        return out;
    }

    // Source 1 with one seed, used by archive 1.
    void add_source_and_archive() {
        SourceConfiguration src;
        src.seeds = {"http://example.org/"};
        storage_->sources.add(db_, src);
        ArchiveConfiguration a;
        a.source_id = 1;
        storage_->archives.add(db_, a);
    }
};

TEST_F(searchhandler_test, reads_parameters_under_their_old_names) {
    add_source_and_archive();
    std::string reply = call(admin(), "StartCrawl", "<idxid>1</idxid>");
    EXPECT_TRUE(result<ArchiveInfo>(reply, "StartCrawl", "info").crawling) << reply;

    reply = call(admin(), "AddDocument",
                 "<idxid>1</idxid><url>http://example.org/new</url><type>text/plain; "
                 "charset=utf-8</type><content>aGVsbG8=</content>");
    std::string guid = result<std::string>(reply, "AddDocument", "docid");
    EXPECT_TRUE(std::regex_match(guid, std::regex("[0-9a-f]{32}"))) << reply;

    for (std::string_view method : {"GetDocument", "GetCachedPage"}) {
        reply = call(admin(), method, "<ID>" + guid + "</ID><format>ORIGINAL</format>");
        auto text = [&](std::string_view name) { return result<std::string>(reply, method, name); };
        EXPECT_EQ(text("url") + " " + text("type") + " " + text("content"),
                  "http://example.org/new text/plain; charset=utf-8 hello");
    }
}

// The client stacks page through a crawl log; here the cookie of a finished crawl's end, and one
// that cannot be read: a failed operation is a fault with its text, the transaction committed.
TEST_F(searchhandler_test, crawl_log_marks_its_end_and_refuses_bad_cookies) {
    add_source_and_archive();
    storage_->logs.crawlStarted(db_, 1, 100);
    storage_->logs.logDocument(db_, "g", 1, "http://x/", 100, 0);
    storage_->logs.crawlEnded(db_, 1, 200);
    auto page = [&](const std::string& cookie) {
        return call(admin(), "GetCrawlLog",
                    "<arcid>1</arcid><nmax>5</nmax><log><Time>100</Time><Cookie>" + cookie +
                        "</Cookie></log>");
    };
    EXPECT_EQ(result<crawl_log_position>(page("0"), "GetCrawlLog", "log").cookie, "-1");
    EXPECT_EQ(fault_of(page("x")), "Cannot read the crawl log cookie 'x'");
}

}  // namespace
}  // namespace marloven
