// Tests of the plug-in loaders: registration checks, host services, configured filters and their
// application, with the test plug-ins built from probe_plugin.c. A loader without a plug-in
// directory: api/api-plugin_test.
// SPDX-License-Identifier: MIT
#include "plugin-system/plugins.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "plugin-system/fff-plugins-loader.h"
#include "support/plugin_dir.h"
#include "support/temp_dir.h"
#include "worker/FFF/sample_document.h"

namespace marloven {
namespace {

std::string probe(const std::string& variant) {
    return VANT_PROBE_DIR "/probe_" + variant + ".so";
}

using vant_test::occurrences;

class plugins_test : public testing::Test {
  protected:
    std::unique_ptr<fff_plugins_loader> load_good() {
        dir_.add(probe("good"));
        auto loader = std::make_unique<fff_plugins_loader>(dir_.plugins());
        EXPECT_TRUE(loader->load());
        return loader;
    }
    // A document of one paragraph: "alpha beta".
    static std::unique_ptr<FFF::DocumentData> document() {
        auto doc = std::make_unique<FFF::DocumentData>(true);
        auto& s = doc->add<FFF::Contents>(true).add<FFF::P>().add<FFF::S>();
        vant_test::add_run(s, FFF::slice::centralNorm, {"alpha", "beta"});
        return doc;
    }
    // Configures docfilter `id` of the probe plug-in (record 1) with `script`.
    static void configure(fff_plugins_loader& loader, int id, const std::string& script,
                          std::uint32_t magic = 1) {
        ASSERT_TRUE(loader.configure_plugin({1, 1, "Probe record", "probe_good", ""}));
        ASSERT_TRUE(loader.configure_docfilter({id, magic, "probe filter", 1, script}));
    }
    static std::string metas(const FFF::DocumentData& doc) {
        std::string out;
        for (const FFF::meta& m : dynamic_cast<FFF::Contents&>(*doc.children.at(0)).metas()) {
            out += m.key + "=" + m.value + ";";
        }
        return out;
    }

    vant_test::temp_dir tmp_;
    vant_test::plugin_dir dir_{tmp_};
    vant_test::plugin_log log_{tmp_};
};

struct refusal_case {
    const char* variant;
    const char* message;  // the log text; %s stands for the library's path
};
class refused_library_test : public plugins_test,
                             public testing::WithParamInterface<refusal_case> {};

// A library that breaks a rule is logged and left out; the others load all the same.
TEST_P(refused_library_test, is_logged_and_left_out_while_others_load) {
    std::string path = dir_.add(probe(GetParam().variant));
    auto loader = load_good();
    ASSERT_EQ(loader->plugins().size(), 1u);
    EXPECT_EQ(loader->plugins()[0]->module, "probe_good");
    std::string expected = GetParam().message;
    if (auto at = expected.find("%s"); at != std::string::npos) {
        expected.replace(at, 2, path);
    }
    EXPECT_EQ(occurrences(log_.text(), expected), 1) << log_.text();
}
INSTANTIATE_TEST_SUITE_P(
    cases, refused_library_test,
    testing::Values(
        refusal_case{"register3", "Error 3 while loading plugin dll %s\n"},
        refusal_case{"type1", "Invalid plugin type 1 for plugin dll '%s'\n"},
        refusal_case{"nodestroy", "Invalid regdata.config_destroy for plugin dll 'NoDestroy'\n"},
        refusal_case{"newer",
                     "Plugin dll '%s' was built for plug-in interface version 2; this "
                     "host offers version 1\n"},
        refusal_case{
            "noexport",
            "Error loading plugin: DLL %s doesn't export marloven_plugin_registration\n"}));

TEST_F(plugins_test, host_services_accept_only_plain_utf8) {
    auto loader = load_good();
    const marloven_host_services& host = loader->host_services();
    char* folded = host.fold(
        "Stra\xC3\x9F"
        "e");
    EXPECT_STREQ(folded, "strasse");
    host.free(folded);
    EXPECT_EQ(host.compare("abd", "ABC"), 1);
    EXPECT_EQ(host.fold("caf\xE9"), nullptr);
    EXPECT_EQ(host.compare("caf\xE9", "\xFF"), MARLOVEN_COMPARE_FAILED);
    // Text a plug-in may hand over is plain UTF-8 (control characters: document_view_test).
    for (auto [text, plain] : std::initializer_list<std::pair<const char*, int>>{
             {"tab\tand\r\nlines caf\xC3\xA9", 1},
             {"stray \xA9 byte", 0},          // Latin-1, not UTF-8
             {"private \xEE\x80\x80", 0}}) {  // U+E000
        EXPECT_EQ(host.check_text(text), plain) << text;
    }
}

// Words a filter changes: worker-program/document_filters_test.
TEST_F(plugins_test, filters_apply_in_order_and_unknown_ones_are_skipped) {
    auto loader = load_good();
    configure(*loader, 1, "meta k1 v1\nlanguage de\nscore 42");
    configure(*loader, 2, "meta k2 v2\nlanguage fr\nmeta bad:key v");
    // A filter of a plug-in record that names no library stays unknown.
    for (int request = 0; request < 2; ++request) {
        EXPECT_FALSE(loader->configure_plugin({2, 1, "gone", "no_such_module", ""}));
        EXPECT_FALSE(loader->configure_docfilter({3, 1, "orphan", 2, ""}));
    }
    EXPECT_EQ(occurrences(log_.text(), "No plugin dll 'no_such_module' for plugin 2 (gone)"), 1);
    auto doc = document();
    loader->apply({9, 3, 1, 2}, *doc, {"http://h.test/", "text/html", "utf-8"});
    // The second filter sees the first one's work: one language entry, the later one.
    EXPECT_EQ(metas(*doc), "k1=v1;k2=v2;language=fr;");
    EXPECT_EQ(doc->score, 42u);
}

// A changed filter's new instance: worker-program/document_filters_test.
TEST_F(plugins_test, a_refused_filter_gets_no_instance_until_its_record_changes) {
    auto loader = load_good();
    configure(*loader, 1, "meta k old", 1);
    // The worker configures the filters of every request: a refusal is not tried again (nor
    // logged) until a record changes.
    EXPECT_FALSE(loader->configure_docfilter({1, 3, "probe filter", 1, "refuse"}));
    EXPECT_FALSE(loader->configure_docfilter({1, 3, "probe filter", 1, "refuse"}));
    EXPECT_EQ(occurrences(log_.text(), "Plugin Probe: refusing this configuration"), 1);
    EXPECT_FALSE(loader->is_known_docfilter(1));
    EXPECT_TRUE(loader->configure_docfilter({1, 4, "probe filter", 1, "meta k v"}));
    // Instances go before their libraries: the sanitizers fail this test otherwise.
    loader->unload();
}

}  // namespace
}  // namespace marloven
