// api-plugin.cc: the plug-in listings (each over a plug-in loader of its own), the plug-in and
// document-filter record operations and the global renderer pipe.
// SPDX-License-Identifier: MIT
#include "api/api-plugin.h"

#include <algorithm>
#include <map>

#include "api/operations_internal.h"
#include "plugin-system/fff-plugins-loader.h"
#include "util/log.h"

namespace marloven {

// The global pipeline: the renderer pipe record with this id lists the filters every source's
// documents go through first.
constexpr int root_renderer_pipe = 0;

bool references_readable(const api_session&, const Plugin&) {
    return true;
}

bool references_readable(const api_session& s, const DocFilter& cfg) {
    return s.admin || record_grants<Plugin>(s, cfg.plugin_id, access_type::read);
}

bool in_use(const api_session& s, const Plugin&, int id) {
    return referenced<DocFilter>(s, [id](const DocFilter& f) { return f.plugin_id == id; });
}

bool in_use(const api_session& s, const DocFilter&, int id) {
    auto lists = [id](const std::vector<int>& ids) {
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    };
    RendererPluginPipe pipe;
    return (s.svc().renderer_pipes->get(s.db, root_renderer_pipe, pipe) &&
            lists(pipe.docfilters)) ||
           referenced<SourceConfiguration>(
               s, [&](const SourceConfiguration& source) { return lists(source.docfilters); });
}

// The worker loads DEPLOYDIR/plugins/<module>.so: a module is a plain file name.
bool record_is_valid(const Plugin& plugin) {
    return !plugin.module.empty() &&
           std::all_of(plugin.module.begin(), plugin.module.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-';
           });
}

namespace {

// The start of every listing: a loader over the plug-in directory, with the libraries kept by
// type. The loader unloads everything when the listing's call ends.
class plugin_listing {
  public:
    plugin_listing(const api_session& s, api_result& r, const std::vector<int>& types,
                   const char* loaded_message, bool log_libraries)
        : loader_(s.svc().plugin_directory) {
        reset_result(r);
        if (!loader_.load()) {
            VANT_LOG(API, error) << "Can't load plugins";
            set_error(r, api_error::CannotLoadPluginDLLs);
            return;
        }
        VANT_LOG(API, boring) << loaded_message;
        for (const auto& p : loader_.plugins()) {
            bool wanted = types.empty() || std::find(types.begin(), types.end(),
                                                     static_cast<int>(p->type())) != types.end();
            if (log_libraries) {
                VANT_LOG(API, boring)
                    << (wanted ? "Added plugindll " : "Skipped plugindll ") << p->name();
            }
            if (wanted) {
                kept_.push_back(p.get());
            }
        }
        usable_ = true;
    }

    bool usable() const { return usable_; }
    const std::vector<const registered_plugin*>& kept() const { return kept_; }
    // The kept library of a module name, or null.
    const registered_plugin* library(const std::string& module) const {
        auto it = std::find_if(kept_.begin(), kept_.end(),
                               [&](const registered_plugin* p) { return p->module == module; });
        return it == kept_.end() ? nullptr : *it;
    }

  private:
    fff_plugins_loader loader_;
    std::vector<const registered_plugin*> kept_;
    bool usable_ = false;
};

// The summary of a record for a listing without `full`.
Plugin summary(const Plugin& p) {
    return {p.name, p.description, p.module, {}, {}};
}
DocFilter summary(const DocFilter& f) {
    return {f.name, f.description, f.plugin_id, {}, {}};
}

// The plug-in records the caller may read, by id, with the type of the kept library each names;
// records whose library was not kept are left out (and logged by `missing`).
template <typename Missing>
std::map<int, plugin_info> usable_plugins(const api_session& s, const plugin_listing& listing,
                                          bool full, Missing missing) {
    std::map<int, plugin_info> out;
    auto& store = *s.svc().plugins;
    for (int id : store.ids(s.db)) {
        plugin_info info;
        if (!store.get(s.db, id, info.configuration, info.magic)) {
            continue;
        }
        const Plugin& p = info.configuration;
        if (!check_access(s, p.acl, access_type::read)) {
            VANT_LOG(API, boring) << "Skipping plugin " << p.name << " due to ACL";
            continue;
        }
        const registered_plugin* library = listing.library(p.module);
        if (library == nullptr) {
            missing(p);
            continue;
        }
        info.id = id;
        info.type = static_cast<int>(library->type());
        info.read_only = !check_access(s, p.acl, access_type::write);
        if (!full) {
            info.configuration = summary(p);
        }
        out.emplace(id, std::move(info));
    }
    return out;
}

}  // namespace

