// source_xml.cc: writing and reading the source and auth texts of a PROCESS request.
// SPDX-License-Identifier: MIT
#include "worker/source_xml.h"

#include <expat.h>

#include <cstring>
#include <functional>
#include <memory>

#include "util/http_text.h"
#include "util/log.h"

namespace marloven {

namespace {

const char* bool_text(bool b) {
    return b ? "true" : "false";
}

// One element per line, children indented by one tab per level.
class xml_writer {
  public:
    xml_writer() { out_ = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"; }
    // Opens `<name a="v" ...` at the current level; close with end_empty(), or end_open() and
    // later close().
    xml_writer& open(std::string_view name) {
        out_.append(depth_, '\t');
        out_ += '<';
        out_ += name;
        return *this;
    }
    xml_writer& attribute(std::string_view name, std::string_view value) {
        out_ += ' ';
        out_ += name;
        out_ += "=\"";
        out_ += escape_xml(value);  // all five entities, the apostrophe too
        out_ += '"';
        return *this;
    }
    void end_empty(bool blank = false) { out_ += blank ? " />\n" : "/>\n"; }
    void end_open(std::string_view name) {
        out_ += ">\n";
        ++depth_;
        open_.emplace_back(name);
    }
    void close() {
        --depth_;
        out_.append(depth_, '\t');
        out_ += "</" + open_.back() + ">\n";
        open_.pop_back();
    }
    std::string take() { return std::move(out_); }

  private:
    std::string out_;
    size_t depth_ = 0;
    std::vector<std::string> open_;
};

// Runs expat over `xml` and calls `on_start(name, attribute lookup)` for each start element.
// Returns false when expat reports the text as not well-formed.
using attribute_lookup = std::function<std::string(const char*)>;
bool parse_elements(
    std::string_view xml,
    const std::function<void(std::string_view, const attribute_lookup&)>& on_start) {
    struct parser_free {
        void operator()(XML_Parser p) const noexcept { XML_ParserFree(p); }
    };
    std::unique_ptr<XML_ParserStruct, parser_free> parser(XML_ParserCreate("UTF-8"));
    if (!parser) {
        return false;
    }
    XML_SetUserData(parser.get(), const_cast<void*>(static_cast<const void*>(&on_start)));
    XML_SetStartElementHandler(
        parser.get(), [](void* data, const XML_Char* name, const XML_Char** atts) {
            const auto& handler =
                *static_cast<const std::function<void(std::string_view, const attribute_lookup&)>*>(
                    data);
            attribute_lookup lookup = [atts](const char* key) -> std::string {
                for (const XML_Char** a = atts; a[0] != nullptr; a += 2) {
                    if (std::strcmp(a[0], key) == 0) {
                        return a[1];
                    }
                }
                return {};
            };
            handler(name, lookup);
        });
    // expat takes an int length; a text that large is not a source description.
    if (xml.size() > std::size_t{64} * 1024 * 1024) {
        return false;
    }
    return XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE) ==
           XML_STATUS_OK;
}

// Reads "true"/"false" into `field`; anything else leaves it and is logged.
void read_bool(const std::string& value, bool& field, const char* what) {
    if (value == "true") {
        field = true;
    } else if (value == "false") {
        field = false;
    } else {
        VANT_LOG(WORKER, error) << what << value;
    }
}

std::int32_t read_int(const std::string& value) {
    return static_cast<std::int32_t>(std::strtol(value.c_str(), nullptr, 10));
}

}  // namespace

std::string write_source_xml(const source_description& s) {
    xml_writer w;
    w.open("source").attribute("name", s.name).attribute("description", s.description);
    w.end_open("source");
    for (const auto& seed : s.seeds) {
        w.open("seed").attribute("url", seed).end_empty();
    }
    for (const auto& f : s.include_filters) {
        w.open("filter").attribute("type", "include").attribute("url", f).end_empty();
    }
    for (const auto& f : s.exclude_filters) {
        w.open("filter").attribute("type", "exclude").attribute("url", f).end_empty();
    }
    w.open("limit").attribute("depth", std::to_string(s.depth)).end_empty();
    w.open("robots").attribute("check", bool_text(s.robots_check)).end_empty();
    w.open("sidemetadata").attribute("available", bool_text(s.side_metadata)).end_empty();
    static constexpr const char* auth_names[] = {"none", "basic", "cookie"};
    w.open("auth").attribute("type", auth_names[static_cast<int>(s.auth)]);
    if (s.auth == source_auth_type::cookie) {
        w.end_open("auth");
        w.open("cookieauth")
            .attribute("url", s.cookie_url)
            .attribute("action", s.action == cookie_action::post ? "post" : "get")
            .attribute("freshness", std::to_string(s.freshness));
        if (s.cookie_params.empty() && s.pre_urls.empty()) {
            w.end_empty();
        } else {
            w.end_open("cookieauth");
            static constexpr const char* type_names[] = {"username", "password", "other"};
            for (const auto& p : s.cookie_params) {
                w.open("cookieparam")
                    .attribute("name", p.name)
                    .attribute("value", p.value)
                    .attribute("type", type_names[static_cast<int>(p.type)])
                    .end_empty();
            }
            for (const auto& u : s.pre_urls) {
                w.open("cookiepreurl").attribute("url", u).end_empty();
            }
            w.close();
        }
        w.close();
    } else {
        w.end_empty();
    }
    if (s.docfilter_ids.empty()) {
        w.open("docfilters").end_empty();
    } else {
        w.open("docfilters").end_open("docfilters");
        for (std::int32_t id : s.docfilter_ids) {
            w.open("docfilter").attribute("id", std::to_string(id)).end_empty();
        }
        w.close();
    }
    w.open("textexclusionmarker")
        .attribute("edge", "begin")
        .attribute("value", s.marker_begin)
        .end_empty(true);
    w.open("textexclusionmarker")
        .attribute("edge", "end")
        .attribute("value", s.marker_end)
        .end_empty(true);
    for (const auto& a : s.acl) {
        w.open("acl")
            .attribute("name", a.name)
            .attribute("access", a.write ? "write" : "read")
            .attribute("deny", bool_text(a.deny))
            .end_empty();
    }
    w.close();
    return w.take();
}

std::optional<source_description> read_source_xml(std::string_view xml) {
    source_description s;
    bool ok = parse_elements(xml, [&s](std::string_view name, const attribute_lookup& at) {
        if (name == "source") {
            s.name = at("name");
            s.description = at("description");
        } else if (name == "seed") {
            s.seeds.push_back(at("url"));
        } else if (name == "filter") {
            std::string type = at("type");
            if (type == "include") {
                s.include_filters.push_back(at("url"));
            } else if (type == "exclude") {
                s.exclude_filters.push_back(at("url"));
            }
        } else if (name == "limit") {
            s.depth = read_int(at("depth"));
        } else if (name == "robots") {
            read_bool(at("check"), s.robots_check, "Unknown robots check value ");
        } else if (name == "sidemetadata") {
            read_bool(at("available"), s.side_metadata, "Unknown sidemetadata available value ");
        } else if (name == "auth") {
            std::string type = at("type");
            if (type == "none") {
                s.auth = source_auth_type::none;
            } else if (type == "basic") {
                s.auth = source_auth_type::basic;
            } else if (type == "cookie") {
                s.auth = source_auth_type::cookie;
            } else {
                VANT_LOG(WORKER, error) << "Unknown auth type " << type;
            }
        } else if (name == "cookieauth") {
            s.cookie_url = at("url");
            std::string action = at("action");
            if (action == "post") {
                s.action = cookie_action::post;
            } else if (action == "get") {
                s.action = cookie_action::get;
            } else {
                VANT_LOG(WORKER, error) << "Unknown auth cookie action " << action;
            }
            s.freshness = read_int(at("freshness"));
        } else if (name == "cookieparam") {
            cookie_param p{at("name"), at("value"), cookie_param_type::other};
            std::string type = at("type");
            if (type == "username") {
                p.type = cookie_param_type::username;
            } else if (type == "password") {
                p.type = cookie_param_type::password;
            } else if (type != "other") {
                VANT_LOG(WORKER, error) << "Unknown auth cookie param type " << type;
            }
            s.cookie_params.push_back(std::move(p));
        } else if (name == "cookiepreurl") {
            s.pre_urls.push_back(at("url"));
        } else if (name == "docfilter" || name == "plugin-config") {
            s.docfilter_ids.push_back(read_int(at("id")));
        } else if (name == "textexclusionmarker") {
            std::string edge = at("edge");
            if (edge == "begin") {
                s.marker_begin = at("value");
            } else if (edge == "end") {
                s.marker_end = at("value");
            } else {
                VANT_LOG(WORKER, error) << "Unknown textexclusionmarker edge value " << edge;
            }
        } else if (name == "acl") {
            source_acl_entry a{at("name"), false, false};
            std::string access = at("access");
            if (access == "write") {
                a.write = true;
            } else if (access != "read") {
                VANT_LOG(WORKER, error) << "Unknown ACL access " << access;
            }
            read_bool(at("deny"), a.deny, "Unknown ACL deny value ");
            s.acl.push_back(std::move(a));
        }
    });
    if (!ok) {
        return std::nullopt;
    }
    return s;
}

std::optional<auth_credentials> read_auth_xml(std::string_view xml) {
    auth_credentials a;
    bool ok = parse_elements(xml, [&a](std::string_view name, const attribute_lookup& at) {
        if (name == "auth") {
            a.username = at("username");
            a.password = at("password");
        } else if (name == "param") {
            a.params.emplace_back(at("name"), at("value"));
        }
    });
    if (!ok) {
        return std::nullopt;
    }
    return a;
}

}  // namespace marloven
