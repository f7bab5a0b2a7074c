// records_read.cc: reading configuration records from their XML texts.
// SPDX-License-Identifier: MIT
#include <functional>
#include <string>
#include <vector>

#include "records/records.h"
#include "records/records_internal.h"
#include "util/config_file.h"
#include "util/log.h"
#include "util/xml_parser.h"

namespace marloven {

namespace {

using namespace records_detail;

// The attributes of one start tag; a missing attribute reads as the empty text.
class attributes {
  public:
    explicit attributes(const xml_attributes& all) : all_(all) {}
    std::string_view operator[](std::string_view name) const {
        return all_.find("", name).value_or(std::string_view());
    }
    std::string text(std::string_view name) const { return std::string((*this)[name]); }
    int integer(std::string_view name) const {
        return static_cast<int>(leading_integer((*this)[name]));
    }

  private:
    const xml_attributes& all_;
};

// Called for every start tag, in document order, whatever its depth.
using start_handler = std::function<void(std::string_view name, const attributes&)>;
// Called at every end tag with the text that the element holds directly.
using end_handler = std::function<void(std::string_view name, std::string& text)>;

class record_reader : public xml_handler {
  public:
    record_reader(const start_handler& on_start, const end_handler& on_end)
        : on_start_(on_start), on_end_(on_end) {}

    void start_element(std::string_view, std::string_view name,
                       const xml_attributes& all) override {
        open_.push_back({std::string(name), {}});
        on_start_(name, attributes(all));
    }
    void end_element() override {
        if (on_end_) {
            on_end_(open_.back().name, open_.back().text);
        }
        open_.pop_back();
    }
    void text(std::string_view data) override {
        if (!open_.empty()) {
            open_.back().text += data;
        }
    }

