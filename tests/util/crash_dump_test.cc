// Tests of the crash-dump switch, the dump file name and the written dump.
// SPDX-License-Identifier: MIT
#include "util/crash_dump.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "util/log.h"

namespace marloven {
namespace {

TEST(crash_dump, dump_name_is_program_path_dash_pid_and_base_name_keeps_the_extension) {
    EXPECT_EQ(dump_file_name("/opt/x/bin/vantorelld", 1234), "/opt/x/bin/vantorelld-1234.dmp");
    EXPECT_EQ(program_base_name("C:\\x\\vantorelld.exe"), "vantorelld.exe");
    EXPECT_EQ(program_base_name("/opt/bin/worker-process/"), "worker-process");  // one separator
    EXPECT_EQ(program_base_name("idxserv"), "idxserv");
}

TEST(crash_dump, black_list_naming_the_program_turns_dumps_off) {
    EXPECT_FALSE(crash_dumps_wanted("/b/vantorelld", std::nullopt, std::nullopt));
    EXPECT_TRUE(crash_dumps_wanted("/b/vantorelld", "1", std::nullopt));
    EXPECT_FALSE(crash_dumps_wanted("/b/vantorelld", "1", "idxserv,vantorelld"));
    EXPECT_TRUE(crash_dumps_wanted("/b/vantorelld", "1", "idxserv worker-process"));
}

class crash_dump_death : public testing::Test {
  protected:
    void TearDown() override {
        ::unsetenv("MARLOVEN_POSTMORTEM_DEBUG");
        ::unsetenv("MARLOVEN_POSTMORTEM_DEBUG_BLACK");
    }
    static int count_dumps(const vant_test::temp_dir& dir) {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
            if (e.path().extension() == ".dmp") {
                ++n;
            }
        }
        return n;
    }
};

TEST_F(crash_dump_death, fatal_assertion_writes_one_dump_when_enabled) {
    vant_test::temp_dir dir;
    std::string program = dir / "vantorelld";
    ::setenv("MARLOVEN_POSTMORTEM_DEBUG", "1", 1);
    ::unsetenv("MARLOVEN_POSTMORTEM_DEBUG_BLACK");
    EXPECT_DEATH(
        {
            setup_crash_dumps(program);
            fatal_assertion("false", "src\\x", 1);
        },
        "assertion \\[false\\] failed");
    ASSERT_EQ(count_dumps(dir), 1);
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        std::string text = vant_test::read_file(e.path().string());
        EXPECT_EQ(e.path().filename().string().rfind("vantorelld-", 0), 0u);
        EXPECT_NE(text.find("code: 0xe0000001"), std::string::npos) << text;
        EXPECT_NE(text.find("memory map:"), std::string::npos);
    }
}

// Issue 14: the dump was opened through whatever link stood under its name, so a link planted
// there had a crashing daemon overwrite the file it pointed to.
TEST_F(crash_dump_death, dump_replaces_a_planted_link_instead_of_writing_through_it) {
    vant_test::temp_dir dir;
    std::string program = dir / "vantorelld";
    std::string victim = dir.write("victim", "precious");
    ::setenv("MARLOVEN_POSTMORTEM_DEBUG", "1", 1);
    ::unsetenv("MARLOVEN_POSTMORTEM_DEBUG_BLACK");
    EXPECT_DEATH(
        {
            ::umask(0);
            std::filesystem::create_symlink(victim, dump_file_name(program, ::getpid()));
            setup_crash_dumps(program);
            ::raise(SIGSEGV);
        },
        "");
    EXPECT_EQ(vant_test::read_file(victim), "precious");
    ASSERT_EQ(count_dumps(dir), 1);
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        if (e.path().extension() == ".dmp") {
            auto st = std::filesystem::symlink_status(e.path());
            EXPECT_EQ(st.type(), std::filesystem::file_type::regular);
            EXPECT_EQ(st.permissions(),
                      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        }
    }
}

TEST_F(crash_dump_death, fault_writes_nothing_when_black_listed) {
    vant_test::temp_dir dir;
    std::string program = dir / "vantorelld";
    ::setenv("MARLOVEN_POSTMORTEM_DEBUG", "1", 1);
    ::setenv("MARLOVEN_POSTMORTEM_DEBUG_BLACK", "vantorelld", 1);
    EXPECT_DEATH(
        {
            setup_crash_dumps(program);
            ::raise(SIGSEGV);
        },
        "");
    EXPECT_EQ(count_dumps(dir), 0);
}

}  // namespace
}  // namespace marloven
