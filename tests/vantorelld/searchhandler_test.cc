// Tests of the search service's handler: its methods are exactly those the service describes,
// records travel both ways unchanged, failed operations give their symbolic names as faults with
// the transaction committed, and the parameter aliases and optional results.
// SPDX-License-Identifier: MIT
#include "vantorelld/searchhandler.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "api/api_fixture.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "logstorage/logstorage.h"
#include "soap/contract.h"
#include "soap/soap_fixture.h"
#include "vantorelld/soap_types.h"

namespace marloven {

// Decoding what only the server writes, for the tests below.
void read_fields(soap::element_reader& r, document_log_row& v) {
    int time = 0;
    r.field("Time", time);
    r.field("ID", v.guid);
    r.field("Url", v.url);
    v.timestamp = time;
}
void read_fields(soap::element_reader& r, ArchiveInfo& v) {
    r.field("Crawling", v.crawling);
}

namespace {

using at = access_type;

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

    // `v` as the element `name` of type `type_name`, for a request.
    template <typename T>
    static std::string element(std::string_view name, std::string_view method, const T& v) {
        const soap::method& m = *soap::search_service().find_method(method);
        std::string out;
        soap::encoder e(out, "ns");
        for (const soap::element& p : m.params) {
            if (p.name == name) {
                e.value(name, *p.of, v);
            }
        }
        return out;
    }

    // Adds `record` with its Add method, reads it back with its Get method and compares.
    template <typename Record>
    void round_trip(std::string_view kind, const Record& record) {
        std::string add = "Add" + std::string(kind);
        std::string reply = call(admin(), add, element("cfg", add, record));
        ASSERT_EQ(fault_of(reply), "") << reply;
        std::string get = "Get" + std::string(Record::kind);
        reply = call(admin(), get, "<id>1</id>");
        ASSERT_EQ(fault_of(reply), "") << reply;
        EXPECT_TRUE(result<Record>(reply, get, "cfg") == record) << kind << ": " << reply;
    }

    // Source 1 with one seed, used by archive 1 with access list `acl`.
    void add_source_and_archive(acl_list acl = {}) {
        SourceConfiguration src;
        src.seeds = {"http://example.org/"};
        storage_->sources.add(db_, src);
        ArchiveConfiguration a;
        a.source_id = 1;
        a.acl = std::move(acl);
        storage_->archives.add(db_, a);
    }
};

// The WSDL is written from the same description (its consistency is tested with it).
TEST_F(searchhandler_test, has_a_method_for_every_method_of_the_service_and_no_other) {
    std::set<std::string> described;
    for (const soap::method& m : soap::search_service().methods()) {
        described.insert(m.name);
    }
    api_session s = admin();
    MarlovenSearchHandler handler(s);
    std::vector<std::string> names = handler.dispatcher().method_names();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), described);
}

TEST_F(searchhandler_test, records_read_back_as_they_were_written) {
    SourceConfiguration source;
    source.name = "src & <co>";
    source.description = "d";
    source.seeds = {"http://a/", "http://b/"};
    source.include_filters = {"http://a/*"};
    source.exclude_filters = {"*.png"};
    source.depth = 3;
    source.robots_check = false;
    source.side_metadata_available = true;
    source.auth = auth_type::cookie;
    source.cookie = {
        "http://a/login",
        cookie_action::post,
        60,
        {{"user", "ann", cookie_param_type::username}, {"pw", "x", cookie_param_type::password}},
        {"http://a/pre"}};
    source.text_exclusion_begin = "<!--b-->";
    source.text_exclusion_end = "<!--e-->";
    source.acl = {grant("ann", at::read), grant("All Users", at::write, true)};
    round_trip("Source", source);
    round_trip("Auth", AuthConfiguration{"u", "p", {{"k", "v"}}, {grant("ann", at::write)}});
    ArchiveConfiguration archive{
        "a", true, "x@y", 1, 1, schedule_frequency::weekly, 3, 4, 5, 6, cache_policy::none, {}};
    round_trip("Archive", archive);  // an empty access list is left out

    round_trip("Watch",
               WatchConfiguration{"w", "d", "q", query_parser::rpn, 60, 1, {grant("x", at::read)}});
}

