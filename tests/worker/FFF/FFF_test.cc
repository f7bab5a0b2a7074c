// Tests of the FFF node classes: links, the kind table and run storage.
// SPDX-License-Identifier: MIT
#include "worker/FFF/FFF.h"

#include <gtest/gtest.h>

namespace FFF {
namespace {

TEST(document_links, same_url_twice_keeps_one_link_with_the_later_score) {
    DocumentData doc;
    EXPECT_EQ(doc.addLink("http://a/", 10), 0u);
    EXPECT_EQ(doc.addLink("http://b/", 20), 1u);
    EXPECT_EQ(doc.addLink("http://a/", 30), 0u);
    EXPECT_EQ(doc.addLink("http://c/", 40), 2u);  // ids stay dense after a repeat
    EXPECT_EQ(doc.links(),
              (std::vector<link>{{"http://a/", 30}, {"http://b/", 20}, {"http://c/", 40}}));
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

std::unique_ptr<tXMLTree> make_p() {
    return std::make_unique<P>();
}
std::unique_ptr<tXMLTree> make_s() {
    return std::make_unique<S>();
}

TEST(kind_table_death, a_second_factory_for_a_kind_is_fatal) {
    marloven::kind_table table(1);
    table.register_kind(2, make_p);
    table.register_kind(2, make_p);  // the same factory again is harmless
    EXPECT_EQ(table.lookup(2), make_p);
    EXPECT_DEATH(table.register_kind(2, make_s),
                 "src\\\\worker\\\\FFF\\\\tXMLTree\\([0-9]+\\): assertion \\[kindTable\\.map\\.find"
                 "\\(kindID\\) == kindTable\\.map\\.end\\(\\) \\|\\| kindTable\\.map\\[kindID\\] "
                 "== create\\] failed");
}

TEST(word_list, tokens_keep_their_bytes_and_boundaries) {
    const word_list w{"", std::string_view("x\0y", 3), "ab", "c"};
    EXPECT_EQ(std::vector<std::string_view>(w.begin(), w.end()),
              (std::vector<std::string_view>{"", std::string_view("x\0y", 3), "ab", "c"}));
    EXPECT_NE((word_list{"ab", "c"}), (word_list{"a", "bc"}));
}

}  // namespace
}  // namespace FFF
