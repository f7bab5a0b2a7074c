// The index storage client with the real index server (idxserv) started from the build's
// deployment directory.
// SPDX-License-Identifier: MIT
#include "idxstorage/idxstorage.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <map>
#include <thread>
#include <tuple>

#include "idxstorage/fff_builder.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "util/config_file.h"

// Designated initializers name only the options a case sets; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using marloven::idxstorage;
using marloven::query_atom;
using marloven::query_hit;
using marloven::query_options;
using T = marloven::query_atom_type;
using vant_test::make_blob;

constexpr std::uint32_t hour = 3600;
const auto now = static_cast<std::uint32_t>(std::time(nullptr));

query_atom word(const std::string& w) {
    return {T::ATOM_WORD, w, ""};
}

class memory_documents : public marloven::document_source {
  public:
    std::optional<std::string> fff(const std::string& guid) override {
        auto it = blobs.find(guid);
        return it == blobs.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    std::map<std::string, std::string> blobs;
};

class idxstorage_test : public testing::Test {
  protected:
    idxstorage_test()
        : config_(dir_.write("v.conf", "DEPLOYDIR=" VANT_DEPLOY_DIR "\n")),
          index_(std::make_unique<idxstorage>(config_, dir_ / "index")) {
        EXPECT_TRUE(index_->start());
    }

    // Adds a document (and keeps its blob for contexts).
    void add(const std::string& guid, std::uint32_t arcid, std::uint32_t time,
             const std::vector<vant_test::paragraph>& text, std::uint32_t score = 1000000,
             const std::vector<int>& views = {0}, const std::vector<FFF::meta>& metas = {}) {
        std::string blob = make_blob(text, metas);
        documents_.blobs[guid] = blob;
        ASSERT_EQ(index_->addDocument(guid, arcid, "http://example.org/" + guid, "text/html", time,
                                      time + 17, score, views, blob),
                  0);
    }

    // The hits of `o`, whose count must be `count`.
    std::vector<query_hit> hits(const query_options& o, std::int32_t count) {
        std::vector<query_hit> out;
        EXPECT_EQ(index_->query(o, &documents_, out), count);
        return out;
    }

    std::vector<std::string> guids(const query_options& o, std::int32_t* count = nullptr) {
        std::vector<query_hit> found;
        const std::int32_t n = index_->query(o, &documents_, found);
        if (count != nullptr) {
            *count = n;
        }
        std::vector<std::string> out;
        out.reserve(found.size());
        for (const auto& h : found) {
            out.push_back(h.guid);
        }
        return out;
    }

    std::vector<std::string> search(std::vector<query_atom> atoms) {
        return guids({.atoms = std::move(atoms), .last = 100});
    }

    vant_test::temp_dir dir_;
    marloven::config_file config_;
    std::unique_ptr<idxstorage> index_;
    memory_documents documents_;
};

using V = std::vector<std::string>;

TEST_F(idxstorage_test, added_documents_are_found_with_their_fields_and_removed) {
    add("g1", 7, 10 * hour + 1234, {{{15, "Vacuum Guide"}}, {{10, "how to vacuum tables"}}},
        2000000);
    add("g2", 7, 20 * hour, {{{10, "tables only"}}});
    add("a1", 1, hour, {{{10, "tables"}}});
    ASSERT_EQ(index_->flush(), 0);
    // Times are rounded down to the hour.
    const auto found = hits(
        {.atoms = {word("tables")}, .archives = {7}, .sort = marloven::query_sort::SORT_TIME_OLDER},
        2);
    ASSERT_EQ(found.size(), 2u);
    const query_hit& h = found[0];
    EXPECT_EQ(std::tie(h.guid, h.url, h.title, h.mime, h.time, h.servertime, h.arcid),
              std::tuple("g1", "http://example.org/g1", "Vacuum Guide", "text/html", 10 * hour,
                         10 * hour, 7));
    EXPECT_GT(h.score, 0);
    EXPECT_LE(h.score, 1000000);
    EXPECT_TRUE(h.contexts.empty()) << "contexts only when asked for";
    EXPECT_EQ(index_->storedText("url"), "http://example.org/g2") << "the hit selected last";

    ASSERT_EQ(index_->removeDocument("g1"), 0);
    ASSERT_EQ(index_->removeArchive(1), 0);
    EXPECT_EQ(search({word("tables")}), V{"g2"}) << "visible without another flush";
}

// The client flushes by itself at every twentieth change, so a crawl's documents become
// searchable while it runs.
TEST_F(idxstorage_test, changes_are_flushed_every_twenty) {
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(search({word("counted")}).empty()) << i << " changes are not flushed yet";
        add("d" + std::to_string(i), 1, hour, {{{10, "counted"}}});
    }
    EXPECT_EQ(search({word("counted")}).size(), 20u);
}

