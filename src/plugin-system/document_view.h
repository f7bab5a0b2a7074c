// document_view.h: an FFF document as plug-ins see it (marloven_fff_document of
// vantorell/plugin.h), and the changes they make through the document services, applied to the
// document tree. Internal to the plug-in system.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vantorell/plugin.h"
#include "worker/FFF/FFF.h"

namespace marloven {

// What a plug-in learns about a document besides its tree.
struct document_facts {
    std::string url;
    std::string mime;
    std::string charset;
};

// Purpose: the C view of one document for the length of one or more transform calls, and the
// checked changes of the document services.
// Ownership: borrows the tree (which must outlive the view) and owns every array and text the C
// view points to. The C document's `host` points back to this object.
// Failure: a refused change returns false with the reason; the tree is then unchanged.
// Threads: one thread at a time.
class document_view {
  public:
    document_view(FFF::DocumentData& doc, const document_facts& facts);
    document_view(const document_view&) = delete;
    document_view& operator=(const document_view&) = delete;

    // The C document, brought up to date; its `score` is the tree's.
    marloven_fff_document* c_document();
    // Takes the score a plug-in may have written into the C document.
    void take_score();

    bool add_meta(const marloven_fff_meta& meta, std::string& why);
    bool remove_meta(std::uint32_t index, std::string& why);
    bool set_words(std::uint32_t run, const char* const* words, std::uint32_t count,
                   std::string& why);
    bool set_language(const char* code, std::string& why);

    // The view of a C document made by c_document(), or null for any other pointer.
    static document_view* of(marloven_fff_document* document);

  private:
    struct run_view {
        FFF::Low* low = nullptr;
        std::uint32_t paragraph = 0;
        std::uint32_t sentence = 0;
        std::string text;                // the tokens, each followed by a NUL byte
        std::vector<const char*> words;  // into `text`
    };

    void collect(tXMLTree& node, std::uint32_t& paragraph, std::uint32_t& sentence);
    static void fill_words(run_view& run);
    void refresh_runs();
    void refresh_metas();
    std::vector<FFF::meta>& metas();

    FFF::DocumentData& doc_;
    document_facts facts_;
    FFF::Contents* contents_ = nullptr;  // the first contents node; made when a meta needs one
    std::vector<run_view> runs_;
    std::vector<marloven_fff_run> c_runs_;
    std::vector<marloven_fff_meta> c_metas_;
    std::vector<marloven_fff_link> c_links_;
    std::uint32_t tokens_ = 0;
    std::string language_;
    marloven_fff_document c_{};
};

}  // namespace marloven
