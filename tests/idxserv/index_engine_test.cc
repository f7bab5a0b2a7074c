// The index server's engine: visibility, stored fields, removal, query expressions, slice
// weights, positions, filters, ordering, compaction and settings.
// SPDX-License-Identifier: MIT
#include "idxserv/index_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "idxstorage/index_protocol.h"
#include "support/temp_dir.h"

// Designated initializers name only the fields a case sets; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using marloven::engine_settings;
using marloven::index_engine;
using marloven::query_request;
using marloven::wire_term;
namespace proto = marloven::index_protocol;

struct token {
    std::string text;
    int slice;
};

std::string full_text(const std::vector<token>& tokens) {
    std::string s;
    for (const token& t : tokens) {
        if (!s.empty()) {
            s += proto::token_separator;
        }
        s += t.text;
        s += static_cast<char>(t.slice + proto::slice_byte_offset);
    }
    return s;
}

// Body words in slice 10.
std::vector<token> body(const std::string& words) {
    std::vector<token> out;
    std::istringstream in(words);
    for (std::string w; in >> w;) {
        out.push_back({w, 10});
    }
    return out;
}

struct doc {
    std::string guid;
    std::uint32_t arcid = 1;
    std::uint32_t time = 0;
    std::uint32_t score = 1000000;
    std::vector<int> views = {0};
    std::vector<token> text;
};

wire_term word(const std::string& w) {
    return {0, w, ""};
}
wire_term op(proto::term_flag f, const std::string& n) {
    return {static_cast<std::int32_t>(f), n, ""};
}
wire_term restrict_to(const std::string& field, const std::string& value) {
    return {static_cast<std::int32_t>(proto::term_flag::restrict), value, field};
}

class index_engine_test : public testing::Test {
  protected:
    engine_settings settings() const {
        engine_settings s;
        s.directory = dir_ / "index";
        return s;
    }

    void add(index_engine& e, const doc& d) {
        ASSERT_TRUE(e.begin_document());
        ASSERT_TRUE(e.add_text_field("guid", d.guid, true, true, false));
        ASSERT_TRUE(e.add_text_field("arcid", std::to_string(d.arcid), true, true, false));
        ASSERT_TRUE(e.add_text_field("url", "http://h/" + d.guid, true, false, false));
        char score[16];
        std::snprintf(score, sizeof score, "%08x", d.score);
        ASSERT_TRUE(e.add_text_field("score", score, true, true, false));
        ASSERT_TRUE(e.add_number_field("time", d.time, true, true));
        for (int v : d.views) {
            ASSERT_TRUE(e.add_text_field("view", std::to_string(v), true, true, false));
        }
        ASSERT_TRUE(e.add_text_field("", full_text(d.text), false, true, true));
        ASSERT_TRUE(e.end_document()) << e.last_error();
    }

    // The guids of all hits, in order.
    std::vector<std::string> run(index_engine& e, const query_request& q) {
        std::int32_t n = e.run_query(q);
        EXPECT_GE(n, 0) << e.last_error();
        std::vector<std::string> out;
        for (std::int32_t i = 0; i < n; ++i) {
            EXPECT_TRUE(e.select_hit(i));
            out.push_back(e.stored_text("guid").value_or("?"));
        }
        return out;
    }

    std::vector<std::string> run(index_engine& e, std::vector<wire_term> terms) {
        return run(e, query_request{.terms = std::move(terms)});
    }

    vant_test::temp_dir dir_;
};

TEST_F(index_engine_test, stored_fields_come_back_by_name_and_kind) {
    index_engine e(settings());
    add(e, {"g1", 42, 7200, 1000000, {0, 1}, body("x")});
    ASSERT_TRUE(e.commit());
    ASSERT_EQ(e.run_query({}), 1);
    ASSERT_TRUE(e.select_hit(0));
    EXPECT_EQ(e.stored_text("view"), "0") << "the first of repeated values";
    EXPECT_EQ(e.stored_text("time"), "7200");
    EXPECT_EQ(e.stored_number("arcid"), 42u) << "a decimal text reads as a number";
    EXPECT_FALSE(e.stored_number("url"));
    EXPECT_FALSE(e.stored_text("")) << "the full text is not stored";
    EXPECT_FALSE(e.select_hit(-1));
}

