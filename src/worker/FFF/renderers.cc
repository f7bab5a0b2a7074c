// renderers.cc: the XML and HTML renderings of FFF documents.
// SPDX-License-Identifier: MIT
#include "worker/FFF/renderers.h"

#include <locale>
#include <ostream>
#include <sstream>

#include "util/charsets.h"
#include "util/http_text.h"

namespace FFF {

namespace {

using escaper = void (*)(std::string& out, std::string_view text);

// Appends the tokens of a run, escaped, with a space only between two word tokens.
void append_words(std::string& out, const word_list& words, escaper append_escaped) {
    bool previous_is_word = false;
    bool first = true;
    for (std::string_view w : words) {
        const bool is_word = is_word_token(w);
        if (!first && is_word && previous_is_word) {
            out.push_back(' ');
        }
        append_escaped(out, w);
        previous_is_word = is_word;
        first = false;
    }
}

std::string link_url(const DocumentData* doc, std::uint32_t urlid) {
    if (doc == nullptr || urlid >= doc->links().size()) {
        return {};  // a run pointing past the link table gets an empty address
    }
    return doc->links()[urlid].url;
}

void write_meta(std::ostream& out, const std::string& indent, const meta& m) {
    out << indent << " <meta type=";
    switch (m.type) {
        case meta_documentwide:
            out << "\"documentwide\"";
            break;
        case meta_positional:
            out << "\"positional\" pos=\"" << m.beg << '"';
            break;
        case meta_ranged:
            out << "\"ranged\" beg=\"" << m.beg << "\" end=\"" << m.end << '"';
            break;
        default:
            out << '"' << m.type << '"';  // a type this program does not know, by number
            break;
    }
    out << " dictid=\"" << m.dictid << "\" sliceid=\"" << slice_name(m.dictid) << "\" key=\""
        << marloven::escape_xml(m.key) << "\">" << marloven::escape_xml(m.value) << "</meta>"
        << std::endl;
}

}  // namespace

bool is_word_token(std::string_view token) {
    std::size_t pos = 0;
    while (pos < token.size()) {
        if (!marloven::is_word_char(marloven::decode_utf8(token, pos).code_point)) {
            return false;
        }
    }
    return true;
}

fff2xmlVisitor::fff2xmlVisitor(std::ostream& out, std::string_view id, std::string_view url,
                               std::int64_t timestamp)
    : out_(out), id_(id), url_(url), timestamp_(timestamp) {}

void fff2xmlVisitor::visit(tXMLTree& node, unsigned depth, bool closing) {
    const std::string indent(depth, ' ');
    if (auto* doc = dynamic_cast<DocumentData*>(&node)) {
        if (closing) {
            out_ << " </fff>" << std::endl << "</document>" << std::endl;
            return;
        }
        out_ << "<?xml version=\"1.0\"?>" << std::endl;
        out_ << indent << "<document id=\"" << id_ << "\" url=\"" << marloven::escape_xml(url_)
             << "\" timestamp=\"" << timestamp_ << "\" score= \"" << display_score(doc->score)
             << "\" >" << std::endl;
        out_ << indent << " <fff>" << std::endl;
        for (std::size_t i = 0; i < doc->links().size(); ++i) {
            const auto& l = doc->links()[i];
            out_ << indent << "  <link urlid=\"" << i << "\" url=\"" << marloven::escape_xml(l.url)
                 << "\" score=\"" << display_score(l.score) << "\"/>" << std::endl;
        }
    } else if (auto* contents = dynamic_cast<Contents*>(&node)) {
        if (!closing) {
            out_ << indent << " <contents>" << std::endl;
            return;
        }
        out_ << indent << " </contents>" << std::endl;
        for (const auto& m : contents->metas()) {
            write_meta(out_, indent, m);
        }
    } else if (dynamic_cast<P*>(&node) != nullptr) {
        if (closing) {
            out_ << "</p>" << std::endl;
        } else {
            out_ << indent << " <p>";
        }
    } else if (dynamic_cast<S*>(&node) != nullptr) {
        out_ << (closing ? "</s>" : "<s>");
    } else if (auto* low = dynamic_cast<Low*>(&node)) {
        if (closing) {
            out_ << "</low>";
            return;
        }
        out_ << "<low dictid=\"" << low->dictid << "\" sliceid=\"" << slice_name(low->dictid)
             << '"';
        if (carries_urlid(low->dictid)) {
            out_ << " urlid=\"" << low->urlid << '"';
        }
        std::string text = ">";
        append_words(text, low->words, marloven::append_escaped_xml);
        out_ << text;
    } else if (closing) {
        out_ << " </ERROR>" << std::endl;
    } else {
        out_ << " <ERROR tree-name=\"" << node.name() << "\">" << std::endl;
    }
}

fff2htmlVisitor::fff2htmlVisitor(std::ostream& out, std::string_view /*id*/,
                                 std::string_view /*url*/, std::int64_t /*timestamp*/)
    : out_(out) {}

void fff2htmlVisitor::visit(tXMLTree& node, unsigned /*depth*/, bool closing) {
    if (auto* doc = dynamic_cast<DocumentData*>(&node)) {
        if (!closing) {
            doc_ = doc;
            current_ = &body_;
            return;
        }
        out_ << "<html>\n<head><title>" << title_
             << "</title><meta name=\"vantorell-score\" content=\"" << display_score(doc->score)
             << "\" /></head>\n<body>\n<b>" << title_ << "</b><br />\n"
             << body_ << "</body>\n</html>\n";
    } else if (dynamic_cast<Contents*>(&node) != nullptr) {
        return;
    } else if (dynamic_cast<P*>(&node) != nullptr) {
        current_->append(closing ? "</p>\n" : "<p>");
    } else if (dynamic_cast<S*>(&node) != nullptr) {
        if (closing) {
            current_->push_back(' ');
        }
    } else if (auto* low = dynamic_cast<Low*>(&node)) {
        const bool is_link = carries_urlid(low->dictid);
        const bool is_title = low->dictid == slice::title;
        if (closing) {
            if (is_link) {
                current_->append("</a>");
            }
            if (is_title) {
                current_ = &body_;
            }
            current_->push_back(' ');
            return;
        }
        if (is_link) {
            current_->append("<a href=\"").append(link_url(doc_, low->urlid)).append("\">");
        }
        if (is_title && title_.empty()) {
            current_ = &title_;
        }
        append_words(*current_, low->words, marloven::append_escaped_html);
    }
}

std::string render(std::string_view format, std::string_view id, std::string_view url,
                   std::int64_t timestamp, tXMLTree& tree) {
    std::ostringstream out;
    out.imbue(std::locale::classic());  // scores and numbers print the same everywhere
    fff2xmlVisitor xml(out, id, url, timestamp);
    fff2htmlVisitor html(out, id, url, timestamp);
    if (format == "html") {
        tree.accept(html, 0);
    } else {
        tree.accept(xml, 0);
    }
    return out.str();
}

std::string render_xml(std::string_view id, std::string_view url, std::int64_t timestamp,
                       tXMLTree& tree) {
    return render("xml", id, url, timestamp, tree);
}

std::string render_html(std::string_view id, std::string_view url, std::int64_t timestamp,
                        tXMLTree& tree) {
    return render("html", id, url, timestamp, tree);
}

}  // namespace FFF
