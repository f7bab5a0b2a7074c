// The portal of the running daemon: a search page run as the anonymous caller and, below
// /private/, as the signed-in user, and sandboxed cached views, over a document root of the
// test's own. The browser test drives the installed default portal with hostile parameters,
// private scopes and refused cached views; fixed pages, redirects and paths are unit tests.
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
    // collection of the first, readable by everybody (an entry reads by default); a document root
    // with small sections that show their variables.
    void SetUp() override {
        add_archive("one");
        add_archive("two & more", "alice");
        add_record(CollectionConfiguration{"public", "", {1}, {{"All Users"}}});
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

    // The status and type of a portal page (its other lines are the unit table's).
    static std::string page_head(const std::string& status, const std::string& type) {
        return "HTTP/1\\.1 " + status + "\r\nContent-Type: " + type + "\r\n[^]*";
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

TEST_F(portal_test, search_page_runs_as_the_anonymous_caller) {
    EXPECT_TRUE(is_page(get("/s.html?q=garden&c=1&x=%3Cscript%3E"),
                        page_head("200 OK", "text/html; charset=UTF-8"),
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
