// Tests of the default plug-ins (URL, Static, RegEx, MetaExchange) and the example plug-in, each
// loaded from its library and applied to a real page of the shared corpus.
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "parse/document_parser.h"
#include "plugin-system/fff-plugins-loader.h"
#include "support/corpus.h"
#include "support/plugin_dir.h"
#include "worker/FFF/FFF-serialize.h"

namespace marloven {
namespace {

class default_plugins_test : public testing::Test {
  protected:
    default_plugins_test() {
        for (const char* module :
             {"urlplugin", "staticplugin", "regexplugin", "metaexchangeplugin"}) {
            dir_.add(VANT_DEPLOY_DIR "/plugins/" + std::string(module) + ".so");
        }
        dir_.add(VANT_BUILD_DIR "/example-plugins/exampleplugin.so");
        loader_.load();
    }
    void SetUp() override {
        if (page_.empty()) {
            GTEST_SKIP() << "the shared corpus is not on this machine";
        }
    }

    // Applies one filter of `module` with the plug-in's configuration and the filter's
    // parameters to the corpus page as fetched from `url`; the metas it added, "k=v;" each.
    // "refused" when the plug-in refuses the configuration.
    std::string apply(const std::string& module, const std::string& configuration,
                      const std::string& parameters,
                      const std::string& url = "http://127.0.0.1:18080/pg/sql-select.html") {
        ++magic_;
        loader_.configure_plugin({1, magic_, "record", module, configuration});
        if (!loader_.configure_docfilter({1, magic_, "filter", 1, parameters})) {
            return "refused";
        }
        parsed_document parsed = parse_document({url, "", page_, "text/html", "", "", 0});
        auto tree = FFF::FromBinary(parsed.fff);
        auto& doc = dynamic_cast<FFF::DocumentData&>(*tree.root);
        std::size_t before = metas(doc).size();
        loader_.apply({1}, doc, {url, parsed.mime, parsed.charset});
        std::string out;
        for (std::size_t i = before; i < metas(doc).size(); ++i) {
            out += metas(doc)[i].key + "=" + metas(doc)[i].value + ";";
        }
        return out;
    }
    static std::vector<FFF::meta>& metas(FFF::DocumentData& doc) {
        return dynamic_cast<FFF::Contents&>(*doc.children.at(0)).metas();
    }

    std::string page_ = vant_test::corpus_page("sql-select.html");
    vant_test::temp_dir tmp_;
    vant_test::plugin_dir dir_{tmp_};
    vant_test::plugin_log log_{tmp_};
    fff_plugins_loader loader_{dir_.plugins()};
    std::uint32_t magic_ = 0;
};

TEST_F(default_plugins_test, url_splitter_gives_the_parts_of_the_url) {
    EXPECT_EQ(apply("urlplugin", "", ""),
              "urlscheme=http;urlport=18080;urlhost=127.0.0.1;urlsegment=pg;urldir=/pg/;"
              "urlsegment=sql-select.html;urlext=html;");
    EXPECT_EQ(apply("urlplugin", "parts=host domain ext", "",
                    "HTTPS://user@Docs.Example.ORG/a/Report.PDF?x=1#top"),
              "urlhost=docs.example.org;urldomain=org;urldomain=example.org;"
              "urldomain=docs.example.org;urlext=pdf;");
    // The filter's parameters win over the plug-in's configuration.
    EXPECT_EQ(apply("urlplugin", "parts=ext\nprefix=u", "prefix=site"), "siteext=html;");
    EXPECT_EQ(apply("urlplugin", "parts=host colour", ""), "refused");
}

TEST_F(default_plugins_test, static_metadata_adds_its_lines_to_every_document) {
    EXPECT_EQ(
        apply("staticplugin", "source = manual\r\n# comment\n\ncollection=pg 15", "audience=dba"),
        "source=manual;collection=pg 15;audience=dba;");
    EXPECT_EQ(apply("staticplugin", "ok=1\nno equals sign", ""), "refused");
    EXPECT_EQ(apply("staticplugin", "a:b=1", ""), "refused");
}

TEST_F(default_plugins_test, regex_rules_set_metas_from_matches) {
    EXPECT_EQ(apply("regexplugin",
                    "command title /^([A-Z]+)$/ $1\n"
                    "area url #/pg/([a-z]+)-# $1\n"
                    "maxmatches=2\n"
                    "clause text /(HAVING|WINDOW)/g $1\n"
                    "copy meta:command /sel/i lower-$0\n"
                    "none text /NO SUCH TEXT/",
                    ""),
              "command=SELECT;area=sql;clause=HAVING;clause=WINDOW;copy=lower-SEL;");
    for (const char* bad : {"k text /(a)\\1/", "k body /x/", "k text /x", "k text /x/q v",
                            "k text /[/", "maxtext=0"}) {
        EXPECT_EQ(apply("regexplugin", bad, ""), "refused") << bad;
    }
}

// The program is a shell here; the plug-in itself starts it directly, without one.
TEST_F(default_plugins_test, metaexchange_adds_what_the_program_prints) {
    EXPECT_EQ(apply("metaexchangeplugin", "program=/bin/sh\narg=-c",
                    "arg=read u; read m; read blank; echo \"first=$u\"; echo \"mime=$m\"; "
                    "grep -m1 -c SELECT | sed 's/^/lines=/'; echo not-a-meta"),
              "first=http://127.0.0.1:18080/pg/sql-select.html;mime=text/html;lines=1;");
}

struct exchange_failure {
    const char* settings;
    const char* log;
};
class metaexchange_failure_test : public default_plugins_test,
                                  public testing::WithParamInterface<exchange_failure> {};

// A failing program is a log line; the document goes on without its metas.
TEST_P(metaexchange_failure_test, is_logged_and_adds_nothing) {
    EXPECT_EQ(apply("metaexchangeplugin", GetParam().settings, ""), "");
    EXPECT_NE(log_.text().find(GetParam().log), std::string::npos) << log_.text();
}
INSTANTIATE_TEST_SUITE_P(
    cases, metaexchange_failure_test,
    testing::Values(
        exchange_failure{"program=/bin/sh\narg=-c\narg=echo a=1; sleep 10\ntimeout=1",
                         "/bin/sh did not finish within 1 seconds"},
        exchange_failure{"program=/bin/sh\narg=-c\narg=echo a=1; exit 3",
                         "/bin/sh failed with exit status 3"},
        exchange_failure{"program=/bin/sh\narg=-c\narg=head -c 5000 /dev/zero\nmaxoutput=1000",
                         "/bin/sh wrote more than 1000 bytes"},
        exchange_failure{"program=/nonexistent/tagger", "cannot start /nonexistent/tagger"}));

TEST_F(default_plugins_test, example_plugin_counts_the_body_words) {
    std::string added = apply("exampleplugin", "", "bodywords");
    ASSERT_EQ(added.rfind("bodywords=", 0), 0u) << added;
    EXPECT_GT(std::stoi(added.substr(10)), 1000);
    EXPECT_EQ(apply("exampleplugin", "", "bad:key"), "refused");
}

}  // namespace
}  // namespace marloven
