// The idxserv program: arguments, exit statuses, the index directory it is given, and a stop by
// signal.
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>

#include "idxstorage/index_protocol.h"
#include "ipc/socket_ipc.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "util/config_file.h"

namespace {

namespace proto = marloven::index_protocol;

TEST(idxserv_program_test, bad_arguments_and_an_unreachable_port_give_their_exit_statuses) {
    const std::string program = vant_test::deployed("idxserv");
    EXPECT_EQ(vant_test::run_program(program, {"70000"}).exit_code, 2);
    // Port 1 on the loopback interface refuses connections; without the daemon's token the
    // program does not even try.
    for (auto [token, message] :
         {std::pair{std::optional(std::string(socket_ipc::channel_token_length, '0')),
                    "Could not connect to port 1"},
          std::pair{std::optional<std::string>(), "No channel token in the environment"}}) {
        auto r =
            vant_test::run_program(program, {"1"}, {{socket_ipc::channel_token_variable, token}});
        EXPECT_EQ(r.exit_code, 3) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

TEST(idxserv_program_test, serves_the_index_directory_it_is_given_and_commits_on_sigterm) {
    vant_test::temp_dir dir;
    marloven::config_file config(dir.write("v.conf", "DEPLOYDIR=" VANT_DEPLOY_DIR "\n"));
    const std::string index = dir / "elsewhere";
    {
        socket_ipc::server_proxy server(config, "idxserv");
        std::string error;
        ASSERT_TRUE(server.start(
            error, {{proto::env_index_dir, index}, {proto::env_max_field_length, "not a number"}}))
            << error;
        server << static_cast<std::int32_t>(proto::command::begin_document);
        server << static_cast<std::int32_t>(proto::command::text_field) << std::string_view("guid")
               << std::string_view("g") << 1 << 1 << 0;
        server << static_cast<std::int32_t>(proto::command::end_document);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(server.get_int32(), 0);
        }
        ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
        // The server ends by itself, with the connection still open.
        EXPECT_TRUE(vant_test::eventually([&] {
            siginfo_t info{};
            return ::waitid(P_PID, static_cast<id_t>(server.pid()), &info,
                            WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   info.si_pid == server.pid() && info.si_code == CLD_EXITED && info.si_status == 0;
        }));
    }
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(index) / "iamglass"));
    // A second server finds the document that the first committed when it was stopped.
    socket_ipc::server_proxy server(config, "idxserv");
    std::string error;
    ASSERT_TRUE(server.start(error, {{proto::env_index_dir, index}})) << error;
    server << static_cast<std::int32_t>(proto::command::query) << 0 << 0 << std::string_view("")
           << 0 << 0 << std::string_view("") << 0 << std::string_view("score")
           << std::string_view("");
    EXPECT_EQ(server.get_int32(), 1);
    server << static_cast<std::int32_t>(proto::command::quit);
}

}  // namespace
