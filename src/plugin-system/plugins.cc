// plugins.cc: loading, registration and unloading of plug-in libraries, the host services every
// plug-in gets, and the configured instances of document filters.
// SPDX-License-Identifier: MIT
#include "plugin-system/plugins.h"

#include <cstdlib>
#include <cstring>

#include "util/config_file.h"
#include "util/config_keys.h"
#include "util/dlext.h"
#include "util/install_paths.h"
#include "util/log.h"

namespace marloven {

namespace {

constexpr const char* registration_export = "marloven_plugin_registration";

void* host_allocate(std::size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

void host_free(void* pointer) {
    std::free(pointer);
}

char* host_duplicate(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    std::size_t n = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(std::malloc(n));
    if (copy != nullptr) {
        std::memcpy(copy, text, n);
    }
    return copy;
}

// The plug-ins' own log lines carry a fixed source place, whatever this file looks like: it is
// part of the log format that operators search for.
void plugin_log(log_level level, unsigned line, const marloven_plugin_regdata* plugin,
                const char* text) {
    if (!log_enabled(log_facility::PLUGINS, level)) {
        return;
    }
    const char* name = plugin != nullptr && plugin->name != nullptr ? plugin->name : "?";
    log_message(level, "src\\plugin-system\\plugins", line, true).stream()
        << "Plugin " << name << ": " << (text != nullptr ? text : "");
}

void host_log_error(const marloven_plugin_regdata* plugin, const char* text) {
    plugin_log(log_level::error, 36, plugin, text);
}
void host_log_info(const marloven_plugin_regdata* plugin, const char* text) {
    plugin_log(log_level::info, 41, plugin, text);
}
void host_log_debug(const marloven_plugin_regdata* plugin, const char* text) {
    plugin_log(log_level::debug, 46, plugin, text);
}

std::string module_of(const std::string& path) {
    std::string file = path.substr(path.find_last_of('/') + 1);
    return file.substr(0, file.size() - 3);  // p_dlext keeps only "*.so" files
}

std::string library_set(const std::vector<std::string>& paths) {
    std::string set = "{";
    for (const auto& p : paths) {
        set += (set.size() > 1 ? ", " : "") + p;
    }
    return set + "}";
}

}  // namespace

std::string registered_plugin::name() const {
    return regdata->name != nullptr ? regdata->name : "";
}

std::optional<std::string> plugin_directory(const config_file& config) {
    if (!config.value(keys::DEPLOYDIR)) {
        return std::nullopt;
    }
    return install_paths::from(config).plugins();
}

plugins_loader_base::plugins_loader_base(std::optional<std::string> directory)
    : directory_(std::move(directory)) {}

plugins_loader_base::~plugins_loader_base() {
    unload_libraries();
}

void plugins_loader_base::fill_host_services(marloven_host_services& table) const {
    table.interface_version = MARLOVEN_PLUGIN_INTERFACE_VERSION;
    table.size = sizeof(marloven_host_services);
    table.allocate = host_allocate;
    table.free = host_free;
    table.duplicate = host_duplicate;
    table.log_error = host_log_error;
    table.log_info = host_log_info;
    table.log_debug = host_log_debug;
}

bool plugins_loader_base::accepts_type(std::uint32_t) const {
    return false;
}

bool plugins_loader_base::check_registration(const registered_plugin& plugin) const {
    if (plugin.regdata->unregister == nullptr) {
        VANT_LOG(PLUGINSYSTEM, error)
            << "Invalid regdata.unregister for plugin dll '" << plugin.name() << "'";
        return false;
    }
    return true;
}

bool plugins_loader_base::load() {
    host_ = std::make_unique<marloven_host_services>();
    fill_host_services(*host_);
    if (!directory_) {
        VANT_LOG(PLUGINSYSTEM, error) << "DEPLOYDIR not defined in config file";
        return false;
    }
    loaded_ = true;
    VANT_LOG(PLUGINSYSTEM, debug) << "Loading plugins from " << *directory_;
    libraries_ = std::make_unique<p_dlext>(*directory_, registration_export);
    VANT_LOG(PLUGINSYSTEM, debug) << "Loading plugins for " << library_set(libraries_->libraries());
    for (const std::string& report : libraries_->reports()) {
        VANT_LOG(PLUGINSYSTEM, error) << "Error loading plugin: " << report;
    }
    for (const std::string& path : libraries_->libraries()) {
        register_library(path);
    }
    return true;
}

void plugins_loader_base::register_library(const std::string& path) {
    VANT_LOG(PLUGINSYSTEM, boring) << "Activating " << path;
    auto registration = reinterpret_cast<marloven_plugin_registration_fn>(libraries_->entry(path));
    if (registration == nullptr) {
        VANT_LOG(PLUGINSYSTEM, error) << "Error loading plugin dll " << path;
        return;
    }
    auto plugin = std::make_unique<registered_plugin>();
    plugin->path = path;
    plugin->module = module_of(path);
    plugin->regdata = std::make_unique<marloven_plugin_regdata>();
    std::memset(plugin->regdata.get(), 0, sizeof(marloven_plugin_regdata));
    int result = registration(host_.get(), plugin->regdata.get());
    if (result != 0) {
        VANT_LOG(PLUGINSYSTEM, error) << "Error " << result << " while loading plugin dll " << path;
        return;
    }
    // A library that registered but is refused below may have taken resources: it gets its
    // unregister call all the same.
    auto refuse = [&] {
        if (plugin->regdata->unregister != nullptr) {
            plugin->regdata->unregister();
        }
    };
    const marloven_plugin_regdata& reg = *plugin->regdata;
    if (reg.interface_version != MARLOVEN_PLUGIN_INTERFACE_VERSION) {
        VANT_LOG(PLUGINSYSTEM, error)
            << "Plugin dll '" << path << "' was built for plug-in interface version "
            << reg.interface_version << "; this host offers version "
            << MARLOVEN_PLUGIN_INTERFACE_VERSION;
        refuse();
        return;
    }
    if (!accepts_type(reg.type)) {
        VANT_LOG(PLUGINSYSTEM, error)
            << "Invalid plugin type " << reg.type << " for plugin dll '" << path << "'";
        refuse();
        return;
    }
    VANT_LOG(PLUGINSYSTEM, boring)
        << "Loaded dll " << path << " with name '" << plugin->name() << "'";
    if (!check_registration(*plugin)) {
        refuse();
        return;
    }
    plugins_.push_back(std::move(plugin));
}

void plugins_loader_base::release_instances() {}

void plugins_loader_base::unload() {
    release_instances();
    unload_libraries();
}

void plugins_loader_base::unload_libraries() {
    if (!loaded_) {
        return;
    }
    loaded_ = false;
    VANT_LOG(PLUGINSYSTEM, debug) << "Unregistering plugins";
    for (const auto& plugin : plugins_) {
        const std::string name = plugin->name();
        void (*unregister)() = plugin->regdata->unregister;
        VANT_LOG(PLUGINSYSTEM, debug) << "Unregistering plugin '" << name << "' "
                                      << (unregister != nullptr ? "ok" : "not ok");
        VANT_LOG(PLUGINSYSTEM, boring) << "Calling unregister for plugin '" << name;
        if (unregister != nullptr) {
            unregister();
        }
        VANT_LOG(PLUGINSYSTEM, boring) << "Called unregister for plugin '" << name;
        VANT_LOG(PLUGINSYSTEM, boring) << "Unregistered plugin '" << name;
    }
    plugins_.clear();
    VANT_LOG(PLUGINSYSTEM, boring)
        << "Destroying plugins for " << library_set(libraries_->libraries());
    libraries_.reset();
    VANT_LOG(PLUGINSYSTEM, boring) << "Destroying plugins API";
    host_.reset();
    VANT_LOG(PLUGINSYSTEM, boring) << "Plugins destroyed";
}

const registered_plugin* plugins_loader_base::find_module(std::string_view module) const {
    for (const auto& p : plugins_) {
        if (p->module == module) {
            return p.get();
        }
    }
    return nullptr;
}

pipelined_plugins_loader_base::~pipelined_plugins_loader_base() {
    destroy_instances();
}

void pipelined_plugins_loader_base::release_instances() {
    destroy_instances();
}

void pipelined_plugins_loader_base::destroy_instances() {
    while (!docfilters_.empty()) {
        unconfigure_docfilter(docfilters_.begin()->first);
    }
    plugins_by_id_.clear();
}

bool pipelined_plugins_loader_base::check_registration(const registered_plugin& plugin) const {
    const marloven_plugin_regdata& reg = *plugin.regdata;
    bool complete = true;
    const std::pair<bool, const char*> entries[] = {
        {reg.unregister != nullptr, "unregister"},
        {reg.config_create != nullptr, "config_create"},
        {reg.config_destroy != nullptr, "config_destroy"},
    };
    for (const auto& [present, entry] : entries) {
        if (!present) {
            VANT_LOG(PLUGINSYSTEM, error)
                << "Invalid regdata." << entry << " for plugin dll '" << plugin.name() << "'";
            complete = false;
        }
    }
    return complete && plugins_loader_base::check_registration(plugin);
}

bool pipelined_plugins_loader_base::filter_known(std::vector<int>& ids) const {
    std::vector<int> known;
    for (int id : ids) {
        if (is_known_docfilter(id)) {
            known.push_back(id);
        }
    }
    bool all = known.size() == ids.size();
    ids = std::move(known);
    return all;
}

bool pipelined_plugins_loader_base::is_known_plugin(int id) const {
    if (plugins_by_id_.count(id) != 0) {
        return true;
    }
    VANT_LOG(PLUGINSYSTEM, info) << "Ignoring unknown plugin " << id;
    return false;
}

bool pipelined_plugins_loader_base::is_known_docfilter(int id) const {
    if (docfilters_.count(id) != 0) {
        return true;
    }
    VANT_LOG(PLUGINSYSTEM, info) << "Ignoring unknown docfilter " << id;
    return false;
}

const pipelined_plugins_loader_base::configured_docfilter* pipelined_plugins_loader_base::docfilter(
    int id) const {
    auto it = docfilters_.find(id);
    return it == docfilters_.end() ? nullptr : &it->second;
}

const pipelined_plugins_loader_base::configured_plugin* pipelined_plugins_loader_base::plugin(
    int id) const {
    auto it = plugins_by_id_.find(id);
    return it == plugins_by_id_.end() ? nullptr : &it->second;
}

bool pipelined_plugins_loader_base::configure_plugin(const plugin_settings& settings) {
    auto it = plugins_by_id_.find(settings.id);
    if (it != plugins_by_id_.end() && it->second.settings.magic == settings.magic) {
        return true;
    }
    if (it != plugins_by_id_.end()) {
        std::vector<int> users;
        for (const auto& [id, f] : docfilters_) {
            if (f.settings.plugin_id == settings.id) {
                users.push_back(id);
            }
        }
        for (int id : users) {
            unconfigure_docfilter(id);
        }
        plugins_by_id_.erase(it);
    }
    const registered_plugin* library = find_module(settings.module);
    if (library == nullptr) {
        auto [refused, first] = refused_plugins_.try_emplace(settings.id, settings.magic);
        if (first || refused->second != settings.magic) {
            VANT_LOG(PLUGINSYSTEM, error) << "No plugin dll '" << settings.module << "' for plugin "
                                          << settings.id << " (" << settings.name << ")";
            refused->second = settings.magic;
        }
        return false;
    }
    refused_plugins_.erase(settings.id);
    plugins_by_id_[settings.id] = {settings, library};
    return true;
}

bool pipelined_plugins_loader_base::configure_docfilter(const docfilter_settings& settings) {
    auto old = docfilters_.find(settings.id);
    const configured_plugin* p = plugin(settings.plugin_id);
    if (old != docfilters_.end() && p != nullptr && old->second.settings.magic == settings.magic &&
        old->second.settings.plugin_id == settings.plugin_id &&
        old->second.plugin_magic == p->settings.magic) {
        return true;
    }
    if (old != docfilters_.end()) {
        unconfigure_docfilter(settings.id);
    }
    // A refusal stands until either record changes: the worker configures the filters of every
    // request, and neither the log nor config_create should run again for each document.
    const std::pair<std::uint32_t, std::uint32_t> stamps{settings.magic,
                                                         p != nullptr ? p->settings.magic : 0};
    auto refused = refused_docfilters_.find(settings.id);
    if (refused != refused_docfilters_.end() && refused->second == stamps) {
        return false;
    }
    refused_docfilters_[settings.id] = stamps;
    if (p == nullptr) {
        is_known_plugin(settings.plugin_id);  // logs that it is not
        return false;
    }
    const marloven_plugin_regdata& reg = *p->library->regdata;
    marloven_plugin_config config{};
    config.size = sizeof config;
    config.plugin_id = p->settings.id;
    config.plugin_name = p->settings.name.c_str();
    config.configuration = p->settings.configuration.c_str();
    config.configuration_length = p->settings.configuration.size();
    config.docfilter_id = settings.id;
    config.docfilter_name = settings.name.c_str();
    config.parameters = settings.parameters.c_str();
    config.parameters_length = settings.parameters.size();
    void* instance = reg.config_create(&config);
    if (instance == nullptr) {
        VANT_LOG(PLUGINSYSTEM, error)
            << "Plugin '" << p->library->name() << "' refused the configuration of docfilter "
            << settings.id << " (" << settings.name << ")";
        return false;
    }
    refused_docfilters_.erase(settings.id);
    docfilters_[settings.id] = {settings, p->settings.magic, p->library, instance};
    VANT_LOG(PLUGINSYSTEM, boring)
        << "Configured docfilter " << settings.id << " with plugin '" << p->library->name() << "'";
    return true;
}

void pipelined_plugins_loader_base::unconfigure_docfilter(int id) {
    auto it = docfilters_.find(id);
    if (it == docfilters_.end()) {
        VANT_LOG(PLUGINSYSTEM, warning) << "Unknown docfilter " << id;
        return;
    }
    configured_docfilter& f = it->second;
    if (plugins_by_id_.count(f.settings.plugin_id) == 0) {
        VANT_LOG(PLUGINSYSTEM, warning)
            << "Plugin " << f.settings.plugin_id << " not found in docfilter " << id;
    }
    // The instance belongs to the library that made it, whatever became of the plug-in record.
    f.library->regdata->config_destroy(f.instance);
    docfilters_.erase(it);
    VANT_LOG(PLUGINSYSTEM, boring) << "Unconfigured docfilter " << id << " ok ";
}

}  // namespace marloven
