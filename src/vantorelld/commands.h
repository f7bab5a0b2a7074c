// commands.h: the one-off maintenance commands (/reset, /reindex, /import, /export, /backup,
// /restore), run in a process of their own after the preparation and storage start-up.
// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>

#include "vantorelld/service.h"

namespace marloven {

class vantorelld;

// Runs the command named by `params` on a started application object; returns the failure
// message, or nothing on success.
[[nodiscard]] std::optional<std::string> run_command(vantorelld& app,
                                                     const start_parameters& params);

}  // namespace marloven
