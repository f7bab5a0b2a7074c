// fff_builder.cc: FFF documents made token by token.
// SPDX-License-Identifier: MIT
#include "parse/fff_builder.h"

#include <zlib.h>

#include <algorithm>

#include "parse/tokenizer.h"

namespace marloven {

namespace {
std::uint32_t crc_add(std::uint32_t crc, std::string_view bytes) {
    return static_cast<std::uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}
}  // namespace

fff_builder::fff_builder() : doc_(std::make_unique<FFF::DocumentData>(true)) {
    contents_ = &doc_->add<FFF::Contents>(true);
}

void fff_builder::break_paragraph() {
    p_ = nullptr;
    s_ = nullptr;
    low_ = nullptr;
    if (core_in_paragraph_) {
        core_crc_ = crc_add(core_crc_, "\n");
        core_in_paragraph_ = false;
    }
}

void fff_builder::break_sentence() {
    s_ = nullptr;
    low_ = nullptr;
}

void fff_builder::add_text(std::string_view text, std::uint32_t dictid, std::uint32_t urlid) {
    tokenize(text, [&](std::string_view token) {
        add_token(token, dictid, urlid);
        if (ends_sentence(token)) {
            break_sentence();
        }
    });
}

void fff_builder::add_token(std::string_view token, std::uint32_t dictid, std::uint32_t urlid) {
    if (!FFF::carries_urlid(dictid)) {
        urlid = 0;
    }
    if (p_ == nullptr) {
        p_ = &contents_->add<FFF::P>();
    }
    if (s_ == nullptr) {
        s_ = &p_->add<FFF::S>();
        low_ = nullptr;
    }
    if (low_ == nullptr || low_->dictid != dictid || low_->urlid != urlid) {
        low_ = &s_->add<FFF::Low>();
        low_->dictid = dictid;
        low_->urlid = urlid;
    }
    low_->words.push_back(token);
    ++tokens_;
    if (is_core_slice(dictid)) {
        core_crc_ = crc_add(core_crc_, token);
        core_crc_ = crc_add(core_crc_, " ");
        core_in_paragraph_ = true;
    }
}

std::uint32_t fff_builder::add_link(std::string_view url, std::uint32_t score) {
    if (auto id = doc_->find_link(url)) {
        score = std::max(score, doc_->links()[*id].score);
    }
    return doc_->addLink(url, score);
}

void fff_builder::add_meta(FFF::meta m) {
    contents_->metas().push_back(std::move(m));
}

namespace {

// Walks the tree in document order; a paragraph's line feed follows its last core token.
class core_text_walk : public tXMLTree::const_visitor {
  public:
    void visit(const tXMLTree& node, unsigned /*depth*/, bool closing) override {
        if (dynamic_cast<const FFF::P*>(&node) != nullptr) {
            if (closing && core_in_paragraph_) {
                crc_ = crc_add(crc_, "\n");
                core_in_paragraph_ = false;
            }
            return;
        }
        const auto* low = dynamic_cast<const FFF::Low*>(&node);
        if (closing || low == nullptr || !is_core_slice(low->dictid)) {
            return;
        }
        for (std::string_view w : low->words) {
            crc_ = crc_add(crc_, w);
            crc_ = crc_add(crc_, " ");
            core_in_paragraph_ = true;
        }
    }
    std::uint32_t crc() const { return crc_; }

  private:
    std::uint32_t crc_ = 0;
    bool core_in_paragraph_ = false;
};

}  // namespace

std::uint32_t core_crc(const FFF::DocumentData& doc) {
    core_text_walk walk;
    doc.accept(walk, 0);
    return walk.crc();
}

std::unique_ptr<FFF::DocumentData> fff_builder::finish(std::uint32_t score) {
    break_paragraph();
    doc_->score = score;
    contents_ = nullptr;
    return std::move(doc_);
}

}  // namespace marloven
