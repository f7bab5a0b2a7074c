// Tests of SLR, the language recogniser plug-in (langplugin), loaded from its library by the
// plug-in loader and applied to parsed documents, as the worker does.
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "parse/document_parser.h"
#include "plugin-system/fff-plugins-loader.h"
#include "support/plugin_dir.h"
#include "worker/FFF/FFF-serialize.h"
#include "worker/FFF/sample_document.h"

namespace marloven {
namespace {

// What the plug-in left in a document: its documentwide languages (joined by commas) and its
// ranged language metas.
struct outcome {
    bool configured = false;
    std::string documentwide;
    std::vector<FFF::meta> ranged;
    std::unique_ptr<tXMLTree> tree;
};

class langplugin_test : public testing::Test {
  protected:
    langplugin_test() {
        dir_.add(VANT_DEPLOY_DIR "/plugins/langplugin.so");
        loader_.load();
    }

    // Configures a filter of the plug-in and applies it to `html`.
    outcome apply(const std::string& html, const std::string& configuration = {},
                  const std::string& parameters = {}) {
        outcome out;
        ++magic_;
        loader_.configure_plugin({1, magic_, "SLR", "langplugin", configuration});
        out.configured = loader_.configure_docfilter({1, magic_, "filter", 1, parameters});
        if (!out.configured) {
            return out;
        }
        const std::string url = "http://example.org/page.html";
        parsed_document parsed = parse_document({url, "", html, "text/html", "", "", 0});
        out.tree = FFF::FromBinary(parsed.fff).root;
        auto& doc = dynamic_cast<FFF::DocumentData&>(*out.tree);
        loader_.apply({1}, doc, {url, parsed.mime, parsed.charset});
        for (const FFF::meta& m : dynamic_cast<FFF::Contents&>(*doc.children.at(0)).metas()) {
            if (m.key == MARLOVEN_META_LANGUAGE && m.type == FFF::meta_ranged) {
                out.ranged.push_back(m);
            } else if (m.key == MARLOVEN_META_LANGUAGE && m.type == FFF::meta_documentwide) {
                out.documentwide += (out.documentwide.empty() ? "" : ",") + m.value;
            }
        }
        return out;
    }

    vant_test::temp_dir tmp_;
    vant_test::plugin_dir dir_{tmp_};
    vant_test::plugin_log log_{tmp_};
    fff_plugins_loader loader_{dir_.plugins()};
    std::uint32_t magic_ = 0;
};

// The configuration the server gives the default SLR record is the built-in training text; the
// daemon's crawls find pages by the languages it teaches (integration/plugins_test).
TEST_F(langplugin_test, too_little_text_sets_no_language) {
    outcome out = apply("<html><title>OK 42</title><p>12:30 - 14:00</p></html>",
                        vant_test::read_file(VANT_SOURCE_DIR "/src/api/data/langtrain.txt"));
    ASSERT_TRUE(out.configured);
    EXPECT_EQ(out.documentwide, "");
}

// An English page that quotes a German paragraph: the page is English, the quotation is marked
// over exactly its tokens; a short French greeting is too short to tell and stays unmarked.
// The empty configuration trains on the plug-in's own copy of the built-in text.
TEST_F(langplugin_test, marks_a_long_paragraph_in_another_language) {
    const std::string html =
        "<html><title>Letters from our readers</title><body>"
        "<p>Last month we asked our readers to send us the notes they find in second-hand "
        "books. We received more than a hundred letters, and some of them made us laugh.</p>"
        "<p>Gestern habe ich in einem alten Buch einen Zettel gefunden, auf dem meine "
        "Großmutter ein Rezept für Apfelkuchen aufgeschrieben hatte.</p>"
        "<p>Merci beaucoup!</p></body></html>";
    outcome out = apply(html);
    ASSERT_TRUE(out.configured);
    EXPECT_EQ(out.documentwide, "en");
    const std::vector<FFF::meta>& ranged = out.ranged;
    ASSERT_EQ(ranged.size(), 1u);
    EXPECT_EQ(ranged[0].value, "de");
    // Every token of the document, in order: a token's index is its position.
    const std::vector<std::string> words = vant_test::all_words(*out.tree);
    ASSERT_LT(ranged[0].end + 1, words.size());
    EXPECT_EQ(words[ranged[0].beg], "Gestern");
    EXPECT_EQ(words[ranged[0].end] + words[ranged[0].end + 1], ".Merci");
    // Text beyond the bound of a document's cost is not read: the German paragraph is past it.
    outcome bounded = apply(html, "", "max_text_bytes = 150");
    EXPECT_EQ(bounded.documentwide, "en");
    EXPECT_TRUE(bounded.ranged.empty());
}

// A custom training text replaces the built-in one: with Finnish alone, every page is Finnish.
TEST_F(langplugin_test, trains_on_a_custom_training_text) {
    const std::string training =
        "# Finnish only\n"
        "###BEGIN###\n1 fi\n"
        "Aamulla satoi lunta, ja lapset juoksivat pihalle rakentamaan lumiukkoa. Äiti keitti "
        "kahvia ja katseli ikkunasta, kun naapurin koira haukkui innoissaan. Iltapäivällä "
        "menimme kauppaan ostamaan leipää, maitoa ja juustoa. Kotimatkalla tapasimme vanhan "
        "ystävän.\n"
        "###END###\n";
    EXPECT_EQ(apply("<title>Letters from our readers</title>", training).documentwide, "fi");
}

struct bad_configuration {
    const char* configuration;
    const char* parameters;
    const char* message;  // what the log line says after "Cannot configure docfilter 1 (filter): "
};
class bad_configuration_test : public langplugin_test,
                               public testing::WithParamInterface<bad_configuration> {};

TEST_P(bad_configuration_test, is_refused_with_its_reason) {
    EXPECT_FALSE(
        apply("<title>x</title>", GetParam().configuration, GetParam().parameters).configured);
    EXPECT_NE(log_.text().find(std::string("Plugin SLR: Cannot configure docfilter 1 (filter): ") +
                               GetParam().message),
              std::string::npos)
        << log_.text();
}
INSTANTIATE_TEST_SUITE_P(
    cases, bad_configuration_test,
    testing::Values(
        bad_configuration{"just some words", "",
                          "training text line 1: text outside a ###BEGIN###"},
        bad_configuration{"###BEGIN###\n1 en\nsome text\n", "",
                          "training text line 1: section not closed by ###END###"},
        bad_configuration{"###BEGIN###\n1 en\ntoo short\n###END###\n", "",
                          "training text line 1: language 'en' has 8 letters of text, fewer "
                          "than the 200 needed"},
        bad_configuration{"", "order = 9", "parameter line 1: expected 1 to 5, found 'order = 9'"},
        bad_configuration{"", "colour = blue", "parameter line 1: unknown setting 'colour'"}));

}  // namespace
}  // namespace marloven
