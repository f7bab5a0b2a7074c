// spawn.cc: posix_spawn with a fresh signal state and a merged environment.
// SPDX-License-Identifier: MIT
#include "ipc/spawn.h"

#include <signal.h>
#include <spawn.h>

#include <cstring>

extern char** environ;

namespace marloven {

spawn_result spawn_process(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& extra_env) {
    std::map<std::string, std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos) {
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    for (const auto& [k, v] : extra_env) {
        env[k] = v;
    }
    std::vector<std::string> env_strings;
    env_strings.reserve(env.size());
    for (const auto& [k, v] : env) {
        env_strings.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& s : env_strings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);

    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t empty;
    sigemptyset(&empty);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    spawn_result result;
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        result.reason = std::strerror(rc);
        return result;
    }
    result.pid = pid;
    return result;
}

}  // namespace marloven
