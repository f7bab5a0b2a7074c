// commands.cc: dispatch of the one-off maintenance commands.
// SPDX-License-Identifier: MIT
#include "vantorelld/commands.h"

#include <iostream>

#include "vantorelld/maintenance.h"
#include "vantorelld/vantorelld.h"

namespace marloven {

std::optional<std::string> run_command(vantorelld& app, const start_parameters& params) {
    switch (params.command) {
        case start_command::run:
            return std::nullopt;
        case start_command::backup:
            return backup_database(app.config(), app.command_path());
        case start_command::restore:
            return restore_database(app.config(), app.command_path());
        case start_command::export_config:
            return export_configuration(app, app.command_path(), std::cout);
        case start_command::import_config:
            return import_configuration(app, app.command_path(), std::cout);
        case start_command::reset:
        case start_command::reindex:
            break;
    }
    // TODO(core): /reset and /reindex join with the document storage and the index client.
    return std::string("Command not available in this build");
}

}  // namespace marloven
