// page_parser.cc: HTML (libxml2) and plain text into FFF.
// SPDX-License-Identifier: MIT
#include "parse/page_parser.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <optional>

#include "parse/fff_builder.h"
#include "util/ascii.h"
#include "util/uri.h"

namespace marloven {

namespace {

using FFF::slice::abstract;
using FFF::slice::author;
using FFF::slice::keyword;

// The markers are replaced by comments with these texts before parsing, so that a marker may
// be any text (a comment of the page, a word, a tag) and still be found in the parsed tree.
constexpr std::string_view exclusion_begin = "marloven:text-exclusion:begin";
constexpr std::string_view exclusion_end = "marloven:text-exclusion:end";

std::string lower(std::string_view s) {
    std::string out(s);
    ascii_lower_in_place(out);
    return out;
}

// Calls f(piece, inside) for the pieces of `text` outside and inside begin..end regions. An
// unmatched begin runs to the end; an end without a begin is ordinary text.
template <typename F>
void split_exclusions(std::string_view text, std::string_view begin, std::string_view end, F f) {
    if (begin.empty() || end.empty()) {
        f(text, false);
        return;
    }
    while (!text.empty()) {
        size_t b = text.find(begin);
        f(text.substr(0, b), false);
        if (b == std::string_view::npos) {
            return;
        }
        text.remove_prefix(b + begin.size());
        size_t e = text.find(end);
        f(text.substr(0, e), true);
        if (e == std::string_view::npos) {
            return;
        }
        text.remove_prefix(e + end.size());
    }
}

// Element roles, looked up by lower-case name.
enum element_flag : unsigned {
    block = 1u << 0,
    drop = 1u << 1,
    heading = 1u << 2,
    emphasis = 1u << 3,
    marginal = 1u << 4,
    central = 1u << 5,
    page_part = 1u << 6,  // header, footer: marginal outside article and main
    anchor = 1u << 7,     // a, area
    image = 1u << 8,
    frame = 1u << 9,  // frame, iframe: src is a link
    line_break = 1u << 10,
};

struct element_entry {
    std::string_view name;
    unsigned flags;
};

constexpr std::array elements = {
    element_entry{"a", anchor},
    element_entry{"address", block},
    element_entry{"area", anchor},
    element_entry{"article", block | central},
    element_entry{"aside", block | marginal},
    element_entry{"b", emphasis},
    element_entry{"big", emphasis},
    element_entry{"blockquote", block},
    element_entry{"body", block},
    element_entry{"br", line_break},
    element_entry{"canvas", drop},
    element_entry{"caption", block},
    element_entry{"center", block},
    element_entry{"cite", emphasis},
    element_entry{"datalist", drop},
    element_entry{"dd", block},
    element_entry{"details", block},
    element_entry{"dfn", emphasis},
    element_entry{"dialog", block},
    element_entry{"dir", block},
    element_entry{"div", block},
    element_entry{"dl", block},
    element_entry{"dt", block},
    element_entry{"em", emphasis},
    element_entry{"fieldset", block},
    element_entry{"figcaption", block},
    element_entry{"figure", block},
    element_entry{"footer", block | page_part},
    element_entry{"form", block},
    element_entry{"frame", frame},
    element_entry{"h1", block | heading},
    element_entry{"h2", block | heading},
    element_entry{"h3", block | heading},
    element_entry{"h4", block | heading},
    element_entry{"h5", block | heading},
    element_entry{"h6", block | heading},
    element_entry{"head", block},
    element_entry{"header", block | page_part},
    element_entry{"hgroup", block},
    element_entry{"hr", block},
    element_entry{"html", block},
    element_entry{"i", emphasis},
    element_entry{"iframe", frame | drop},
    element_entry{"img", image},
    element_entry{"legend", block},
    element_entry{"li", block},
    element_entry{"main", block | central},
    element_entry{"mark", emphasis},
    element_entry{"menu", block | marginal},
    element_entry{"nav", block | marginal},
    element_entry{"noscript", drop},
    element_entry{"ol", block},
    element_entry{"p", block},
    element_entry{"pre", block},
    element_entry{"script", drop},
    element_entry{"section", block},
    element_entry{"select", drop},
    element_entry{"strong", emphasis},
    element_entry{"style", drop},
    element_entry{"summary", block},
    element_entry{"svg", drop},
    element_entry{"table", block},
    element_entry{"tbody", block},
    element_entry{"td", block},
    element_entry{"template", drop},
    element_entry{"textarea", drop},
    element_entry{"tfoot", block},
    element_entry{"th", block},
    element_entry{"thead", block},
    element_entry{"title", block},
    element_entry{"tr", block},
    element_entry{"u", emphasis},
    element_entry{"ul", block},
};

// flags_of() searches the table by bisection.
static_assert(std::is_sorted(elements.begin(), elements.end(),
                             [](const element_entry& a, const element_entry& b) {
                                 return a.name < b.name;
                             }));

unsigned flags_of(std::string_view name) {
    auto it =
        std::lower_bound(elements.begin(), elements.end(), name,
                         [](const element_entry& e, std::string_view n) { return e.name < n; });
    return it != elements.end() && it->name == name ? it->flags : 0;
}

std::string_view name_of(const xmlNode* n) {
    return n->name != nullptr ? std::string_view(reinterpret_cast<const char*>(n->name))
                              : std::string_view();
}

// The value of attribute `name` (lower case; the HTML parser lower-cases attribute names).
std::optional<std::string> attribute(const xmlNode* n, std::string_view name) {
    for (const xmlAttr* a = n->properties; a != nullptr; a = a->next) {
        if (a->name != nullptr && reinterpret_cast<const char*>(a->name) == name) {
            std::string value;
            for (const xmlNode* t = a->children; t != nullptr; t = t->next) {
                if (t->content != nullptr) {
                    value += reinterpret_cast<const char*>(t->content);
                }
            }
            return value;
        }
    }
    return std::nullopt;
}

// Whether a class or id value names boilerplate (see page_parser.h).
bool boilerplate_name(std::string_view value) {
    static constexpr std::string_view prefixes[] = {
        "nav",    "menu",     "sidebar",   "footer",     "breadcrumb", "toolbar",
        "banner", "masthead", "copyright", "pagination", "pager"};
    std::string v = lower(value);
    size_t pos = 0;
    while (pos < v.size()) {
        while (pos < v.size() && std::isalnum(static_cast<unsigned char>(v[pos])) == 0) {
            ++pos;
        }
        size_t end = pos;
        while (end < v.size() && std::isalnum(static_cast<unsigned char>(v[end])) != 0) {
            ++end;
        }
        std::string_view word(v.data() + pos, end - pos);
        if (word.ends_with("nav")) {
            return true;
        }
        for (std::string_view p : prefixes) {
            if (word.starts_with(p)) {
                return true;
            }
        }
        pos = end;
    }
    return false;
}

bool marginal_role(std::string_view role) {
    static constexpr std::string_view roles[] = {"navigation",    "banner", "contentinfo",
                                                 "complementary", "search", "menu",
                                                 "menubar",       "toolbar"};
    return std::any_of(std::begin(roles), std::end(roles),
                       [&](std::string_view r) { return equals_ignoring_case(r, role); });
}

// What an element's content is, inherited down the tree.
struct context {
    bool marginal = false;
    bool in_article = false;
    bool heading = false;
    bool emphasis = false;
    bool in_head = false;
    bool in_title = false;
    bool link = false;         // inside a link to an http(s) URL, with urlid
    bool remote_link = false;  // inside a link that cannot be fetched
    std::uint32_t urlid = 0;
};

std::uint32_t slice_of(const context& c) {
    if (c.in_title) {
        return FFF::slice::title;
    }
    if (c.link) {
        return c.marginal ? FFF::slice::marginalLink : FFF::slice::centralLink;
    }
    if (c.remote_link) {
        return c.marginal ? FFF::slice::marginalRemoteLink : FFF::slice::centralRemote;
    }
    if (c.heading) {
        return c.marginal ? FFF::slice::marginaHeader : FFF::slice::centralHeader;
    }
    if (c.emphasis) {
        return c.marginal ? FFF::slice::marginalEmph : FFF::slice::centralEmph;
    }
    return c.marginal ? FFF::slice::marginalNorm : FFF::slice::centralNorm;
}

// A link target: a fetchable URL, a link that cannot be fetched, or no link at all.
struct link_target {
    enum { none, remote, web } kind = none;
    std::string url;
};

class html_walker {
  public:
    html_walker(const page_settings& settings, parsed_page& out)
        : settings_(settings), out_(out), base_(uri::parse(settings.url, "http")) {}

