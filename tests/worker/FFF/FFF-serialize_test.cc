// Tests of the FFF binary form: exact layouts, round trips, cut and damaged blobs, metas and
// the link record. Counts and lengths that announce more than a blob holds (and must not be
// allocated for): the FFF fuzz target, which runs with a malloc limit.
// SPDX-License-Identifier: MIT
#include "worker/FFF/FFF-serialize.h"

#include <gtest/gtest.h>

#include <memory>

#include "worker/FFF/sample_document.h"

namespace FFF {
namespace {

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) {
        s.push_back(static_cast<char>(c));
    }
    return s;
}

// Reads a copy of exactly `n` bytes of `blob`, so that the address sanitizer sees any read
// past the end.
binary_result read_prefix(const std::string& blob, std::size_t n) {
    auto copy = std::make_unique<char[]>(n == 0 ? 1 : n);
    std::copy_n(blob.data(), n, copy.get());
    return FromBinary(std::string_view(copy.get(), n));
}

// root(score 500000, link "a" 7) > contents(meta positional) > p > s > low(12, urlid 0, "hi" ",")
// and low(13, "x"): a link run carries its urlid, a remote link run does not.
std::unique_ptr<DocumentData> small_document() {
    auto doc = std::make_unique<DocumentData>();
    doc->score = 500000;
    doc->addLink("a", 7);
    auto& contents = doc->add<Contents>();
    auto& s = contents.add<P>().add<S>();
    vant_test::add_run(s, slice::centralLink, {"hi", ","}, 0);
    vant_test::add_run(s, slice::centralRemote, {"x"});
    contents.metas().push_back({meta_positional, 2, "k", "v", 3, 0});
    return doc;
}

const std::string small_blob = bytes({
    0xE4, 0x86,                                    // version 100, kind 6
    0x81,                                          // one child
    0x85, 0x81,                                    //   contents, one child
    0x82, 0x81,                                    //     p, one child
    0x83, 0x82,                                    //       s, two children
    0x84, 0x8C, 0x80, 0x82,                        //         low: dictid 12, urlid 0, two words
    0x82, 'h',  'i',  0x81, ',',                   //           "hi" ","
    0x84, 0x8D, 0x81, 0x81, 'x',                   //         low: dictid 13, one word "x"
    0x87, 0x81, 0x82, 0x81, 'k', 0x81, 'v', 0x83,  //   metas: 7 bytes, positional at 3
    0x20, 0x42, 0x9E,                              // score 500000
    0x81, 0x81, 'a',  0x87,                        // one link: "a", score 7
});

TEST(binary_form, small_document_has_the_exact_layout) {
    EXPECT_EQ(ToBinary(*small_document()), small_blob);
}

// Roots of the two older kinds read as today's; blobs without a tree (another version, an unknown
// root or child kind) read as nothing. Blobs cut in their header: the every-cut test.
TEST(binary_form, old_root_kinds_read_as_todays_and_blobs_without_a_tree_as_nothing) {
    const std::pair<std::string, std::string> cases[] = {
        // Kind 0 with two links: everything scores one million; it is written as a full document.
        {bytes({0xE4, 0x80, 0x80, 0x82, 0x81, 'x', 0x81, 'y'}),
         bytes({0xE4, 0x86, 0x80, 0x40, 0x04, 0xBD, 0x82, 0x81, 'x', 0x40, 0x04, 0xBD, 0x81, 'y',
                0x40, 0x04, 0xBD})},
        // Kind 1: contents without metas.
        {bytes({0xE4, 0x81, 0x81, 0x82, 0x80}), bytes({0xE4, 0x85, 0x81, 0x82, 0x80, 0x80})},
        {bytes({0xE5, 0x86, 0x80}), ""},
        {bytes({0x64, 0x86, 0x80}), ""},
        {bytes({0xE4, 0x87, 0x80}), ""},
        {bytes({0xE4, 0x86, 0x81, 0x89}), ""},
    };
    for (const auto& [blob, written] : cases) {
        auto got = FromBinary(blob);
        EXPECT_EQ(got.root ? ToBinary(*got.root) : "", written);
        EXPECT_EQ(got.state, written.empty() ? read_state::Empty : read_state::Complete);
    }
}

