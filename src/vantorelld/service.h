// service.h: the daemon's command line: running in the foreground until SIGTERM or SIGINT, the
// one-off maintenance commands, installing and removing the systemd unit, and service events.
// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marloven {

class vantorelld;

enum class start_command { run, reset, reindex, import_config, export_config, backup, restore };

struct start_parameters {
    start_command command = start_command::run;
    std::string path;  // for import, export, backup and restore
};

// Event identifiers of the service.
inline constexpr int event_step_failed = 1000;
inline constexpr int event_dispatcher_failed = 1001;
inline constexpr int event_unknown_parameters = 1003;

// Reads the arguments after the program name. A one-word command takes no path, a path command
// exactly one; anything else (wrong word, wrong count, other case) gives nothing.
std::optional<start_parameters> parse_start_parameters(const std::vector<std::string>& args);

// The event-log prefix of a command's failure message ("Error starting vantorell: " ...).
std::string_view failure_prefix(start_command command);

// Writes one service event: the service name and the last system error code ("vantorell error:
// %d"), then the message; to syslog and standard error.
void report_service_event(std::string_view message, int identifier);

// The account the service runs as unless VANTORELL_USER names another.
inline constexpr const char* default_service_user = "vantorell";

// Writes the systemd unit "vantorell.service" into the directory named by VANTORELL_UNIT_DIR
// (default /etc/systemd/system): the service runs as VANTORELL_USER (default "vantorell"),
// confined by systemd's sandboxing with DATADIR (from the configuration file) its only writable
// directory. Messages go to standard error; returns the exit status.
int install_service(const std::string& program_path);
// Deletes that unit.
int remove_service();

// The whole program: argument dispatch, start-up, waiting for a stop signal, stop and clean-up.
int service_main(int argc, char** argv);

}  // namespace marloven
