// sample_document.h: FFF trees for the tests, and the words of a tree for comparisons.
// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "worker/FFF/FFF.h"

namespace vant_test {

// Every token of the tree in document order.
inline std::vector<std::string> all_words(const marloven::tXMLTree& tree) {
    struct collector : marloven::tXMLTree::const_visitor {
        std::vector<std::string> words;
        void visit(const marloven::tXMLTree& node, unsigned, bool closing) override {
            if (auto* low = dynamic_cast<const FFF::Low*>(&node); low && !closing) {
                words.insert(words.end(), low->words.begin(), low->words.end());
            }
        }
    } c;
    tree.accept(c, 0);
    return c.words;
}

inline FFF::Low& add_run(marloven::tXMLParentTree& parent, std::uint32_t dictid,
                         std::initializer_list<std::string_view> words, std::uint32_t urlid = 0) {
    auto& low = parent.add<FFF::Low>();
    low.dictid = dictid;
    low.urlid = urlid;
    low.words = FFF::word_list(words);
    return low;
}

// A page with a title, two paragraphs with emphasis, punctuation, markup characters, links
// (one of them used twice), a remote link and metas of all three types (in written order).
inline std::unique_ptr<FFF::DocumentData> sample_page() {
    auto doc = std::make_unique<FFF::DocumentData>();
    doc->score = 750000;
    const auto home = doc->addLink("http://example.com/", 1000000);
    const auto about = doc->addLink("http://example.com/about?a=1&b=2", 250000);
    auto& contents = doc->add<FFF::Contents>();
    auto& head = contents.add<FFF::P>().add<FFF::S>();
    add_run(head, FFF::slice::title, {"Big", "house", ",", "garden"});
    auto& s1 = contents.add<FFF::P>().add<FFF::S>();
    add_run(s1, FFF::slice::centralNorm, {"Rooms", ":", "3", "<", "5", "&", "\"quiet\""});
    add_run(s1, FFF::slice::centralEmph, {"l'été", "chaud"});
    add_run(s1, FFF::slice::centralLink, {"Home"}, home);
    auto& p2 = contents.add<FFF::P>();
    auto& s2 = p2.add<FFF::S>();
    add_run(s2, FFF::slice::marginalLink, {"About", "us"}, about);
    add_run(s2, FFF::slice::centralRemote, {"elsewhere"});
    add_run(p2.add<FFF::S>(), FFF::slice::centralLink, {"home", "again", "."}, home);
    contents.metas() = {
        {FFF::meta_documentwide, FFF::slice::keyword, "author", "A & B <x>", 0, 0},
        {FFF::meta_positional, FFF::slice::centralEmph, "anchor", "it's", 4, 0},
        {FFF::meta_ranged, FFF::slice::centralNorm, "lang", "fr", 3, 9},
    };
    return doc;
}

}  // namespace vant_test
