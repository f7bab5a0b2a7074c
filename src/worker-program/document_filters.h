// document_filters.h: the worker program's application of document filters (plug-ins) to parsed
// documents. Each document is transformed in a child process of its own, so that a plug-in that
// crashes or hangs costs that document and not the worker.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plugin-system/document_view.h"
#include "worker/protocol.h"

namespace marloven {

class config_file;
class fff_plugins_loader;

// The outcome of filtering one document.
struct filtered_document {
    bool ok = true;
    // False when no filter of the list could be applied (none is configured): the document is
    // as it was, and the fields below are not set.
    bool applied = true;
    std::string failure;  // why not ok: the plug-in, its filter and what happened
    std::string fff;      // the document after the filters, in binary form
    std::uint32_t score = 0;
    std::uint32_t corecrc = 0;
};

// The settings of document filtering.
struct filter_limits {
    std::optional<std::string> plugin_directory;   // DEPLOYDIR/plugins; nothing: no plug-ins
    unsigned call_seconds = 20;                    // PLUGIN_TIMEOUT
    std::size_t max_fff = std::size_t{256} << 20;  // largest document a child may hand back

    // PLUGIN_TIMEOUT and DEPLOYDIR of the configuration.
    static filter_limits from(const config_file& config);
};

// Purpose: applies the document filters a request lists, in order, to a parsed document.
// The plug-in libraries are loaded on first use and stay loaded; each filter's instance is made
// (config_create) in this process when its records first arrive or change, under an alarm of
// the call time limit (a plug-in that hangs there ends the worker; the daemon then records the
// URL as INTERNAL and starts a new worker). The transforms of one document run in a forked
// child, which sends the result back through a pipe; the child is killed when one call takes
// longer than the limit. A crash, a hang, an early exit or garbage from the child make the
// outcome a failure naming the plug-in; this process carries on.
// Ownership: owns the loader with its libraries and instances.
// Failure: returned in filtered_document; nothing is thrown.
// Threads: one thread at a time.
class document_filters {
  public:
    // `close_in_child`: descriptors the child must not keep (the daemon's connection, whose end
    // the daemon waits for when it kills a worker).
    document_filters(filter_limits limits, std::vector<int> close_in_child);
    ~document_filters();
    document_filters(const document_filters&) = delete;
    document_filters& operator=(const document_filters&) = delete;

    // True when the settings name any filter to apply.
    static bool wanted(const filter_settings& settings) { return !settings.docfilter_ids.empty(); }

    // Applies the filters of `settings` to `fff` (the binary form of a parsed document).
    filtered_document apply(const filter_settings& settings, std::string_view fff,
                            const document_facts& facts);

  private:
    void configure(const filter_settings& settings);

    filter_limits limits_;
    std::vector<int> close_in_child_;
    std::unique_ptr<fff_plugins_loader> loader_;
};

}  // namespace marloven