// The client's translation of query options into the server's terms, restrictions, ranges,
// order, minimum score and hit window, over one set of documents: one row for each way an option
// is sent (what the server makes of the terms is the engine's test).
struct query_case {
    const char* name;
    query_options o;
    V expected;
    std::int32_t count = -1;  // -1: as many as expected
};

TEST_F(idxstorage_test, query_options_select_and_order_the_hits) {
    constexpr std::uint32_t day = 86400;
    const std::vector<FFF::meta> de{{0, 2, "lang", "de", 0, 0}};
    add("old", 1, now - 30 * day, {{{10, "w add a foreign key here"}}}, 500000);
    add("mid", 2, now - 2 * day, {{{10, "w the key is foreign"}}}, 1000000, {0, 1}, de);
    add("future", 3, now + 2 * day, {{{10, "w w foreign tables may hold one or more of a key"}}},
        3000000, {0, 1});
    add("titled", 4, hour, {{{15, "replication"}}, {{10, "one two three four"}}});
    add("body", 4, hour, {{{10, "replication replication replication five"}}});
    ASSERT_EQ(index_->flush(), 0);
    using S = marloven::query_sort;
    const query_atom w = word("W"), foreign = word("foreign"), key = word("key");
    const query_atom and2{T::ATOM_AND, "2", ""}, not1{T::ATOM_NOT, "1", ""};
    const S older = S::SORT_TIME_OLDER;
    const std::vector<query_case> cases = {
        {"words are folded", {.atoms = {w}, .sort = older}, {"old", "mid", "future"}},
        {"newest first", {.atoms = {w}, .sort = S::SORT_TIME_NEWER}, {"future", "mid", "old"}},
        {"by score", {.atoms = {w}, .sort = S::SORT_SCORE}, {"future", "mid", "old"}},
        {"minimum and maximum",
         {.atoms = {w}, .sort = older, .min_time = now - 3 * day, .max_time = now},
         {"mid"}},
        {"a maximum in the past bounds from 0",
         {.atoms = {w}, .sort = older, .max_time = now - day},
         {"old", "mid"}},
        {"a maximum in the future alone bounds nothing",
         {.atoms = {w}, .sort = older, .max_time = now + day},
         {"old", "mid", "future"}},
        {"minimum score", {.atoms = {w}, .sort = older, .min_score = 1000000}, {"mid", "future"}},
        {"archives and views", {.atoms = {w}, .archives = {1, 3}, .views = {1}}, {"future"}},
        {"near", {.atoms = {foreign, key, {T::ATOM_NEAR, "2", ""}}, .sort = older}, {"old", "mid"}},
        {"phrase", {.atoms = {foreign, key, {T::ATOM_NEAR, "2", "PHRASE"}}}, {"old"}},
        {"near with a window",
         {.atoms = {foreign, key, {T::ATOM_NEAR, "2", "12"}}, .sort = older},
         {"old", "mid", "future"}},
        {"word and not meta",
         {.atoms = {w, {T::ATOM_META, "de", "lang"}, not1, and2}, .sort = older},
         {"old", "future"}},
        {"slice weights: the title at a fifth",
         {.atoms = {word("replication")}, .weights = {{15, 20}}},
         {"body", "titled"}},
        {"a window of the second hit",
         {.atoms = {w}, .sort = older, .first = 1, .last = 1},
         {"mid"},
         3},
        {"an empty window", {.atoms = {w}, .first = 1, .last = 0}, {}, 3},
    };
    for (const query_case& c : cases) {
        std::int32_t n = -2;
        EXPECT_EQ(guids(c.o, &n), c.expected) << c.name;
        EXPECT_EQ(n, c.count < 0 ? static_cast<std::int32_t>(c.expected.size()) : c.count)
            << c.name;
    }
}

