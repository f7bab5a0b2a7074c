// Tests of the crash-dump switch, the dump file name and the written dump.
// SPDX-License-Identifier: MIT
#include "util/crash_dump.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "support/temp_dir.h"
#include "util/log.h"

namespace marloven {
namespace {

TEST(crash_dump, dump_name_is_program_path_dash_pid_and_base_name_drops_the_directories) {
    EXPECT_EQ(dump_file_name("/opt/x/bin/vantorelld", 1234), "/opt/x/bin/vantorelld-1234.dmp");
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
    void SetUp() override {
        ::setenv("MARLOVEN_POSTMORTEM_DEBUG", "1", 1);
        ::unsetenv("MARLOVEN_POSTMORTEM_DEBUG_BLACK");
    }
    void TearDown() override {
        ::unsetenv("MARLOVEN_POSTMORTEM_DEBUG");
        ::unsetenv("MARLOVEN_POSTMORTEM_DEBUG_BLACK");
    }
    // The dump files in the program's directory.
    std::vector<std::filesystem::path> dumps() const {
        std::vector<std::filesystem::path> out;
        for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
            if (e.path().extension() == ".dmp") {
                out.push_back(e.path());
            }
        }
        return out;
    }
    vant_test::temp_dir dir_;
    const std::string program_ = dir_ / "vantorelld";
};

TEST_F(crash_dump_death, fatal_assertion_writes_one_dump_when_enabled) {
    EXPECT_DEATH(
        {
            setup_crash_dumps(program_);
            fatal_assertion("false", "src\\x", 1);
        },
        "assertion \\[false\\] failed");
    const auto found = dumps();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].filename().string().rfind("vantorelld-", 0), 0u);
}

// Issue 14: the dump was opened through whatever link stood under its name, so a link planted
// there had a crashing daemon overwrite the file it pointed to.
TEST_F(crash_dump_death, dump_replaces_a_planted_link_instead_of_writing_through_it) {
    std::string victim = dir_.write("victim", "precious");
    EXPECT_DEATH(
        {
            ::umask(0);
            std::filesystem::create_symlink(victim, dump_file_name(program_, ::getpid()));
            setup_crash_dumps(program_);
            ::raise(SIGSEGV);
        },
        "");
    EXPECT_EQ(vant_test::read_file(victim), "precious");
    const auto found = dumps();
    ASSERT_EQ(found.size(), 1u);
    auto st = std::filesystem::symlink_status(found[0]);
    EXPECT_EQ(st.type(), std::filesystem::file_type::regular);
    EXPECT_EQ(st.permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace
}  // namespace marloven
