// api-plugin.h: the administration operations on plug-ins: listing the plug-in libraries of the
// installation, the configured plug-ins and document filters; reading, changing, adding and
// removing plug-in and document-filter records; the global renderer pipe (the document filters
// applied to every source's documents before the source's own).
// SPDX-License-Identifier: MIT
//
// As in operations.h: every operation resets the result on entry, sets one error on refusal and
// then changes nothing; administrators pass every access check; database errors are fatal; the
// caller holds the transaction (api_transaction).
//
// The listings build a fresh plug-in loader for the call (loading, registering, then unregistering
// and unloading every library of DEPLOYDIR/plugins) and answer CannotLoadPluginDLLs when there is
// no plug-in directory (DEPLOYDIR not configured). Their `types` are registration types (2 global,
// 3 archive, 4 multiform FFF); an empty list means every type. The SOAP interface shows all three
// as ARCHIVEFFF_PLUGINTYPE (client_plugin_type in plugin-system/fff-plugins-loader.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/api-common.h"

namespace marloven {

// One plug-in library that registered and passed the loader's checks.
struct plugin_dll_info {
    int type = 0;  // registration type
    std::string name;
    std::string description;
    std::string file;  // the library's module name: what plug-in records name
    bool operator==(const plugin_dll_info&) const = default;
};

// A plug-in record as the listing gives it. Without `full` the record holds name, description
// and module only (no configuration, no access list).
struct plugin_info {
    int id = 0;
    int type = 0;  // the registration type of the library the record names
    Plugin configuration;
    std::uint32_t magic = 0;
    bool read_only = false;
};

// A document filter as the listing gives it. Without `full` the record holds name, description
// and plug-in id only.
struct docfilter_info {
    int id = 0;
    int type = 0;  // the registration type of its plug-in's library
    DocFilter configuration;
    std::uint32_t magic = 0;
    bool read_only = false;
};

// The libraries of the plug-in directory, in file-name order.
void EnumPluginDLLs(const api_session& s, api_result& r, const std::vector<int>& types,
                    std::vector<plugin_dll_info>& infos);
// The plug-in records the caller may read whose library is loaded (and of one of `types`).
void EnumPlugins(const api_session& s, api_result& r, const std::vector<int>& types, bool full,
                 std::vector<plugin_info>& infos);
// The document filters the caller may read whose plug-in is listed by EnumPlugins for the same
// caller and types: a filter that could not work (its plug-in's library is missing or of another
// type, or its plug-in record unreadable) is left out.
void EnumDocFilters(const api_session& s, api_result& r, const std::vector<int>& types, bool full,
                    std::vector<docfilter_info>& infos);

// Plug-in records. Adding needs write access by the crawling root list; the module must be a
// plain library name (letters, digits, '_', '-'), else ErrorInvalidEntity. Changing needs write
// access to the stored record, and the new record's access list must still grant it. A plug-in
// that a document filter uses cannot be removed (InUse): remove or change the filter first.
void GetPlugin(const api_session& s, api_result& r, int id, Plugin& plugin, std::uint32_t& magic);
void SetPlugin(const api_session& s, api_result& r, int id, const Plugin& plugin,
               std::uint32_t magic);
void AddPlugin(const api_session& s, api_result& r, const Plugin& plugin, int& id);
void RemovePlugin(const api_session& s, api_result& r, int id);

// Document filter records: as plug-in records, and the plug-in a filter names must be readable
// by the caller. A filter that a source or the global renderer pipe lists cannot be removed
// (InUse).
void GetDocFilter(const api_session& s, api_result& r, int id, DocFilter& filter,
                  std::uint32_t& magic);
void SetDocFilter(const api_session& s, api_result& r, int id, const DocFilter& filter,
                  std::uint32_t magic);
void AddDocFilter(const api_session& s, api_result& r, const DocFilter& filter, int& id);
void RemoveDocFilter(const api_session& s, api_result& r, int id);

// The global renderer pipe (RendererPluginPipe record 0): reading needs read access by the
// crawling root list, changing write access and read access to every filter listed. A pipe never
// stored reads as empty with the stamp 0.
void GetRootRendererPipe(const api_session& s, api_result& r, RendererPluginPipe& pipe,
                         std::uint32_t& magic);
void SetRootRendererPipe(const api_session& s, api_result& r, const RendererPluginPipe& pipe,
                         std::uint32_t magic);

}  // namespace marloven
