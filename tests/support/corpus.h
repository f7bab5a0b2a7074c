// corpus.h: pages of the shared corpus, the documentation sites that the benchmark web server
// serves. They are found from the checkout: ../shared/corpus/nginx.conf names the directory of
// each site (its "location /pg/ { alias DIR; }" block).
// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <regex>
#include <string>

#include "support/temp_dir.h"

namespace vant_test {

// The directory that the corpus server serves under `location` ("/pg/"), or nothing when the
// corpus or its pages are not on this machine. Without the corpus beside the checkout, the
// PostgreSQL manual comes from its Debian package (postgresql-doc-15, which scripts/deps
// installs), the same pages that the corpus serves.
inline std::optional<std::string> corpus_site(const std::string& location) {
    std::string conf = read_file(VANT_SOURCE_DIR "/../shared/corpus/nginx.conf");
    std::smatch m;
    std::regex block("location " + location + R"(\s*\{\s*alias\s+([^;\s]+);)");
    std::string dir;
    if (std::regex_search(conf, m, block)) {
        dir = m[1].str();
    } else if (location == "/pg/") {
        dir = "/usr/share/doc/postgresql-doc-15/html/";
    }
    if (!std::filesystem::is_directory(dir)) {
        return std::nullopt;
    }
    return dir.back() == '/' ? dir : dir + "/";
}

// The bytes of a page of the PostgreSQL manual site ("sql-select.html"), or "" without it.
inline std::string corpus_page(const std::string& name) {
    auto site = corpus_site("/pg/");
    return site ? read_file(*site + name) : std::string();
}

}  // namespace vant_test