    void run(xmlDoc* doc) {
        find_base(doc);
        walk(reinterpret_cast<xmlNode*>(doc));
        out_.core_crc = builder_.core_crc();
        out_.tokens = builder_.token_count();
        out_.doc = builder_.finish(settings_.score);
    }

  private:
    // <base href> anywhere in the head applies to every link of the page.
    void find_base(xmlDoc* doc) {
        for (xmlNode* html = doc->children; html != nullptr; html = html->next) {
            if (html->type != XML_ELEMENT_NODE || name_of(html) != "html") {
                continue;
            }
            for (xmlNode* head = html->children; head != nullptr; head = head->next) {
                if (head->type != XML_ELEMENT_NODE || name_of(head) != "head") {
                    continue;
                }
                for (xmlNode* b = head->children; b != nullptr; b = b->next) {
                    if (b->type == XML_ELEMENT_NODE && name_of(b) == "base") {
                        if (auto href = attribute(b, "href"); href && !clean(*href).empty()) {
                            base_ = resolve(base_, clean(*href));
                            return;
                        }
                    }
                }
            }
        }
    }

    // Links lose surrounding blanks and the tabs and line breaks inside them.
    static std::string clean(std::string_view href) {
        std::string out;
        for (char c : href) {
            if (c != '\t' && c != '\n' && c != '\r') {
                out += c;
            }
        }
        size_t b = out.find_first_not_of(' ');
        size_t e = out.find_last_not_of(' ');
        return b == std::string::npos ? std::string() : out.substr(b, e - b + 1);
    }

