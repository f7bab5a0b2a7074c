// Tests of the FFF node classes: links, walks, slices, the kind table and run storage.
// SPDX-License-Identifier: MIT
#include "worker/FFF/FFF.h"

#include <gtest/gtest.h>

#include "worker/FFF/sample_document.h"

namespace FFF {
namespace {

TEST(document_links, same_url_twice_keeps_one_link_with_the_later_score) {
    DocumentData doc;
    EXPECT_EQ(doc.addLink("http://a/", 10), 0u);
    EXPECT_EQ(doc.addLink("http://b/", 20), 1u);
    EXPECT_EQ(doc.addLink("http://a/", 30), 0u);
    EXPECT_EQ(doc.addLink("http://c/", 40), 2u);  // ids stay dense after a repeat
    ASSERT_EQ(doc.links().size(), 3u);
    EXPECT_EQ(doc.links()[0], (link{"http://a/", 30}));
    EXPECT_EQ(doc.links()[1], (link{"http://b/", 20}));
    EXPECT_EQ(doc.links()[2], (link{"http://c/", 40}));
    EXPECT_EQ(doc.find_link("http://b/"), 1u);
    EXPECT_EQ(doc.find_link("http://b"), std::nullopt);
}

TEST(document_links, many_urls_are_found_again_after_the_list_grows) {
    // The index refers into the link list; growing the list must not lose entries.
    DocumentData doc;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(doc.addLink("http://h/" + std::to_string(i * 7919 % 1000), 1), unsigned(i));
    }
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(doc.find_link("http://h/" + std::to_string(i * 7919 % 1000)), unsigned(i));
    }
}

struct recorded_visit {
    std::string name;
    unsigned depth;
    bool closing;
    bool operator==(const recorded_visit&) const = default;
};

struct recorder : tXMLTree::visitor, tXMLTree::const_visitor {
    std::vector<recorded_visit> seen;
    void visit(tXMLTree& n, unsigned d, bool c) override {
        seen.push_back({std::string(n.name()), d, c});
    }
    void visit(const tXMLTree& n, unsigned d, bool c) override {
        seen.push_back({std::string(n.name()), d, c});
    }
};

TEST(tree_walk, both_walks_enter_and_leave_every_node_in_document_order) {
    DocumentData doc;
    auto& p = doc.add<Contents>().add<P>();
    p.add<S>().add<Low>();
    p.add<Low>();
    const std::vector<recorded_visit> expected = {{"documentdata", 0, false},
                                                  {"contents", 1, false},
                                                  {"p", 2, false},
                                                  {"s", 3, false},
                                                  {"low", 4, false},
                                                  {"low", 4, true},
                                                  {"s", 3, true},
                                                  {"low", 3, false},
                                                  {"low", 3, true},
                                                  {"p", 2, true},
                                                  {"contents", 1, true},
                                                  {"documentdata", 0, true}};
    recorder mutable_walk;
    doc.accept(static_cast<tXMLTree::visitor&>(mutable_walk), 0);
    EXPECT_EQ(mutable_walk.seen, expected);
    recorder const_walk;
    static_cast<const DocumentData&>(doc).accept(static_cast<tXMLTree::const_visitor&>(const_walk),
                                                 0);
    EXPECT_EQ(const_walk.seen, expected);
}

TEST(slices, names_cover_the_table_and_other_numbers_are_unnamed) {
    for (auto [id, name] :
         std::vector<std::pair<std::uint32_t, std::string_view>>{{0, "?"},
                                                                 {1, "author"},
                                                                 {8, "marginalRemoteLink"},
                                                                 {9, "marginaHeader"},
                                                                 {12, "centralLink"},
                                                                 {15, "title"},
                                                                 {16, "custom0"},
                                                                 {25, "custom9"},
                                                                 {26, "customA"},
                                                                 {31, "customF"},
                                                                 {32, "?"},
                                                                 {0xFFFFFFFFu, "?"}}) {
        EXPECT_EQ(slice_name(id), name) << id;
    }
    EXPECT_TRUE(carries_urlid(7));
    EXPECT_TRUE(carries_urlid(12));
    EXPECT_FALSE(carries_urlid(8));
    EXPECT_FALSE(carries_urlid(13));
}

