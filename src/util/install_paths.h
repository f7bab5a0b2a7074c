// install_paths.h: every file and directory the daemon uses, derived from DEPLOYDIR and DATADIR.
// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace marloven {

class config_file;

struct install_paths {
    std::string deploy_dir;  // DEPLOYDIR, may be empty
    std::string data_dir;    // DATADIR, may be empty

    // DEPLOYDIR + "/bin/" + program: where the helper programs are started from.
    std::string program(const std::string& name) const { return deploy_dir + "/bin/" + name; }
    std::string wsdl() const { return deploy_dir + "/bin/marlovensearch.wsdl"; }
    std::string plugins() const { return deploy_dir + "/plugins"; }
    // PORTAL_DOCS when set, else DEPLOYDIR + "/portal".
    std::string portal;
    // Relative to the working directory, which start-up makes DATADIR.
    static constexpr const char* database = "vantorell.db";
    static constexpr const char* log_file = "vantorell.log";
    static constexpr const char* index_dir = "index";

    // The one place where paths are derived from the configuration.
    static install_paths from(const config_file& config);
};

}  // namespace marloven
