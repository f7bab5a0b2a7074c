// Tests of the data directory checks. Parsing the start parameters and the commands' failure
// reports are tested through the daemon (tests/integration/daemon_test.cc and
// storage_commands_test.cc).
// SPDX-License-Identifier: MIT
#include "vantorelld/service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "vantorelld/vantorelld.h"

namespace marloven {
namespace {

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