TEST_F(index_engine_test, removal_by_archive_counts_documents_and_unknown_flags_fail) {
    index_engine e(settings());
    add(e, {.guid = "a", .arcid = 1, .text = body("w")});
    add(e, {.guid = "b", .arcid = 2, .text = body("w")});
    add(e, {.guid = "c", .arcid = 2, .text = body("w")});
    ASSERT_TRUE(e.commit());
    EXPECT_EQ(e.remove({{0, "2", "arcid"}}), 2);
    EXPECT_EQ(e.remove({{0, "zz", "guid"}}), 0);
    EXPECT_FALSE(e.remove({{7, "a", "guid"}})) << "unknown flag";
    ASSERT_TRUE(e.commit());
    EXPECT_EQ(run(e, {word("w")}), std::vector<std::string>{"a"});
}

// A removal by guid tells the engine that the next document under that guid is new; every other
// sequence must still replace an older copy, so no guid is ever indexed twice.
TEST_F(index_engine_test, a_guid_is_indexed_once_whatever_removals_came_before) {
    struct step {
        const char* remove;  // a guid to remove first, or nothing
        const char* add;
    };
    const std::vector<std::vector<step>> cases = {
        {{"a", "a"}, {nullptr, "a"}},  // removed and added, then added again
        {{nullptr, "a"}, {"b", "a"}},  // another guid removed before a replacement
        {{nullptr, "a"}, {"a", "a"}, {"a", "a"}},
        {{"a", "a"}, {"a", "b"}, {nullptr, "a"}},  // a removed, b added: a stays gone until added
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        engine_settings s = settings();
        s.directory += std::to_string(i);
        index_engine e(s);
        std::set<std::string> expected;
        for (const step& st : cases[i]) {
            if (st.remove != nullptr) {
                ASSERT_TRUE(e.remove({{0, st.remove, "guid"}}));
                expected.erase(st.remove);
            }
            add(e, {.guid = st.add, .text = body("w")});
            expected.insert(st.add);
        }
        ASSERT_TRUE(e.commit());
        EXPECT_EQ(e.document_count(), expected.size()) << "case " << i;
        EXPECT_EQ(run(e, {word("w")}).size(), expected.size()) << "case " << i;
    }
}

// One query of the rule table: the hits it selects (in order where it sorts), or a failure.
struct query_case {
    const char* name;
    query_request q;
    std::vector<std::string> expected;
    enum { any_order, ranked, fails } check = any_order;  // sorted queries give their order
};

