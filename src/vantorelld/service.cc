// service.cc: argument dispatch, the foreground daemon with its signal-driven stop, service
// events, and the systemd unit.
// SPDX-License-Identifier: MIT
#include "vantorelld/service.h"

#include <fcntl.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "util/config_file.h"
#include "vantorelld/commands.h"
#include "vantorelld/vantorelld.h"

namespace marloven {

namespace {

std::string error_text(int code) {
    char buf[320];
    std::snprintf(buf, sizeof buf, "%s (0x%x)", std::strerror(code), static_cast<unsigned>(code));
    return buf;
}

std::string unit_dir() {
    return get_environment("VANTORELL_UNIT_DIR").value_or("/etc/systemd/system");
}

std::string self_path(const char* argv0) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) {
        return std::string(buf, static_cast<size_t>(n));
    }
    return argv0 != nullptr ? argv0 : "vantorelld";
}

// Whether `path` lies in the home directories that the unit hides (ProtectHome).
bool in_home_directories(const std::string& path) {
    for (std::string_view home : {"/home", "/root", "/run/user"}) {
        if (path.compare(0, home.size(), home) == 0 &&
            (path.size() == home.size() || path[home.size()] == '/')) {
            return true;
        }
    }
    return false;
}

// The [Service] lines that confine the daemon and, through inheritance, every worker that parses
// hostile pages and the index server: a user of its own, a read-only system with only the data
// directory writable, no devices, no capabilities, no kernel settings, and system calls and
// address families limited to what crawling, serving and the helper programs use (AF_NETLINK:
// getifaddrs, which finds the host name for self-URLs).
std::string sandbox_lines(const std::string& user, const std::string& data_dir,
                          bool home_readable) {
    std::string lines = "User=" + user + "\n";
    if (data_dir.rfind("/var/lib/", 0) == 0 && data_dir.size() > 9) {
        // systemd creates it for the user, 0700, and makes it writable.
        lines += "StateDirectory=" + data_dir.substr(9) + "\nStateDirectoryMode=0700\n";
    }
    lines +=
        "UMask=0077\n"
        "NoNewPrivileges=yes\n"
        "ProtectSystem=strict\n";
    if (!data_dir.empty()) {
        // "-": a missing directory is the daemon's to report ("Can't create directory").
        lines += "ReadWritePaths=-" + data_dir + "\n";
    }
    lines += std::string("ProtectHome=") + (home_readable ? "read-only" : "yes") + "\n";
    lines +=
        "PrivateTmp=yes\n"
        "PrivateDevices=yes\n"
        "PrivateIPC=yes\n"
        "PrivateUsers=yes\n"
        "PrivateMounts=yes\n"
        "ProtectKernelTunables=yes\n"
        "ProtectKernelModules=yes\n"
        "ProtectKernelLogs=yes\n"
        "ProtectControlGroups=yes\n"
        "ProtectClock=yes\n"
        "ProtectHostname=yes\n"
        "ProtectProc=invisible\n"
        "ProcSubset=pid\n"
        "CapabilityBoundingSet=\n"
        "AmbientCapabilities=\n"
        "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n"
        "RestrictNamespaces=yes\n"
        "RestrictRealtime=yes\n"
        "RestrictSUIDSGID=yes\n"
        "LockPersonality=yes\n"
        "MemoryDenyWriteExecute=yes\n"
        "RemoveIPC=yes\n"
        "SystemCallArchitectures=native\n"
        "SystemCallFilter=@system-service\n"
        "SystemCallFilter=~@privileged @resources\n"
        "SystemCallErrorNumber=EPERM\n";
    return lines;
}

// Fails the process the way every failed step does: one event, exit status 1, no clean-up.
[[noreturn]] void fail(start_command command, const std::string& message) {
    report_service_event(std::string(failure_prefix(command)) + message, event_step_failed);
    std::exit(1);
}

}  // namespace

std::optional<start_parameters> parse_start_parameters(const std::vector<std::string>& args) {
    start_parameters p;
    if (args.empty()) {
        return p;
    }
    const std::string& word = args[0];
    struct entry {
        const char* word;
        start_command command;
        bool takes_path;
    };
    static constexpr entry table[] = {
        {"/reset", start_command::reset, false},
        {"/reindex", start_command::reindex, false},
        {"/import", start_command::import_config, true},
        {"/export", start_command::export_config, true},
        {"/backup", start_command::backup, true},
        {"/restore", start_command::restore, true},
    };
    for (const auto& e : table) {
        if (word == e.word) {
            if (args.size() != (e.takes_path ? 2u : 1u)) {
                return std::nullopt;
            }
            p.command = e.command;
            if (e.takes_path) {
                p.path = args[1];
            }
            return p;
        }
    }
    return std::nullopt;
}

std::string_view failure_prefix(start_command command) {
    switch (command) {
        case start_command::run:
            return "Error starting vantorell: ";
        case start_command::reset:
            return "Error resetting vantorell: ";
        case start_command::reindex:
            return "Error while reindexing: ";
        case start_command::import_config:
            return "Error importing config to vantorell: ";
        case start_command::export_config:
            return "Error exporting config from vantorell: ";
        case start_command::backup:
            return "Error backing up vantorell: ";
        case start_command::restore:
            return "Error restoring vantorell: ";
    }
    return "";
}