    link_target target(std::string_view href) {
        std::string h = clean(href);
        if (h.empty() || h.front() == '#') {
            return {};
        }
        uri t = resolve(base_, h);
        if ((t.scheme() != "http" && t.scheme() != "https") || t.host().empty()) {
            return {link_target::remote, {}};
        }
        if (!t.has_valid_host()) {
            // A host such as x"><img ...> is no address: the link goes, its text stays text.
            ++out_.refused_links;
            return {};
        }
        return {link_target::web, t.normalise()};
    }

    std::uint32_t add_link(const std::string& url, bool marginal, bool follow) {
        std::uint32_t score = marginal ? settings_.score / marginal_link_share : settings_.score;
        std::uint32_t id = builder_.add_link(url, score);
        if (id >= out_.follow.size()) {
            out_.follow.resize(id + 1, false);
        }
        out_.follow[id] = out_.follow[id] || follow;
        return id;
    }

    static bool has_nofollow(const xmlNode* n) {
        auto rel = attribute(n, "rel");
        return rel && lower(*rel).find("nofollow") != std::string::npos;
    }

    void text(std::string_view t, const context& c) {
        if (excluded_ || (c.in_head && !c.in_title)) {
            return;
        }
        builder_.add_text(t, slice_of(c), c.urlid);
    }