// The query rules over one index: postfix expressions, NEAR and phrases, metas, restrictions,
// ranges, minimum scores and sorting. Each group of documents has words of its own.
TEST_F(index_engine_test, queries_select_and_order_documents_by_the_rules) {
    index_engine e(settings());
    for (const doc& d : std::vector<doc>{
             {"ab", 5, 0, 1000000, {0}, body("alpha beta")},
             {"a", 5, 0, 1000000, {0}, body("alpha")},
             {"bc", 5, 0, 1000000, {0}, body("beta gamma")},
             {"c", 5, 0, 1000000, {0}, body("gamma")},
             {"exact", 6, 0, 1000000, {0}, body("the foreign key constraint")},
             {"reversed", 6, 0, 1000000, {0}, body("key foreign")},
             {"close", 6, 0, 1000000, {0}, body("foreign table and its key")},
             {"sliced", 6, 0, 1000000, {0}, {{"primary", 15}, {"key", 10}}},
             {"m", 7, 0, 1000000, {0}, {{"lang:en", 2}, {"author:Jane Doe", 1}, {"words", 10}}},
             {"n", 7, 0, 1000000, {0}, {{"lang:de", 2}, {"en", 10}}},
             {"old", 1, 3600, 500000, {0}, body("w")},
             {"mid", 2, 7200, 1000000, {0, 1}, body("w")},
             {"new", 3, 10800, 2000000, {0}, body("w w")},
             // "t" holds its word once in its title; "b" three times in its body.
             {.guid = "t", .text = {{"report", 15}, {"other", 10}, {"words", 10}, {"x", 10}}},
             {.guid = "b", .text = {{"report", 10}, {"report", 10}, {"report", 10}, {"y", 10}}},
         }) {
        add(e, d);
    }
    ASSERT_TRUE(e.commit());
    using F = proto::term_flag;
    const wire_term alpha = word("alpha"), beta = word("beta"), gamma = word("gamma");
    const wire_term foreign = word("foreign"), key = word("key"), w = word("w");
    const wire_term and2 = op(F::and_, "2"), or2 = op(F::or_, "2"), not1 = op(F::not_, "1");
    const wire_term in5 = restrict_to("arcid", "5");
    constexpr auto ranked = query_case::ranked, fails = query_case::fails;
    const std::vector<query_case> cases = {
        {"a word in any case", {.terms = {word("ALPHA")}}, {"ab", "a"}},
        {"and", {.terms = {alpha, beta, and2}}, {"ab"}},
        {"or", {.terms = {alpha, gamma, or2}}, {"ab", "a", "bc", "c"}},
        {"and not", {.terms = {beta, alpha, not1, and2}}, {"bc"}},
        {"not alone", {.terms = {beta, not1, in5}}, {"a", "c"}},
        {"double not", {.terms = {beta, not1, not1}}, {"ab", "bc"}},
        {"three-way and", {.terms = {alpha, beta, gamma, or2, and2}}, {"ab"}},
        {"no expression: the restrictions alone", {.terms = {in5}}, {"ab", "a", "bc", "c"}},
        {"near in any order",
         {.terms = {foreign, key, op(F::near, "2")}},
         {"exact", "reversed", "close"}},
        {"near window", {.terms = {foreign, key, op(F::near, "2:2")}}, {"exact", "reversed"}},
        {"phrase in order", {.terms = {foreign, key, op(F::phrase, "2")}}, {"exact"}},
        // Weighed per slice, the words give the relevance; the positions still decide the match.
        {"weighted near",
         {.terms = {foreign, key, op(F::near, "2")}, .weights = {{10, 150}}},
         {"exact", "reversed", "close"}},
        // Slice weights decide the order; given pairs override them.
        {"by slice weight", {.terms = {word("report")}}, {"t", "b"}, ranked},
        {"the title counts for little",
         {.terms = {word("report")}, .weights = {{15, 10}}},
         {"b", "t"},
         ranked},
        {"only the title counts",
         {.terms = {word("report")}, .weights = {{0, 0}, {15, 100}}},
         {"t", "b"},
         ranked},
        {"phrase across slices", {.terms = {word("primary"), key, op(F::phrase, "2")}}, {"sliced"}},
        {"meta", {.terms = {{5, "lang:en", ""}}}, {"m"}},
        {"meta with a blank", {.terms = {{5, "author:Jane Doe", ""}}}, {"m"}},
        {"meta values keep their case", {.terms = {{5, "author:jane doe", ""}}}, {}},
        {"a meta value is not a word", {.terms = {word("en")}}, {"n"}},
        {"archives are alternatives",
         {.terms = {w, restrict_to("arcid", "1"), restrict_to("arcid", "3")}, .sort_field = "time"},
         {"old", "new"}},
        {"archive and view",
         {.terms = {w, restrict_to("arcid", "2"), restrict_to("view", "1")}},
         {"mid"}},
        {"different fields must all hold",
         {.terms = {w, restrict_to("arcid", "1"), restrict_to("view", "1")}},
         {}},
        {"time range",
         {.terms = {w}, .range_field = "time", .min_time = 7200, .max_time = 10799},
         {"mid"}},
        {"a maximum of 0 is no upper bound",
         {.terms = {w}, .range_field = "time", .min_time = 7200, .sort_field = "time"},
         {"mid", "new"}},
        {"minimum score",
         {.terms = {w}, .score_field = "score", .min_score = "000f4240"},
         {"new", "mid"}},
        {"newest first",
         {.terms = {w}, .sort_field = "time", .descending = true},
         {"new", "mid", "old"}},
        {"too few operands", {.terms = {alpha, and2}}, {}, fails},
        {"zero count", {.terms = {alpha, op(F::or_, "0"), or2}}, {}, fails},  // not an empty OR
        {"operands left over", {.terms = {alpha, beta}}, {}, fails},
        {"unknown flag", {.terms = {{9, "x", ""}}}, {}, fails},
        {"empty word", {.terms = {word("")}}, {}, fails},
        {"near over a meta", {.terms = {alpha, {5, "k:v", ""}, op(F::near, "2")}}, {}, fails},
        {"near window below the word count",
         {.terms = {alpha, beta, op(F::near, "2:1")}},
         {},
         fails},
    };
    for (const query_case& c : cases) {
        if (c.check == query_case::fails) {
            EXPECT_EQ(e.run_query(c.q), -1) << c.name;
            EXPECT_EQ(e.hit_count(), 0) << c.name;
            EXPECT_FALSE(e.select_hit(0)) << c.name;
            continue;
        }
        std::vector<std::string> got = run(e, c.q), expected = c.expected;
        if (c.q.sort_field.empty() && c.check == query_case::any_order) {
            std::sort(got.begin(), got.end());
            std::sort(expected.begin(), expected.end());
        }
        EXPECT_EQ(got, expected) << c.name;
    }
}

