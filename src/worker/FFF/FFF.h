// FFF.h: the FFF document model: the node classes of a parsed document (document data,
// contents, paragraphs, sentences, word runs), links with scores, the slice table and the
// process-wide kind table. The binary form is in worker/FFF/FFF-serialize.h, the renderers
// in worker/FFF/renderers.h.
// Kind numbers are stored in every document blob: never renumber, only add.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "worker/FFF/metas.h"
#include "worker/FFF/tXMLTree.h"

namespace FFF {

using marloven::read_state;
using marloven::tree_reader;
using marloven::tXMLParentTree;
using marloven::tXMLTree;

// Version number at the head of every blob.
inline constexpr std::uint32_t format_version = 100;

// Kind numbers of the node classes.
inline constexpr std::uint32_t kind_documentdata_basic = 0;
inline constexpr std::uint32_t kind_contents_basic = 1;
inline constexpr std::uint32_t kind_p = 2;
inline constexpr std::uint32_t kind_s = 3;
inline constexpr std::uint32_t kind_low = 4;
inline constexpr std::uint32_t kind_contents = 5;
inline constexpr std::uint32_t kind_documentdata = 6;

// Slices: the structural role of a run (its dictid); the names double as the index's weight
// classes. 16 to 31 are custom0 to custom9 and customA to customF.
namespace slice {
inline constexpr std::uint32_t author = 1;
inline constexpr std::uint32_t keyword = 2;
inline constexpr std::uint32_t abstract = 3;
inline constexpr std::uint32_t invisible = 4;
inline constexpr std::uint32_t marginalNorm = 5;
inline constexpr std::uint32_t marginalEmph = 6;
inline constexpr std::uint32_t marginalLink = 7;
inline constexpr std::uint32_t marginalRemoteLink = 8;
inline constexpr std::uint32_t marginaHeader = 9;
inline constexpr std::uint32_t centralNorm = 10;
inline constexpr std::uint32_t centralEmph = 11;
inline constexpr std::uint32_t centralLink = 12;
inline constexpr std::uint32_t centralRemote = 13;
inline constexpr std::uint32_t centralHeader = 14;
inline constexpr std::uint32_t title = 15;
inline constexpr std::uint32_t custom0 = 16;
inline constexpr std::uint32_t customF = 31;
}  // namespace slice

// The name of a slice ("author" ... "customF"), "?" for any other number.
std::string_view slice_name(std::uint32_t dictid);

// The two link slices, whose runs carry the link id of the link they belong to. The remote
// link slices (8, 13) do not.
constexpr bool carries_urlid(std::uint32_t dictid) {
    return dictid == slice::marginalLink || dictid == slice::centralLink;
}

// Scores are millionths: 1000000 stands for 1.0.
inline constexpr std::uint32_t score_one = 1000000;
// A score as shown to people: 0, raw x 0.000001 below 1000000, and 1000000 from there on.
double display_score(std::uint32_t raw);

// The classes below follow one line of descent each, so plain (non-virtual) inheritance gives
// the same classes, kinds and walks as virtual bases would, at a smaller size per node.

// Base class and kind number of a document root. A plain DocumentData_basic object cannot be
// written or read (fatal); kind 0 is read as a DocumentData with `full` false.
class DocumentData_basic : public tXMLParentTree {
  public:
    void write(std::string& out) const override;
    bool read(tree_reader& in, read_state& state) override;
    std::uint32_t kind() const override { return kind_documentdata_basic; }
    std::string_view name() const override { return "documentdata_basic"; }
};

// One out-link of a document; its position in the document's link list is its link id.
struct link {
    std::string url;
    std::uint32_t score = score_one;

    bool operator==(const link&) const = default;
};

// The root of every document: its children, its score and its scored links.
// Ownership: owns its children and links.
// Failure: broken input is reported by `read`; a link table out of step is fatal.
// Threads: one thread at a time.
class DocumentData : public DocumentData_basic {
  public:
    // `is_full`: whether the document carries scores (always written in full).
    explicit DocumentData(bool is_full = true);

    // Writes children, score and links (kind 6), whatever `full` says.
    void write(std::string& out) const override;
    // Reads the kind-6 body when `full`, the kind-0 body (no scores) otherwise.
    bool read(tree_reader& in, read_state& state) override;
    std::uint32_t kind() const override { return kind_documentdata; }
    std::string_view name() const override { return "documentdata"; }

    // Adds `url` with `link_score` and returns its link id. A URL added before keeps its id and
    // takes the new score; a new URL gets the next id (ids are dense, from 0).
    std::uint32_t addLink(std::string_view url, std::uint32_t link_score);
    // The links in id order.
    const std::vector<link>& links() const { return linkscores_; }
    // The link id of `url`, if the document links to it.
    std::optional<std::uint32_t> find_link(std::string_view url) const;

