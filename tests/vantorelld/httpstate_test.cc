// Tests of the built-in account as requests see it: a reading of the configuration files is used
// again only while nothing about the files or their directory has changed.
// SPDX-License-Identifier: MIT
#include "vantorelld/httpstate.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/temp_dir.h"

namespace marloven {
namespace {

std::string user_now() {
    auto account = built_in_account();
    return account ? account->user : "(none)";
}

// Each change comes after the reading before it has settled (a file changed within the last two
// seconds is read afresh anyway), so that a kept reading that misses the change would show.
TEST(built_in_account, a_kept_reading_gives_way_to_every_kind_of_change) {
    vant_test::temp_dir dir;
    const std::string conf = dir.write("v.conf", "HTTP_USER=ann\n");
    ::setenv("MARLOVEN_CONFIG_FILE", conf.c_str(), 1);
    auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2200)); };
    struct change {
        const char* what;
        std::function<void()> make;
        const char* user;
    };
    const std::vector<change> changes = {
        {"same size, time stamp put back",
         [&] {
             dir.write("v.conf", "HTTP_USER=bob\n");
             timespec back[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
             ::utimensat(AT_FDCWD, conf.c_str(), back, 0);
         },
         "bob"},
        {"a companion file appears", [&] { dir.write("v-extra.conf", "HTTP_USER=cid\n"); }, "cid"},
        {"the companion goes", [&] { std::filesystem::remove(dir / "v-extra.conf"); }, "bob"},
        {"the file goes", [&] { std::filesystem::remove(conf); }, "(none)"},
    };
    settle();
    EXPECT_EQ(user_now(), "ann");
    EXPECT_EQ(user_now(), "ann");
    for (const change& c : changes) {
        settle();
        c.make();
        EXPECT_EQ(user_now(), c.user) << c.what;
    }
    ::unsetenv("MARLOVEN_CONFIG_FILE");
}

}  // namespace
}  // namespace marloven
