// Tests of start-parameter parsing and the data directory checks.
// SPDX-License-Identifier: MIT
#include "vantorelld/service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "vantorelld/vantorelld.h"

namespace marloven {
namespace {

TEST(start_parameters, words_and_path_counts_must_match_exactly) {
    using args = std::vector<std::string>;
    EXPECT_EQ(parse_start_parameters(args{})->command, start_command::run);
    EXPECT_EQ(parse_start_parameters(args{"/reset"})->command, start_command::reset);
    EXPECT_EQ(parse_start_parameters(args{"/reindex"})->command, start_command::reindex);
    auto p = parse_start_parameters(args{"/export", "/tmp/e"});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->command, start_command::export_config);
    EXPECT_EQ(p->path, "/tmp/e");
    EXPECT_FALSE(parse_start_parameters(args{"/import"}));
    EXPECT_FALSE(parse_start_parameters(args{"/reset", "/tmp"}));
    EXPECT_FALSE(parse_start_parameters(args{"/RESET"}));
    EXPECT_FALSE(parse_start_parameters(args{"reset"}));
    EXPECT_FALSE(parse_start_parameters(args{"/restore", "a", "b"}));
}

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
