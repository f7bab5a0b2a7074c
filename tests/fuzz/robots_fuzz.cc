// Fuzz target: the translation of robots.txt into the expression of forbidden paths.
// The input is a robots.txt text; its bytes also make one rule whose meaning is checked.
// SPDX-License-Identifier: MIT
#include <regex.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "robotschecker/robotschecker.h"

using namespace marloven;

namespace {

constexpr std::string_view none = "^I'm not an URL$";

// Compiles `expression` as the checker does; every expression the translation makes compiles.
struct compiled {
    explicit compiled(const std::string& expression) {
        FUZZ_CHECK(regcomp(&re, expression.c_str(), REG_EXTENDED | REG_NOSUB) == 0);
    }
    ~compiled() { regfree(&re); }
    bool matches(const std::string& path) const {
        return regexec(&re, path.c_str(), 0, nullptr, 0) == 0;
    }
    regex_t re;
};

}  // namespace

FUZZ_TEXT_TARGET(input) {
    for (std::string_view agent : {"marlovenbot", ""}) {
        const std::string expression = robots_expression(input, agent);
        FUZZ_CHECK(expression.substr(0, none.size()) == none);
        compiled rules(expression);
        // Rule-by-rule matching (for very large files) answers as the expression does.
        const std::vector<std::string> list = robots_rules(input, agent);
        FUZZ_CHECK(robots_expression(list) == expression);
        std::string path(input.substr(input.size() / 2, 64));
        path.erase(std::remove(path.begin(), path.end(), '\0'), path.end());
        for (const std::string& p : {path, std::string("/"), "/" + path}) {
            const bool by_rules = std::any_of(list.begin(), list.end(), [&](const auto& rule) {
                return robots_rule_matches(rule, p);
            });
            FUZZ_CHECK(rules.matches(p) == (by_rules || p == none.substr(1, none.size() - 2)));
        }
    }

    // The input's bytes as one rule: it forbids its own text and what follows it ("*" standing
    // for any text), and nothing that starts with another byte.
    std::string rule;
    for (char c : input.substr(0, 200)) {
        if (c != '\r' && c != '\n' && c != '#' && c != '\0') {
            rule += c;
        }
    }
    const std::size_t first = rule.find_first_not_of(" \t\v\f");
    const std::size_t last = rule.find_last_not_of(" \t\v\f");
    rule = first == std::string::npos ? std::string() : rule.substr(first, last - first + 1);
    if (rule.empty() || rule == "*") {
        return;
    }
    compiled single(robots_expression("User-agent: *\nDisallow: " + rule, "marlovenbot"));
    std::string path;
    for (char c : rule) {
        path += c == '*' ? std::string("zz") : std::string(1, c);
    }
    FUZZ_CHECK(single.matches(path));
    FUZZ_CHECK(single.matches(path + "/tail"));
    if (rule[0] != '*') {
        path[0] = static_cast<char>(path[0] ^ 1);
        FUZZ_CHECK(!single.matches(path) || path == none.substr(1, none.size() - 2));
    }
}
