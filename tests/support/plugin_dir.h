// plugin_dir.h: a deployment directory of a test's own whose plugins/ holds links to chosen
// plug-in libraries, and a log file that records the plug-in system's lines.
// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <string>

#include "support/temp_dir.h"
#include "util/config_file.h"
#include "util/log.h"

namespace vant_test {

class plugin_dir {
  public:
    explicit plugin_dir(const temp_dir& dir) : deploy_(dir / "deploy") {
        std::filesystem::create_directories(plugins());
    }
    const std::string& deploy() const { return deploy_; }
    std::string plugins() const { return deploy_ + "/plugins"; }

    // Links `library` into plugins/ as `file` (default: its own file name); returns the link.
    std::string add(const std::string& library, std::string file = {}) const {
        if (file.empty()) {
            file = std::filesystem::path(library).filename().string();
        }
        std::string link = plugins() + "/" + file;
        std::filesystem::create_symlink(library, link);
        return link;
    }

  private:
    std::string deploy_;
};

// Opens the log in `file` with the plug-in system and plug-ins at their most verbose levels;
// closes it when destroyed.
class plugin_log {
  public:
    plugin_log(const temp_dir& dir, const std::string& extra = {}) : file_(dir / "plugins.log") {
        marloven::config_file cfg(
            dir.write("log.conf", "LOGCFG=PLUGINSYSTEM:BORING PLUGINS:DEBUG " + extra + "\n"));
        std::string message;
        marloven::open_log(cfg, file_, message);
    }
    ~plugin_log() { marloven::close_log(); }
    plugin_log(const plugin_log&) = delete;
    plugin_log& operator=(const plugin_log&) = delete;
    std::string text() const { return read_file(file_); }

  private:
    std::string file_;
};

}  // namespace vant_test
