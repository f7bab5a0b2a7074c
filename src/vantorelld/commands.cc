// commands.cc: dispatch of the one-off maintenance commands.
// SPDX-License-Identifier: MIT
#include "vantorelld/commands.h"

#include "vantorelld/vantorelld.h"

namespace marloven {

std::optional<std::string> run_command(vantorelld& /*app*/, const start_parameters& params) {
    switch (params.command) {
        case start_command::run:
            return std::nullopt;
        case start_command::reset:
        case start_command::reindex:
        case start_command::import_config:
        case start_command::export_config:
        case start_command::backup:
        case start_command::restore:
            break;
    }
    // TODO(core): the storage commands join as their storage lands.
    return std::string("Command not available in this build");
}

}  // namespace marloven
