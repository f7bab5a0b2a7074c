// Whole crawls by the installed daemon (with its real worker programs and index server) of web
// sites served on 127.0.0.1: what is fetched and what is not, what is stored, logged, counted
// and indexed, hostile markup, notifications, and a daemon stopped or killed mid-crawl.
// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "daemon_fixture.h"
#include "support/test_http_server.h"

namespace vant_test {
namespace {

using namespace marloven;

// A word of letters only that names a number: 17 gives "bh".
std::string letters(int n) {
    std::string s;
    for (char c : std::to_string(n)) {
        s += static_cast<char>('a' + (c - '0'));
    }
    return s;
}

// The daemon's child processes with this program name, from its threads' children lists.
std::vector<int> children_named(int pid, const std::string& name) {
    std::vector<int> out;
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::istringstream children(read_file(task.path().string() + "/children"));
        int child = 0;
        while (children >> child) {
            std::string comm = read_file("/proc/" + std::to_string(child) + "/comm");
            if (comm == name + "\n") {
                out.push_back(child);
            }
        }
    }
    return out;
}

bool process_gone(int pid) {
    const char state = process_state(pid);
    return state == 'Z' || state == '?';
}

class crawl_test : public daemon_fixture {
  protected:
    // Runs the daemon until the archive's crawl has ended.
    void crawl(std::uint32_t arcid) {
        start_daemon(extra_);
        wait_for_crawl_end(arcid);
        stop_daemon();
    }
    // An archive of the site from its home page.
    std::uint32_t add_site() {
        SourceConfiguration source;
        source.seeds = {site_.url("/")};
        source.include_filters = {prefix()};
        return add_crawl(source);
    }
    // The URLs of the hits for one word, from the daemon's index (the daemon must not run).
    std::set<std::string> search(const std::string& word) {
        std::set<std::string> urls;
        for (const auto& h : search_index(write_config(), word)) {
            urls.insert(h.url);
        }
        return urls;
    }
    std::string prefix() const {
        return "^http://127\\.0\\.0\\.1:" + std::to_string(site_.port()) + "/";
    }
    std::string url(const std::string& path) const { return site_.url(path); }

    test_http_server site_;
    std::string extra_ = "Throttling=0\nWORKERS=3\n";
};

// A site of 93 good pages: the seed, 90 interlinked pages three levels deep, a page reached
// through a redirect and a members' page behind a cookie log-in; with a robots.txt, a missing page,
// an excluded page and a link off the site.
class site_crawl_test : public crawl_test {
  protected:
    static constexpr int pages = 90;
    site_crawl_test() {
        site_.route("/robots.txt", 200, "text/plain",
                    "User-agent: otherbot\nDisallow: /\n\nUser-agent: *\nDisallow: /private/\n");
        std::vector<std::string> seed_links = {
            "/private/secret.html", "/excluded/e.html",
            "/missing.html",        "/old.html",
            "/members/m.html",      "http://example.invalid/off-site.html"};
        for (int n = 1; n <= pages; ++n) {
            // Pages 1-30 at depth 1, 31-60 at 2, 61-90 at 3; each links to its neighbours too.
            if (n <= 30) {
                seed_links.push_back(path(n));
            }
            std::vector<std::string> links = {path(n % pages + 1),
                                              path((n + pages - 2) % pages + 1)};
            if (n + 30 <= pages) {
                links.push_back(path(n + 30));
            }
            site_.route(path(n), 200, "text/html",
                        page("Page " + std::to_string(n) + " title" + letters(n),
                             "Common text and body" + letters(n) + " words.", links));
        }
        site_.route("/", 200, "text/html", page("Home", "Welcome home", seed_links));
        site_.route("/old.html", http_response(301, {{"Location", "/moved.html"}}, ""));
        site_.route("/moved.html", 200, "text/html", page("Moved here", "relocated"));
        site_.route("/private/secret.html", 200, "text/html", page("Secret", "hidden"));
        site_.route("/excluded/e.html", 200, "text/html", page("Excluded", "hidden"));
        // The log-in form wants the cookie of the page before it, and every parameter encoded.
        site_.route("/start", http_response(200, {{"Set-Cookie", "pre=1; Path=/"}}, "form"));
        site_.route("/login", [](const http_request& r) {
            if (r.method == "POST" && r.body == "user=alice&pass=won%26der&lang=en&domain=corp" &&
                r.header("cookie").find("pre=1") != std::string::npos) {
                return http_response(200, {{"Set-Cookie", "session=ok; Path=/"}}, "welcome");
            }
            return http_response(403, {{"Content-Type", "text/plain"}}, "no: " + r.body);
        });
        http_response members(200, {{"Content-Type", "text/html"}},
                              page("Members", "secretmembersword"));
        site_.route("/members/m.html", http_route(members, std::nullopt, "session=ok"));
    }
    static std::string path(int n) { return "/p/" + std::to_string(n) + ".html"; }

