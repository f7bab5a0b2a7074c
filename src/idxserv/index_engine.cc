// index_engine.cc: the Xapian index of the index server.
// SPDX-License-Identifier: MIT
#include "idxserv/index_engine.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "idxstorage/index_protocol.h"

namespace fs = std::filesystem;

namespace marloven {

namespace proto = index_protocol;

namespace {

// Xapian refuses terms (and metadata keys) longer than 245 bytes, counting each zero byte twice
// (its keys escape them); longer ones keep a readable prefix and a hash of the whole, so that
// equal values still meet. A refused key surfaces only at the next commit, and then fails every
// commit after it, so nothing longer may reach the index.
constexpr std::size_t max_term_length = 240;

std::size_t key_length(std::string_view key) {
    return key.size() + static_cast<std::size_t>(std::count(key.begin(), key.end(), '\0'));
}

std::string bounded_term(std::string term) {
    if (key_length(term) <= max_term_length) {
        return term;
    }
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : term) {
        h = (h ^ c) * 1099511628211ull;
    }
    char hex[20];
    std::snprintf(hex, sizeof hex, "#%016llx", static_cast<unsigned long long>(h));
    std::size_t keep = 0;
    for (std::size_t cost = 0; keep < term.size(); ++keep) {
        cost += term[keep] == '\0' ? 2 : 1;
        if (cost > max_term_length - 17) {
            break;
        }
    }
    term.resize(keep);
    term += hex;
    return term;
}

// Value slots of the fields the daemon always sends; other searchable fields get the next free
// slot, remembered in the index's metadata under "slot:" + name.
constexpr Xapian::valueno time_slot = 0;
constexpr Xapian::valueno servertime_slot = 1;
constexpr Xapian::valueno score_slot = 2;
constexpr Xapian::valueno first_free_slot = 3;
// The slot of the stored fields' record (below). Xapian compresses document data, and reading a
// hit's data costs twice what reading one value does.
constexpr Xapian::valueno stored_slot = 0xFFFFFF00;
const std::string slot_key_prefix = "slot:";

// Hits ranked per window for the hit-by-hit commands (10 to 13).
constexpr Xapian::doccount window_size = 20;

// The stored fields of a document form one record in its stored slot: for each field the name's
// length (varint), the name, a kind byte ('t' text, 'n' number) and the value (length and bytes,
// or a varint).
void put_varint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

bool get_varint(const std::string& in, std::size_t& pos, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; pos < in.size() && shift < 64; shift += 7) {
        auto b = static_cast<unsigned char>(in[pos++]);
        v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
        if ((b & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

// What one occurrence adds to the frequency of a plain word: its slice's default weight in
// quarters of the body's weight, at least 1.
Xapian::termcount default_wdf(int slice) {
    return static_cast<Xapian::termcount>(std::max(1, proto::default_slice_weight(slice) / 25));
}

bool parse_count(const std::string& text, std::size_t& n) {
    std::size_t value = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || value == 0) {
        return false;
    }
    n = value;
    return p == text.data() + text.size() || *p == ':';
}

std::string upper_ascii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

// Runs `body`: the text of an engine error it throws (Xapian's errors derive from no standard
// exception class), or nothing.
template <typename F>
std::optional<std::string> engine_error(F&& body) {
    try {
        body();
    } catch (const Xapian::Error& e) {
        return e.get_description();
    } catch (const std::exception& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

bool remove_tree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
    return !ec;
}

}  // namespace

namespace index_terms {

std::string field_term(const std::string& field, const std::string& value) {
    if (field == "guid") {
        return bounded_term("Q" + value);
    }
    return bounded_term("X" + upper_ascii(field) + ":" + value);
}

std::string slice_term(int slice, const std::string& word) {
    std::string t = "S";
    t.push_back(static_cast<char>(slice + proto::slice_byte_offset));
    t += word;
    return t;
}

std::string meta_term(const std::string& token) {
    return bounded_term("M" + token);
}

std::string word_term(std::string word) {
    for (char& c : word) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return word;
}

}  // namespace index_terms

struct index_engine::stored_field {
    std::string name;
    bool is_number = false;
    std::string text;
    std::uint64_t number = 0;
};

std::vector<index_engine::stored_field> index_engine::stored_fields(const std::string& data) {
    std::vector<stored_field> fields;
    std::size_t p = 0;
    while (p < data.size()) {
        stored_field f;
        std::uint64_t length = 0;
        if (!get_varint(data, p, length) || length > data.size() - p) {
            break;
        }
        f.name = data.substr(p, length);
        p += length;
        if (p >= data.size()) {
            break;
        }
        char kind = data[p++];
        if (kind == 'n') {
            f.is_number = true;
            if (!get_varint(data, p, f.number)) {
                break;
            }
        } else {
            if (!get_varint(data, p, length) || length > data.size() - p) {
                break;
            }
            f.text = data.substr(p, length);
            p += length;
        }
        fields.push_back(std::move(f));
    }
    return fields;
}

std::string index_engine::stored_record(Xapian::docid id) {
    return reader_->get_document(id, Xapian::DOC_ASSUME_VALID).get_value(stored_slot);
}

std::optional<std::string> index_engine::field_text(const std::vector<stored_field>& fields,
                                                    const std::string& name) {
    for (const stored_field& f : fields) {
        if (f.name == name) {
            return f.is_number ? std::to_string(f.number) : f.text;
        }
    }
    return std::nullopt;
}

struct index_engine::pending_document {
    Xapian::Document doc;
    std::string data;
    std::string unique_term;
    Xapian::termpos position = 0;
    std::uint64_t slices = 0;
    std::vector<Xapian::valueno> slots_set;

    // Starts a stored field in the document data: its name and its kind byte.
    void store(const std::string& name, char kind) {
        put_varint(data, name.size());
        data += name;
        data.push_back(kind);
    }
    // A searchable field: its exact term, and its first value in the field's slot.
    void search(const std::string& term, Xapian::valueno slot, const std::string& value) {
        doc.add_boolean_term(term);
        if (std::find(slots_set.begin(), slots_set.end(), slot) == slots_set.end()) {
            doc.add_value(slot, value);
            slots_set.push_back(slot);
        }
    }
};

engine_settings engine_settings::from_environment(const char* (*get)(const char*),
                                                  std::string& warnings) {
    engine_settings s;
    if (const char* dir = get(proto::env_index_dir); dir != nullptr && *dir != '\0') {
        s.directory = dir;
    }
    auto number = [&](const char* name) -> std::optional<long> {
        const char* text = get(name);
        if (text == nullptr) {
            return std::nullopt;
        }
        char* end = nullptr;
        errno = 0;
        long v = std::strtol(text, &end, 10);
        if (end == text || *end != '\0' || errno != 0 || v <= 0 ||
            v > std::numeric_limits<std::int32_t>::max()) {
            warnings += std::string(" Ignoring ") + name + "=" + text + " (not a positive number)";
            return std::nullopt;
        }
        return v;
    };
    auto merge_factor = number(proto::env_merge_factor);
    auto min_merge = number(proto::env_min_merge_docs);
    auto max_merge = number(proto::env_max_merge_docs);
    auto field_length = number(proto::env_max_field_length);
    if (min_merge) {
        s.flush_threshold = static_cast<std::uint32_t>(*min_merge);
    }
    if (max_merge && s.flush_threshold > *max_merge) {
        s.flush_threshold = static_cast<std::uint32_t>(*max_merge);
    }
    if (merge_factor) {
        // A low merge factor asks for an index tuned for searching, a high one for indexing.
        s.compaction_level = *merge_factor < 10    ? Xapian::Compactor::FULLER
                             : *merge_factor == 10 ? Xapian::Compactor::FULL
                                                   : Xapian::Compactor::STANDARD;
    }
    if (field_length) {
        s.max_field_tokens = static_cast<std::uint32_t>(*field_length);
    }
    return s;
}

index_engine::index_engine(engine_settings settings) : settings_(std::move(settings)) {
    // A compaction interrupted by a crash leaves the new copy and/or the old index beside the
    // index; the old one is the truth until the swap has completed.
    const std::string& dir = settings_.directory;
    std::error_code ec;
    if (!fs::exists(dir, ec) && fs::exists(dir + ".old", ec)) {
        fs::rename(dir + ".old", dir);
    }
    remove_tree(dir + ".new");
    if (fs::exists(dir, ec)) {
        remove_tree(dir + ".old");
    }
    open_writer();
}

index_engine::~index_engine() = default;

void index_engine::open_writer() {
    absent_term_.clear();
    writer_ =
        std::make_unique<Xapian::WritableDatabase>(settings_.directory, Xapian::DB_CREATE_OR_OPEN);
    reader_ = std::make_unique<Xapian::Database>(settings_.directory);
    slots_ = {{"time", time_slot}, {"servertime", servertime_slot}, {"score", score_slot}};
    for (auto it = writer_->metadata_keys_begin(slot_key_prefix);
         it != writer_->metadata_keys_end(slot_key_prefix); ++it) {
        std::string name = (*it).substr(slot_key_prefix.size());
        slots_[name] = static_cast<Xapian::valueno>(std::stoul(writer_->get_metadata(*it)));
    }
    used_slices_ = 0;
    for (int s = 0; s <= proto::max_slice; ++s) {
        std::string prefix = index_terms::slice_term(s, "");
        if (writer_->allterms_begin(prefix) != writer_->allterms_end(prefix)) {
            used_slices_ |= std::uint64_t{1} << s;
        }
    }
}

bool index_engine::fail(const std::string& what, const std::string& error) {
    last_error_ = what + ": " + error;
    return false;
}

std::uint32_t index_engine::document_count() {
    refresh_reader();
    return reader_->get_doccount();
}

Xapian::valueno index_engine::slot_for(const std::string& field, bool create) {
    auto it = slots_.find(field);
    if (it != slots_.end()) {
        return it->second;
    }
    if (!create) {
        return Xapian::BAD_VALUENO;
    }
    if (key_length(slot_key_prefix + field) > max_term_length) {
        throw std::invalid_argument("Field name too long for a value slot");
    }
    Xapian::valueno next = first_free_slot;
    for (const auto& [name, slot] : slots_) {
        next = std::max(next, slot + 1);
    }
    writer_->set_metadata(slot_key_prefix + field, std::to_string(next));
    slots_[field] = next;
    return next;
}

bool index_engine::begin_document() {
    pending_ = std::make_unique<pending_document>();
    return true;
}

bool index_engine::in_document(const std::string& field) {
    if (!pending_) {
        last_error_ = "Field " + field + " outside a document";
    }
    return pending_ != nullptr;
}

void index_engine::index_tokens(const std::string& value) {
    pending_document& d = *pending_;
    std::uint32_t words = 0;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find(proto::token_separator, start);
        if (end == std::string::npos) {
            end = value.size();
        }
        std::size_t length = end - start;
        int slice = length >= 2
                        ? static_cast<unsigned char>(value[end - 1]) - proto::slice_byte_offset
                        : -1;
        // Tokens without a slice byte of ours are skipped.
        if (slice >= 0 && slice <= proto::max_slice) {
            std::string term = value.substr(start, length - 1);
            if (term.find(':') != std::string::npos) {
                d.doc.add_term(index_terms::meta_term(term));
            } else if (key_length(term) <= max_term_length - 2 &&
                       (settings_.max_field_tokens == 0 || words < settings_.max_field_tokens)) {
                ++words;
                term = index_terms::word_term(std::move(term));
                // The plain word carries the positions (for NEAR and phrases) and a frequency
                // weighted by the default weight of the slice, which queries without weight
                // pairs use; the slice term the plain frequency within the slice, which queries
                // with weight pairs combine.
                d.doc.add_posting(term, ++d.position, default_wdf(slice));
                d.doc.add_term(index_terms::slice_term(slice, term));
                d.slices |= std::uint64_t{1} << slice;
            }
        }
        start = end + 1;
    }
}

bool index_engine::add_text_field(const std::string& name, const std::string& value, bool stored,
                                  bool searchable, bool tokenized) {
    if (!in_document(name)) {
        return false;
    }
    try {
        pending_document& d = *pending_;
        if (stored) {
            d.store(name, 't');
            put_varint(d.data, value.size());
            d.data += value;
        }
        if (searchable && tokenized) {
            index_tokens(value);
        } else if (searchable) {
            std::string term = index_terms::field_term(name, value);
            if (name == "guid" && d.unique_term.empty()) {
                d.unique_term = term;
            }
            d.search(term, slot_for(name, true), value);
        }
        return true;
    } catch (const Xapian::Error& e) {
        return fail("Adding field " + name, e.get_description());
    } catch (const std::exception& e) {
        return fail("Adding field " + name, e.what());
    }
}

bool index_engine::add_number_field(const std::string& name, std::uint32_t value, bool stored,
                                    bool searchable) {
    if (!in_document(name)) {
        return false;
    }
    try {
        pending_document& d = *pending_;
        if (stored) {
            d.store(name, 'n');
            put_varint(d.data, value);
        }
        if (searchable) {
            d.search(index_terms::field_term(name, std::to_string(value)), slot_for(name, true),
                     Xapian::sortable_serialise(value));
        }
        return true;
    } catch (const Xapian::Error& e) {
        return fail("Adding field " + name, e.get_description());
    } catch (const std::exception& e) {
        return fail("Adding field " + name, e.what());
    }
}

bool index_engine::end_document() {
    if (!pending_) {
        last_error_ = "No document begun";
        return false;
    }
    auto d = std::move(pending_);
    const bool is_new = d->unique_term.empty() || d->unique_term == absent_term_;
    absent_term_.clear();
    try {
        d->doc.add_value(stored_slot, d->data);
        if (is_new) {
            writer_->add_document(d->doc);
        } else {
            writer_->replace_document(d->unique_term, d->doc);
        }
        used_slices_ |= d->slices;
        note_change();
        return true;
    } catch (const Xapian::Error& e) {
        return fail("Adding document", e.get_description());
    } catch (const std::exception& e) {
        return fail("Adding document", e.what());
    }
}

void index_engine::note_change() {
    ++changes_;
    if (settings_.flush_threshold > 0 && changes_ >= settings_.flush_threshold) {
        writer_->commit();
        changes_ = 0;
    }
}

std::optional<std::int32_t> index_engine::remove(const std::vector<wire_term>& terms) {
    absent_term_.clear();
    try {
        std::int32_t removed = 0;
        for (const wire_term& t : terms) {
            if (t.flag != proto::remove_exact) {
                last_error_ = "Unknown removal flag " + std::to_string(t.flag);
                return std::nullopt;
            }
            std::string term = index_terms::field_term(t.field, t.value);
            Xapian::doccount n = writer_->get_termfreq(term);
            if (n > 0) {
                writer_->delete_document(term);
                removed += static_cast<std::int32_t>(n);
                note_change();
            }
            absent_term_ = std::move(term);
        }
        return removed;
    } catch (const Xapian::Error& e) {
        fail("Removing documents", e.get_description());
        return std::nullopt;
    } catch (const std::exception& e) {
        fail("Removing documents", e.what());
        return std::nullopt;
    }
}

bool index_engine::commit() {
    try {
        writer_->commit();
        changes_ = 0;
        return true;
    } catch (const Xapian::Error& e) {
        return fail("Commit", e.get_description());
    } catch (const std::exception& e) {
        return fail("Commit", e.what());
    }
}

bool index_engine::compact() {
    if (!commit()) {
        return false;
    }
    const std::string& dir = settings_.directory;
    const std::string fresh = dir + ".new";
    const std::string old = dir + ".old";
    remove_tree(fresh);
    if (auto error = engine_error([&] {
            Xapian::Database(dir).compact(fresh, static_cast<unsigned>(settings_.compaction_level));
        })) {
        remove_tree(fresh);
        return fail("Compacting into " + fresh, *error);
    }
    // Swap: the writer lets go of the index, the fresh copy takes its place, and the old one goes
    // only when the fresh one has opened. Any failure puts the old index back.
    forget_query();
    reader_.reset();
    writer_->close();
    writer_.reset();
    std::error_code ec;
    fs::rename(dir, old, ec);
    if (ec) {
        last_error_ = "Renaming " + dir + ": " + ec.message();
        remove_tree(fresh);
        open_writer();
        return false;
    }
    fs::rename(fresh, dir, ec);
    if (!ec) {
        auto error = engine_error([&] { open_writer(); });
        if (!error) {
            remove_tree(old);
            return true;
        }
        fail("Opening the compacted index", *error);
        writer_.reset();
        reader_.reset();
        fs::rename(dir, fresh, ec);
    } else {
        last_error_ = "Renaming " + fresh + ": " + ec.message();
    }
    fs::rename(old, dir, ec);
    remove_tree(fresh);
    open_writer();
    return false;
}

void index_engine::refresh_reader() {
    // Only this process writes the index, so the writer's revision says whether there is
    // anything new to see; reopening costs file accesses.
    if (writer_->get_revision() != reader_->get_revision()) {
        reader_->reopen();
    }
}

Xapian::Query index_engine::word_query(const std::string& word,
                                       const std::vector<double>& weights) const {
    std::string term = index_terms::word_term(word);
    std::vector<Xapian::Query> parts;
    for (int s = 0; s <= proto::max_slice; ++s) {
        if ((used_slices_ & (std::uint64_t{1} << s)) == 0) {
            continue;
        }
        Xapian::Query q(index_terms::slice_term(s, term));
        parts.emplace_back(Xapian::Query::OP_SCALE_WEIGHT, q, weights[s]);
    }
    if (parts.empty()) {
        return Xapian::Query(term);
    }
    if (parts.size() == 1) {
        return parts.front();
    }
    return Xapian::Query(Xapian::Query::OP_OR, parts.begin(), parts.end());
}

Xapian::Query index_engine::build_query(const query_request& r) {
    // Without weight pairs the plain words, whose frequencies carry the default slice weights,
    // do the work of the per-slice terms at a fraction of the cost.
    const bool weigh_slices = !r.weights.empty();
    std::vector<double> weights(proto::max_slice + 1);
    std::optional<int> base;
    for (const auto& [slice, weight] : r.weights) {
        if (slice == 0) {
            base = std::max(weight, 0);
        }
    }
    for (int s = 0; s <= proto::max_slice; ++s) {
        weights[s] = (base ? *base : proto::default_slice_weight(s)) / 100.0;
    }
    for (const auto& [slice, weight] : r.weights) {
        if (slice > 0 && slice <= proto::max_slice) {
            weights[slice] = std::max(weight, 0) / 100.0;
        }
    }

    struct operand {
        Xapian::Query query;
        std::string position_term;  // set for a single word
        bool negated = false;
    };
    std::vector<operand> stack;
    std::map<std::string, std::vector<Xapian::Query>> restrictions;
    auto pop = [&](const wire_term& t) {
        std::size_t n = 0;
        if (!parse_count(t.value, n) || n > stack.size()) {
            throw std::invalid_argument("Bad operand count '" + t.value + "'");
        }
        std::vector<operand> args(std::make_move_iterator(stack.end() - static_cast<long>(n)),
                                  std::make_move_iterator(stack.end()));
        stack.resize(stack.size() - n);
        return args;
    };
    auto positive = [](operand& o) {
        return o.negated
                   ? Xapian::Query(Xapian::Query::OP_AND_NOT, Xapian::Query::MatchAll, o.query)
                   : o.query;
    };

    for (const wire_term& t : r.terms) {
        switch (static_cast<proto::term_flag>(t.flag)) {
            case proto::term_flag::word:
                if (t.value.empty()) {
                    throw std::invalid_argument("Empty word");
                }
                stack.push_back({weigh_slices ? word_query(t.value, weights)
                                              : Xapian::Query(index_terms::word_term(t.value)),
                                 index_terms::word_term(t.value)});
                break;
            case proto::term_flag::meta:
                stack.push_back({Xapian::Query(index_terms::meta_term(t.value)), {}});
                break;
            case proto::term_flag::not_: {
                auto args = pop(t);
                if (args.size() != 1) {
                    throw std::invalid_argument("NOT takes one operand");
                }
                args[0].negated = !args[0].negated;
                args[0].position_term.clear();
                stack.push_back(std::move(args[0]));
                break;
            }
            case proto::term_flag::and_: {
                auto args = pop(t);
                std::vector<Xapian::Query> keep, drop;
                for (operand& o : args) {
                    (o.negated ? drop : keep).push_back(o.query);
                }
                Xapian::Query q = keep.empty()       ? Xapian::Query::MatchAll
                                  : keep.size() == 1 ? keep.front()
                                                     : Xapian::Query(Xapian::Query::OP_AND,
                                                                     keep.begin(), keep.end());
                if (!drop.empty()) {
                    q = Xapian::Query(
                        Xapian::Query::OP_AND_NOT, q,
                        Xapian::Query(Xapian::Query::OP_OR, drop.begin(), drop.end()));
                }
                stack.push_back({q, args.size() == 1 ? args[0].position_term : std::string()});
                break;
            }
            case proto::term_flag::or_: {
                auto args = pop(t);
                std::vector<Xapian::Query> parts;
                parts.reserve(args.size());
                for (operand& o : args) {
                    parts.push_back(positive(o));
                }
                stack.push_back({Xapian::Query(Xapian::Query::OP_OR, parts.begin(), parts.end()),
                                 args.size() == 1 ? args[0].position_term : std::string()});
                break;
            }
            case proto::term_flag::near:
            case proto::term_flag::phrase: {
                bool phrase = static_cast<proto::term_flag>(t.flag) == proto::term_flag::phrase;
                auto args = pop(t);
                std::size_t window = phrase ? args.size() : args.size() + proto::near_slack;
                if (auto colon = t.value.find(':'); !phrase && colon != std::string::npos) {
                    std::size_t w = 0;
                    if (!parse_count(t.value.substr(colon + 1), w) || w < args.size()) {
                        throw std::invalid_argument("Bad NEAR window '" + t.value + "'");
                    }
                    window = w;
                }
                std::vector<std::string> positions;
                std::vector<Xapian::Query> weighted;
                for (operand& o : args) {
                    if (o.negated || o.position_term.empty()) {
                        throw std::invalid_argument("NEAR and phrases take words only");
                    }
                    positions.push_back(o.position_term);
                    weighted.push_back(o.query);
                }
                if (args.size() == 1) {
                    stack.push_back(std::move(args[0]));
                    break;
                }
                Xapian::Query where(phrase ? Xapian::Query::OP_PHRASE : Xapian::Query::OP_NEAR,
                                    positions.begin(), positions.end(),
                                    static_cast<Xapian::termcount>(window));
                if (!weigh_slices) {
                    stack.push_back({where, {}});
                    break;
                }
                // The slice-weighted words give the relevance, the positions decide the match.
                Xapian::Query weight(Xapian::Query::OP_AND, weighted.begin(), weighted.end());
                stack.push_back({Xapian::Query(Xapian::Query::OP_FILTER, weight, where), {}});
                break;
            }
            case proto::term_flag::restrict:
                restrictions[t.field].emplace_back(index_terms::field_term(t.field, t.value));
                break;
            default:
                throw std::invalid_argument("Unknown term flag " + std::to_string(t.flag));
        }
    }
    if (stack.size() > 1) {
        throw std::invalid_argument("Incomplete expression: " + std::to_string(stack.size()) +
                                    " operands left");
    }
    Xapian::Query query = stack.empty() ? Xapian::Query::MatchAll : positive(stack.front());

    std::vector<Xapian::Query> filters;
    filters.reserve(restrictions.size() + 2);
    for (auto& [field, terms] : restrictions) {
        filters.emplace_back(Xapian::Query::OP_OR, terms.begin(), terms.end());
    }
    if (!r.range_field.empty()) {
        Xapian::valueno slot = slot_for(r.range_field, false);
        if (slot == Xapian::BAD_VALUENO) {
            filters.push_back(Xapian::Query::MatchNothing);
        } else if (r.max_time == 0) {
            filters.emplace_back(Xapian::Query::OP_VALUE_GE, slot,
                                 Xapian::sortable_serialise(r.min_time));
        } else {
            filters.emplace_back(Xapian::Query::OP_VALUE_RANGE, slot,
                                 Xapian::sortable_serialise(r.min_time),
                                 Xapian::sortable_serialise(r.max_time));
        }
    }
    if (!r.min_score.empty()) {
        Xapian::valueno slot = slot_for(r.score_field.empty() ? "score" : r.score_field, false);
        filters.push_back(slot == Xapian::BAD_VALUENO
                              ? Xapian::Query::MatchNothing
                              : Xapian::Query(Xapian::Query::OP_VALUE_GE, slot, r.min_score));
    }
    if (!filters.empty()) {
        query = Xapian::Query(Xapian::Query::OP_FILTER, query,
                              Xapian::Query(Xapian::Query::OP_AND, filters.begin(), filters.end()));
    }
    return query;
}

void index_engine::forget_query() {
    enquire_.reset();
    query_ = Xapian::Query();
    selected_.reset();
    selected_fields_.clear();
    window_ = Xapian::MSet();
    hits_ = 0;
}

Xapian::doccount index_engine::exact_count(const Xapian::MSet& ranked) {
    if (ranked.get_matches_lower_bound() == ranked.get_matches_upper_bound()) {
        return ranked.get_matches_lower_bound();
    }
    // The ranking stopped early and only estimated the rest: count every match, without
    // weighing them.
    Xapian::Enquire counter(*reader_);
    counter.set_query(query_);
    counter.set_weighting_scheme(Xapian::BoolWeight());
    counter.set_docid_order(Xapian::Enquire::DONT_CARE);
    return counter.get_mset(0, 0, reader_->get_doccount()).get_matches_lower_bound();
}

std::int32_t index_engine::run_query(const query_request& request) {
    forget_query();
    try {
        refresh_reader();
        query_ = build_query(request);
        auto enquire = std::make_unique<Xapian::Enquire>(*reader_);
        enquire->set_query(query_);
        if (!request.sort_field.empty()) {
            Xapian::valueno slot = slot_for(request.sort_field, false);
            if (slot != Xapian::BAD_VALUENO) {
                enquire->set_sort_by_value_then_relevance(slot, request.descending);
            }
        }
        // Paging needs exact counts: every match is counted (on the way, which costs less than a
        // count of its own afterwards). A single term needs no counting: its bounds are its
        // exact frequency, and the ranking may stop early.
        const bool one_term = query_.get_type() == Xapian::Query::LEAF_TERM;
        window_ = enquire->get_mset(0, window_size, one_term ? 0 : reader_->get_doccount());
        enquire_ = std::move(enquire);
        hits_ = static_cast<std::int32_t>(std::min<Xapian::doccount>(
            exact_count(window_), std::numeric_limits<std::int32_t>::max()));
        return hits_;
    } catch (const Xapian::Error& e) {
        forget_query();
        fail("Query", e.get_description());
        return -1;
    } catch (const std::exception& e) {
        forget_query();
        fail("Query", e.what());
        return -1;
    }
}

bool index_engine::fetch_window(Xapian::doccount first) {
    window_ = enquire_->get_mset(first, window_size);
    return true;
}

bool index_engine::select_hit(std::int32_t position) {
    selected_.reset();
    selected_fields_.clear();
    if (!enquire_ || position < 0 || position >= hits_) {
        last_error_ = "No hit at position " + std::to_string(position);
        return false;
    }
    try {
        auto pos = static_cast<Xapian::doccount>(position);
        if (pos < window_.get_firstitem() || pos >= window_.get_firstitem() + window_.size()) {
            fetch_window(pos);
        }
        if (pos < window_.get_firstitem() || pos >= window_.get_firstitem() + window_.size()) {
            last_error_ = "No hit at position " + std::to_string(position);
            return false;
        }
        Xapian::MSetIterator it = window_[pos - window_.get_firstitem()];
        selected_fields_ = stored_fields(stored_record(*it));
        selected_ = it;
        return true;
    } catch (const Xapian::Error& e) {
        return fail("Selecting hit " + std::to_string(position), e.get_description());
    } catch (const std::exception& e) {
        return fail("Selecting hit " + std::to_string(position), e.what());
    }
}

std::optional<std::int32_t> index_engine::hit_score() {
    if (!selected_) {
        last_error_ = "No hit selected";
        return std::nullopt;
    }
    return selected_->get_percent() * 10000;
}

std::optional<std::string> index_engine::stored_text(const std::string& field) {
    auto text = field_text(selected_fields_, field);
    if (!text) {
        last_error_ = "No stored field " + field;
    }
    return text;
}

std::optional<std::uint32_t> index_engine::stored_number(const std::string& field) {
    for (const stored_field& f : selected_fields_) {
        if (f.name != field) {
            continue;
        }
        if (f.is_number) {
            return static_cast<std::uint32_t>(f.number);
        }
        std::uint32_t v = 0;
        auto [p, ec] = std::from_chars(f.text.data(), f.text.data() + f.text.size(), v);
        if (ec == std::errc() && p == f.text.data() + f.text.size()) {
            return v;
        }
        break;
    }
    last_error_ = "No stored number " + field;
    return std::nullopt;
}

}  // namespace marloven
