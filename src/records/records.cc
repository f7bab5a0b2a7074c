// records.cc: writing configuration records as XML, and the records' Base64 coding.
// SPDX-License-Identifier: MIT
#include "records/records.h"

#include <cstdint>

#include "records/records_internal.h"
#include "util/xml_text.h"

namespace marloven {

namespace records_detail {

namespace {
constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t line_length = 72;
}  // namespace

std::string base64_encode(std::string_view bytes) {
    std::string plain;
    plain.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16 |
                          static_cast<std::uint8_t>(bytes[i + 1]) << 8 |
                          static_cast<std::uint8_t>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) {
            plain += alphabet[(v >> shift) & 63];
        }
    }
    if (size_t rest = bytes.size() - i; rest > 0) {
        std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (rest == 2) {
            v |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        }
        plain += alphabet[(v >> 18) & 63];
        plain += alphabet[(v >> 12) & 63];
        plain += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        plain += '=';
    }
    std::string out;
    out.reserve(plain.size() + plain.size() / line_length * 2);
    for (size_t pos = 0; pos < plain.size(); pos += line_length) {
        std::string_view line = std::string_view(plain).substr(pos, line_length);
        out += line;
        if (line.size() == line_length) {
            out += "\r\n";
        }
    }
    return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
    std::string out;
    std::uint32_t acc = 0;
    int count = 0;  // sextets in `acc`
    bool padded = false;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            continue;
        }
        if (c == '=') {
            padded = true;
            continue;
        }
        size_t v = alphabet.find(c);
        if (v == std::string_view::npos || padded) {
            return std::nullopt;
        }
        acc = acc << 6 | static_cast<std::uint32_t>(v);
        if (++count == 4) {
            out += static_cast<char>(acc >> 16 & 0xff);
            out += static_cast<char>(acc >> 8 & 0xff);
            out += static_cast<char>(acc & 0xff);
            acc = 0;
            count = 0;
        }
    }
    if (count == 1) {
        return std::nullopt;
    }
    if (count >= 2) {
        acc <<= 6 * (4 - count);
        out += static_cast<char>(acc >> 16 & 0xff);
        if (count == 3) {
            out += static_cast<char>(acc >> 8 & 0xff);
        }
    }
    return out;
}

}  // namespace records_detail

namespace {

using namespace records_detail;

// One element of a form being written. Texts are kept raw and escaped when rendered.
struct node {
    std::string name;
    std::vector<std::pair<std::string_view, std::string>> attributes;
    std::string text;           // element text, escaped when written
    std::string raw_text;       // element text written as it stands (Base64)
    bool spaced_close = false;  // " />" instead of "/>"
    std::vector<node> children;

