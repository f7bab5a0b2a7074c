// Tests of the document view that plug-ins see: positions, and the checks of the changes they ask
// for.
// SPDX-License-Identifier: MIT
#include "plugin-system/document_view.h"

#include <gtest/gtest.h>

#include "worker/FFF/sample_document.h"

namespace marloven {
namespace {

// A document with one contents node: "one two" (body), "three" (a link run of link 0).
std::unique_ptr<FFF::DocumentData> sample() {
    auto doc = std::make_unique<FFF::DocumentData>(true);
    doc->addLink("http://h.test/x", 500000);
    auto& s = doc->add<FFF::Contents>(true).add<FFF::P>().add<FFF::S>();
    vant_test::add_run(s, FFF::slice::centralNorm, {"one", "two"});
    vant_test::add_run(s, FFF::slice::centralLink, {"three"}, 0);
    return doc;
}

TEST(document_view_test, runs_carry_positions_and_follow_word_changes) {
    auto doc = sample();
    document_view view(*doc, {"http://h.test/", "text/html", "utf-8"});
    const marloven_fff_document* c = view.c_document();
    ASSERT_EQ(c->run_count, 2u);
    EXPECT_EQ(c->token_count, 3u);
    EXPECT_EQ(c->runs[1].position, 2u);
    EXPECT_EQ(c->runs[1].urlid, 0u);
    EXPECT_STREQ(c->runs[1].words[0], "three");
    EXPECT_STREQ(c->links[0].url, "http://h.test/x");

    const char* words[] = {"a", "b", "c"};
    std::string why;
    ASSERT_TRUE(view.set_words(0, words, 3, why)) << why;
    c = view.c_document();
    EXPECT_EQ(c->runs[1].position, 3u);
    EXPECT_EQ(c->token_count, 4u);
    const char* blank[] = {"two words"};
    EXPECT_FALSE(view.set_words(0, blank, 1, why));
    EXPECT_FALSE(view.set_words(2, words, 1, why));
}

struct meta_case {
    marloven_fff_meta meta;
    bool accepted;
};
class add_meta_test : public testing::TestWithParam<meta_case> {};

TEST_P(add_meta_test, stores_only_entries_that_keep_the_document_sound) {
    auto doc = sample();
    document_view view(*doc, {"http://h.test/", "text/html", ""});
    std::string why;
    EXPECT_EQ(view.add_meta(GetParam().meta, why), GetParam().accepted) << why;
    EXPECT_EQ(view.c_document()->meta_count, GetParam().accepted ? 1u : 0u);
}
INSTANTIATE_TEST_SUITE_P(
    cases, add_meta_test,
    testing::Values(meta_case{{MARLOVEN_META_DOCUMENTWIDE, 0, "site", "h.test", 7, 9}, true},
                    meta_case{{MARLOVEN_META_RANGED, 0, "language", "de", 0, 2}, true},
                    // positions outside the three tokens, or a range backwards
                    meta_case{{MARLOVEN_META_POSITIONAL, 0, "k", "v", 3, 0}, false},
                    meta_case{{MARLOVEN_META_RANGED, 0, "k", "v", 2, 1}, false},
                    meta_case{{MARLOVEN_META_RANGED, 0, "k", "v", 1, 3}, false},
                    // a key the query syntax cannot name, no key
                    meta_case{{MARLOVEN_META_DOCUMENTWIDE, 0, "a:b", "v", 0, 0}, false},
                    meta_case{{MARLOVEN_META_DOCUMENTWIDE, 0, nullptr, "v", 0, 0}, false},
                    // text the index and the renderers cannot carry
                    meta_case{{MARLOVEN_META_DOCUMENTWIDE, 0, "k", "tok\x01sep", 0, 0}, false},
                    // no such type or slice
                    meta_case{{3, 0, "k", "v", 0, 0}, false},
                    meta_case{{MARLOVEN_META_DOCUMENTWIDE, 32, "k", "v", 0, 0}, false}));

TEST(document_view_test, equal_entries_are_kept_once_and_removal_shifts_the_rest) {
    auto doc = sample();
    document_view view(*doc, {"http://h.test/", "text/html", ""});
    std::string why;
    marloven_fff_meta a{MARLOVEN_META_DOCUMENTWIDE, 0, "k", "a", 0, 0};
    marloven_fff_meta b{MARLOVEN_META_DOCUMENTWIDE, 3, "k", "b", 0, 0};
    ASSERT_TRUE(view.add_meta(a, why));
    ASSERT_TRUE(view.add_meta(b, why));
    a.dictid = 5;
    ASSERT_TRUE(view.add_meta(a, why));
    ASSERT_EQ(view.c_document()->meta_count, 2u);
    ASSERT_TRUE(view.remove_meta(0, why));
    EXPECT_STREQ(view.c_document()->metas[0].value, "b");
    EXPECT_FALSE(view.remove_meta(1, why));
}

TEST(document_view_test, a_document_without_contents_gets_one_for_its_first_meta) {
    FFF::DocumentData doc(true);
    document_view view(doc, {"http://h.test/", "text/plain", ""});
    std::string why;
    ASSERT_TRUE(view.set_language("en", why));
    EXPECT_STREQ(view.c_document()->language, "en");
    ASSERT_EQ(doc.children.size(), 1u);
    EXPECT_EQ(dynamic_cast<FFF::Contents&>(*doc.children[0]).metas().size(), 1u);
}

}  // namespace
}  // namespace marloven
