// document_view.cc: the C view of an FFF document and the document services' changes.
// SPDX-License-Identifier: MIT
#include "plugin-system/document_view.h"

#include <algorithm>
#include <cstring>

#include "plugin-system/text_check.h"

namespace marloven {

namespace {

// Checks a text the document services are asked to store.
bool acceptable(const char* text, std::size_t max_bytes, const char* what, std::string& why) {
    if (text == nullptr) {
        why = std::string(what) + " is missing";
        return false;
    }
    std::string_view t(text);
    if (t.size() > max_bytes) {
        why = std::string(what) + " is longer than " + std::to_string(max_bytes) + " bytes";
        return false;
    }
    if (!is_plain_text(t)) {
        why = std::string(what) + " is not plain UTF-8 text";
        return false;
    }
    return true;
}

bool same_entry(const FFF::meta& a, const FFF::meta& b) {
    return a.type == b.type && a.key == b.key && a.value == b.value && a.beg == b.beg &&
           a.end == b.end;
}

}  // namespace

document_view::document_view(FFF::DocumentData& doc, const document_facts& facts)
    : doc_(doc), facts_(facts) {
    std::uint32_t paragraph = 0;
    std::uint32_t sentence = 0;
    collect(doc_, paragraph, sentence);
    for (auto& run : runs_) {
        fill_words(run);
    }
    for (const FFF::link& l : doc_.links()) {
        c_links_.push_back({l.url.c_str(), l.score});
    }
    refresh_runs();
    refresh_metas();
    c_.size = sizeof c_;
    c_.url = facts_.url.c_str();
    c_.mime = facts_.mime.c_str();
    c_.charset = facts_.charset.c_str();
    c_.host = this;
}

// Paragraph and sentence numbers count the P and S nodes met so far; a run outside any gets
// the numbers of the last one before it (or 0).
void document_view::collect(tXMLTree& node, std::uint32_t& paragraph, std::uint32_t& sentence) {
    if (auto* low = dynamic_cast<FFF::Low*>(&node)) {
        runs_.push_back(
            {low, paragraph == 0 ? 0 : paragraph - 1, sentence == 0 ? 0 : sentence - 1, {}, {}});
        return;
    }
    auto* parent = dynamic_cast<tXMLParentTree*>(&node);
    if (parent == nullptr) {
        return;
    }
    if (contents_ == nullptr) {
        contents_ = dynamic_cast<FFF::Contents*>(&node);
    }
    if (dynamic_cast<FFF::P*>(&node) != nullptr) {
        ++paragraph;
    } else if (dynamic_cast<FFF::S*>(&node) != nullptr) {
        ++sentence;
    }
    for (auto& child : parent->children) {
        collect(*child, paragraph, sentence);
    }
}

void document_view::fill_words(run_view& run) {
    run.text.clear();
    run.words.clear();
    run.text.reserve(run.low->words.text_size() + run.low->words.size());
    for (std::string_view w : run.low->words) {
        run.text.append(w);
        run.text.push_back('\0');
    }
    for (std::size_t at = 0; at < run.text.size(); at = run.text.find('\0', at) + 1) {
        run.words.push_back(run.text.c_str() + at);
    }
}

void document_view::refresh_runs() {
    c_runs_.clear();
    tokens_ = 0;
    for (const auto& run : runs_) {
        marloven_fff_run r{};
        r.dictid = run.low->dictid;
        r.urlid = FFF::carries_urlid(run.low->dictid) ? run.low->urlid : 0;
        r.paragraph = run.paragraph;
        r.sentence = run.sentence;
        r.position = tokens_;
        r.word_count = static_cast<std::uint32_t>(run.words.size());
        r.words = run.words.data();
        c_runs_.push_back(r);
        tokens_ += r.word_count;
    }
}

std::vector<FFF::meta>& document_view::metas() {
    if (contents_ == nullptr) {
        contents_ = &doc_.add<FFF::Contents>(true);
    }
    return contents_->metas();
}

void document_view::refresh_metas() {
    c_metas_.clear();
    language_.clear();
    if (contents_ == nullptr) {
        return;
    }
    for (const FFF::meta& m : contents_->metas()) {
        c_metas_.push_back({m.type, m.dictid, m.key.c_str(), m.value.c_str(), m.beg, m.end});
        if (language_.empty() && m.type == FFF::meta_documentwide &&
            m.key == MARLOVEN_META_LANGUAGE) {
            language_ = m.value;
        }
    }
}

marloven_fff_document* document_view::c_document() {
    c_.score = doc_.score;
    c_.language = language_.c_str();
    c_.run_count = static_cast<std::uint32_t>(c_runs_.size());
    c_.runs = c_runs_.data();
    c_.meta_count = static_cast<std::uint32_t>(c_metas_.size());
    c_.metas = c_metas_.data();
    c_.link_count = static_cast<std::uint32_t>(c_links_.size());
    c_.links = c_links_.data();
    c_.token_count = tokens_;
    return &c_;
}

void document_view::take_score() {
    doc_.score = c_.score;
}

document_view* document_view::of(marloven_fff_document* document) {
    if (document == nullptr) {
        return nullptr;
    }
    auto* view = static_cast<document_view*>(document->host);
    return view != nullptr && &view->c_ == document ? view : nullptr;
}

bool document_view::add_meta(const marloven_fff_meta& m, std::string& why) {
    if (m.type > FFF::meta_ranged) {
        why = "unknown meta type " + std::to_string(m.type);
        return false;
    }
    if (m.dictid > FFF::slice::customF) {
        why = "slice " + std::to_string(m.dictid) + " out of range";
        return false;
    }
    if (!acceptable(m.key, MARLOVEN_MAX_META_KEY, "meta key", why) ||
        !acceptable(m.value, MARLOVEN_MAX_META_VALUE, "meta value", why)) {
        return false;
    }
    std::string_view key(m.key);
    if (key.empty() || key.find(':') != std::string_view::npos) {
        why = "meta key '" + std::string(key) + "' is empty or holds ':'";
        return false;
    }
    FFF::meta entry{m.type, m.dictid, std::string(key), m.value, 0, 0};
    if (m.type != FFF::meta_documentwide) {
        entry.beg = m.beg;
        entry.end = m.type == FFF::meta_ranged ? m.end : 0;
        if (entry.beg >= tokens_ || entry.end >= tokens_ ||
            (m.type == FFF::meta_ranged && entry.end < entry.beg)) {
            why = "meta position outside the document's " + std::to_string(tokens_) + " tokens";
            return false;
        }
    }
    auto& list = metas();
    if (std::any_of(list.begin(), list.end(),
                    [&](const FFF::meta& other) { return same_entry(other, entry); })) {
        return true;
    }
    if (list.size() >= MARLOVEN_MAX_METAS) {
        why = "the document holds " + std::to_string(list.size()) + " metas already";
        return false;
    }
    list.push_back(std::move(entry));
    refresh_metas();
    return true;
}

bool document_view::remove_meta(std::uint32_t index, std::string& why) {
    if (contents_ == nullptr || index >= contents_->metas().size()) {
        why = "no meta at index " + std::to_string(index);
        return false;
    }
    auto& list = contents_->metas();
    list.erase(list.begin() + index);
    refresh_metas();
    return true;
}

bool document_view::set_words(std::uint32_t run, const char* const* words, std::uint32_t count,
                              std::string& why) {
    if (run >= runs_.size()) {
        why = "no run " + std::to_string(run);
        return false;
    }
    if (count > 0 && words == nullptr) {
        why = "no words given";
        return false;
    }
    FFF::word_list replacement;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!acceptable(words[i], MARLOVEN_MAX_TOKEN, "token", why)) {
            return false;
        }
        std::string_view w(words[i]);
        if (w.empty() || w.find_first_of(" \t\r\n") != std::string_view::npos) {
            why = "token '" + std::string(w) + "' is empty or holds a blank";
            return false;
        }
        if (std::uint64_t{tokens_} + i >= UINT32_MAX) {
            why = "too many tokens";
            return false;
        }
        replacement.push_back(w);
    }
    runs_[run].low->words = std::move(replacement);
    fill_words(runs_[run]);
    refresh_runs();
    return true;
}

bool document_view::set_language(const char* code, std::string& why) {
    if (!acceptable(code, MARLOVEN_MAX_META_VALUE, "language", why)) {
        return false;
    }
    auto& list = metas();
    std::erase_if(list, [](const FFF::meta& m) {
        return m.type == FFF::meta_documentwide && m.key == MARLOVEN_META_LANGUAGE;
    });
    if (*code != '\0') {
        list.push_back({FFF::meta_documentwide, 0, MARLOVEN_META_LANGUAGE, code, 0, 0});
    }
    refresh_metas();
    return true;
}

}  // namespace marloven