void EnumPluginDLLs(const api_session& s, api_result& r, const std::vector<int>& types,
                    std::vector<plugin_dll_info>& infos) {
    infos.clear();
    plugin_listing listing(s, r, types, "Plugindlls loaded", true);
    if (!listing.usable()) {
        return;
    }
    for (const registered_plugin* p : listing.kept()) {
        const char* description = p->regdata->description;
        infos.push_back({static_cast<int>(p->type()), p->name(),
                         description != nullptr ? description : "", p->module});
    }
    VANT_LOG(API, boring) << "Finished adding plugindlls";
}

void EnumPlugins(const api_session& s, api_result& r, const std::vector<int>& types, bool full,
                 std::vector<plugin_info>& infos) {
    infos.clear();
    plugin_listing listing(s, r, types, "Plugins loaded", true);
    if (!listing.usable()) {
        return;
    }
    auto plugins = usable_plugins(s, listing, full, [](const Plugin& p) {
        VANT_LOG(API, error) << "Skipped plugin " << p.name << " (cannot find plugin DLL "
                             << p.module << ")";
    });
    for (auto& [id, info] : plugins) {
        VANT_LOG(API, boring) << "Adding plugin " << info.configuration.name;
        infos.push_back(std::move(info));
    }
    VANT_LOG(API, boring) << "Finished adding plugins";
}

void EnumDocFilters(const api_session& s, api_result& r, const std::vector<int>& types, bool full,
                    std::vector<docfilter_info>& infos) {
    infos.clear();
    plugin_listing listing(s, r, types, "Plugins loaded", false);
    if (!listing.usable()) {
        return;
    }
    auto plugins = usable_plugins(s, listing, false, [](const Plugin& p) {
        VANT_LOG(API, boring) << "Skipping plugin " << p.name << " ???";
        VANT_LOG(API, boring) << "Skipping pluginDLL " << p.module << " maybe due to type";
    });
    for (const auto& [id, info] : plugins) {
        VANT_LOG(API, boring) << "Adding pluginDLL " << info.configuration.module
                              << " maybe due to type";
    }
    auto& store = *s.svc().docfilters;
    for (int id : store.ids(s.db)) {
        docfilter_info info;
        if (!store.get(s.db, id, info.configuration, info.magic)) {
            continue;
        }
        const DocFilter& f = info.configuration;
        if (!check_access(s, f.acl, access_type::read)) {
            VANT_LOG(API, boring) << "Skipping docfilter " << f.name << " due to ACL";
            continue;
        }
        auto plugin = plugins.find(f.plugin_id);
        if (plugin == plugins.end()) {
            VANT_LOG(API, boring) << "Skipping docfilter " << f.name << " (plugin " << f.plugin_id
                                  << " unavailable)";
            continue;
        }
        info.id = id;
        info.type = plugin->second.type;
        info.read_only = !check_access(s, f.acl, access_type::write);
        if (!full) {
            info.configuration = summary(f);
        }
        infos.push_back(std::move(info));
    }
}

void GetPlugin(const api_session& s, api_result& r, int id, Plugin& plugin, std::uint32_t& magic) {
    get_config(s, r, id, plugin, magic);
}
void SetPlugin(const api_session& s, api_result& r, int id, const Plugin& plugin,
               std::uint32_t magic) {
    set_config(s, r, id, plugin, magic);
}
void AddPlugin(const api_session& s, api_result& r, const Plugin& plugin, int& id) {
    add_config(s, r, root_acl_crawling, plugin, id);
}
void RemovePlugin(const api_session& s, api_result& r, int id) {
    remove_config<Plugin>(s, r, id);
}

void GetDocFilter(const api_session& s, api_result& r, int id, DocFilter& filter,
                  std::uint32_t& magic) {
    get_config(s, r, id, filter, magic);
}
void SetDocFilter(const api_session& s, api_result& r, int id, const DocFilter& filter,
                  std::uint32_t magic) {
    set_config(s, r, id, filter, magic);
}
void AddDocFilter(const api_session& s, api_result& r, const DocFilter& filter, int& id) {
    add_config(s, r, root_acl_crawling, filter, id);
}
void RemoveDocFilter(const api_session& s, api_result& r, int id) {
    remove_config<DocFilter>(s, r, id);
}

void GetRootRendererPipe(const api_session& s, api_result& r, RendererPluginPipe& pipe,
                         std::uint32_t& magic) {
    reset_result(r);
    if (!check_access(s, root_acl(s, root_acl_crawling), access_type::read)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    pipe = read_fixed<RendererPluginPipe>(s, root_renderer_pipe, magic);
}

void SetRootRendererPipe(const api_session& s, api_result& r, const RendererPluginPipe& pipe,
                         std::uint32_t magic) {
    reset_result(r);
    bool readable =
        s.admin || std::all_of(pipe.docfilters.begin(), pipe.docfilters.end(), [&](int filter) {
            return record_grants<DocFilter>(s, filter, access_type::read);
        });
    if (!check_access(s, root_acl(s, root_acl_crawling), access_type::write) || !readable) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    store_fixed(s, r, root_renderer_pipe, pipe, magic);
}

}  // namespace marloven