bool is_prefix(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST(binary_form, every_cut_of_a_page_reads_safely_and_keeps_a_prefix_of_the_text) {
    auto doc = vant_test::sample_page();
    const std::string blob = ToBinary(*doc);
    const auto words = vant_test::all_words(*doc);
    std::size_t with_root = 0;
    for (std::size_t n = 0; n < blob.size(); ++n) {
        SCOPED_TRACE(n);
        auto got = read_prefix(blob, n);
        if (!got.root) {
            EXPECT_EQ(got.state, read_state::Empty);
            continue;
        }
        ++with_root;
        EXPECT_NE(got.state, read_state::Complete);
        auto& read = dynamic_cast<DocumentData&>(*got.root);
        EXPECT_TRUE(is_prefix(vant_test::all_words(read), words));
        EXPECT_LE(read.links().size(), doc->links().size());
        for (std::size_t i = 0; i < read.links().size(); ++i) {
            EXPECT_EQ(read.links()[i].url, doc->links()[i].url);
        }
    }
    EXPECT_GT(with_root, blob.size() / 2);  // most cuts still give a document
    // Whole, it reads back equal: every field, scores and links included.
    auto whole = read_prefix(blob, blob.size());
    ASSERT_TRUE(whole.root);
    EXPECT_EQ(whole.state, read_state::Complete);
    EXPECT_EQ(ToBinary(*whole.root), blob);
}

std::string nested_blob(std::size_t depth) {
    // version, root, then depth - 1 paragraphs each holding the next, the last one empty;
    // then the root's score 0 and no links
    std::string blob = bytes({0xE4, 0x86});
    for (std::size_t i = 1; i < depth; ++i) {
        blob += bytes({0x81, 0x82});
    }
    return blob + bytes({0x80, 0x80, 0x80});
}

TEST(binary_form, nesting_deeper_than_the_limit_is_a_hard_failure) {
    const auto limit = marloven::tree_reader::default_max_depth;
    EXPECT_EQ(FromBinary(nested_blob(limit)).state, read_state::Complete);
    EXPECT_FALSE(FromBinary(nested_blob(limit + 1)).root);
    // Far deeper than any stack would take.
    EXPECT_FALSE(FromBinary(nested_blob(1000000)).root);
}

TEST(metas, come_back_sorted_and_without_repeats) {
    Contents contents;
    contents.metas() = {
        {meta_ranged, 1, "b", "x", 2, 5},        {meta_documentwide, 3, "z", "1", 0, 0},
        {meta_positional, 4, "a", "y", 9, 0},    {meta_positional, 6, "a", "y", 1, 0},
        {meta_documentwide, 7, "z", "1", 0, 0},  {meta_ranged, 8, "b", "x", 2, 4},
        {meta_documentwide, 9, "a", "10", 7, 7}, {meta_positional, 10, "a", "y", 9, 3},
    };
    auto got = FromBinary(ToBinary(contents));
    ASSERT_TRUE(got.root);
    const std::vector<meta> expected = {
        {meta_documentwide, 9, "a", "10", 0, 0}, {meta_documentwide, 3, "z", "1", 0, 0},
        {meta_positional, 6, "a", "y", 1, 0},    {meta_positional, 4, "a", "y", 9, 0},
        {meta_ranged, 8, "b", "x", 2, 4},        {meta_ranged, 1, "b", "x", 2, 5},
    };
    EXPECT_EQ(dynamic_cast<Contents&>(*got.root).metas(), expected);
    EXPECT_EQ(contents.metas().size(), 8u);  // the writer leaves the caller's records alone
}

}  // namespace
}  // namespace FFF