    void meta(const xmlNode* n) {
        auto content = attribute(n, "content");
        if (!content) {
            return;
        }
        if (auto name = attribute(n, "name")) {
            std::string key = lower(*name);
            std::uint32_t slice = key == "keywords"      ? keyword
                                  : key == "description" ? abstract
                                  : key == "author"      ? author
                                                         : 0;
            if (slice != 0 && !excluded_) {
                builder_.break_paragraph();
                builder_.add_text(*content, slice);
                builder_.break_paragraph();
                builder_.add_meta(FFF::meta{FFF::meta_documentwide, slice, key, *content, 0, 0});
            } else if (key == "robots") {
                std::string v = lower(*content);
                bool none = v.find("none") != std::string::npos;
                out_.noindex = out_.noindex || none || v.find("noindex") != std::string::npos;
                out_.nofollow = out_.nofollow || none || v.find("nofollow") != std::string::npos;
            }
        }
        if (auto equiv = attribute(n, "http-equiv");
            equiv && equals_ignoring_case(*equiv, "refresh")) {
            // content="5; url=target" (the URL may be quoted)
            std::string v = *content;
            size_t at = lower(v).find("url");
            if (at != std::string::npos) {
                size_t eq = v.find('=', at);
                if (eq != std::string::npos) {
                    std::string url = clean(v.substr(eq + 1));
                    if (!url.empty() && (url.front() == '\'' || url.front() == '"')) {
                        char q = url.front();
                        url = url.substr(1, url.find(q, 1) - 1);
                    }
                    if (link_target t = target(url); t.kind == link_target::web) {
                        add_link(t.url, false, true);
                    }
                }
            }
        }
    }

    // Handles entering element `n` under context `c`; fills `child` with the context of its
    // content and returns whether to walk into it.
    bool enter_element(const xmlNode* n, const context& c, context& child) {
        std::string_view name = name_of(n);
        unsigned flags = flags_of(name);
        child = c;
        if ((flags & drop) != 0 || attribute(n, "hidden")) {
            if ((flags & frame) != 0) {
                frame_link(n, c);
            }
            return false;
        }
        if ((flags & block) != 0) {
            builder_.break_paragraph();
        }
        if ((flags & line_break) != 0) {
            builder_.break_sentence();
            return false;
        }
        if (name == "head") {
            child.in_head = true;
        } else if (name == "title") {
            if (title_seen_ || c.in_title) {
                return false;
            }
            title_seen_ = true;
            child.in_title = true;
        } else if (name == "meta") {
            meta(n);
            return false;
        }
        if ((flags & frame) != 0) {
            frame_link(n, c);
        }
        if ((flags & central) != 0) {
            child.marginal = false;
            child.in_article = true;
        }
        if ((flags & marginal) != 0 || ((flags & page_part) != 0 && !c.in_article)) {
            child.marginal = true;
        }
        if (auto role = attribute(n, "role")) {
            if (equals_ignoring_case(*role, "main")) {
                child.marginal = false;
                child.in_article = true;
            } else if (marginal_role(*role)) {
                child.marginal = true;
            }
        }
        if (!child.marginal) {
            auto cls = attribute(n, "class");
            auto id = attribute(n, "id");
            if ((cls && boilerplate_name(*cls)) || (id && boilerplate_name(*id))) {
                child.marginal = true;
            }
        }
        child.heading = c.heading || (flags & heading) != 0;
        child.emphasis = c.emphasis || (flags & emphasis) != 0;
        if ((flags & anchor) != 0) {
            if (auto href = attribute(n, "href")) {
                link_target t = target(*href);
                if (t.kind == link_target::web) {
                    child.link = true;
                    child.remote_link = false;
                    child.urlid = add_link(t.url, child.marginal, !has_nofollow(n));
                } else if (t.kind == link_target::remote) {
                    child.link = false;
                    child.remote_link = true;
                    child.urlid = 0;
                }
            }
            if (name == "area") {
                if (auto alt = attribute(n, "alt")) {
                    text(*alt, child);
                }
                return false;
            }
        }
        if ((flags & image) != 0) {
            if (auto alt = attribute(n, "alt")) {
                context alt_context = child;
                if (!alt_context.link && !alt_context.remote_link) {
                    // Alt text is read by few: its own slice, unless it is a link's text.
                    if (!excluded_ && !c.in_head) {
                        builder_.add_text(*alt, FFF::slice::invisible);
                    }
                } else {
                    text(*alt, alt_context);
                }
            }
            return false;
        }
        return true;
    }

    void frame_link(const xmlNode* n, const context& c) {
        if (auto src = attribute(n, "src")) {
            if (link_target t = target(*src); t.kind == link_target::web) {
                add_link(t.url, c.marginal, true);
            }
        }
    }

    void leave_element(const xmlNode* n) {
        if ((flags_of(name_of(n)) & block) != 0) {
            builder_.break_paragraph();
        }
    }