TEST(scores, shown_as_fractions_below_one_million_and_capped_there) {
    EXPECT_EQ(display_score(0), 0.0);
    EXPECT_DOUBLE_EQ(display_score(500000), 0.5);
    EXPECT_DOUBLE_EQ(display_score(1), 0.000001);
    EXPECT_DOUBLE_EQ(display_score(999999), 0.999999);
    EXPECT_EQ(display_score(1000000), 1000000.0);
    EXPECT_EQ(display_score(4000000), 1000000.0);
}

TEST(kind_table, fff_kinds_make_the_documented_classes) {
    struct expected_kind {
        std::uint32_t kind;
        std::string_view name;  // of the object made
        int full;               // -1: no full flag
    };
    for (auto [kind, name, full] : std::vector<expected_kind>{{0, "documentdata", 0},
                                                              {1, "contents", 0},
                                                              {2, "p", -1},
                                                              {3, "s", -1},
                                                              {4, "low", -1},
                                                              {5, "contents", 1},
                                                              {6, "documentdata", 1}}) {
        SCOPED_TRACE(kind);
        auto create = kindTable().lookup(kind);
        ASSERT_NE(create, nullptr);
        auto node = create();
        EXPECT_EQ(node->name(), name);
        if (auto* d = dynamic_cast<DocumentData*>(node.get())) {
            EXPECT_EQ(d->full, full == 1);
            EXPECT_EQ(d->score, 1000000u);
        } else if (auto* c = dynamic_cast<Contents*>(node.get())) {
            EXPECT_EQ(c->full, full == 1);
        } else if (auto* low = dynamic_cast<Low*>(node.get())) {
            EXPECT_EQ(low->dictid, 5u);
            EXPECT_TRUE(low->words.empty());
        }
    }
    EXPECT_EQ(kindTable().lookup(7), nullptr);
    EXPECT_EQ(kindTable().version(), 100u);
}

std::unique_ptr<tXMLTree> make_p() {
    return std::make_unique<P>();
}
std::unique_ptr<tXMLTree> make_s() {
    return std::make_unique<S>();
}

TEST(kind_table, registering_the_same_factory_again_is_harmless) {
    marloven::kind_table table(1);
    table.register_kind(2, make_p);
    table.register_kind(2, make_p);
    EXPECT_EQ(table.lookup(2), make_p);
    EXPECT_EQ(table.lookup(3), nullptr);
}

TEST(kind_table_death, a_second_factory_for_a_kind_is_fatal) {
    marloven::kind_table table(1);
    table.register_kind(2, make_p);
    EXPECT_DEATH(table.register_kind(2, make_s),
                 "src\\\\worker\\\\FFF\\\\tXMLTree\\([0-9]+\\): assertion \\[kindTable\\.map\\.find"
                 "\\(kindID\\) == kindTable\\.map\\.end\\(\\) \\|\\| kindTable\\.map\\[kindID\\] "
                 "== create\\] failed");
}

TEST(node_death, a_plain_documentdata_basic_cannot_be_written) {
    DocumentData_basic basic;
    std::string out;
    EXPECT_DEATH(basic.write(out),
                 "src\\\\worker\\\\FFF\\\\FFF\\([0-9]+\\): assertion \\[false\\]");
}

TEST(word_list, tokens_keep_their_bytes_order_and_boundaries) {
    word_list w{"", "a", std::string_view("x\0y", 3), "", "longer token"};
    EXPECT_EQ(
        std::vector<std::string_view>(w.begin(), w.end()),
        (std::vector<std::string_view>{"", "a", std::string_view("x\0y", 3), "", "longer token"}));
    EXPECT_EQ(w[2], std::string_view("x\0y", 3));
    // Same bytes cut differently are different runs.
    EXPECT_NE((word_list{"ab", "c"}), (word_list{"a", "bc"}));
    EXPECT_EQ((word_list{"ab", "c"}), (word_list{"ab", "c"}));
    w.clear();
    EXPECT_TRUE(w.empty());
    EXPECT_EQ(w.text_size(), 0u);
}

}  // namespace
}  // namespace FFF
