// The portal of the running daemon: its fixed pages byte for byte, a search page run as the
// anonymous caller and, below /private/, as the signed-in user, and sandboxed cached views, over
// a document root of the test's own. The browser test drives the installed default portal with
// hostile parameters, private scopes and refused cached views; the path rules are unit tests.
// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>

#include "api/api-common.h"
#include "daemon_fixture.h"
#include "util/http_text.h"
#include "worker/FFF/renderers.h"

namespace vant_test {
namespace {

using namespace marloven;

constexpr const char* public_guid = "0123456789abcdef0123456789abcdef";
constexpr const char* secret_guid = "fedcba9876543210fedcba9876543210";
constexpr const char* page_content = "<html><script>alert(1)</script>Big house, garden</html>";

class portal_test : public daemon_fixture {
  protected:
    // Archive 1 readable by everybody, archive 2 by alice only, each with one indexed page; a
    // collection of the first; a document root with small sections that show their variables.
    void SetUp() override {
        ArchiveConfiguration a;
        a.name = "one";
        a.acl = {{"All Users", access_type::read, false}};
        add_record(a);
        a.name = "two & more";
        a.acl = {{"alice", access_type::read, false}};
        add_record(a);
        CollectionConfiguration c;
        c.name = "public";
        c.archives = {1};
        c.acl = {{"All Users", access_type::read, false}};
        add_record(c);
        LoginConfiguration login;
        login.users["alice"] = {"alice", md5_hex("pw"), false, {}};
        set_record(login_record_id, login);
        store_page(public_guid, 1, "http://example.com/");
        store_page(secret_guid, 2, "http://example.com/secret");
        ASSERT_EQ(run_daemon(write_config(), {"/reindex"}).exit_code, 0);

        const std::string sections =
            "head: h.tmpl\nfoot: f.tmpl\nno_result: none.tmpl\ninternalerror: e.tmpl\n"
            "result_head: rh.tmpl\nresult_row: row.tmpl\n";
        docs_.write("s.html.special", "template\n" + sections);
        docs_.write("h.tmpl",
                    "H[{=user=}|{=currname=}|{=q=}]\n{=archiveselect=}"
                    "{=collectionselect=}");
        docs_.write("f.tmpl", "F");
        docs_.write("none.tmpl", "none");
        docs_.write("e.tmpl", "E:{=error=}");
        docs_.write("rh.tmpl", "{=from=}-{=to=} of {=maxresults=};");
        docs_.write("row.tmpl", "<{=url=}|{=cache=}>");
        docs_.write("ctx.html.special", "template\nresult_row: ctx.tmpl\n");
        docs_.write("ctx.tmpl", "[{=ctx=}]");
        docs_.write("cache.special", "cache\ninternalerror: e.tmpl\n");
        docs_.write("private/s.html.special",
                    "template\nhead: ../h.tmpl\nresult_head: ../rh.tmpl\n");
        docs_.write("index.html.special", "language\nen /en/\nde /de/\n");
        docs_.write("old.special", "redirect /new/\n");
        docs_.write("dir/index.html", "in dir");
        docs_.write("image.png", "PNG");
        docs_.write("style.css", "p{}");
        start_daemon("PORTAL_DOCS=" + docs_.str() +
                     "\nHTTP_USER=admin\nHTTP_MD5PASS=" + md5_hex("secret") + "\n");
    }

    void store_page(const std::string& guid, std::uint32_t arcid, const std::string& url) {
        document_version doc;
        doc.guid = guid;
        doc.arcid = arcid;
        doc.url = url;
        doc.timestamp = 1700000000;
        doc.content = page_content;
        doc.mime = "text/html";
        store(doc);
    }

    std::string request(const std::string& target, const std::string& headers) {
        return http_exchange(port_, "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n");
    }
    // The head of every portal page: status, type, date and the no-cache block.
    static std::string page_head(const std::string& status, const std::string& type) {
        return "HTTP/1\\.1 " + status + "\r\nContent-Type: " + type + "\r\n" + date_pattern() +
               "Last-Modified: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} "
               "[0-9]{2}:[0-9]{2}:[0-9]{2} GMT\r\n"
               "Cache-Control: no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
               "Expires: Mon, 26 Jul 1997 05:00:00 GMT\r\nPragma: no-cache\r\n";
    }
    static std::string html_head(const std::string& status) {
        return page_head(status, "text/html; charset=UTF-8");
    }
    // Whether `reply` is a head that matches the pattern `head` and then exactly `body`.
    static bool is_page(const std::string& reply, const std::string& head,
                        const std::string& body) {
        const std::size_t end = reply.find("\r\n\r\n");
        return end != std::string::npos && matches(reply.substr(0, end + 2), head) &&
               reply.substr(end + 4) == body;
    }

