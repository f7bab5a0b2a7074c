// spawn.h: starting helper programs as child processes of the daemon.
// Used by the worker channel and the index-server client.
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace marloven {

struct spawn_result {
    pid_t pid = 0;       // greater than 0 on success
    std::string reason;  // the system's text when the program could not be started
};

// Starts `program` with `args` and an environment made of the daemon's own environment with
// `extra_env` added (replacing variables of the same name). The child inherits the standard
// streams, gets an empty signal mask and default signal actions, and runs in a process group of
// its own so that a Ctrl-C meant for the daemon does not reach it; the daemon ends its children
// itself. Descriptors of the daemon are opened close-on-exec and are not inherited.
spawn_result spawn_process(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& extra_env = {});

}  // namespace marloven
