// FFF.cc: the FFF node classes, their bodies in the binary form, the slice table and the kind
// table.
// SPDX-License-Identifier: MIT
#include "worker/FFF/FFF.h"

#include <algorithm>
#include <array>

#include "util/log.h"

namespace FFF {

namespace {

constexpr std::array<std::string_view, 32> slice_names = {"?",
                                                          "author",
                                                          "keyword",
                                                          "abstract",
                                                          "invisible",
                                                          "marginalNorm",
                                                          "marginalEmph",
                                                          "marginalLink",
                                                          "marginalRemoteLink",
                                                          "marginaHeader",
                                                          "centralNorm",
                                                          "centralEmph",
                                                          "centralLink",
                                                          "centralRemote",
                                                          "centralHeader",
                                                          "title",
                                                          "custom0",
                                                          "custom1",
                                                          "custom2",
                                                          "custom3",
                                                          "custom4",
                                                          "custom5",
                                                          "custom6",
                                                          "custom7",
                                                          "custom8",
                                                          "custom9",
                                                          "customA",
                                                          "customB",
                                                          "customC",
                                                          "customD",
                                                          "customE",
                                                          "customF"};

template <typename T, auto... args>
std::unique_ptr<tXMLTree> make() {
    return std::make_unique<T>(args...);
}

}  // namespace

std::string_view slice_name(std::uint32_t dictid) {
    return dictid < slice_names.size() ? slice_names[dictid] : "?";
}

double display_score(std::uint32_t raw) {
    if (raw >= score_one) {
        return score_one;
    }
    return raw == 0 ? 0.0 : raw * 0.000001;
}

void DocumentData_basic::write(std::string& /*out*/) const {
    // Only DocumentData is ever written; a plain base object here is a producer's mistake.
    VANT_CHECK(false, "false");
}

bool DocumentData_basic::read(tree_reader& /*in*/, read_state& /*state*/) {
    // The kind table makes a DocumentData for kind 0; nothing reads into a plain base object.
    VANT_CHECK(false, "false");
    return false;
}

DocumentData::DocumentData(bool is_full) : full(is_full), linkIndex(by_url{&linkscores_}) {}

void DocumentData::write(std::string& out) const {
    write_children(out);
    marloven::append_number(out, score);
    marloven::append_number(out, static_cast<std::uint32_t>(linkscores_.size()));
    for (const auto& l : linkscores_) {
        marloven::append_bytes(out, l.url);
        marloven::append_number(out, l.score);
    }
}

bool DocumentData::read(tree_reader& in, read_state& state) {
    if (!read_children(in, state)) {
        return false;
    }
    if (state != read_state::Complete) {
        return true;
    }
    state = read_state::Incomplete;
    if (!full) {
        score = score_one;
    } else if (!in.number(score)) {
        return true;
    }
    std::uint32_t count = 0;
    if (!in.number(count)) {
        return true;
    }
    linkscores_.reserve(std::min<std::size_t>(count, in.remaining()));
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string_view url;
        if (!in.bytes(url)) {
            return true;
        }
        std::uint32_t link_score = score;
        if (full && !in.number(link_score)) {
            addLink(url, score);
            return true;
        }
        addLink(url, link_score);
    }
    state = read_state::Complete;
    return true;
}

std::uint32_t DocumentData::addLink(std::string_view url, std::uint32_t link_score) {
    if (auto it = linkIndex.find(url); it != linkIndex.end()) {
        linkscores_[*it].score = link_score;
        return *it;
    }
    const auto id = static_cast<std::uint32_t>(linkIndex.size());
    VANT_CHECK(id == linkscores_.size(), "id == linkscores_.size()");
    linkscores_.push_back(link{std::string(url), link_score});
    linkIndex.insert(id);
    return id;
}

std::optional<std::uint32_t> DocumentData::find_link(std::string_view url) const {
    if (auto it = linkIndex.find(url); it != linkIndex.end()) {
        return *it;
    }
    return std::nullopt;
}

void Contents::write(std::string& out) const {
    write_children(out);
    write_metas(out, metas_);
}

bool Contents::read(tree_reader& in, read_state& state) {
    if (!read_children(in, state)) {
        return false;
    }
    if (state != read_state::Complete || !full) {
        return true;
    }
    // A metas string that cannot be read leaves the contents without metas; the text is whole,
    // and the root, whose fields follow, reports the cut.
    std::string_view bytes;
    if (in.bytes(bytes)) {
        decode_metas(bytes, metas_);
    }
    return true;
}

word_list::word_list(std::initializer_list<std::string_view> words) {
    ends_.reserve(words.size());
    for (auto w : words) {
        push_back(w);
    }
}

void word_list::push_back(std::string_view word) {
    VANT_CHECK(word.size() <= max_text - text_.size(), "Run text too long");
    text_.append(word);
    ends_.push_back(static_cast<std::uint32_t>(text_.size()));
}

void Low::write(std::string& out) const {
    // The urlid follows the 16-bit number actually written, so that reader and writer agree.
    const auto wire_dictid = static_cast<std::uint16_t>(dictid);
    marloven::append_number16(out, wire_dictid);
    if (carries_urlid(wire_dictid)) {
        marloven::append_number(out, urlid);
    }
    marloven::append_number(out, static_cast<std::uint32_t>(words.size()));
    for (auto w : words) {
        marloven::append_bytes(out, w);
    }
}

bool Low::read(tree_reader& in, read_state& state) {
    state = read_state::Empty;
    std::uint16_t wire_dictid = 0;
    if (!in.number16(wire_dictid)) {
        return true;
    }
    dictid = wire_dictid;
    if (carries_urlid(dictid) && !in.number(urlid)) {
        return true;
    }
    state = read_state::Incomplete;
    std::uint32_t count = 0;
    if (!in.number(count)) {
        return true;
    }
    words.clear();
    // Sized once from the blob: no regrowth, and no slack kept for the life of the tree.
    words.reserve(std::min<std::size_t>(count, in.remaining()), in.peek_bytes_total(count));
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string_view w;
        if (!in.bytes(w) || w.size() > word_list::max_text - words.text_size()) {
            return true;
        }
        words.push_back(w);
    }
    state = read_state::Complete;
    return true;
}

marloven::kind_table& kindTable() {
    static marloven::kind_table table(format_version);
    static const bool filled = [] {
        table.register_kind(kind_documentdata_basic, make<DocumentData, false>);
        table.register_kind(kind_contents_basic, make<Contents, false>);
        table.register_kind(kind_p, make<P>);
        table.register_kind(kind_s, make<S>);
        table.register_kind(kind_low, make<Low>);
        table.register_kind(kind_contents, make<Contents, true>);
        table.register_kind(kind_documentdata, make<DocumentData, true>);
        return true;
    }();
    (void)filled;
    return table;
}

}  // namespace FFF