TEST_F(searchhandler_test, plugin_records_read_back_as_they_were_written) {
    wire_plugin plugin{client_plugin::ARCHIVEFFF_PLUGINTYPE,
                       Plugin{"p", "d", "urlplugin", "a=1\nb=2", {grant("ann", at::read)}}};
    std::string reply = call(admin(), "AddPlugin", element("plugin", "AddPlugin", plugin));
    ASSERT_EQ(result<int>(reply, "AddPlugin", "id"), 1) << reply;
    reply = call(admin(), "GetPlugin", "<id>1</id>");
    EXPECT_TRUE(result<wire_plugin>(reply, "GetPlugin", "plugin").record == plugin.record);
    EXPECT_NE(reply.find("<Type xsi:type=\"ns:PluginType\">UNKNOWN_PLUGINTYPE</Type>"),
              std::string::npos)
        << "a single record's library is not loaded";

    wire_docfilter filter{client_plugin::UNKNOWN_PLUGINTYPE,
                          DocFilter{"f", "d", 1, "x", {grant("ann", at::read)}}};
    reply = call(admin(), "AddDocFilter", element("docfilter", "AddDocFilter", filter));
    ASSERT_EQ(result<int>(reply, "AddDocFilter", "id"), 1) << reply;
    reply = call(admin(), "GetDocFilter", "<id>1</id>");
    EXPECT_TRUE(result<wire_docfilter>(reply, "GetDocFilter", "docfilter").record == filter.record);
}

struct fault_case {
    std::string_view caller;  // "admin", or a user name
    std::string_view method;
    std::string content;
    std::string_view fault_text;
};

class searchhandler_fault_test : public searchhandler_test,
                                 public testing::WithParamInterface<fault_case> {};

TEST_P(searchhandler_fault_test, names_the_error_and_commits) {
    add_source_and_archive({grant("reader", at::read)});  // nobody else may read it
    const fault_case& c = GetParam();
    api_session caller = c.caller == "admin" ? admin() : user(std::string(c.caller));
    EXPECT_EQ(fault_of(call(caller, c.method, c.content)), c.fault_text);
}

INSTANTIATE_TEST_SUITE_P(
    cases, searchhandler_fault_test,
    testing::Values(fault_case{"reader", "StartCrawl", "<arcid>1</arcid>", "AccessViolation"},
                    fault_case{
                        "admin", "GetCrawlLog",
                        "<arcid>1</arcid><nmax>1</nmax><log><Time>1</Time><Cookie>x</Cookie></log>",
                        "Cannot read the crawl log cookie 'x'"}));

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

TEST_F(searchhandler_test, crawl_log_pages_with_its_cookie_and_leaves_out_empty_data) {
    ArchiveConfiguration a;
    storage_->archives.add(db_, a);
    storage_->logs.crawlStarted(db_, 1, 100);
    for (int i = 0; i < 3; ++i) {
        storage_->logs.logDocument(db_, "g" + std::to_string(i), 1, "http://x/" + std::to_string(i),
                                   100 + i, i == 2 ? 3 : 0);
    }
    storage_->logs.crawlEnded(db_, 1, 200);

    auto page = [&](int nmax, const std::string& cookie) {
        return call(admin(), "GetCrawlLog",
                    "<arcid>1</arcid><nmax>" + std::to_string(nmax) +
                        "</nmax><log><Time>100</Time><Cookie>" + cookie + "</Cookie></log>");
    };
    std::string reply = page(0, "");
    EXPECT_EQ(reply.find("<data"), std::string::npos) << "no rows, no data element";
    EXPECT_EQ(result<crawl_log_position>(reply, "GetCrawlLog", "log").cookie, "0");

    // Paging itself is the operation's; here the cookie travels both ways.
    reply = page(5, "0");
    auto rows = result<std::vector<document_log_row>>(reply, "GetCrawlLog", "data");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].url, "http://x/2");
    EXPECT_NE(reply.find("<Error xsi:type=\"ns:CrawlError\">NOTFOUND</Error>"), std::string::npos);
    EXPECT_EQ(result<crawl_log_position>(reply, "GetCrawlLog", "log").cookie, "-1")
        << "the end of a finished crawl";
}

}  // namespace
}  // namespace marloven
