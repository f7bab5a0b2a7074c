// Document filters in whole crawls by the installed daemon of a site on 127.0.0.1: metas that the
// default and other filters add are found by META queries over REST, and a reprocess after a
// filter change renews the stored documents. (A filter that crashes or hangs on a page is in the
// worker program's tests; a worker that hangs is in the process thread's.)
// SPDX-License-Identifier: MIT
#include <map>
#include <set>

#include "daemon_fixture.h"
#include "db/cfgstorage.h"
#include "support/test_http_server.h"

namespace vant_test {
namespace {

using namespace marloven;

class plugins_crawl_test : public daemon_fixture {
  protected:
    // Runs the daemon until the archive's crawl from its seed (or of every stored document again,
    // for `reprocess`) has ended and the index has its pages; it keeps running.
    void crawl(std::uint32_t arcid, bool reprocess = false) {
        const int ends = occurrences(log(), "Crawl of archive " + std::to_string(arcid) + " ended");
        open_crawl(store_config(), arcid,
                   reprocess ? std::vector<std::string>{} : std::vector{site_.url("/")}, reprocess);
        start_daemon();
        wait_for_crawl_end(arcid, ends + 1);
    }
    // The URLs a META query over REST finds.
    std::set<std::string> meta_query(std::uint32_t arcid, const std::string& key,
                                     const std::string& value) {
        std::string reply =
            get("/index/" + std::to_string(arcid) + "?rpn=META:" + key + ":" + value + "&num=50");
        std::set<std::string> urls;
        std::regex url("<URL>([^<]*)</URL>");
        for (std::sregex_iterator it(reply.begin(), reply.end(), url), end; it != end; ++it) {
            urls.insert((*it)[1].str());
        }
        return urls;
    }
    std::string stored(const std::string& column, const std::string& path) {
        return rows("select " + column + " from docstorage where url='" + site_.url(path) + "'")
            .at(0);
    }

    test_http_server site_;
};

// The default SLR and URL filters, as the daemon creates them at its first start, and a filter
// of the test's own give crawled pages their language, the parts of their URL and a static
// meta; META queries find the pages by them, and a reprocess after a filter change renews them.
TEST_F(plugins_crawl_test, filter_metas_are_found_by_meta_queries_and_renewed_by_a_reprocess) {
    std::filesystem::create_directories(data());
    start_daemon();
    stop_daemon();
    std::map<std::string, int> filters;  // the default document filters by name
    {
        auto db = open_data(store_config());
        cfgstorage<DocFilter> store(db);
        for (int id : store.ids(db)) {
            DocFilter f;
            ASSERT_TRUE(store.get(db, id, f));
            filters[f.name] = id;
        }
    }
    ASSERT_EQ(filters.count("SLR") + filters.count("URL"), 2u);
    int static_plugin = add_record(Plugin{"Static", "", "staticplugin", "source=site", {}});
    int edition = add_record(DocFilter{"Edition", "", static_plugin, "edition=first", {}});
    site_.route("/", 200, "text/html",
                "<title>Opening hours</title><p>The library is open every weekday from nine in "
                "the morning until six in the evening.</p><a href=a.html>a</a>");
    site_.route("/a.html", 200, "text/html",
                "<title>Öffnungszeiten</title><p>Die Bibliothek ist an allen Werktagen von neun "
                "Uhr morgens bis sechs Uhr abends geöffnet.</p>");
    SourceConfiguration source;
    source.seeds = {site_.url("/")};
    source.include_filters = {"^" + quote(site_.url("/"))};
    source.docfilters = {filters["SLR"], filters["URL"], edition};
    ArchiveConfiguration archive;  // readable by everybody
    archive.source_id = add_record(source);
    archive.acl = {{"All Users"}};
    const auto arcid = static_cast<std::uint32_t>(add_record(archive));
    crawl(arcid);
    const std::set<std::string> pages = {site_.url("/"), site_.url("/a.html")};
    EXPECT_EQ(meta_query(arcid, "language", "en"), std::set<std::string>{site_.url("/")}) << log();
    // (Which language each text is, is the language plug-in's table.)
    EXPECT_EQ(meta_query(arcid, "language", "de"), std::set<std::string>{site_.url("/a.html")});
    EXPECT_EQ(meta_query(arcid, "urlhost", "127.0.0.1"), pages);
    EXPECT_EQ(meta_query(arcid, "edition", "first"), pages);
    EXPECT_EQ(meta_query(arcid, "source", "site"), pages);
    const std::string first_crc = stored("fffcrc", "/a.html");
    stop_daemon();

    set_record(edition, DocFilter{"Edition", "", static_plugin, "edition=second", {}});
    crawl(arcid, true);
    EXPECT_EQ(meta_query(arcid, "edition", "second"), pages);
    EXPECT_EQ(meta_query(arcid, "edition", "first"), std::set<std::string>{});
    EXPECT_NE(stored("fffcrc", "/a.html"), first_crc);
}

}  // namespace
}  // namespace vant_test