  private:
    struct element {
        std::string name, text;
    };
    const start_handler& on_start_;
    const end_handler& on_end_;
    std::vector<element> open_;
};

// Parses `xml` in one piece with the limits of every XML reader; false when it is refused or
// not well-formed.
bool parse(std::string_view xml, const start_handler& on_start, const end_handler& on_end = {}) {
    record_reader reader(on_start, on_end);
    // A plug-in record carries its configuration bytes in Base64, wrapped into lines: a record
    // written from a full-sized upload is larger than the upload itself.
    xml_limits limits;
    limits.max_input = 64u << 20;
    guarded_xml_parser parser(reader, nullptr, limits);
    return parser.feed(xml, true);
}

// Sets `field` to the value whose spelling is `value`; an unknown spelling is logged with
// `message` and leaves the field alone.
template <typename E, size_t N>
void read_choice(std::string_view value, const std::array<std::string_view, N>& names, E& field,
                 std::string_view message) {
    for (size_t i = 0; i < N; ++i) {
        if (names[i] == value) {
            field = static_cast<E>(i);
            return;
        }
    }
    VANT_LOG(API, error) << message << value;
}

void read_flag(std::string_view value, bool& field, std::string_view message) {
    read_choice(value, bool_names, field, message);
}

void read_bytes(std::string_view element, const std::string& text, std::string& field) {
    if (auto bytes = base64_decode(text)) {
        field = std::move(*bytes);
    } else {
        VANT_LOG(API, error) << "Invalid Base64 text in element " << element;
    }
}

acl_entry read_acl(const attributes& a, std::string_view access_message) {
    acl_entry e;
    e.name = a.text("name");
    read_choice(a["access"], access_names, e.access, access_message);
    read_flag(a["deny"], e.deny, "Unknown ACL deny value ");
    return e;
}

// A source's and a legacy index's `filter`: the type chooses the list; other types are ignored.
void read_filter(const attributes& a, SourceConfiguration& r) {
    if (a["type"] == "include") {
        r.include_filters.push_back(a.text("url"));
    } else if (a["type"] == "exclude") {
        r.exclude_filters.push_back(a.text("url"));
    }
}

void read_scheduling(const attributes& a, ArchiveConfiguration& r) {
    read_choice(a["frequency"], frequency_names, r.frequency, "Unknown scheduling frequency ");
    r.attribute = a.integer("attribute");
    r.access_time = a.integer("accesstime");
}

}  // namespace

bool from_xml(std::string_view xml, SourceConfiguration& r) {
    r = {};
    return parse(xml, [&r](std::string_view el, const attributes& a) {
        if (el == "source") {
            r.name = a.text("name");
            r.description = a.text("description");
        } else if (el == "seed") {
            r.seeds.push_back(a.text("url"));
        } else if (el == "filter") {
            read_filter(a, r);
        } else if (el == "limit") {
            r.depth = a.integer("depth");
        } else if (el == "robots") {
            read_flag(a["check"], r.robots_check, "Unknown robots check value ");
        } else if (el == "sidemetadata") {
            read_flag(a["available"], r.side_metadata_available,
                      "Unknown sidemetadata available value ");
        } else if (el == "auth") {
            read_choice(a["type"], auth_names, r.auth, "Unknown auth type ");
        } else if (el == "cookieauth") {
            r.cookie.url = a.text("url");
            read_choice(a["action"], action_names, r.cookie.action, "Unknown auth cookie action ");
            r.cookie.freshness = a.integer("freshness");
        } else if (el == "cookieparam") {
            cookie_param p;
            p.name = a.text("name");
            p.value = a.text("value");
            read_choice(a["type"], param_type_names, p.type, "Unknown auth cookie param type ");
            r.cookie.params.push_back(std::move(p));
        } else if (el == "cookiepreurl") {
            r.cookie.pre_urls.push_back(a.text("url"));
        } else if (el == "docfilter" || el == "plugin-config") {
            r.docfilters.push_back(a.integer("id"));
        } else if (el == "textexclusionmarker") {
            if (a["edge"] == "begin") {
                r.text_exclusion_begin = a.text("value");
            } else if (a["edge"] == "end") {
                r.text_exclusion_end = a.text("value");
            } else {
                VANT_LOG(API, error) << "Unknown textexclusionmarker edge value " << a["edge"];
            }
        } else if (el == "acl") {
            r.acl.push_back(read_acl(a, "Unknown ACL access "));
        }
    });
}

bool from_xml(std::string_view xml, ArchiveConfiguration& r) {
    r = {};
    return parse(xml, [&r](std::string_view el, const attributes& a) {
        if (el == "archive") {
            r.name = a.text("name");
            read_flag(a["historicize"], r.historicize, "Unknown historicize value ");
        } else if (el == "contact") {
            r.contact_email = a.text("email");
        } else if (el == "source") {
            r.source_id = a.integer("sourceid");
            r.auth_id = a.integer("authid");
        } else if (el == "scheduling") {
            read_scheduling(a, r);
        } else if (el == "limit") {
            r.page_limit = a.integer("pages");
        } else if (el == "garbage") {
            r.garbage_limit = a.integer("limit");
        } else if (el == "cache") {
            read_choice(a["document"], cache_names, r.cache, "Unknown cache type ");
        } else if (el == "acl") {
            r.acl.push_back(read_acl(a, "Unknown ACL access "));
        }
    });
}

bool from_xml(std::string_view xml, CollectionConfiguration& r) {
    r = {};
    return parse(xml, [&r](std::string_view el, const attributes& a) {
        if (el == "collection") {
            r.name = a.text("name");
            r.description = a.text("description");
        } else if (el == "archive") {
            r.archives.push_back(a.integer("id"));
        } else if (el == "acl") {
            r.acl.push_back(read_acl(a, "Unknown ACL access "));
        }
    });
}

bool from_xml(std::string_view xml, WatchConfiguration& r) {
    r = {};
    return parse(xml, [&r](std::string_view el, const attributes& a) {
        if (el == "watch") {
            r.name = a.text("name");
            r.description = a.text("description");
        } else if (el == "query") {
            r.query = a.text("text");
            read_choice(a["parser"], parser_names, r.parser, "Unknown query parser ");
            r.freshness = a.integer("freshness");
            r.collection = a.integer("collection");
        } else if (el == "acl") {
            r.acl.push_back(read_acl(a, "Unknown ACL access "));
        }
    });
}

bool from_xml(std::string_view xml, AuthConfiguration& r) {
    r = {};
    return parse(xml, [&r](std::string_view el, const attributes& a) {
        if (el == "auth") {
            r.username = a.text("username");
            r.password = a.text("password");
        } else if (el == "param") {
            r.params.push_back({a.text("name"), a.text("value")});
        } else if (el == "acl") {
            r.acl.push_back(read_acl(a, "Unknown ACL access "));
        }
    });
}

bool from_xml(std::string_view xml, Plugin& r) {
    r = {};
    return parse(
        xml,
        [&r](std::string_view el, const attributes& a) {
            if (el == "plugin") {
                r.name = a.text("name");
            } else if (el == "dll") {
                r.module = a.text("name");
            } else if (el == "acl") {
                r.acl.push_back(read_acl(a, "Unknown ACL access "));
            }
        },
        [&r](std::string_view el, std::string& text) {
            if (el == "description") {
                r.description = std::move(text);
            } else if (el == "dll") {
                read_bytes(el, text, r.configuration);
            }
        });
}

bool from_xml(std::string_view xml, DocFilter& r) {
    r = {};
    return parse(
        xml,
        [&r](std::string_view el, const attributes& a) {
            if (el == "docfilter") {
                r.name = a.text("name");
            } else if (el == "plugin") {
                r.plugin_id = a.integer("id");
            } else if (el == "acl") {
                r.acl.push_back(read_acl(a, "Unknown ACL access "));
            }
        },
        [&r](std::string_view el, std::string& text) {
            if (el == "description") {
                r.description = std::move(text);
            } else if (el == "plugin") {
                read_bytes(el, text, r.parameters);
            }
        });
}

bool from_xml(std::string_view xml, RendererPluginPipe& r) {
    r = {};
    return parse(xml, [&r](std::string_view el, const attributes& a) {
        if (el == "docfilter" || el == "plugin-config") {
            r.docfilters.push_back(a.integer("id"));
        }
    });
}

bool from_xml(std::string_view xml, RootACL& r) {
    r = {};
    return parse(xml, [&r](std::string_view el, const attributes& a) {
        if (el == "entry") {
            r.entries.push_back(read_acl(a, "Unknown access type "));
        }
    });
}

bool from_xml(std::string_view xml, LoginConfiguration& r) {
    r = {};
    login_user* current = nullptr;  // the user that `member` elements add groups to
    return parse(xml, [&r, &current](std::string_view el, const attributes& a) {
        if (el == "user") {
            std::string name = a.text("name");
            login_user& u = r.users[name];
            u = {};  // a repeated user starts afresh
            u.name = std::move(name);
            u.password_hash = a.text("pass");
            read_flag(a["admin"], u.admin, "Unknown admin value ");
            current = &u;
        } else if (el == "member") {
            if (current != nullptr) {
                current->groups.insert(a.text("group"));
            }
        } else if (el == "group") {
            r.groups.push_back(a.text("name"));
        }
    });
}

bool from_index_xml(std::string_view xml, SourceConfiguration& source,
                    ArchiveConfiguration& archive) {
    source = {};
    archive = {};
    return parse(xml, [&](std::string_view el, const attributes& a) {
        if (el == "index") {
            archive.name = a.text("name");
            read_flag(a["historicize"], archive.historicize, "Unknown historicize value ");
        } else if (el == "contact") {
            archive.contact_email = a.text("email");
        } else if (el == "seed") {
            source.seeds.push_back(a.text("url"));
        } else if (el == "filter") {
            read_filter(a, source);
        } else if (el == "scheduling") {
            read_scheduling(a, archive);
        } else if (el == "limit") {
            archive.page_limit = a.integer("pages");
            source.depth = a.integer("depth");
        } else if (el == "garbage") {
            archive.garbage_limit = a.integer("limit");
        }
    });
}

}  // namespace marloven