    explicit node(std::string n) : name(std::move(n)) {}
    node& attr(std::string_view key, std::string value) {
        attributes.emplace_back(key, std::move(value));
        return *this;
    }
    node& attr(std::string_view key, int value) { return attr(key, std::to_string(value)); }
    node& flag(std::string_view key, bool value) {
        return attr(key, std::string(bool_names[value ? 1 : 0]));
    }
    template <typename E, size_t N>
    node& choice(std::string_view key, const std::array<std::string_view, N>& names, E value) {
        return attr(key, std::string(spelling(names, static_cast<int>(value))));
    }
    node& child(std::string n) { return children.emplace_back(std::move(n)); }
};

class renderer {
  public:
    explicit renderer(bool escape_apostrophe) : escape_apostrophe_(escape_apostrophe) {}
    bool render(const node& root, std::string& out) {
        out_.assign("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
        write(root, 0);
        out.swap(out_);
        return ok_;
    }

  private:
    // The four markup characters become entities (the apostrophe too where asked for); the
    // whitespace characters that the reader would normalise become character references
    // (attributes: tab, LF, CR; text: CR).
    void escape(std::string_view text, bool in_attribute) {
        ok_ = ok_ && is_xml_text(text);
        for (char c : text) {
            if (c == '\'' && escape_apostrophe_) {
                out_ += "&apos;";
                continue;
            }
            switch (c) {
                case '&':
                    out_ += "&amp;";
                    break;
                case '<':
                    out_ += "&lt;";
                    break;
                case '>':
                    out_ += "&gt;";
                    break;
                case '"':
                    out_ += "&quot;";
                    break;
                case '\r':
                    out_ += "&#13;";
                    break;
                case '\n':
                    out_ += in_attribute ? "&#10;" : "\n";
                    break;
                case '\t':
                    out_ += in_attribute ? "&#9;" : "\t";
                    break;
                default:
                    out_ += c;
            }
        }
    }

    void write(const node& n, size_t depth) {
        out_.append(depth, '\t');
        out_ += '<';
        out_ += n.name;
        for (const auto& [key, value] : n.attributes) {
            out_ += ' ';
            out_ += key;
            out_ += "=\"";
            escape(value, true);
            out_ += '"';
        }
        if (!n.children.empty()) {
            out_ += ">\n";
            for (const auto& c : n.children) {
                write(c, depth + 1);
            }
            out_.append(depth, '\t');
        } else if (!n.text.empty() || !n.raw_text.empty()) {
            out_ += '>';
            escape(n.text, false);
            out_ += n.raw_text;
        } else {
            out_ += n.spaced_close ? " />\n" : "/>\n";
            return;
        }
        out_ += "</";
        out_ += n.name;
        out_ += ">\n";
    }

    const bool escape_apostrophe_;
    std::string out_;
    bool ok_ = true;
};

bool render(const node& root, std::string& xml) {
    return renderer(false).render(root, xml);
}

void add_acl(node& parent, const acl_list& acl, const char* element) {
    for (const auto& e : acl) {
        parent.child(element)
            .attr("name", e.name)
            .choice("access", access_names, e.access)
            .flag("deny", e.deny);
    }
}

// The stored form, or with `request` the form of a worker request (see write_source_xml).
node source_node(const SourceConfiguration& r, bool request) {
    node root("source");
    root.attr("name", r.name).attr("description", r.description);
    for (const auto& s : r.seeds) {
        root.child("seed").attr("url", s);
    }
    for (const auto& f : r.include_filters) {
        root.child("filter").attr("type", "include").attr("url", f);
    }
    for (const auto& f : r.exclude_filters) {
        root.child("filter").attr("type", "exclude").attr("url", f);
    }
    root.child("limit").attr("depth", r.depth);
    root.child("robots").flag("check", r.robots_check);
    root.child("sidemetadata").flag("available", r.side_metadata_available);
    node& auth = root.child("auth").choice("type", auth_names, r.auth);
    if (!request || r.auth == auth_type::cookie) {
        node& cookie = auth.child("cookieauth");
        cookie.attr("url", r.cookie.url)
            .choice("action", action_names, r.cookie.action)
            .attr("freshness", r.cookie.freshness);
        for (const auto& p : r.cookie.params) {
            cookie.child("cookieparam")
                .attr("name", p.name)
                .attr("value", p.value)
                .choice("type", param_type_names, p.type);
        }
        for (const auto& u : r.cookie.pre_urls) {
            cookie.child("cookiepreurl").attr("url", u);
        }
    }
    if (request || !r.docfilters.empty()) {
        node& filters = root.child("docfilters");
        for (int id : r.docfilters) {
            filters.child("docfilter").attr("id", id);
        }
    }
    root.child("textexclusionmarker")
        .attr("edge", "begin")
        .attr("value", r.text_exclusion_begin)
        .spaced_close = true;
    root.child("textexclusionmarker")
        .attr("edge", "end")
        .attr("value", r.text_exclusion_end)
        .spaced_close = true;
    add_acl(root, r.acl, "acl");
    return root;
}

}  // namespace

bool to_xml(const SourceConfiguration& r, std::string& xml) {
    return render(source_node(r, false), xml);
}

bool write_source_xml(const SourceConfiguration& source, std::string& xml) {
    return renderer(true).render(source_node(source, true), xml);
}

bool to_xml(const ArchiveConfiguration& r, std::string& xml) {
    node root("archive");
    root.attr("name", r.name).flag("historicize", r.historicize);
    root.child("contact").attr("type", "admin").attr("email", r.contact_email);
    root.child("source").attr("sourceid", r.source_id).attr("authid", r.auth_id);
    root.child("scheduling")
        .choice("frequency", frequency_names, r.frequency)
        .attr("attribute", r.attribute)
        .attr("accesstime", r.access_time);
    root.child("limit").attr("pages", r.page_limit);
    root.child("garbage").attr("limit", r.garbage_limit);
    root.child("cache").choice("document", cache_names, r.cache);
    add_acl(root, r.acl, "acl");
    return render(root, xml);
}

bool to_xml(const CollectionConfiguration& r, std::string& xml) {
    node root("collection");
    root.attr("name", r.name).attr("description", r.description);
    for (int id : r.archives) {
        root.child("archive").attr("id", id);
    }
    add_acl(root, r.acl, "acl");
    return render(root, xml);
}

bool to_xml(const WatchConfiguration& r, std::string& xml) {
    node root("watch");
    root.attr("name", r.name).attr("description", r.description);
    root.child("query")
        .attr("text", r.query)
        .choice("parser", parser_names, r.parser)
        .attr("freshness", r.freshness)
        .attr("collection", r.collection);
    add_acl(root, r.acl, "acl");
    return render(root, xml);
}

bool to_xml(const AuthConfiguration& r, std::string& xml) {
    node root("auth");
    root.attr("username", r.username).attr("password", r.password);
    for (const auto& p : r.params) {
        root.child("param").attr("name", p.name).attr("value", p.value);
    }
    add_acl(root, r.acl, "acl");
    return render(root, xml);
}

bool to_xml(const Plugin& r, std::string& xml) {
    node root("plugin");
    root.attr("name", r.name);
    root.child("description").text = r.description;
    root.child("dll").attr("name", r.module).raw_text = base64_encode(r.configuration);
    add_acl(root, r.acl, "acl");
    return render(root, xml);
}

bool to_xml(const DocFilter& r, std::string& xml) {
    node root("docfilter");
    root.attr("name", r.name);
    root.child("description").text = r.description;
    root.child("plugin").attr("id", r.plugin_id).raw_text = base64_encode(r.parameters);
    add_acl(root, r.acl, "acl");
    return render(root, xml);
}

bool to_xml(const RendererPluginPipe& r, std::string& xml) {
    node root("renderer-pipe");
    node& filters = root.child("docfilters");
    for (int id : r.docfilters) {
        filters.child("docfilter").attr("id", id);
    }
    return render(root, xml);
}

bool to_xml(const RootACL& r, std::string& xml) {
    node root("acl");
    add_acl(root, r.entries, "entry");
    return render(root, xml);
}

bool to_xml(const LoginConfiguration& r, std::string& xml) {
    node root("login");
    for (const auto& [name, user] : r.users) {
        node& u = root.child("user")
                      .attr("name", name)
                      .attr("pass", user.password_hash)
                      .attr("hash", "md5")
                      .flag("admin", user.admin);
        for (const auto& g : user.groups) {
            u.child("member").attr("group", g);
        }
    }
    for (const auto& g : r.groups) {
        root.child("group").attr("name", g);
    }
    return render(root, xml);
}

}  // namespace marloven