    bool full;  // read as kind 6 (true) or kind 0 (false)
    std::uint32_t score = score_one;

  private:
    // Orders link ids by the bytes of their URLs, and finds an id by URL without a copy.
    struct by_url {
        using is_transparent = void;
        const std::vector<link>* links;
        bool operator()(std::uint32_t a, std::uint32_t b) const {
            return (*links)[a].url < (*links)[b].url;
        }
        bool operator()(std::uint32_t a, std::string_view b) const { return (*links)[a].url < b; }
        bool operator()(std::string_view a, std::uint32_t b) const { return a < (*links)[b].url; }
    };

    std::vector<link> linkscores_;
    // URL -> link id, kept in step with linkscores_. Holding ids rather than URLs keeps each URL
    // once in memory; nodes never move, so the comparator's pointer stays valid.
    std::set<std::uint32_t, by_url> linkIndex;
};

// Base class and kind number of a document's contents; kind 1 is read as a Contents with `full`
// false.
class Contents_basic : public tXMLParentTree {
  public:
    std::uint32_t kind() const override { return kind_contents_basic; }
    std::string_view name() const override { return "contents_basic"; }
};

// The text of a document, and its metadata records.
class Contents : public Contents_basic {
  public:
    explicit Contents(bool is_full = true) : full(is_full) {}

    // Writes children and metas (kind 5), whatever `full` says.
    void write(std::string& out) const override;
    // Reads children, and the metas when `full`.
    bool read(tree_reader& in, read_state& state) override;
    std::uint32_t kind() const override { return kind_contents; }
    std::string_view name() const override { return "contents"; }

    std::vector<meta>& metas() { return metas_; }
    const std::vector<meta>& metas() const { return metas_; }

    bool full;  // read as kind 5 (true) or kind 1 (false)

  private:
    std::vector<meta> metas_;
};

// A paragraph.
class P : public tXMLParentTree {
  public:
    std::uint32_t kind() const override { return kind_p; }
    std::string_view name() const override { return "p"; }
};

// A group of runs inside a paragraph.
class S : public tXMLParentTree {
  public:
    std::uint32_t kind() const override { return kind_s; }
    std::string_view name() const override { return "s"; }
};

// The tokens of one run. A document holds tens of thousands of runs, most of a few short
// words; a heap string per token would cost more than the text. The bytes of all tokens sit
// back to back in one buffer beside the end offset of each token, so a run costs two
// allocations and four bytes per token besides its text.
class word_list {
  public:
    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;

        const_iterator() = default;
        const_iterator(const word_list* list, std::size_t i) : list_(list), i_(i) {}
        std::string_view operator*() const { return (*list_)[i_]; }
        const_iterator& operator++() {
            ++i_;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++i_;
            return old;
        }
        bool operator==(const const_iterator& o) const { return i_ == o.i_; }

      private:
        const word_list* list_ = nullptr;
        std::size_t i_ = 0;
    };

    // The largest total of token bytes one run can hold.
    static constexpr std::size_t max_text = UINT32_MAX;

    word_list() = default;
    word_list(std::initializer_list<std::string_view> words);

    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const {
        const std::uint32_t b = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(text_).substr(b, ends_[i] - b);
    }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }
    // Total bytes of all tokens.
    std::size_t text_size() const { return text_.size(); }

    // Appends a token; exceeding max_text is a programming error (fatal).
    void push_back(std::string_view word);
    void reserve(std::size_t words, std::size_t text_bytes) {
        ends_.reserve(words);
        text_.reserve(text_bytes);
    }
    void clear() {
        text_.clear();
        ends_.clear();
    }

    bool operator==(const word_list&) const = default;

  private:
    std::string text_;
    std::vector<std::uint32_t> ends_;
};

// One run of text: its tokens (words and punctuation, one token each, no spaces), its slice, and
// for the link slices the id of its link in the root's link list.
class Low : public tXMLTree {
  public:
    void write(std::string& out) const override;
    bool read(tree_reader& in, read_state& state) override;
    std::uint32_t kind() const override { return kind_low; }
    std::string_view name() const override { return "low"; }

    // Travels as a 16-bit number: only the low 16 bits of a larger value are kept.
    std::uint32_t dictid = slice::marginalNorm;
    std::uint32_t urlid = 0;  // meaningful only when carries_urlid(dictid)
    word_list words;
};

// The process-wide kind table, filled with the seven FFF kinds on first use.
marloven::kind_table& kindTable();

}  // namespace FFF