    temp_dir docs_;
};

TEST_F(portal_test, fixed_pages_are_sent_byte_for_byte) {
    const std::string not_found = "<html><body>Error 404 - File not found.</body></html>";
    EXPECT_TRUE(is_page(get("/nothing.html"), html_head("404 Not found"), not_found));

    const std::string moved = "http://portal.test:8080/dir/";
    EXPECT_TRUE(is_page(request("/dir?x=1", "Host: portal.test:8080\r\n"),
                        html_head("302 Found") + "Location: http://portal\\.test:8080/dir/\r\n",
                        "<html><body>Moved <a href=\"" + moved + "\">here</a></body></html>\r\n"));
    EXPECT_THAT(get("/old"), testing::HasSubstr("\r\nLocation: http://127.0.0.1:" +
                                                std::to_string(port_) + "/new/\r\n"));

    // (Which language a header chooses is the language chooser's unit table.)
    EXPECT_THAT(request("/", "Host: h:1\r\nAccept-Language: de-DE, en;q=0.5\r\n"),
                testing::HasSubstr("\r\nLocation: http://h:1/de/\r\n"));
    EXPECT_TRUE(is_page(
        request("/", "Accept-Language: en;q=high\r\n"), html_head("500 Internal server error"),
        "<html><body>Error 500 - Internal server error, invalid redirect.</body></html>"));
    EXPECT_TRUE(
        is_page(get("/cache/x.html"), html_head("500 Internal server error"),
                "<html><body>Error 500 - Internal server error, invalid template.</body></html>"));

    struct plain {
        std::string path;
        std::string type;
        std::string body;
    };
    for (const plain& p : {plain{"/dir/", "text/html; charset=UTF-8", "in dir"},
                           plain{"/style.css", "text/css", "p{}"},
                           plain{"/image.png", "text/html; charset=UTF-8", "PNG"}}) {
        EXPECT_TRUE(is_page(get(p.path),
                            page_head("200 OK", p.type) +
                                "Content-Length: " + std::to_string(p.body.size()) + "\r\n",
                            p.body))
            << p.path;
    }
}

TEST_F(portal_test, search_page_runs_as_the_anonymous_caller) {
    EXPECT_TRUE(is_page(get("/s.html?q=garden&c=1&x=%3Cscript%3E"), html_head("200 OK"),
                        "H[Anonymous|public|garden]\n"
                        "<option value=\"0\"></option>\n"
                        "<option value=\"1\">one</option>\n"
                        "<option value=\"0\"></option>\n"
                        "<option value=\"-1\">*</option>\n"
                        "<option value=\"1\" selected>public</option>\n"
                        "1-1 of 1;<http://example.com/|cache/document.html?doc=" +
                            std::string(public_guid) + ">F"));
    const std::string empty = get("/s.html");
    EXPECT_THAT(empty, testing::HasSubstr("\r\n\r\nH[Anonymous||]\n"));
    EXPECT_TRUE(empty.ends_with("</option>\nnoneF"));
    // Every archive the caller may read when no scope is chosen: alice's is not among them.
    EXPECT_THAT(get("/s.html?q=garden"), testing::HasSubstr("1-1 of 1;"));
    // Contexts (escaped) are fetched for rows that show them.
    EXPECT_TRUE(get("/ctx.html?q=garden")
                    .ends_with("\r\n\r\n[ Rooms:3&lt;5&amp;&quot;quiet&quot;l'été"
                               "chaud Home ...]"));
    // A refused search renders the error section. (Which searches are refused is the API's.)
    EXPECT_TRUE(get("/s.html?alg=a%20%26").ends_with("E:Bad queryF"));
}

TEST_F(portal_test, private_pages_search_as_the_signed_in_user) {
    const std::string unauthorized =
        "HTTP/1.1 401 Authorization required\r\nWWW-Authenticate: Basic "
        "realm=\"vantorell\"\r\n\r\n";
    for (const char* target : {"/private/s.html?q=garden", "/%70rivate/s.html"}) {
        EXPECT_EQ(get(target), unauthorized) << target;
    }
    const std::string alice = "Authorization: Basic " + encode_base64("alice:pw") + "\r\n";
    const std::string reply = get("/private/s.html?q=garden", alice);
    EXPECT_THAT(reply, testing::HasSubstr("H[alice||garden]\n"));
    EXPECT_THAT(reply, testing::HasSubstr("<option value=\"2\">two &amp; more</option>\n"));
    EXPECT_THAT(reply, testing::HasSubstr("1-2 of 2;"));
}

TEST_F(portal_test, cached_views_run_nothing_in_the_daemons_origin) {
    const std::string base = "<base href=\"http://example.com/\">\n";
    const std::string original = base + page_content;
    const std::string sandboxed =
        "X-Content-Type-Options: nosniff\r\nContent-Security-Policy: sandbox\r\nContent-Length: ";
    EXPECT_TRUE(is_page(
        get(std::string("/cache/page.html?doc=") + public_guid),
        page_head("200 OK", "text/html") + sandboxed + std::to_string(original.size()) + "\r\n",
        original));
    const std::string html =
        base + FFF::render_html(public_guid, "http://example.com/", 1700000000, *sample_page());
    EXPECT_TRUE(is_page(get(std::string("/cache/a/b.html?html&doc=") + public_guid),
                        page_head("200 OK", "text/html; charset=UTF-8") + sandboxed +
                            std::to_string(html.size()) + "\r\n",
                        html));
    // Another user's document: the error section, and nothing of the page.
    const std::string refused = get(std::string("/cache/x?doc=") + secret_guid);
    EXPECT_THAT(refused, testing::HasSubstr("\r\n\r\nE:"));
    EXPECT_THAT(refused, testing::Not(testing::HasSubstr("script")));
}

}  // namespace
}  // namespace vant_test