TEST_F(index_engine_test, hits_beyond_the_first_window_are_reachable) {
    index_engine e(settings());
    for (int i = 0; i < 45; ++i) {
        add(e, {.guid = "d" + std::to_string(i), .time = i * 3600u, .text = body("common")});
    }
    ASSERT_TRUE(e.commit());
    const query_request q{.terms = {word("common")}, .sort_field = "time"};
    ASSERT_EQ(e.run_query(q), 45);
    for (int i : {44, 0, 21, 43}) {
        ASSERT_TRUE(e.select_hit(i)) << i;
        EXPECT_EQ(e.stored_text("guid"), "d" + std::to_string(i));
    }
    EXPECT_FALSE(e.select_hit(45));
}

// Paging relies on the hit count: it must be the number of matching documents even where the
// ranking stops early (the words below occur together far more often than their frequencies
// suggest, so an estimate misses).
TEST_F(index_engine_test, hit_counts_are_exact_where_the_ranking_stops_early) {
    index_engine e(settings());
    for (int i = 0; i < 400; ++i) {
        std::string words = i < 150 ? "alpha beta gamma" : i % 2 == 0 ? "alpha delta" : "beta";
        add(e, {.guid = "d" + std::to_string(i), .text = body(words)});
    }
    ASSERT_TRUE(e.commit());
    const query_request q{.terms = {word("alpha"), word("beta"), op(proto::term_flag::and_, "2")}};
    EXPECT_EQ(e.run_query(q), 150);
    EXPECT_EQ(e.hit_count(), 150);
}

TEST_F(index_engine_test, compaction_keeps_the_documents_and_later_changes_work) {
    index_engine e(settings());
    for (int i = 0; i < 30; ++i) {
        add(e, {"d" + std::to_string(i), 1, 0, 1000000, {0}, body("alpha beta")});
    }
    ASSERT_TRUE(e.remove({{0, "d3", "guid"}}));
    ASSERT_TRUE(e.compact()) << e.last_error();
    EXPECT_EQ(e.document_count(), 29u);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "index.new"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "index.old"));
    add(e, {"after", 1, 0, 1000000, {0}, body("gamma")});
    ASSERT_TRUE(e.commit());
    EXPECT_EQ(run(e, {word("gamma")}), std::vector<std::string>{"after"});
    EXPECT_EQ(run(e, {word("alpha")}).size(), 29u);
}

TEST_F(index_engine_test, an_interrupted_swap_is_undone_at_start) {
    {
        index_engine e(settings());
        add(e, {"kept", 1, 0, 1000000, {0}, body("alpha")});
        ASSERT_TRUE(e.commit());
    }
    // As if the server died after moving the index aside, with a half-written copy beside it.
    std::filesystem::rename(dir_ / "index", dir_ / "index.old");
    std::filesystem::create_directories(dir_ / "index.new");
    dir_.write("index.new/junk", "x");
    index_engine e(settings());
    EXPECT_EQ(run(e, {word("alpha")}), std::vector<std::string>{"kept"});
    EXPECT_FALSE(std::filesystem::exists(dir_ / "index.new"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "index.old"));
}

