// Tests of the data directory checks. A missing directory is created and entered by every test
// of the application object; parsing the start parameters and the commands' failure reports are
// tested through the daemon (tests/integration/daemon_test.cc and storage_commands_test.cc).
// SPDX-License-Identifier: MIT
#include "vantorelld/service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "vantorelld/vantorelld.h"

namespace marloven {
namespace {

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
