// The installed daemon program: start and stop, preparation failures, start parameters, the
// instance lock, and the systemd unit.
// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "daemon_fixture.h"

namespace {

using vant_test::run_daemon;
using vant_test::run_program;

class daemon_test : public vant_test::daemon_fixture {
  protected:
    std::string config(const std::string& body) { return dir_.write("vantorell.conf", body); }
};

// The daemon keeps its data directory to itself. It stops on SIGINT as on SIGTERM (which the
// fixture sends): the stop sequence, then status 0.
TEST_F(daemon_test, second_daemon_on_the_same_data_directory_is_refused) {
    start_daemon();
    auto second = run_daemon(write_config(), {});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_THAT(second.err, testing::HasSubstr("Error starting vantorell: DATADIR " + data() +
                                               " is in use by another vantorelld process (pid " +
                                               std::to_string(daemon_->pid()) + ")"));
    EXPECT_EQ(daemon_->stop(SIGINT), 0) << daemon_->err();
    daemon_.reset();
}

TEST_F(daemon_test, preparation_failures_report_event_1000_and_exit_one) {
    std::string file = dir_.write("plainfile", "x");
    std::filesystem::create_directories(dir_ / "logdir/vantorell.log");
    // Each configuration (none: MARLOVEN_CONFIG_FILE is not set) and the failure it gives.
    for (const auto& [conf, message] : std::vector<std::pair<std::string, std::string>>{
             {"", "No DATADIR defined in configuration file"},
             {"LOGCFG=\n", "No DATADIR defined in configuration file"},
             {"DATADIR=" + file + "/sub\nLOGCFG=\n", "Can't create directory " + file + "/sub"},
             {"DATADIR=" + file + "\nLOGCFG=\n", "Could not access DATADIR"},
             {"DATADIR=" + (dir_ / "logdir") + "\nLOGCFG=\n",
              "Cannot open vantorell.log: Is a directory"}}) {
        auto r = run_program(vant_test::deployed("vantorelld"), {},
                             conf.empty()
                                 ? vant_test::env_changes{{"MARLOVEN_CONFIG_FILE", std::nullopt}}
                                 : vant_test::daemon_env(config(conf)));
        EXPECT_EQ(r.exit_code, 1) << message;
        EXPECT_THAT(r.err, testing::HasSubstr("event 1000: vantorell error: "));
        EXPECT_THAT(r.err, testing::HasSubstr(": Error starting vantorell: " + message + "\n"));
        EXPECT_EQ(r.err.find("MARLOVEN_CONFIG_FILE not defined\n") != std::string::npos,
                  conf.empty())
            << r.err;
    }
}

TEST_F(daemon_test, unreadable_entry_of_the_data_directory_stops_start_up) {
    // The permission test needs an unprivileged process: as root, run the daemon as "nobody".
    int uid = ::getuid() == 0 ? 65534 : -1;
    std::string program = vant_test::deployed("vantorelld");
    std::string data = dir_ / "data";
    std::filesystem::create_directories(data);
    std::string secret = dir_.write("data/secret", "x");
    ::chmod(secret.c_str(), 0600);
    if (uid != -1) {
        // Issue 15: "nobody" could not reach the build tree of a checkout below a private
        // directory (exit status 127), so it runs a copy in the test's own directory.
        ::chmod(dir_.str().c_str(), 0755);
        program = dir_ / "vantorelld";
        std::filesystem::copy_file(vant_test::deployed("vantorelld"), program);
        ::chmod(program.c_str(), 0755);
        ::chown(data.c_str(), 65534, 65534);
        ::chmod(data.c_str(), 0755);
    } else {
        ::chmod(secret.c_str(), 0);
    }
    auto conf = config("DATADIR=" + data + "\nLOGCFG=\n");
    ::chmod(conf.c_str(), 0644);
    auto r = run_program(program, {}, vant_test::daemon_env(conf), uid);
    if (uid != -1 && r.exit_code == 127) {  // the copy could not be run
        GTEST_SKIP() << "other users may not enter the parents of " << dir_.str()
                     << ", so no program there can run as nobody (set TMPDIR to /tmp)";
    }
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_THAT(r.err, testing::HasSubstr("Error starting vantorell: Bad owner/permission for " +
                                          data + "/secret"));
}

TEST_F(daemon_test, unknown_start_parameters_give_event_1003) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"/import"}, {"/RESET"}, {"-foo"}, {"/backup", "a", "b"}}) {
        auto r = run_daemon(write_config(), args);
        EXPECT_EQ(r.exit_code, 1) << args[0];
        EXPECT_THAT(r.err, testing::HasSubstr("event 1003: vantorell error: "));
        EXPECT_THAT(r.err, testing::HasSubstr(": Unknown startup parameters\n"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "data")) << "nothing is prepared for a bad call";
}

TEST_F(daemon_test, install_writes_the_unit_once_and_remove_deletes_it) {
    const std::string units = dir_ / "units", unit = units + "/vantorell.service";
    std::filesystem::create_directories(units);
    const std::string conf = write_config();
    vant_test::env_changes e = vant_test::daemon_env(conf);
    e["VANTORELL_UNIT_DIR"] = units;
    const std::string prog = vant_test::deployed("vantorelld");
    // The exit status and standard error of one call.
    auto call = [&](const char* arg) {
        auto r = run_program(prog, {arg}, e);
        return std::to_string(r.exit_code) + " " + r.err;
    };
    EXPECT_EQ(call("-install"), "0 ");
    const std::string text = vant_test::read_file(unit);
    // Issue 14: the unit ran the daemon, and every worker parsing hostile pages, as root and
    // unconfined. Now a user of its own, and only the data directory writable.
    for (const std::string& line : std::vector<std::string>{
             "Description=Vantorell Server", "Environment=MARLOVEN_CONFIG_FILE=" + conf,
             "ExecStart=" + std::filesystem::canonical(prog).string(), "User=vantorell",
             "NoNewPrivileges=yes", "ProtectSystem=strict", "ReadWritePaths=-" + (dir_ / "data"),
             "PrivateTmp=yes", "CapabilityBoundingSet=",
             "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK"}) {
        EXPECT_THAT(text, testing::HasSubstr("\n" + line + "\n")) << line << "\n";
    }
    EXPECT_EQ(call("/install"), "1 CreateService failed - File exists (0x11)\n");
    EXPECT_EQ(call("-remove"), "0 ");
    EXPECT_FALSE(std::filesystem::exists(unit));
    e["VANTORELL_USER"] = "search";
    EXPECT_EQ(call("-install"), "0 ");
    EXPECT_THAT(vant_test::read_file(unit), testing::HasSubstr("\nUser=search\n"));
    EXPECT_EQ(call("-remove"), "0 ");
    EXPECT_EQ(call("/remove"), "1 OpenService failed - No such file or directory (0x2)\n");
}

}  // namespace
