// staticplugin.cc: the static metadata plug-in ("staticplugin"): fixed metas added to every
// document of the filters that use it. Configuration: name=value lines, from the plug-in
// record's text and then the filter's parameters; each line adds the documentwide meta
// name=value (blanks around both are dropped; '#' starts a comment line). A line without '=',
// or a name holding ':', makes the configuration unusable (logged with its line number).
// SPDX-License-Identifier: MIT
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "plugin_support.h"

namespace {

using namespace vantorell_plugins;

using meta_list = std::vector<std::pair<std::string, std::string>>;

bool read_metas(std::string_view text, const char* what, meta_list& metas) {
    for (const config_line& line : config_lines(text)) {
        std::string name;
        std::string value;
        if (!split_setting(line.text, name, value) || name.find(':') != std::string::npos ||
            !host->check_text(name.c_str()) || !host->check_text(value.c_str())) {
            std::string message = std::string(what) + " line " + std::to_string(line.number) +
                                  " is not name=value: " + std::string(line.text);
            log_error(message);
            return false;
        }
        metas.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

void* create(const marloven_plugin_config* config) {
    auto* metas = new (std::nothrow) meta_list;
    if (metas == nullptr ||
        !read_metas({config->configuration, config->configuration_length}, "configuration",
                    *metas) ||
        !read_metas({config->parameters, config->parameters_length}, "parameter", *metas)) {
        delete metas;
        return nullptr;
    }
    return metas;
}

int transform(void* instance, marloven_fff_document* doc) {
    int refused = 0;
    for (const auto& [name, value] : *static_cast<meta_list*>(instance)) {
        refused += add_documentwide(doc, name, value) ? 0 : 1;
    }
    return refused;
}

}  // namespace

extern "C" MARLOVEN_PLUGIN_EXPORT int marloven_plugin_registration(
    const marloven_host_services* services, marloven_plugin_regdata* regdata) {
    return register_plugin(services, regdata, "Static", "Static metadata", create,
                           destroy_instance<meta_list>, transform);
}