TEST_F(index_engine_test, field_length_cap_and_flush_threshold) {
    engine_settings s = settings();
    s.max_field_tokens = 3;
    s.flush_threshold = 2;
    index_engine e(s);
    add(e, {"a", 1, 0, 1000000, {0}, body("one two three four five")});
    EXPECT_TRUE(run(e, {word("one")}).empty());
    add(e, {"b", 1, 0, 1000000, {0}, body("six")});
    // The second change reached the threshold: committed without command 1.
    EXPECT_EQ(run(e, {word("three")}), std::vector<std::string>{"a"});
    EXPECT_TRUE(run(e, {word("four")}).empty()) << "words beyond the cap are not indexed";
}

TEST_F(index_engine_test, fields_outside_a_document_fail) {
    index_engine e(settings());
    EXPECT_FALSE(e.add_text_field("guid", "x", true, true, false));
    EXPECT_FALSE(e.add_number_field("time", 1, true, true));
    EXPECT_FALSE(e.end_document());
    ASSERT_TRUE(e.begin_document());
    ASSERT_TRUE(e.end_document());
    EXPECT_FALSE(e.end_document()) << "a document is added once";
}

// Found by the session fuzz target: Xapian counts a zero byte of a term twice, so terms of zero
// bytes within the length bound, and value-slot keys of long field names, were refused at the
// next commit with an error that is no std::exception: it ended the server, and would have failed
// every later commit. Long guids and metas, empty tokens and slices out of range are as hostile.
TEST_F(index_engine_test, long_values_zero_bytes_and_odd_tokens_never_break_a_commit) {
    index_engine e(settings());
    const std::string zeros(200, '\0'), long_guid(1000, 'g'),
        long_meta = "k:" + std::string(600, 'v');
    ASSERT_TRUE(e.begin_document());
    ASSERT_TRUE(e.add_text_field("guid", zeros, true, true, false)) << e.last_error();
    EXPECT_FALSE(
        e.add_text_field(std::string(proto::max_name_length, 'n'), "v", true, true, false));
    std::string text = full_text(
        {{zeros, 10}, {"k:" + zeros, 2}, {long_meta, 1}, {std::string(300, 'w'), 10}, {"ok", 10}});
    text += "\x01\x01z\x7f\x01";  // empty tokens, a one-byte token, a slice out of range
    ASSERT_TRUE(e.add_text_field("", text, false, true, true));
    ASSERT_TRUE(e.end_document()) << e.last_error();
    add(e, {.guid = long_guid, .text = body("ok")});
    ASSERT_TRUE(e.commit()) << e.last_error();
    EXPECT_EQ(run(e, {word("ok")}).size(), 2u);
    EXPECT_EQ(run(e, {{5, long_meta, ""}}).size(), 1u);
    EXPECT_EQ(e.remove({{0, zeros, "guid"}}), 1);
    EXPECT_EQ(e.remove({{0, long_guid, "guid"}}), 1);
    EXPECT_TRUE(e.commit()) << e.last_error();
}

// The environment of a case: "NAME=value" items separated by blanks.
std::map<std::string, std::string> current_env;
const char* fake_getenv(const char* name) {
    auto it = current_env.find(name);
    return it == current_env.end() ? nullptr : it->second.c_str();
}

TEST(engine_settings_test, lucene_variables_map_onto_xapian_settings) {
    struct settings_case {
        std::string env;
        std::uint32_t flush, tokens;
        int level;
        bool warns;
    };
    for (const settings_case& c : {
             settings_case{"LUCENE_MINMERGEDOCS=500 LUCENE_MAXMERGEDOCS=100 LUCENE_MERGEFACTOR=2 "
                           "LUCENE_MAXFIELDLENGTH=10000",
                           100, 10000, Xapian::Compactor::FULLER, false},
             settings_case{"LUCENE_MAXFIELDLENGTH=ten LUCENE_MINMERGEDOCS=-5", 0, 0,
                           Xapian::Compactor::FULL, true},
         }) {
        current_env.clear();
        std::istringstream items(c.env);
        for (std::string item; items >> item;) {
            current_env[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
        }
        std::string warnings;
        auto s = engine_settings::from_environment(fake_getenv, warnings);
        EXPECT_EQ(s.flush_threshold, c.flush) << c.env;
        EXPECT_EQ(s.max_field_tokens, c.tokens) << c.env;
        EXPECT_EQ(s.compaction_level, c.level) << c.env;
        EXPECT_EQ(!warnings.empty(), c.warns) << c.env << ": " << warnings;
    }
}

}  // namespace
