// The helper programs write post-mortem reports as the daemon does.
// SPDX-License-Identifier: MIT
#include "util/crash_dump.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "idxstorage/index_protocol.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

// Issue 15: worker-process and idxserv installed no fatal-signal handler, so a crash of either
// left no report even with MARLOVEN_POSTMORTEM_DEBUG set.
class helper_crash_test : public testing::TestWithParam<const char*> {};

TEST_P(helper_crash_test, fatal_signal_writes_a_report_beside_the_program) {
    vant_test::temp_dir dir;
    // Reports go beside the program path the process was started under.
    const std::string program = dir / GetParam();
    std::filesystem::create_symlink(vant_test::deployed(GetParam()), program);
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), len), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);

    vant_test::background_program child(program, {std::to_string(ntohs(sa.sin_port))},
                                        {{"MARLOVEN_POSTMORTEM_DEBUG", "1"},
                                         {"MARLOVEN_POSTMORTEM_DEBUG_BLACK", std::nullopt},
                                         {"MARLOVEN_CONFIG_FILE", std::nullopt},
                                         {marloven::index_protocol::env_index_dir, dir / "index"}},
                                        dir / "child");
    // The handler is installed before the program connects back.
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 30000), 1) << child.err();
    int connection = ::accept(listener, nullptr, nullptr);
    EXPECT_EQ(child.stop(SIGSEGV), 128 + SIGSEGV) << child.err();
    EXPECT_TRUE(std::filesystem::exists(marloven::dump_file_name(program, child.pid())));
    ::close(connection);
    ::close(listener);
}

INSTANTIATE_TEST_SUITE_P(programs, helper_crash_test, testing::Values("worker-process", "idxserv"));

}  // namespace