TEST_F(idxstorage_test, contexts_hold_the_query_words) {
    add("c", 1, hour,
        {{{15, "Routine Vacuuming"}},
         {{10, "Databases need periodic maintenance ."}},
         {{14, "Vacuum basics"}, {10, "The VACUUM command must be run regularly"}}});
    ASSERT_EQ(index_->flush(), 0);
    const query_options o{.atoms = {word("vacuum")}, .info = marloven::query_info::INFO_CONTEXT};
    auto found = hits(o, 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].contexts,
              std::vector<std::string>{"Vacuum basics The VACUUM command must be run regularly"});
    documents_.blobs.clear();
    found = hits(o, 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found[0].contexts.empty()) << "a document no longer stored has no contexts";
}

TEST_F(idxstorage_test, a_truncated_blob_is_indexed_without_its_text) {
    std::string blob = make_blob({{{15, "Truncated Title"}}, {{10, "lost words"}}});
    blob.resize(blob.size() - 3);
    ASSERT_EQ(index_->addDocument("cut", 4, "http://example.org/cut", "text/plain", hour, hour,
                                  1000000, {0}, blob),
              0);
    ASSERT_EQ(index_->addDocument("bad", 4, "http://example.org/bad", "text/plain", hour, hour,
                                  1000000, {0}, "not an FFF blob"),
              0);
    ASSERT_EQ(index_->flush(), 0);
    EXPECT_TRUE(search({word("lost")}).empty());
    const auto found = hits({.archives = {4}, .sort = marloven::query_sort::SORT_TIME_OLDER}, 2);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(std::tie(found[0].url, found[0].title), std::tuple("http://example.org/cut", ""));
}

// Searches that run at once share the connection: the caller holding it converses for the
// others, sending a waiting query's requests with the last hit requests before it. A fault there
// hands one caller another's hits or count, or leaves a caller waiting for good.
TEST_F(idxstorage_test, concurrent_searches_each_get_their_own_hits_and_count) {
    for (int i = 0; i < 40; ++i) {
        add("m" + std::to_string(100 + i), 1, (i + 1) * hour, {{{10, "many"}}});
    }
    add("s", 1, hour, {{{10, "single"}}});
    ASSERT_EQ(index_->flush(), 0);
    auto options = [](const std::string& w, std::int32_t first, std::int32_t last) {
        return query_options{.atoms = {word(w)},
                             .sort = marloven::query_sort::SORT_TIME_OLDER,
                             .first = first,
                             .last = last};
    };
    // Hits over two request batches, one hit, none, a first hit beyond the count, and a request
    // too large to go with another's.
    const std::vector<query_options> cases = {options("many", 0, 39), options("single", 0, 9),
                                              options("absent", 0, 9), options("many", 45, 50),
                                              options(std::string(6000, 'x'), 0, 9)};
    std::vector<std::pair<std::int32_t, V>> expected(cases.size());
    for (std::size_t c = 0; c < cases.size(); ++c) {
        expected[c].second = guids(cases[c], &expected[c].first);
    }
    ASSERT_EQ(expected[0].second.size(), 40u);
    ASSERT_EQ(expected[1], (std::pair<std::int32_t, V>{1, {"s"}}));
    ASSERT_EQ(expected[3], (std::pair<std::int32_t, V>{40, {}}));

    constexpr int threads = 8;
    std::vector<int> wrong(threads, 0);
    {
        std::vector<std::jthread> searchers;
        for (int t = 0; t < threads; ++t) {
            searchers.emplace_back([&, t] {
                for (int i = 0; i < 30; ++i) {
                    const std::size_t c = static_cast<std::size_t>(t + i) % cases.size();
                    std::int32_t n = -1;
                    const V g = guids(cases[c], &n);
                    wrong[t] += n != expected[c].first || g != expected[c].second;
                }
            });
        }
    }
    EXPECT_EQ(wrong, std::vector<int>(threads, 0));
}

// Issue 14: a query beyond the server's limits was sent, the server refused it after reading its
// count, and read the rest as commands. The client refuses such a query itself; exactly at the
// limits the server must accept it, so both ends agree on where the limits lie.
struct limit_case {
    const char* fault;
    int words;  // query words, joined by one AND: words + 1 terms
    std::vector<std::int32_t> archives;
    std::size_t weight_pairs;
    std::int32_t first, last;
    bool refused;
};

