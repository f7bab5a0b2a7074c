// renderers.h: an FFF document printed for people: as an XML document keeping the whole
// structure, or as a plain HTML page with title, score and text. The portal and the document
// API use them for cached pages.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "worker/FFF/FFF.h"

namespace FFF {

// Prints the tree as XML to `out` as the walk goes, one line per element above the sentence
// level, indented by depth; the document's links follow its opening tag and a contents' metas
// follow its closing tag. Nodes that are not FFF classes print as ERROR elements.
// Ownership: borrows `out` and the texts; they must outlive the visitor.
// Failure: none (stream errors are the stream's).
// Threads: one walk at a time.
class fff2xmlVisitor : public tXMLTree::visitor {
  public:
    fff2xmlVisitor(std::ostream& out, std::string_view id, std::string_view url,
                   std::int64_t timestamp);
    void visit(tXMLTree& node, unsigned depth, bool closing) override;

  private:
    std::ostream& out_;
    std::string_view id_;
    std::string_view url_;
    std::int64_t timestamp_;
};

// Gathers the text of a document into a title and a body and prints an HTML page to `out` when
// the walk leaves the document. The first non-empty title run is the title; later title runs
// stay in the body. Link runs become anchors to their link's URL.
// Ownership, failure and threads: as fff2xmlVisitor; it also borrows the document it walks.
class fff2htmlVisitor : public tXMLTree::visitor {
  public:
    fff2htmlVisitor(std::ostream& out, std::string_view id, std::string_view url,
                    std::int64_t timestamp);
    void visit(tXMLTree& node, unsigned depth, bool closing) override;

  private:
    std::ostream& out_;
    const DocumentData* doc_ = nullptr;
    std::string title_;
    std::string body_;
    std::string* current_ = &body_;
};

// Walks `tree` with the HTML visitor when `format` is exactly "html", with the XML visitor
// otherwise, and returns what it printed. `id` is the document's guid, `timestamp` its fetch
// time in seconds.
std::string render(std::string_view format, std::string_view id, std::string_view url,
                   std::int64_t timestamp, tXMLTree& tree);
std::string render_xml(std::string_view id, std::string_view url, std::int64_t timestamp,
                       tXMLTree& tree);
std::string render_html(std::string_view id, std::string_view url, std::int64_t timestamp,
                        tXMLTree& tree);

// True when every character of `token` is a letter or a digit (an empty token is a word).
// Tokens of a run are joined with one space between two words and none around punctuation.
bool is_word_token(std::string_view token);

}  // namespace FFF
