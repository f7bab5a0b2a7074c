// plugins.h: the plug-in loaders: they find the libraries of the installation's plug-in
// directory, register them (checking what each declares about itself), offer them the host
// services, and keep the configured instances of document filters. The daemon's administration
// interface and the worker programs each build their own loader.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vantorell/plugin.h"

namespace marloven {

class config_file;
class p_dlext;

// A library that registered and passed the loader's checks.
struct registered_plugin {
    std::string path;    // the library file
    std::string module;  // its file name without ".so": the name plug-in records give
    // Filled by the library's registration function; kept at this address until unregister.
    std::unique_ptr<marloven_plugin_regdata> regdata;

    std::string name() const;  // the registered name ("" when the library gave none)
    std::uint32_t type() const { return regdata->type; }
};

// A plug-in record as a loader configures it.
struct plugin_settings {
    int id = 0;
    std::uint32_t magic = 0;  // the record's stamp: a new stamp means a changed record
    std::string name;
    std::string module;
    std::string configuration;
};

// A document filter record as a loader configures it.
struct docfilter_settings {
    int id = 0;
    std::uint32_t magic = 0;
    std::string name;
    int plugin_id = 0;
    std::string parameters;
};

// The plug-in directory of a configuration: DEPLOYDIR + "/plugins", or nothing without DEPLOYDIR.
std::optional<std::string> plugin_directory(const config_file& config);

// Purpose: loads and registers every plug-in library of a directory and unloads them again.
// The base accepts no registration type of its own; derived loaders say which they accept.
// Ownership: owns the libraries, their registration records and the host service table; all
// live until unload() or destruction.
// Failure: no loading error is thrown or fatal: a library that fails is logged and left out.
// Threads: one thread at a time; plug-ins are called from that thread only.
class plugins_loader_base {
  public:
    // `directory`: the plug-in directory; nothing when DEPLOYDIR is not configured (the loader
    // is then unusable and load() fails).
    explicit plugins_loader_base(std::optional<std::string> directory);
    virtual ~plugins_loader_base();
    plugins_loader_base(const plugins_loader_base&) = delete;
    plugins_loader_base& operator=(const plugins_loader_base&) = delete;

    // Fills the host table, loads the libraries and registers each. False only when the loader
    // is unusable (no plug-in directory configured). Call once.
    bool load();
    // Unregisters every plug-in and unloads the libraries (also done by the destructor).
    void unload();

    // The plug-ins kept, in the order of their libraries' file names.
    const std::vector<std::unique_ptr<registered_plugin>>& plugins() const { return plugins_; }
    // The kept plug-in of a module name, or null.
    const registered_plugin* find_module(std::string_view module) const;
    const marloven_host_services& host_services() const { return *host_; }

  protected:
    // Slot 1: fills the host service table (the base fills the six entries every plug-in gets).
    virtual void fill_host_services(marloven_host_services& table) const;
    // Slot 2: whether a registration type is accepted.
    virtual bool accepts_type(std::uint32_t type) const;
    // Slot 3: checks a registration record (the base requires `unregister`); logs each fault.
    virtual bool check_registration(const registered_plugin& plugin) const;
    // Destroys what derived loaders made with the plug-ins, before unload() unregisters them.
    // Destructors do not call it (no virtual dispatch there): a derived loader's destructor
    // destroys its own.
    virtual void release_instances();

  private:
    void register_library(const std::string& path);
    void unload_libraries();

    std::optional<std::string> directory_;
    std::unique_ptr<marloven_host_services> host_;
    std::unique_ptr<p_dlext> libraries_;
    std::vector<std::unique_ptr<registered_plugin>> plugins_;
    bool loaded_ = false;
};

// Purpose: a loader whose plug-ins are configured into instances, one per document filter,
// each made by the plug-in's config_create from the plug-in record and the filter's parameters.
// Ownership: owns the instances; they are destroyed (config_destroy) before the libraries go.
// Failure: unknown or unusable plug-ins and filters are logged and ignored.
// Threads: one thread at a time.
class pipelined_plugins_loader_base : public plugins_loader_base {
  public:
    using plugins_loader_base::plugins_loader_base;
    ~pipelined_plugins_loader_base() override;

    // Slot 4: keeps the ids of configured document filters (each unknown one is logged by
    // is_known_docfilter); true when all were known.
    virtual bool filter_known(std::vector<int>& ids) const;
    // Slot 5: a plug-in record is configured; else logs "Ignoring unknown plugin <id>".
    virtual bool is_known_plugin(int id) const;
    // Slot 6: a document filter is configured; else logs "Ignoring unknown docfilter <id>".
    virtual bool is_known_docfilter(int id) const;

    // Configures a plug-in record. An unchanged record (same id and stamp) is left as it is; a
    // changed one replaces the old and unconfigures the filters that used it. False when no
    // kept library has the record's module name (logged once per version of the record).
    bool configure_plugin(const plugin_settings& plugin);
    // Configures a document filter: makes its instance with config_create. An unchanged filter
    // of an unchanged plug-in keeps its instance. False when its plug-in is unknown or
    // config_create refuses; a refused filter is not tried (nor logged) again until it or its
    // plug-in record changes.
    bool configure_docfilter(const docfilter_settings& filter);
    // Destroys a filter's instance and forgets the filter.
    void unconfigure_docfilter(int id);

  protected:
    bool check_registration(const registered_plugin& plugin) const override;
    void release_instances() override;

    struct configured_plugin {
        plugin_settings settings;
        const registered_plugin* library = nullptr;
    };
    struct configured_docfilter {
        docfilter_settings settings;
        std::uint32_t plugin_magic = 0;  // the plug-in record's stamp when the instance was made
        const registered_plugin* library = nullptr;
        void* instance = nullptr;
    };
    const configured_docfilter* docfilter(int id) const;
    const configured_plugin* plugin(int id) const;

  private:
    void destroy_instances();

    std::map<int, configured_plugin> plugins_by_id_;
    std::map<int, configured_docfilter> docfilters_;
    // Records refused before, by id, with their stamps then (a filter's with its plug-in's).
    std::map<int, std::uint32_t> refused_plugins_;
    std::map<int, std::pair<std::uint32_t, std::uint32_t>> refused_docfilters_;
};

}  // namespace marloven
