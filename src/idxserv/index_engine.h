// index_engine.h: the index server's full-text index on Xapian: documents built field by field,
// deletion by term, commits, compaction, and queries built from postfix terms.
// Used by the server's session loop (index_session.h); one engine per server process.
// SPDX-License-Identifier: MIT
#pragma once

#include <xapian.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace marloven {

// Tuning of the engine; see programs/idxserv/main.cc for how the LUCENE_* variables map here.
struct engine_settings {
    std::string directory = "index";
    // Changes buffered before the engine commits by itself; 0 leaves it to Xapian.
    std::uint32_t flush_threshold = 0;
    // Word tokens indexed per full-text field; 0 means no limit.
    std::uint32_t max_field_tokens = 0;
    // How tightly compaction packs the index (Xapian::Compactor::compaction_level).
    int compaction_level = Xapian::Compactor::FULL;

    // Reads the LUCENE_* variables through `get` (a getenv-like function); unusable values are
    // reported in `warnings` and ignored.
    static engine_settings from_environment(const char* (*get)(const char*), std::string& warnings);
};

// One term of a query or of a removal, as it travels on the wire.
struct wire_term {
    std::int32_t flag = 0;
    std::string value;
    std::string field;
};

struct query_request {
    std::vector<wire_term> terms;
    std::vector<std::pair<std::int32_t, std::int32_t>> weights;  // slice, weight
    std::string range_field;
    std::uint32_t min_time = 0;
    std::uint32_t max_time = 0;
    std::string sort_field;
    bool descending = false;
    std::string score_field;
    std::string min_score;
};

// Purpose: the index of one server: a Xapian writer on the index directory and a reader that
// sees the last commit, so that changes become visible to queries only when committed.
// Ownership: owns both database handles and the state of the last query.
// Failure: the constructor throws (Xapian::Error, std::runtime_error) when the index cannot be
// opened; every other operation catches engine errors, keeps the message in last_error() and
// reports failure through its result, so one bad request never ends the server.
// Threads: one thread at a time.
class index_engine {
  public:
    explicit index_engine(engine_settings settings);
    ~index_engine();
    index_engine(const index_engine&) = delete;
    index_engine& operator=(const index_engine&) = delete;

    // Document building: begin, fields, end (adds it). Fields outside a document fail.
    bool begin_document();
    bool add_text_field(const std::string& name, const std::string& value, bool stored,
                        bool searchable, bool tokenized);
    bool add_number_field(const std::string& name, std::uint32_t value, bool stored,
                          bool searchable);
    bool end_document();

    // Deletes every document whose field equals the value, for each term; returns how many were
    // deleted, or nothing when a term is not understood or the deletion failed.
    std::optional<std::int32_t> remove(const std::vector<wire_term>& terms);

    bool commit();
    // Compacts the committed index into a fresh directory and swaps it in. The old index stays in
    // place whenever a step fails.
    bool compact();

    // Runs a query and keeps its hits for the hit-by-hit operations below; returns the exact hit
    // count, or -1.
    std::int32_t run_query(const query_request& request);
    std::int32_t hit_count() const { return hits_; }
    bool select_hit(std::int32_t position);
    std::optional<std::int32_t> hit_score();
    std::optional<std::string> stored_text(const std::string& field);
    std::optional<std::uint32_t> stored_number(const std::string& field);

    const std::string& last_error() const { return last_error_; }
    std::uint32_t document_count();

    // The Xapian query a request stands for (exposed for tests); throws std::invalid_argument
    // for a malformed expression.
    Xapian::Query build_query(const query_request& request);

  private:
    struct stored_field;
    struct pending_document;

    void open_writer();
    bool in_document(const std::string& field);
    void index_tokens(const std::string& value);
    void refresh_reader();
    void note_change();
    Xapian::valueno slot_for(const std::string& field, bool create);
    Xapian::Query word_query(const std::string& word, const std::vector<double>& weights) const;
    Xapian::doccount exact_count(const Xapian::MSet& ranked);
    void forget_query();
    bool fetch_window(Xapian::doccount first);
    std::string stored_record(Xapian::docid id);
    static std::vector<stored_field> stored_fields(const std::string& data);
    static std::optional<std::string> field_text(const std::vector<stored_field>& fields,
                                                 const std::string& name);
    // Keeps "what: error" as the last error; returns false. Xapian's errors derive from no
    // standard exception class, so every engine call site catches both kinds.
    bool fail(const std::string& what, const std::string& error);

    engine_settings settings_;
    std::unique_ptr<Xapian::WritableDatabase> writer_;
    std::unique_ptr<Xapian::Database> reader_;
    std::map<std::string, Xapian::valueno> slots_;  // searchable field name -> value slot
    std::uint64_t used_slices_ = 0;                 // bit s: some word was indexed in slice s
    std::uint32_t changes_ = 0;                     // since the last commit
    // The unique term that the last removal left without documents: the next document added
    // under it is new, and needs no lookup of an older copy to replace.
    std::string absent_term_;
    std::unique_ptr<pending_document> pending_;

    std::unique_ptr<Xapian::Enquire> enquire_;
    Xapian::Query query_;  // of enquire_
    Xapian::MSet window_;
    std::int32_t hits_ = 0;
    std::optional<Xapian::MSetIterator> selected_;
    std::vector<stored_field> selected_fields_;

    std::string last_error_;
};

// Term and slot naming, shared by indexing, deletion, restriction and the tests.
namespace index_terms {
// The exact term of a searchable field value: "Q" + value for "guid", else "X", the field name in
// upper case, ":" and the value. Terms too long for the engine keep a prefix and a hash.
std::string field_term(const std::string& field, const std::string& value);
// A word in slice `slice`: "S", the slice byte (slice + 64) and the word.
std::string slice_term(int slice, const std::string& word);
// A meta token "key:value": "M" and the token.
std::string meta_term(const std::string& token);
// Words are indexed with ASCII letters in lower case, so they never collide with prefixes.
std::string word_term(std::string word);
}  // namespace index_terms

}  // namespace marloven