    // Walks the tree below `root` in document order without recursion: hostile pages nest
    // deeply.
    void walk(xmlNode* root) {
        std::vector<context> stack;
        context c;
        xmlNode* n = root->children;
        if (n == nullptr) {
            return;
        }
        while (true) {
            bool descended = false;
            switch (n->type) {
                case XML_ELEMENT_NODE: {
                    context child;
                    if (enter_element(n, c, child) && n->children != nullptr) {
                        stack.push_back(c);
                        c = child;
                        n = n->children;
                        descended = true;
                    } else if (flags_of(name_of(n)) & block) {
                        builder_.break_paragraph();
                    }
                    break;
                }
                case XML_TEXT_NODE:
                case XML_CDATA_SECTION_NODE:
                    if (n->content != nullptr) {
                        text(reinterpret_cast<const char*>(n->content), c);
                    }
                    break;
                case XML_COMMENT_NODE:
                    if (n->content != nullptr) {
                        std::string_view body(reinterpret_cast<const char*>(n->content));
                        if (body == exclusion_begin) {
                            excluded_ = true;
                        } else if (body == exclusion_end) {
                            excluded_ = false;
                        }
                    }
                    break;
                default:
                    break;
            }
            if (descended) {
                continue;
            }
            // Climb until there is a next sibling, leaving the elements on the way.
            while (n->next == nullptr) {
                n = n->parent;
                if (n == nullptr || n == root || stack.empty()) {
                    return;
                }
                c = stack.back();
                stack.pop_back();
                leave_element(n);
            }
            n = n->next;
        }
    }

    const page_settings& settings_;
    parsed_page& out_;
    uri base_;
    fff_builder builder_;
    bool title_seen_ = false;
    bool excluded_ = false;
};

struct doc_free {
    void operator()(xmlDoc* d) const noexcept { xmlFreeDoc(d); }
};

}  // namespace

parsed_page parse_html(std::string_view html, const page_settings& settings) {
    parsed_page page;
    std::string marked;
    std::string_view input = html;
    if (!settings.marker_begin.empty() && !settings.marker_end.empty() &&
        html.find(settings.marker_begin) != std::string_view::npos) {
        marked.reserve(html.size() + 64);
        split_exclusions(html, settings.marker_begin, settings.marker_end,
                         [&](std::string_view piece, bool inside) {
                             if (inside) {
                                 marked += "<!--";
                                 marked += exclusion_begin;
                                 marked += "-->";
                             }
                             marked += piece;
                             if (inside) {
                                 marked += "<!--";
                                 marked += exclusion_end;
                                 marked += "-->";
                             }
                         });
        input = marked;
    }
    if (input.size() > static_cast<size_t>(INT_MAX)) {
        input = input.substr(0, INT_MAX);
    }
    std::unique_ptr<xmlDoc, doc_free> doc(htmlReadMemory(
        input.data(), static_cast<int>(input.size()), nullptr, "UTF-8",
        HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET));
    if (!doc) {
        // Only an empty input gives no tree at all.
        fff_builder empty;
        page.doc = empty.finish(settings.score);
        return page;
    }
    html_walker(settings, page).run(doc.get());
    return page;
}

parsed_page parse_text(std::string_view text, const page_settings& settings) {
    parsed_page page;
    fff_builder builder;
    split_exclusions(
        text, settings.marker_begin, settings.marker_end, [&](std::string_view piece, bool inside) {
            if (inside) {
                return;
            }
            while (!piece.empty()) {
                size_t end = piece.find('\n');
                std::string_view line = piece.substr(0, end);
                piece.remove_prefix(end == std::string_view::npos ? piece.size() : end + 1);
                if (line.find_first_not_of(" \t\r\f\v") == std::string_view::npos) {
                    builder.break_paragraph();
                } else {
                    builder.add_text(line, FFF::slice::centralNorm);
                }
            }
        });
    page.core_crc = builder.core_crc();
    page.tokens = builder.token_count();
    page.doc = builder.finish(settings.score);
    return page;
}

}  // namespace marloven
