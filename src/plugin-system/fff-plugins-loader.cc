// fff-plugins-loader.cc: the FFF loader, its host services (folding, comparing, URLs, the text
// check and the document services) and the application of document filters.
// SPDX-License-Identifier: MIT
#include "plugin-system/fff-plugins-loader.h"

#include <cstdlib>
#include <cstring>

#include "plugin-system/text_check.h"
#include "util/charsets.h"
#include "util/log.h"
#include "util/uri.h"

namespace marloven {

namespace {

char* copy_out(const std::string& text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.c_str(), text.size() + 1);
    }
    return copy;
}

// The index folding of a plug-in's text; false (logged once) when it is not valid UTF-8.
bool fold_text(const char* text, std::string& folded) {
    if (text == nullptr || !fold_utf8(text, folded)) {
        VANT_LOG(PLUGINSYSTEM, error) << "Bad utf8 string from plugin";
        return false;
    }
    return true;
}

char* host_fold(const char* text) {
    std::string folded;
    return fold_text(text, folded) ? copy_out(folded) : nullptr;
}

int host_compare(const char* a, const char* b) {
    std::string fa;
    std::string fb;
    if (!fold_text(a, fa) || !fold_text(b, fb)) {
        return MARLOVEN_COMPARE_FAILED;
    }
    int c = fa.compare(fb);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

char* host_normalise_url(const char* url) {
    return url == nullptr ? nullptr : copy_out(normalise_url(url));
}

char* host_resolve_url(const char* base, const char* reference) {
    return base == nullptr || reference == nullptr ? nullptr
                                                   : copy_out(resolve_url(base, reference));
}

int host_check_text(const char* text) {
    return text != nullptr && is_plain_text(text) ? 1 : 0;
}

// Runs one document service on the view behind `document`; a refusal is logged with its reason.
template <typename Change>
int document_service(marloven_fff_document* document, const char* service, Change change) {
    document_view* view = document_view::of(document);
    if (view == nullptr) {
        VANT_LOG(PLUGINSYSTEM, debug) << "Refused " << service << ": not a document of the host";
        return 0;
    }
    std::string why;
    if (!change(*view, why)) {
        VANT_LOG(PLUGINSYSTEM, debug)
            << "Refused " << service << " for " << document->url << ": " << why;
        return 0;
    }
    view->c_document();
    return 1;
}

int host_add_meta(marloven_fff_document* document, const marloven_fff_meta* meta) {
    return document_service(document, "add_meta", [&](document_view& v, std::string& why) {
        if (meta == nullptr) {
            why = "no meta given";
            return false;
        }
        return v.add_meta(*meta, why);
    });
}

int host_remove_meta(marloven_fff_document* document, std::uint32_t index) {
    return document_service(document, "remove_meta", [&](document_view& v, std::string& why) {
        return v.remove_meta(index, why);
    });
}

int host_set_words(marloven_fff_document* document, std::uint32_t run, const char* const* words,
                   std::uint32_t count) {
    return document_service(document, "set_words", [&](document_view& v, std::string& why) {
        return v.set_words(run, words, count, why);
    });
}

int host_set_language(marloven_fff_document* document, const char* code) {
    return document_service(document, "set_language", [&](document_view& v, std::string& why) {
        return v.set_language(code, why);
    });
}

}  // namespace

int client_plugin_type(std::uint32_t registration_type) {
    return registration_type >= GLOBALFFF_PLUGINTYPE && registration_type <= MULTIFORMFFF_PLUGINTYPE
               ? 1
               : 0;
}

void fff_plugins_loader::fill_host_services(marloven_host_services& table) const {
    pipelined_plugins_loader_base::fill_host_services(table);
    table.fold = host_fold;
    table.compare = host_compare;
    table.normalise_url = host_normalise_url;
    table.resolve_url = host_resolve_url;
    table.check_text = host_check_text;
    table.add_meta = host_add_meta;
    table.remove_meta = host_remove_meta;
    table.set_words = host_set_words;
    table.set_language = host_set_language;
}

bool fff_plugins_loader::accepts_type(std::uint32_t type) const {
    return type == GLOBALFFF_PLUGINTYPE || type == ARCHIVEFFF_PLUGINTYPE ||
           type == MULTIFORMFFF_PLUGINTYPE;
}

bool fff_plugins_loader::check_registration(const registered_plugin& plugin) const {
    bool complete = pipelined_plugins_loader_base::check_registration(plugin);
    if (plugin.regdata->fff_transform == nullptr) {
        VANT_LOG(PLUGINSYSTEM, error)
            << "Invalid regdata.fff_transform for plugin dll '" << plugin.name() << "'";
        return false;
    }
    return complete;
}

void fff_plugins_loader::apply(const std::vector<int>& ids, FFF::DocumentData& doc,
                               const document_facts& facts,
                               const std::function<void(std::size_t)>& before_call) {
    std::unique_ptr<document_view> view;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (!is_known_docfilter(ids[i])) {
            continue;
        }
        const configured_docfilter& f = *docfilter(ids[i]);
        if (!view) {
            view = std::make_unique<document_view>(doc, facts);
        }
        if (before_call) {
            before_call(i);
        }
        int result = f.library->regdata->fff_transform(f.instance, view->c_document());
        view->take_score();
        if (result != 0) {
            VANT_LOG(PLUGINSYSTEM, warning)
                << "Plugin '" << f.library->name() << "' of docfilter " << ids[i] << " failed ("
                << result << ") on " << facts.url;
        }
    }
}

}  // namespace marloven
