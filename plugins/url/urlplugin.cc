// urlplugin.cc: the URL splitter plug-in ("urlplugin"): the parts of a document's URL as metas,
// so that a search can keep to a site, a directory or a file type (META:urldomain:example.org,
// META:urlext:pdf). Configuration (the plug-in record's text, then the filter's parameters,
// which win), name=value lines:
//   prefix=url                       the start of every key
//   parts=scheme host port domain dir segment ext   the metas to add (this list is the default)
// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cctype>
#include <new>
#include <set>
#include <string>
#include <string_view>

#include "plugin_support.h"

namespace {

using namespace vantorell_plugins;

const std::set<std::string> known_parts = {"scheme", "host",    "port", "domain",
                                           "dir",    "segment", "ext"};

struct url_settings {
    std::string prefix = "url";
    std::set<std::string> parts = known_parts;
};

// Applies one configuration text; false (logged) on a line it does not understand.
bool read_settings(std::string_view text, url_settings& s) {
    for (const config_line& line : config_lines(text)) {
        std::string name;
        std::string value;
        bool ok = split_setting(line.text, name, value);
        if (ok && name == "prefix") {
            ok = !value.empty() && value.find(':') == std::string::npos;
            s.prefix = value;
        } else if (ok && name == "parts") {
            s.parts.clear();
            std::string part;
            for (char c : value + " ") {
                if (c != ' ' && c != ',') {
                    part += c;
                } else if (!part.empty()) {
                    ok = ok && known_parts.count(part) != 0;
                    s.parts.insert(part);
                    part.clear();
                }
            }
        } else {
            ok = false;
        }
        if (!ok) {
            std::string message = "line " + std::to_string(line.number) +
                                  " not understood: " + std::string(line.text);
            log_error(message);
            return false;
        }
    }
    return true;
}

void* create(const marloven_plugin_config* config) {
    auto* s = new (std::nothrow) url_settings;
    if (s == nullptr || !read_settings({config->configuration, config->configuration_length}, *s) ||
        !read_settings({config->parameters, config->parameters_length}, *s)) {
        delete s;
        return nullptr;
    }
    return s;
}

bool is_ip_address(std::string_view host_name) {
    return host_name.front() == '[' || std::all_of(host_name.begin(), host_name.end(), [](char c) {
               return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
           });
}

int transform(void* instance, marloven_fff_document* doc) {
    const url_settings& s = *static_cast<url_settings*>(instance);
    char* normal = host->normalise_url(doc->url);
    if (normal == nullptr) {
        return 1;
    }
    std::string url = normal;
    host->free(normal);
    auto add = [&](const char* part, std::string_view value) {
        if (s.parts.count(part) != 0 && !value.empty()) {
            add_documentwide(doc, s.prefix + part, std::string(value));
        }
    };
    std::size_t colon = url.find("://");
    if (colon == std::string::npos) {
        add("scheme", url.substr(0, url.find(':')));
        return 0;
    }
    add("scheme", std::string_view(url).substr(0, colon));
    std::string_view rest = std::string_view(url).substr(colon + 3);
    std::string_view netloc = rest.substr(0, rest.find_first_of("/?#"));
    std::string_view path = rest.substr(netloc.size());
    path = path.substr(0, path.find_first_of("?#"));
    if (auto at = netloc.rfind('@'); at != std::string_view::npos) {
        netloc.remove_prefix(at + 1);
    }
    std::string_view host_name = netloc;
    std::size_t port_colon = netloc.rfind(':');
    if (port_colon != std::string_view::npos &&
        netloc.find(']', port_colon) == std::string_view::npos) {
        host_name = netloc.substr(0, port_colon);
        add("port", netloc.substr(port_colon + 1));
    }
    add("host", host_name);
    if (!host_name.empty() && !is_ip_address(host_name)) {
        // Every level from the top: org, example.org, www.example.org.
        std::size_t end = host_name.size();
        while (true) {
            std::size_t dot = end == 0 ? std::string_view::npos : host_name.rfind('.', end - 1);
            add("domain", dot == std::string_view::npos ? host_name : host_name.substr(dot + 1));
            if (dot == std::string_view::npos) {
                break;
            }
            end = dot;
        }
    }
    std::size_t start = 1;
    while (start < path.size()) {
        std::size_t slash = path.find('/', start);
        std::string_view segment = path.substr(start, slash - start);
        if (slash == std::string_view::npos) {
            add("segment", segment);
            std::size_t dot = segment.rfind('.');
            if (dot != std::string_view::npos && dot > 0 && segment.size() - dot - 1 <= 10) {
                std::string ext(segment.substr(dot + 1));
                for (char& c : ext) {
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                }
                add("ext", ext);
            }
            break;
        }
        add("segment", segment);
        add("dir", path.substr(0, slash + 1));
        start = slash + 1;
    }
    return 0;
}

}  // namespace

extern "C" MARLOVEN_PLUGIN_EXPORT int marloven_plugin_registration(
    const marloven_host_services* services, marloven_plugin_regdata* regdata) {
    return register_plugin(services, regdata, "URL", "URL Splitter", create,
                           destroy_instance<url_settings>, transform);
}
