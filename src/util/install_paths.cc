// install_paths.cc: reading DEPLOYDIR, DATADIR and PORTAL_DOCS.
// SPDX-License-Identifier: MIT
#include "util/install_paths.h"

#include "util/config_file.h"

namespace marloven {

install_paths install_paths::from(const config_file& config) {
    install_paths p;
    p.deploy_dir = config.value(keys::DEPLOYDIR).value_or("");
    p.data_dir = config.value(keys::DATADIR).value_or("");
    p.portal = config.value(keys::PORTAL_DOCS).value_or(p.deploy_dir + "/portal");
    return p;
}

}  // namespace marloven
