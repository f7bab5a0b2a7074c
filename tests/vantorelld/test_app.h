// test_app.h: the daemon's application object on a temporary data directory, prepared and with
// its storage started, for tests of what the HTTP threads borrow from it.
// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "support/temp_dir.h"
#include "vantorelld/vantorelld.h"

namespace vant_test {

// Ownership: owns the directory and the application object; restores the working directory and
// the environment that preparing the object changed.
class test_app {
  public:
    // `extra_config`: lines added to the configuration (a log level, limits). With
    // `relative_datadir` DATADIR is given relative to the working directory.
    explicit test_app(const std::string& extra_config, bool relative_datadir = false) {
        if (relative_datadir) {
            std::filesystem::current_path(dir_.str());
        }
        const std::string data = relative_datadir ? "data" : dir_ / "data";
        std::string conf = dir_.write(
            "v.conf",
            "DATADIR=" + data + "\nDEPLOYDIR=" VANT_DEPLOY_DIR "\nSyncLevel=0\n" + extra_config);
        ::setenv("MARLOVEN_CONFIG_FILE", conf.c_str(), 1);
        app_ = std::make_unique<marloven::vantorelld>("vantorelld");
        EXPECT_EQ(app_->prepare(), std::nullopt);
        EXPECT_EQ(app_->start_storage(), std::nullopt);
    }
    ~test_app() {
        app_->final_cleanup();
        app_.reset();
        std::filesystem::current_path(cwd_);
        ::unsetenv("MARLOVEN_CONFIG_FILE");
    }
    test_app(const test_app&) = delete;
    test_app& operator=(const test_app&) = delete;

    marloven::vantorelld& operator*() const { return *app_; }
    marloven::vantorelld* operator->() const { return app_.get(); }
    std::string log() const { return read_file(dir_ / "data/vantorell.log"); }

  private:
    temp_dir dir_;
    std::filesystem::path cwd_ = std::filesystem::current_path();
    std::unique_ptr<marloven::vantorelld> app_;
};

}  // namespace vant_test
