// fff-plugins-loader.h: the loader of FFF plug-ins (registration types 2, 3 and 4), which adds
// the text, URL and document services to the host table and applies document filters to FFF
// documents.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plugin-system/document_view.h"
#include "plugin-system/plugins.h"

namespace marloven {

// The registration type a client of the administration interface sees: the three FFF types are
// shown as ARCHIVEFFF_PLUGINTYPE of the SOAP interface (1), anything else as unknown (0).
int client_plugin_type(std::uint32_t registration_type);

// Purpose: loads FFF plug-ins and applies the transform of configured document filters.
// Ownership: as pipelined_plugins_loader_base.
// Failure: a filter that is unknown is logged and skipped; a transform that reports failure is
// logged and the document keeps the changes made so far. A plug-in that crashes or hangs takes
// the calling process with it: callers that must survive that run transforms in a child process.
// Threads: one thread at a time.
class fff_plugins_loader : public pipelined_plugins_loader_base {
  public:
    using pipelined_plugins_loader_base::pipelined_plugins_loader_base;

    // Applies the document filters `ids` in order to `doc`. Before each configured filter's
    // call, `before_call` (when set) gets the filter's index in `ids`.
    void apply(const std::vector<int>& ids, FFF::DocumentData& doc, const document_facts& facts,
               const std::function<void(std::size_t)>& before_call = {});

  protected:
    void fill_host_services(marloven_host_services& table) const override;
    bool accepts_type(std::uint32_t type) const override;
    bool check_registration(const registered_plugin& plugin) const override;
};

}  // namespace marloven