TEST_F(idxstorage_test, requests_beyond_the_limits_are_refused_without_reaching_the_server) {
    add("a", 1, hour, {{{10, "w"}}});
    ASSERT_EQ(index_->flush(), 0);
    const int pid = index_->server_pid();
    constexpr std::int32_t cap = idxstorage::max_hits_per_query, top = idxstorage::max_first_hit;
    for (const limit_case& c : {
             limit_case{"terms at the limit", 4095, {}, 0, 0, 9, false},
             limit_case{"terms over the limit", 4096, {}, 0, 0, 9, true},
             limit_case{"archive terms over the limit", 4095, {1}, 0, 0, 9, true},
             limit_case{"weight pairs at the limit", 1, {}, 256, 0, 9, false},
             limit_case{"weight pairs over the limit", 1, {}, 257, 0, 9, true},
             limit_case{"hits at the cap", 1, {}, 0, top, top + cap - 1, false},
             limit_case{"hits over the cap", 1, {}, 0, 0, cap, true},
             limit_case{"first hit over the cap", 1, {}, 0, top + 1, top + 1, true},
         }) {
        query_options o{.atoms = std::vector<query_atom>(c.words, word("w")),
                        .archives = c.archives,
                        .first = c.first,
                        .last = c.last,
                        .weights = std::vector<marloven::slice_weight>(c.weight_pairs, {1, 100})};
        if (c.words > 1) {
            o.atoms.push_back({T::ATOM_AND, std::to_string(c.words), ""});
        }
        EXPECT_EQ(idxstorage::query_refusal(o).has_value(), c.refused) << c.fault;
        std::vector<query_hit> hits;
        EXPECT_EQ(index_->query(o, nullptr, hits) < 0, c.refused) << c.fault;
        EXPECT_EQ(search({word("w")}), V{"a"}) << c.fault << ": the conversation is in step";
    }
    EXPECT_FALSE(index_->storedText(std::string(257, 'f'))) << "a field name over the limit";
    EXPECT_EQ(index_->flush(), 0);
    EXPECT_EQ(index_->server_pid(), pid);
}

// A server that dies or hangs fails the request that meets it and is replaced by one that has
// every committed document.
TEST_F(idxstorage_test, a_killed_or_hung_server_is_replaced_and_keeps_committed_documents) {
    add("kept", 1, hour, {{{10, "durable"}}});
    ASSERT_EQ(index_->flush(), 0);
    index_->set_reply_timeout(std::chrono::seconds(1));
    for (int signal : {SIGKILL, SIGSTOP}) {
        const int pid = index_->server_pid();
        ASSERT_GT(pid, 0) << "no server to signal";  // kill(0) would stop the test's own group
        ASSERT_EQ(::kill(pid, signal), 0);
        hits({.atoms = {word("durable")}}, -1);
        EXPECT_NE(index_->server_pid(), pid) << signal;
        EXPECT_EQ(search({word("durable")}), V{"kept"}) << signal;
    }
}

TEST_F(idxstorage_test, documents_survive_a_stop_and_start) {
    add("p", 1, hour, {{{10, "persistent"}}});  // not flushed: the stop commits
    index_.reset();
    index_ = std::make_unique<idxstorage>(config_, dir_ / "index");
    ASSERT_TRUE(index_->start());
    EXPECT_EQ(search({word("persistent")}), V{"p"});
}

TEST(idxstorage_start_test, without_a_server_program_every_request_fails_at_once) {
    vant_test::temp_dir dir;
    marloven::config_file config(dir.write("v.conf", "DEPLOYDIR=" + dir.str() + "\n"));
    idxstorage index(config, dir / "index");
    EXPECT_FALSE(index.start());
    EXPECT_EQ(index.flush(), -1);
    EXPECT_EQ(index.addDocument("g", 1, "u", "m", 0, 0, 0, {0}, ""), -1);
    std::vector<query_hit> hits;
    EXPECT_EQ(index.query({}, nullptr, hits), -1);
    EXPECT_FALSE(index.storedText("guid"));
}

}  // namespace