void report_service_event(std::string_view message, int identifier) {
    int last_error = errno;
    char head[128];
    std::snprintf(head, sizeof head, "%s error: %d", vantorelld::service_name, last_error);
    std::string m(message);
    openlog(vantorelld::service_name, LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "event %d: %s: %s", identifier, head, m.c_str());
    std::fprintf(stderr, "event %d: %s: %s\n", identifier, head, m.c_str());
    std::fflush(stderr);
}

int install_service(const std::string& program_path) {
    std::string path = unit_dir() + "/" + vantorelld::service_name + ".service";
    std::string config = get_environment("MARLOVEN_CONFIG_FILE").value_or("");
    std::string user = get_environment("VANTORELL_USER").value_or("");
    if (user.empty()) {
        user = default_service_user;
    }
    // The data directory is the one place the service may write; the unit names it as an
    // absolute path (the service starts in "/").
    std::string data_dir;
    std::string deploy_dir;
    if (!config.empty()) {
        config_file cfg(config);
        data_dir = cfg.value(keys::DATADIR).value_or("");
        deploy_dir = cfg.value(keys::DEPLOYDIR).value_or("");
    }
    if (!data_dir.empty() && data_dir[0] != '/') {
        std::cerr << "DATADIR " << data_dir
                  << " is not an absolute path: the unit leaves the service no writable directory"
                  << std::endl;
        data_dir.clear();
    }
    bool home_readable = false;
    for (const std::string& p : {program_path, config, data_dir, deploy_dir}) {
        home_readable = home_readable || in_home_directories(p);
    }
    std::string unit = "[Unit]\nDescription=" + std::string(vantorelld::display_name) +
                       "\nAfter=network.target\n\n[Service]\nType=simple\n";
    if (!config.empty()) {
        unit += "Environment=MARLOVEN_CONFIG_FILE=" + config + "\n";
    }
    unit += "ExecStart=" + program_path +
            "\nKillSignal=SIGTERM\nTimeoutStopSec=60\nRestart=on-failure\n";
    unit += sandbox_lines(user, data_dir, home_readable);
    unit += "\n[Install]\nWantedBy=multi-user.target\n";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::cerr << "CreateService failed - " << error_text(errno) << std::endl;
        // The firewall step would follow here; on this platform there is none.
        return 1;
    }
    bool ok = ::write(fd, unit.data(), unit.size()) == static_cast<ssize_t>(unit.size());
    int err = errno;
    ::close(fd);
    if (!ok) {
        std::cerr << "CreateService failed - " << error_text(err) << std::endl;
        ::unlink(path.c_str());
        return 1;
    }
    return 0;
}

int remove_service() {
    std::string path = unit_dir() + "/" + vantorelld::service_name + ".service";
    if (::access(path.c_str(), F_OK) != 0) {
        std::cerr << "OpenService failed - " << error_text(errno) << std::endl;
        return 1;
    }
    if (::unlink(path.c_str()) != 0) {
        std::cerr << "DeleteService failed - " << error_text(errno) << std::endl;
        return 1;
    }
    return 0;
}

int service_main(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::string program = self_path(argc > 0 ? argv[0] : nullptr);
    if (!args.empty() && args[0].size() > 1 && (args[0][0] == '-' || args[0][0] == '/')) {
        std::string_view word = std::string_view(args[0]).substr(1);
        if (word == "install") {
            return install_service(program);
        }
        if (word == "remove") {
            return remove_service();
        }
    }
    auto params = parse_start_parameters(args);
    if (!params) {
        report_service_event("Unknown startup parameters", event_unknown_parameters);
        return 1;
    }

    // SIGTERM and SIGINT are taken by the main thread alone, with sigwait; every thread created
    // later inherits the blocked mask. SIGPIPE is ignored: a peer that goes away is an error
    // return on the socket, not a reason to die.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    // Preparation makes DATADIR the working directory: a relative path names a place below the
    // directory the command was given in.
    if (!params->path.empty()) {
        std::error_code ec;
        auto absolute = std::filesystem::absolute(params->path, ec);
        if (!ec) {
            params->path = absolute.string();
        }
    }
    vantorelld app(program);
    app.set_command_path(params->path);
    if (auto failure = app.prepare()) {
        fail(params->command, *failure);
    }
    if (auto failure = app.start_storage()) {
        fail(params->command, *failure);
    }
    if (params->command != start_command::run) {
        if (auto failure = run_command(app, *params)) {
            fail(params->command, *failure);
        }
        app.final_cleanup();
        return 0;
    }
    if (auto failure = app.start_threads()) {
        fail(params->command, *failure);
    }
    int sig = 0;
    while (sigwait(&stop_signals, &sig) != 0) {
    }
    app.stop();
    app.final_cleanup();
    return 0;
}

}  // namespace marloven
