// Tests of the start commands' failure prefixes and the data directory checks. Parsing the
// start parameters is tested through the daemon (tests/integration/daemon_test.cc).
// SPDX-License-Identifier: MIT
#include "vantorelld/service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "vantorelld/vantorelld.h"

namespace marloven {
namespace {

TEST(start_parameters, each_command_has_its_failure_prefix) {
    EXPECT_EQ(failure_prefix(start_command::run), "Error starting vantorell: ");
    EXPECT_EQ(failure_prefix(start_command::reset), "Error resetting vantorell: ");
    EXPECT_EQ(failure_prefix(start_command::reindex), "Error while reindexing: ");
    EXPECT_EQ(failure_prefix(start_command::import_config),
              "Error importing config to vantorell: ");
    EXPECT_EQ(failure_prefix(start_command::export_config),
              "Error exporting config from vantorell: ");
    EXPECT_EQ(failure_prefix(start_command::backup), "Error backing up vantorell: ");
    EXPECT_EQ(failure_prefix(start_command::restore), "Error restoring vantorell: ");
}

TEST(data_directory, missing_directory_is_created_and_entered) {
    vant_test::temp_dir dir;
    auto cwd = std::filesystem::current_path();
    std::string data = dir / "new";
    EXPECT_EQ(check_data_directory(data), std::nullopt);
    EXPECT_TRUE(std::filesystem::is_directory(data));
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(data));
    std::filesystem::current_path(cwd);
}

TEST(data_directory, dangling_entry_is_an_access_error) {
    vant_test::temp_dir dir;
    auto cwd = std::filesystem::current_path();
    std::filesystem::create_directories(dir / "d");
    std::filesystem::create_symlink(dir / "nowhere", dir / "d/link");
    EXPECT_EQ(check_data_directory(dir / "d"), "Error accessing " + (dir / "d") + "/link");
    std::filesystem::current_path(cwd);
}

}  // namespace
}  // namespace marloven
