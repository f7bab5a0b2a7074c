// Tests of the FFF node classes: links and run storage.
// SPDX-License-Identifier: MIT
#include "worker/FFF/FFF.h"

#include <gtest/gtest.h>

namespace FFF {
namespace {

// The index refers into the link list, which moves as it grows: no entry may be lost.
TEST(document_links, a_url_added_again_keeps_its_id_and_takes_the_later_score) {
    DocumentData doc;
    for (int score : {1, 2}) {
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(doc.addLink("http://h/" + std::to_string(i * 7919 % 1000), score),
                      unsigned(i));
        }
    }
    EXPECT_EQ(doc.addLink("http://h/new", 3), 1000u) << "ids stay dense after repeats";
    EXPECT_EQ(doc.links()[1], (link{"http://h/919", 2}));
    EXPECT_EQ(doc.find_link("http://h/919"), 1u);
    EXPECT_EQ(doc.find_link("http://h"), std::nullopt);
}

TEST(word_list, tokens_keep_their_bytes_and_boundaries) {
    const word_list w{"", std::string_view("x\0y", 3), "ab", "c"};
    EXPECT_EQ(std::vector<std::string_view>(w.begin(), w.end()),
              (std::vector<std::string_view>{"", std::string_view("x\0y", 3), "ab", "c"}));
    EXPECT_NE((word_list{"ab", "c"}), (word_list{"a", "bc"}));
}

}  // namespace
}  // namespace FFF