    std::uint32_t add_site_archive() {
        SourceConfiguration source;
        source.seeds = {url("/")};
        source.include_filters = {prefix()};
        source.exclude_filters = {"/EXCLUDED/"};
        source.auth = auth_type::cookie;
        source.cookie.url = url("/login");
        source.cookie.action = cookie_action::post;
        source.cookie.params = {{"user", "", cookie_param_type::username},
                                {"pass", "", cookie_param_type::password},
                                {"lang", "en", cookie_param_type::other}};
        source.cookie.pre_urls = {url("/start")};
        AuthConfiguration auth{"alice", "won&der", {{"domain", "corp"}}, {}};
        return add_crawl(source, {}, &auth);
    }
};

TEST_F(site_crawl_test, crawls_stores_logs_and_indexes_the_site) {
    std::uint32_t arcid = add_site_archive();
    crawl(arcid);

    // Every page of the site was fetched once, robots.txt and the log-in once each, and nothing
    // else: disallowed and excluded pages were never asked for.
    std::map<std::string, int> fetched, once;
    for (const auto& r : site_.requests()) {
        ++fetched[r.path];
    }
    for (int n = 1; n <= pages; ++n) {
        once[path(n)] = 1;
    }
    for (const char* p : {"/", "/robots.txt", "/start", "/login", "/members/m.html", "/old.html",
                          "/moved.html", "/missing.html"}) {
        once[p] = 1;
    }
    EXPECT_EQ(fetched, once);
    const std::string a = std::to_string(arcid);
    // Every result logged: the good pages, a redirect, a missing page and a disallowed one.
    EXPECT_EQ(
        rows("select status, count(*), iif(status, url, '') from documentlog where arcid=" + a +
             " group by status order by status"),
        (std::vector<std::string>{"0|93|", "1|1|" + url("/old.html"), "3|1|" + url("/missing.html"),
                                  "6|1|" + url("/private/secret.html")}));
    EXPECT_EQ(rows("select docs, errors, end>=start from crawlstats where arcid=" + a),
              (std::vector<std::string>{"93|1|1"}));
    // One stored version per URL, the good ones with their content and parsed document, as many
    // counted, and nothing left in the queue.
    EXPECT_EQ(rows("select count(*), count(distinct url), sum(error=0 and contentlen>0 and "
                   "ffflen>0), (select ndocs from doccount where arcid=" +
                   a + "), (select count(*) from fetchqueue) from docstorage where arcid=" + a),
              (std::vector<std::string>{"96|96|93|93|0"}));

    // The index finds pages by words of their titles and bodies, and the members' page.
    EXPECT_EQ(search("title" + letters(17)), (std::set<std::string>{url(path(17))}));
    EXPECT_EQ(search("body" + letters(88)), (std::set<std::string>{url(path(88))}));
    EXPECT_EQ(search("secretmembersword"), (std::set<std::string>{url("/members/m.html")}));
    EXPECT_EQ(search("common").size(), static_cast<size_t>(pages));
    EXPECT_EQ(occurrences(log(), "CRITICAL"), 0);
    EXPECT_EQ(occurrences(log(), "ERROR"), 0) << log();
}

// The stop sequence once waited for the HTTP server, and the request it was finishing,
// before it asked the crawl threads to stop. Now every thread is asked first: the worker of a
// fetch in progress is killed while an upload is still being read, and that upload completes.
TEST_F(crawl_test, stop_asks_every_thread_before_waiting_for_any) {
    http_response slow(200, {{"Content-Type", "text/html"}}, page("Slow", "never seen"));
    slow.delay = std::chrono::hours(1);
    site_.route("/", slow);
    add_site();
    start_daemon("WORKERS=1\nHTTP_TIMEOUT=60\n");
    ASSERT_TRUE(eventually([&] { return site_.count("/") == 1; }));
    auto workers = children_named(daemon_->pid(), "worker-process");
    ASSERT_EQ(workers.size(), 1u);
    const std::string body = "uploaded while stopping";
    http_client upload(port_);
    ASSERT_TRUE(
        upload.send("POST /index/1/doc?url=http://example.org/up HTTP/1.1\r\n"
                    "Content-Type: text/plain\r\nExpect: 100-continue\r\n"
                    "Content-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n"));
    const std::string go_on = "HTTP/1.1 100 continue\r\n\r\n";
    ASSERT_EQ(upload.read_at_least(go_on.size()), go_on);
    ASSERT_EQ(::kill(daemon_->pid(), SIGTERM), 0);
    ASSERT_TRUE(eventually([&] { return process_gone(workers[0]); }));
    upload.send(body);
    EXPECT_EQ(upload.read_all().rfind(go_on + "HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(daemon_->wait(30), 0) << daemon_->err();
    daemon_.reset();
}

TEST_F(crawl_test, daemon_killed_mid_crawl_finishes_it_after_a_restart) {
    constexpr int n = 40;
    std::vector<std::string> links;
    for (int i = 0; i < n; ++i) {
        std::string p = "/k/" + std::to_string(i) + ".html";
        links.push_back(p);
        http_response r(200, {{"Content-Type", "text/html"}},
                        page("K", "killword text " + letters(i),
                             {"/k/" + std::to_string((i + 1) % n) + ".html"}));
        r.delay = std::chrono::milliseconds(50);
        site_.route(p, r);
    }
    site_.route("/", 200, "text/html", page("Home", "x", links));
    std::uint32_t arcid = add_site();
    start_daemon(extra_);
    ASSERT_TRUE(eventually([&] { return number("select count(*) from documentlog") >= n / 3; }));
    std::vector<int> children = children_named(daemon_->pid(), "worker-process");
    for (int c : children_named(daemon_->pid(), "idxserv")) {
        children.push_back(c);
    }
    EXPECT_EQ(daemon_->stop(SIGKILL, 10), 128 + SIGKILL);
    daemon_.reset();
    // The children see their connection end and exit (the index server after committing).
    ASSERT_TRUE(
        eventually([&] { return std::all_of(children.begin(), children.end(), process_gone); }));
    crawl(arcid);
    // Every page once in storage and once in the log: none lost, none twice.
    const std::string all = std::to_string(n + 1);
    EXPECT_EQ(rows("select count(*), count(distinct url), (select docs from crawlstats) from "
                   "docstorage"),
              (std::vector<std::string>{all + "|" + all + "|" + all}));
    EXPECT_EQ(rows("select count(*), count(distinct url), min(status), max(status) from "
                   "documentlog"),
              (std::vector<std::string>{all + "|" + all + "|0|0"}));
    EXPECT_EQ(search("killword").size(), static_cast<size_t>(n));
}

// Issue 14: a crawled link whose host carried markup came back from the daemon as live markup
// in the HTML form of the stored page. Now links with such hosts are dropped (and counted), other
// parts are percent-encoded, titles and metas are text, and every stored form is sandboxed. Each
// rule is in the URL and renderer tests; here a hostile page goes the whole way once.
TEST_F(crawl_test, markup_in_link_hosts_titles_and_metas_is_never_served_live) {
    const std::string payload = "x\"><img src=x onerror=alert(1)>";
    site_.route("/", 200, "text/html",
                "<html><head><title>x&quot;&gt;&lt;img src=x onerror=alert(1)&gt;</title>"
                "<meta name=\"description\" content='" +
                    payload + "'></head><body><p>Payloads</p><a href='http://" + payload +
                    "/'>one</a> <a href=\"/q.html?" + payload + "\">two</a></body></html>");
    site_.route("/q.html", 200, "text/html", page("Q", "query page"));
    const std::uint32_t arcid = add_site();
    start_daemon(extra_ + "WORKERS=1\n");
    wait_for_crawl_end(arcid);
    const std::string guid = rows("select guid from docstorage where url='" + url("/") + "'").at(0);
    const std::string reply =
        get("/index/" + std::to_string(arcid) + "/doc/" + guid, "Accept: text/html\r\n");
    const std::size_t head_end = reply.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos) << reply;

    // Every tag of the page is one the renderer writes, and every address stays in its quotes.
    const std::string body = reply.substr(head_end + 4);
    const std::regex renderer_tag(R"(</?(html|head|title|body|b|p|a)>|<br />|<a href="[^"<> ]*">|)"
                                  R"(<meta name="vantorell-score" content="[0-9.e+]+" />)");
    for (std::size_t at = body.find('<'); at != std::string::npos; at = body.find('<', at + 1)) {
        EXPECT_TRUE(std::regex_search(body.cbegin() + static_cast<std::ptrdiff_t>(at), body.cend(),
                                      renderer_tag, std::regex_constants::match_continuous))
            << body.substr(at, 60);
    }
    EXPECT_THAT(body, testing::HasSubstr("&lt;img src=x onerror=alert(1)&gt;")) << "the title";
    stop_daemon();
    EXPECT_EQ(number("select count(*) from documentlog"), 2);
}

// (How NOTIFYURL is formatted is the crawl rules' unit table.)
TEST_F(crawl_test, crawl_end_is_notified_once_per_crawl_with_the_archive_id) {
    test_http_server notified;
    notified.route("/done", 200, "text/plain", "ok");
    site_.route("/", 200, "text/html", page("Home", "x"));
    const std::string first = std::to_string(add_site());
    const std::string second = std::to_string(add_site());
    start_daemon(extra_ + "NOTIFYURL=" + notified.url("/done?arc=%u") + "\n");
    ASSERT_TRUE(eventually([&] { return notified.requests().size() == 2; }));
    std::set<std::string> targets;
    for (const auto& r : notified.requests()) {
        targets.insert(r.target);
    }
    EXPECT_EQ(targets, (std::set<std::string>{"/done?arc=" + first, "/done?arc=" + second}));
}

}  // namespace
}  // namespace vant_test
